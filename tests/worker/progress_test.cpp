#include "worker/progress.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

namespace {

using State = proto::Cli_RestoreProgress;

const UsecTime start(1700000000, 250000);

// Totals after `chunks` chunks of `bytes` in all, `remaining` still to come.
RestoreTotals totalsAfter(std::uint64_t chunks, std::uint64_t bytes, std::uint32_t remaining)
{
    RestoreTotals totals;
    totals.jobFiles = 17;
    totals.jobDirectories = 4;
    totals.jobBytes = 123456789012ULL;
    totals.chunksReceived = chunks;
    totals.downloadedBytes = bytes;
    totals.remainingChunks = remaining;
    totals.restoreStartTime = start;
    return totals;
}

UsecTime after(std::int32_t seconds, std::int32_t usec = 0)
{
    return start + UsecTime(seconds, usec);
}

// Rate from 256 KiB in at least 2 chunks over at least 2 s; time left from 2 MiB in at least
// 3 chunks over at least 5 s; both only while restoring. Each threshold is just missed once.
TEST(MakeProgress, FillsStatePercentageRateAndTimeLeftByTheRules)
{
    struct Case {
        const char* what;
        std::int32_t state, percentage;
        RestoreTotals totals;
        UsecTime now;
        std::int32_t expectedPercentage;
        std::optional<std::uint64_t> rate, timeLeft;
    };
    const std::int32_t restoring = State::Restoring;
    const Case cases[] = {
        {"one chunk: no rate", restoring, 10, totalsAfter(1, 1048576, 9), after(10), 10, {}, {}},
        {"4 chunks, 4 MiB, 8 s, 6 to come", restoring, 40, totalsAfter(4, 4194304, 6), after(8), 40, 524288, 12},
        {"rate: 1 byte under 256 KiB", restoring, 5, totalsAfter(2, 262143, 1), after(100), 5, {}, {}},
        {"rate: exactly 256 KiB", restoring, 5, totalsAfter(2, 262144, 1), after(4), 5, 65536, {}},
        {"rate: just under 2 s", restoring, 5, totalsAfter(2, 300000, 1), after(1, 999999), 5, {}, {}},
        {"preparing keeps the percentage",
         State::Preparing,
         100,
         totalsAfter(100, 104857600, 5),
         after(9),
         100,
         {},
         {}},
        {"rate: exactly 2 s", restoring, 5, totalsAfter(2, 300000, 8), after(2), 5, 150000, {}},
        {"time left: 1 byte under 2 MiB", restoring, 5, totalsAfter(3, 2097151, 3), after(10), 5, 209715, {}},
        {"time left: only 2 chunks", restoring, 5, totalsAfter(2, 4194304, 3), after(10), 5, 419430, {}},
        {"time left: just under 5 s", restoring, 5, totalsAfter(3, 2097152, 3), after(4, 999999), 5, 419430, {}},
        {"time left: exactly the minimum", restoring, 5, totalsAfter(3, 2097152, 3), after(5), 5, 419430, 5},
        // Truncation toward zero: 1000000 / 3 s and 1 / (3 / 7 s).
        {"rate and time left truncated", restoring, 1, totalsAfter(3, 3000001, 1), after(7), 1, 428571, 2},
        {"elapsed counts the microseconds", restoring, 1, totalsAfter(2, 300000, 0), after(2, 500000), 1, 120000, {}},
        {"nothing more to come", restoring, 99, totalsAfter(10, 10485760, 0), after(20), 99, 524288, 0},
        {"waiting reports 0", State::WaitingForServer, 30, totalsAfter(100, 104857600, 5), after(100), 0, {}, {}},
        {"no restore with data", State::NoRestore, 0, totalsAfter(100, 104857600, 5), after(100), 0, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const proto::UpdateRestoreProgress report = makeProgress(c.state, c.percentage, c.totals, c.now);
        EXPECT_EQ(report.state, c.state);
        EXPECT_EQ(report.percentage, c.expectedPercentage);
        EXPECT_EQ(report.files, 17u);
        EXPECT_EQ(report.bytes, 123456789012ULL);
        EXPECT_EQ(report.hasRate ? std::optional(report.rate) : std::nullopt, c.rate);
        EXPECT_EQ(report.hasTimeLeft ? std::optional(report.timeLeft) : std::nullopt, c.timeLeft);
    }
}

} // namespace
