#include "worker/worker_log.h"

#include "common/crash_report.h"
#include "common/log.h"
#include "common/text.h"
#include "io/errors.h"
#include "proto/messages.h"
#include "sys/handle.h"
#include "sys/syscalls.h"
#include "worker/log_records.h"
#include "worker/parent_link.h"

#include <string_view>

namespace {

// "wdiag.log", emptied on opening; others may read and write it meanwhile.
class LocalLogFile {
public:
    LocalLogFile()
        : file_(sys::calls.CreateFileW(kLocalLogFile, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                       CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr))
    {
    }

    // Writes `line` and a line end, if the file opened.
    void writeLine(const std::string& line) { write(line + "\r\n"); }
    // Writes the bytes as they are, if the file opened.
    void write(std::string_view bytes)
    {
        if (!file_)
            return;
        DWORD written = 0;
        sys::calls.WriteFile(file_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    }

private:
    sys::UniqueHandle file_;
};

// Reports `text` to the event log as an error of the worker's source, if it can.
void reportFatalEvent(const wchar_t* text)
{
    sys::UniqueEventSource source(sys::calls.RegisterEventSourceW(nullptr, kEventSource));
    if (!source)
        return;
    const wchar_t* strings[] = {text};
    sys::calls.ReportEventW(source.get(), EVENTLOG_ERROR_TYPE, 0, kFatalEventId, nullptr, 1, 0, strings, nullptr);
}

} // namespace

void sendLogToParent(ParentLink& link, const std::string& text, int level, bool forward)
{
    try {
        for (const std::string& piece : splitLogText(text)) {
            proto::ClientWorkerLog record;
            record.severity = level;
            record.text = piece;
            link.write(record);
            if (forward) {
                proto::ClientLogMessage forwarded;
                forwarded.severity = level;
                forwarded.text = piece;
                link.write(forwarded);
            }
        }
    } catch (const io::EEndOfStream&) {
        throw; // the parent is gone: nobody is left to tell
    } catch (...) {
        LocalLogFile().writeLine(localLogLine(text, level, forward));
    }
}

LogToParent::LogToParent(ParentLink& link)
    : previous_(setLogSink(
          [&link](const std::string& text, int level, bool forward) { sendLogToParent(link, text, level, forward); }))
{
}

LogToParent::~LogToParent()
{
    setLogSink(std::move(previous_));
}

void setupLogLevel(ParentLink& link)
{
    link.write(proto::GetLogLevel());
    std::unique_ptr<protocol::BerConstructed> reply = link.read();
    if (auto* current = dynamic_cast<proto::CurrentLogLevel*>(reply.get()))
        logLevel = current->level;
    else
        logMessage("Unable to setup log level, will maintain current level", 1, false);
}

void fatalCrashReport(const wchar_t* text) noexcept
{
    // Every unit of a report becomes at most three bytes, and the line end follows.
    static char line[kCrashReportRoom * 3 + 2];
    const int length =
        sys::calls.WideCharToMultiByte(CP_UTF8, 0, text, -1, line, static_cast<int>(sizeof line - 1), nullptr, nullptr);
    if (length <= 0)
        return;
    line[length - 1] = '\r'; // in place of the terminating NUL
    line[length] = '\n';
    LocalLogFile().write(std::string_view(line, static_cast<std::size_t>(length) + 1));
    reportFatalEvent(text);
}

void fatalReport(const std::string& text)
{
    LocalLogFile().writeLine(text);
    std::wstring wide;
    try {
        wide = toWide(text);
    } catch (const error::Exception&) {
        return; // a text Windows cannot read goes to the file only
    }
    reportFatalEvent(wide.c_str());
}
