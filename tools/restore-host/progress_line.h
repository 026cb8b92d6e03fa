#pragma once
// The one console line that shows the user where a restore stands, and how the worker's
// log records are shown.
#include "proto/messages.h"

#include <cstdint>
#include <string>

namespace host {

// "Restoring          [##########----------]  50%  12.3 MB/s  0:42 left  12 files  3.0 MiB":
// the job's files and bytes as the worker counts them. Rate and time left show "--" until the
// worker reports them.
std::string progressLine(const proto::UpdateRestoreProgress& report);

// The name of a progress state; unknown values show their number.
std::string stateName(std::int32_t state);
// "Error: text" and the like for one log record of the worker.
std::string logLine(std::int32_t severity, const std::string& text);

// 1536 -> "1.5 KiB"; below 1 KiB in bytes.
std::string byteCount(std::uint64_t bytes);
// Bytes per second as "12.3 MB/s" (decimal units, as transfer rates are given).
std::string rateText(std::uint64_t bytesPerSecond);
// Seconds as "0:42", "12:05" or "3:07:00".
std::string durationText(std::uint64_t seconds);

} // namespace host
