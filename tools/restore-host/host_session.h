#pragma once
// One restore through the worker: the working directory prepared from the backup set, the
// worker started on its pipes, every message answered and shown, the transcript written.
#include "host_options.h"

namespace host {

// Runs the restore and returns the worker's exit code. Throws error::Exception or
// std::exception when the host itself cannot go on.
int runHost(const Options& options);

} // namespace host
