#include "worker_process.h"

#include <psapi.h>

#include <algorithm>

namespace host {
namespace {

// The worker's pipes hold a whole chunk each way.
constexpr DWORD kPipeBuffer = 1 << 20;
constexpr DWORD kExitGraceMs = 30000;
constexpr UINT kGivenUp = 3;
constexpr std::chrono::milliseconds kSampleInterval{20};

} // namespace

WorkerProcess::WorkerProcess(const std::wstring& program, const std::wstring& workDirectory)
    : child_(program, L"", workDirectory, kPipeBuffer)
{
}

WorkerProcess::~WorkerProcess()
{
    child_.closeInput();
    if (!exited_ && !child_.waitForExit(kExitGraceMs))
        child_.terminate(kGivenUp);
}

DWORD WorkerProcess::wait()
{
    samplePeakWorkingSet(true);
    const DWORD code = child_.exitCode();
    samplePeakWorkingSet(true);
    if (!exited_)
        ended_ = std::chrono::steady_clock::now();
    exited_ = true;
    return code;
}

void WorkerProcess::terminate()
{
    if (!exited_)
        child_.terminate(kGivenUp);
}

void WorkerProcess::samplePeakWorkingSet(bool now)
{
    const auto time = std::chrono::steady_clock::now();
    if (!now && time - sampled_ < kSampleInterval)
        return;
    sampled_ = time;
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (GetProcessMemoryInfo(child_.process(), &counters, sizeof counters))
        peakWorkingSet_ = std::max<std::uint64_t>(peakWorkingSet_, counters.PeakWorkingSetSize);
}

double WorkerProcess::seconds() const
{
    const auto end = exited_ ? ended_ : std::chrono::steady_clock::now();
    return std::chrono::duration<double>(end - started_).count();
}

} // namespace host
