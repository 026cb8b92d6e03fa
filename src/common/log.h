#pragma once
// The worker's log: levels 0 (last words of a dying run) to 3 (detail). Callers test
// logEnabled before building a line; logMessage hands the text to the record sink, which
// the parent link installs (and tests replace to capture records).
#include <functional>
#include <string>

extern int logLevel; // 3 until the parent sets it

inline bool logEnabled(int level)
{
    return level <= logLevel;
}

void logMessage(const std::string& text, int level, bool forward);

// Receives each log call. The default writes "level: text" lines to the standard error.
using LogSink = std::function<void(const std::string& text, int level, bool forward)>;
// Installs a sink and returns the one it replaces.
LogSink setLogSink(LogSink sink);
