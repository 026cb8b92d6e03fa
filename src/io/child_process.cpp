#include "io/child_process.h"

#include "common/error.h"
#include "common/text.h"

namespace io {
namespace {

// The exit code of a child that its parent ended.
constexpr UINT kEndedByParent = 3;

void inherit(HANDLE handle)
{
    if (!sys::calls.SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT))
        error::throwSystemError(GetLastError(), "cannot hand a pipe to a child");
}

} // namespace

std::wstring besideThisProgram(const std::wstring& program)
{
    std::wstring self(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = sys::calls.GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
        if (n == 0)
            error::throwSystemError(GetLastError(), "cannot find this program's own path");
        if (n < self.size()) {
            self.resize(n);
            break;
        }
        self.resize(self.size() * 2);
    }
    return self.substr(0, self.find_last_of(L"\\/") + 1) + program;
}

ChildProcess::ChildProcess(const std::wstring& program, const std::wstring& arguments, const std::wstring& directory,
                           DWORD pipeBuffer)
    : name_(toUtf8(program)),
      toChild_(makePipePair(PIPE_ACCESS_OUTBOUND, pipeBuffer)),
      fromChild_(makePipePair(PIPE_ACCESS_INBOUND, pipeBuffer)),
      writer_(toChild_.server.get()),
      reader_(fromChild_.server.get())
{
    inherit(toChild_.client.get());
    inherit(fromChild_.client.get());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = toChild_.client.get();
    startup.hStdOutput = fromChild_.client.get();
    startup.hStdError = sys::calls.GetStdHandle(STD_ERROR_HANDLE);
    std::wstring commandLine = L"\"" + program + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
    PROCESS_INFORMATION info{};
    if (!sys::calls.CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                   directory.empty() ? nullptr : directory.c_str(), &startup, &info))
        error::throwSystemError(GetLastError(), "cannot start " + name_);
    process_.reset(info.hProcess);
    sys::UniqueHandle thread(info.hThread);
    // Only the child holds its ends now: its exit ends the parent's reads.
    toChild_.client.reset();
    fromChild_.client.reset();
}

ChildProcess::~ChildProcess()
{
    closeInput();
    if (process_ && !waitForExit(0))
        terminate(kEndedByParent);
}

bool ChildProcess::send(std::string_view bytes)
{
    return !inputClosed() && writer_.write(bytes);
}

bool ChildProcess::waitForExit(DWORD milliseconds)
{
    return sys::calls.WaitForSingleObject(process_.get(), milliseconds) == WAIT_OBJECT_0;
}

DWORD ChildProcess::exitCode(DWORD milliseconds)
{
    const DWORD waited = sys::calls.WaitForSingleObject(process_.get(), milliseconds);
    if (waited != WAIT_OBJECT_0)
        error::throwSystemError(waited == WAIT_TIMEOUT ? WAIT_TIMEOUT : GetLastError(), "cannot wait for " + name_);
    DWORD code = 0;
    if (!sys::calls.GetExitCodeProcess(process_.get(), &code))
        error::throwSystemError(GetLastError(), "cannot read the exit code of " + name_);
    return code;
}

} // namespace io
