#pragma once
// One restore through the worker: the working directory prepared from the backup set, the
// worker started on its pipes, every message answered, the display fed, the transcript
// written, and the run summed up.
#include "display.h"
#include "host_options.h"

namespace host {

// Runs the restore, showing it on `screen` unless quiet, and gives the host's exit code: the
// worker's, or 3 when the worker vanished. Throws PathError when a path of the options names
// nothing usable, error::Exception or std::exception when the host itself cannot go on.
int runHost(const Options& options, const Screen& screen);

} // namespace host
