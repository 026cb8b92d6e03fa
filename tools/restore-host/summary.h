#pragma once
// How a run ended, for people (a few lines that say whether the restore completed, what failed,
// how much data in how long, and whether to reboot) and for programs (the result line).
#include "worker_account.h"

#include <cstdint>
#include <string>

namespace host {

struct RunResult {
    int exitCode = 0; // the host's
    std::uint32_t workerExitCode = 0;
    bool vanished = false;
    bool hostClosedInput = false;
    std::uint64_t objectsTotal = 0;  // in the job
    std::uint64_t objectsServed = 0; // whose chunks were all served
    std::uint64_t failedServed = 0;  // of those, the ones the worker named as failed
    std::uint64_t bytesServed = 0;   // plain bytes of the chunks served
    double seconds = 0;              // the worker's run
    std::uint64_t peakWorkingSet = 0;
    // From the first chunk request to the one answered with ChunkNone (0 when it never came).
    double transferSeconds = 0;
};

// How many names of failed objects the summary shows.
inline constexpr std::size_t kNamesShown = 3;

// The summary, one line after another, each ending in a newline.
std::string summaryText(const WorkerAccount& account, const RunResult& result);
// "restore-host: exit=0 objects=N bytes=B seconds=S peak_working_set=P transfer_seconds=T",
// the last line the host writes: N objects and B bytes actually served.
std::string resultLine(const RunResult& result);
// The line that says the worker vanished, shown even when the host is quiet.
std::string vanishedLine(std::uint32_t workerExitCode);

} // namespace host
