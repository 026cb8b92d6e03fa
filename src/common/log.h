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

// Whether a line goes on from the parent to the backup client's own log as well.
enum class Forward { No, Yes };
// Logs `text` at `level` when that level is enabled. A text that costs something to build
// is built only once logEnabled has said yes.
inline void logAt(int level, const std::string& text, Forward forward = Forward::No)
{
    if (logEnabled(level))
        logMessage(text, level, forward == Forward::Yes);
}

// Receives each log call. Without the worker log, the sink writes "level: text" lines to
// the standard error.
using LogSink = std::function<void(const std::string& text, int level, bool forward)>;
// Installs a sink and returns the one it replaces; null installs the standard error sink.
LogSink setLogSink(LogSink sink);
