#include "worker/progress.h"

#ifdef _WIN32
#include "worker/parent_link.h"
#endif

namespace {

constexpr std::uint64_t kRateMinimumBytes = 262144;      // 256 KiB
constexpr std::uint64_t kTimeLeftMinimumBytes = 2097152; // 2 MiB

} // namespace

proto::UpdateRestoreProgress makeProgress(std::int32_t state, std::int32_t percentage, const RestoreTotals& totals,
                                          const UsecTime& now)
{
    proto::UpdateRestoreProgress report;
    report.state = state;
    report.percentage = state == proto::Cli_RestoreProgress::WaitingForServer ? 0 : percentage;
    report.files = totals.jobFiles;
    report.bytes = totals.jobBytes;

    const double elapsed = (now - totals.restoreStartTime).toSeconds();
    if (state != proto::Cli_RestoreProgress::Restoring)
        return report;
    if (totals.downloadedBytes >= kRateMinimumBytes && totals.chunksReceived >= 2 && elapsed >= 2.0) {
        report.rate = static_cast<std::uint64_t>(static_cast<double>(totals.downloadedBytes) / elapsed);
        report.hasRate = true;
    }
    if (totals.downloadedBytes >= kTimeLeftMinimumBytes && totals.chunksReceived >= 3 && elapsed >= 5.0) {
        const double chunksPerSecond = static_cast<double>(totals.chunksReceived) / elapsed;
        report.timeLeft = static_cast<std::uint64_t>(static_cast<double>(totals.remainingChunks) / chunksPerSecond);
        report.hasTimeLeft = true;
    }
    return report;
}

#ifdef _WIN32
void reportProgress(ParentLink& link, const RestoreTotals& totals, std::int32_t state, std::int32_t percentage)
{
    link.write(makeProgress(state, percentage, totals, UsecTime::now()));
}
#endif
