#include "common/log.h"

#include "common/text.h"

#include <cstdio>

int logLevel = 3;

namespace {
void writeToStandardError(const std::string& text, int level, bool)
{
    std::fprintf(stderr, "%d: %s\n", level, text.c_str());
}

LogSink& currentSink()
{
    static LogSink sink = writeToStandardError;
    return sink;
}
} // namespace

void logMessage(const std::string& text, int level, bool forward)
{
    if (text.empty())
        return;
    // Log texts carry names from the job: a control character in one must not reach a
    // reader of the log as it is.
    currentSink()(escapeControlCharacters(text), level, forward);
}

LogSink setLogSink(LogSink sink)
{
    LogSink previous = std::move(currentSink());
    currentSink() = sink ? std::move(sink) : LogSink(writeToStandardError);
    return previous;
}
