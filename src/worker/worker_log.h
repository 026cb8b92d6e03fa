#pragma once
// The worker's log goes to its parent: every line becomes ClientWorkerLog records on the
// parent link. Only when a line cannot be sent for another reason than the parent's
// departure is it kept locally, in "wdiag.log" in the working directory. A program that
// uses anything of this file has sendLogToParent as its log sink from the start.
#include <string>

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
void sendLogToParent(const std::string& text, int level, bool forward);

// Asks the parent for the log level (GetLogLevel, unwrapped) and takes it from its
// CurrentLogLevel reply. Any other reply keeps the level and logs that at level 1.
void setupLogLevel();

// The last words of a crashing worker: replaces "wdiag.log" with `text` and reports it to
// the event log as an error of the source "Harbex". Throws nothing; what cannot be written
// is lost.
void fatalReport(const std::string& text);

// The same for the report of a crash, which may have broken the heap: converted to UTF-8 in
// a fixed buffer and written without the heap. A text that cannot be converted within
// kCrashReportRoom units is lost.
void fatalCrashReport(const wchar_t* text) noexcept;
