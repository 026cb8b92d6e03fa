#pragma once
// The worker's log goes to its parent: every line becomes ClientWorkerLog records on the
// parent link. Only when a line cannot be sent for another reason than the parent's
// departure is it kept locally, in "wdiag.log" in the working directory.
#include "common/log.h"

#include <string>

class ParentLink;

// The local diagnostics file, relative to the working directory.
inline constexpr wchar_t kLocalLogFile[] = L"wdiag.log";
// The event log source of the fatal report, and its event identifier.
inline constexpr wchar_t kEventSource[] = L"Harbex";
inline constexpr unsigned long kFatalEventId = 0xC0000004;

// The log sink: sends `text` to the parent as ClientWorkerLog records of at most 1024 bytes
// (see splitLogText), each followed by a ClientLogMessage with the same values when
// `forward` is set. The parent gone (io::EEndOfStream) is thrown on unchanged; any other
// failure replaces "wdiag.log" with one line holding the level, the flag and the whole text,
// and returns as if the text had been sent.
void sendLogToParent(ParentLink& link, const std::string& text, int level, bool forward);

// While it lives, the log's lines go to the parent on `link` (sendLogToParent); the sink
// before it comes back at its end.
class LogToParent {
public:
    explicit LogToParent(ParentLink& link);
    ~LogToParent();
    LogToParent(const LogToParent&) = delete;
    LogToParent& operator=(const LogToParent&) = delete;

private:
    LogSink previous_;
};

// Asks the parent for the log level (GetLogLevel, unwrapped) and takes it from its
// CurrentLogLevel reply. Any other reply keeps the level and logs that at level 1.
void setupLogLevel(ParentLink& link);

// The last words of a crashing worker: replaces "wdiag.log" with `text` and reports it to
// the event log as an error of the source "Harbex". Throws nothing; what cannot be written
// is lost.
void fatalReport(const std::string& text);

// The same for the report of a crash, which may have broken the heap: converted to UTF-8 in
// a fixed buffer and written without the heap. A text that cannot be converted within
// kCrashReportRoom units is lost.
void fatalCrashReport(const wchar_t* text) noexcept;
