#include "worker_process.h"

#include "common/error.h"
#include "common/text.h"

#include <psapi.h>

#include <algorithm>
#include <atomic>

namespace host {
namespace {

constexpr DWORD kPipeBuffer = 1 << 20;
// Wine's server copies every write into a buffer of its own: one of a whole chunk's size is
// mapped, faulted in and unmapped again for each write, smaller ones are reused.
constexpr std::size_t kWritePiece = 256 * 1024;
constexpr DWORD kExitGraceMs = 30000;
constexpr std::chrono::milliseconds kSampleInterval{20};

[[noreturn]] void fail(const std::string& what)
{
    error::throwSystemError(GetLastError(), what);
}

struct PipeEnds {
    sys::UniqueHandle host;   // blocking, not inherited
    sys::UniqueHandle worker; // overlapped, inherited by the worker
};

// A byte pipe whose data flows to the worker (`toWorker`) or from it.
PipeEnds makePipe(bool toWorker)
{
    static std::atomic<unsigned> counter{0};
    const std::wstring name =
        L"\\\\.\\pipe\\restore-host-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(counter++);
    PipeEnds ends;
    ends.host.reset(CreateNamedPipeW(name.c_str(), toWorker ? PIPE_ACCESS_OUTBOUND : PIPE_ACCESS_INBOUND,
                                     PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, kPipeBuffer, kPipeBuffer, 0,
                                     nullptr));
    if (!ends.host)
        fail("cannot create the worker's pipe");
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    ends.worker.reset(CreateFileW(name.c_str(), toWorker ? GENERIC_READ : GENERIC_WRITE, 0, &inherited, OPEN_EXISTING,
                                  FILE_FLAG_OVERLAPPED, nullptr));
    if (!ends.worker)
        fail("cannot open the worker's end of its pipe");
    return ends;
}

} // namespace

WorkerProcess::WorkerProcess(const std::wstring& program, const std::wstring& workDirectory)
{
    PipeEnds input = makePipe(true);
    PipeEnds output = makePipe(false);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input.worker.get();
    startup.hStdOutput = output.worker.get();
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    std::wstring commandLine = L"\"" + program + L"\"";
    PROCESS_INFORMATION info{};
    started_ = std::chrono::steady_clock::now();
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, workDirectory.c_str(),
                        &startup, &info))
        fail("cannot start " + toUtf8(program));
    process_.reset(info.hProcess);
    sys::UniqueHandle thread(info.hThread);
    // Only the worker holds its ends now: its exit ends the host's reads.
    toWorker_ = std::move(input.host);
    fromWorker_ = std::move(output.host);
}

WorkerProcess::~WorkerProcess()
{
    closeInput();
    if (process_ && !exited_ && WaitForSingleObject(process_.get(), kExitGraceMs) != WAIT_OBJECT_0)
        TerminateProcess(process_.get(), 3);
}

bool WorkerProcess::send(const std::string& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size() && toWorker_) {
        DWORD moved = 0;
        const DWORD count = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, kWritePiece));
        if (!WriteFile(toWorker_.get(), bytes.data() + done, count, &moved, nullptr))
            return false;
        done += moved;
    }
    return done == bytes.size();
}

void WorkerProcess::closeInput()
{
    toWorker_.reset();
}

std::size_t WorkerProcess::read(char* buffer, std::size_t size)
{
    DWORD moved = 0;
    const DWORD count = static_cast<DWORD>(std::min<std::size_t>(size, kPipeBuffer));
    if (!ReadFile(fromWorker_.get(), buffer, count, &moved, nullptr)) {
        if (GetLastError() == ERROR_BROKEN_PIPE)
            return 0;
        fail("cannot read the worker's output");
    }
    return moved;
}

DWORD WorkerProcess::wait()
{
    sampleUsage(true);
    if (WaitForSingleObject(process_.get(), INFINITE) != WAIT_OBJECT_0)
        fail("cannot wait for the worker");
    sampleUsage(true);
    if (!exited_)
        ended_ = std::chrono::steady_clock::now();
    exited_ = true;
    DWORD code = 0;
    if (!GetExitCodeProcess(process_.get(), &code))
        fail("cannot read the worker's exit code");
    return code;
}

void WorkerProcess::terminate()
{
    if (!exited_)
        TerminateProcess(process_.get(), 3);
}

void WorkerProcess::sampleUsage(bool now)
{
    const auto time = std::chrono::steady_clock::now();
    if (!now && time - sampled_ < kSampleInterval)
        return;
    sampled_ = time;
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (GetProcessMemoryInfo(process_.get(), &counters, sizeof counters))
        peakWorkingSet_ = std::max<std::uint64_t>(peakWorkingSet_, counters.PeakWorkingSetSize);
    FILETIME creation{}, exit{}, kernel{}, user{};
    if (GetProcessTimes(process_.get(), &creation, &exit, &kernel, &user)) {
        auto ticks = [](const FILETIME& t) { return (std::uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime; };
        cpuSeconds_ = std::max(cpuSeconds_, static_cast<double>(ticks(kernel) + ticks(user)) / 1e7);
    }
}

double WorkerProcess::seconds() const
{
    const auto end = exited_ ? ended_ : std::chrono::steady_clock::now();
    return std::chrono::duration<double>(end - started_).count();
}

} // namespace host
