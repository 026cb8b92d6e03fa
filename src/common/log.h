#pragma once
// The worker's log: levels 0 (last words of a dying run) to 3 (detail). Callers test
// logEnabled before building a line; logMessage hands every non-empty text to the log sink.
// A program that uses the worker log (worker/worker_log.h) has the parent link as its sink
// from the start; tests replace the sink to capture lines.
#include <functional>
#include <string>

extern int logLevel; // 3 until the parent sets it

inline bool logEnabled(int level)
{
    return level <= logLevel;
}

void logMessage(const std::string& text, int level, bool forward);

// Receives each log call. Without the worker log, the sink writes "level: text" lines to
// the standard error.
using LogSink = std::function<void(const std::string& text, int level, bool forward)>;
// Installs a sink and returns the one it replaces; null installs the standard error sink.
LogSink setLogSink(LogSink sink);
