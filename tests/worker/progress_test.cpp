#include "worker/progress.h"

#ifdef _WIN32
#include "worker/link_peer.h"
#endif

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
    const Case cases[] = {
        {"preparing keeps the percentage", State::Preparing, 100, totalsAfter(0, 0, 0), after(1), 100, {}, {}},
        {"waiting for the server reports 0", State::WaitingForServer, 57, totalsAfter(0, 0, 0), after(1), 0, {}, {}},
        {"one chunk of 1 MiB in 10 s: no rate",
         State::Restoring,
         10,
         totalsAfter(1, 1048576, 9),
         after(10),
         10,
         {},
         {}},
        {"2 chunks, 300000 bytes, exactly 2.0 s",
         State::Restoring,
         20,
         totalsAfter(2, 300000, 8),
         after(2),
         20,
         150000,
         {}},
        {"4 chunks, 4 MiB, 8 s, 6 to come", State::Restoring, 40, totalsAfter(4, 4194304, 6), after(8), 40, 524288, 12},
        // Each threshold, just missed.
        {"rate: 1 byte under 256 KiB", State::Restoring, 5, totalsAfter(2, 262143, 1), after(100), 5, {}, {}},
        {"rate: exactly 256 KiB", State::Restoring, 5, totalsAfter(2, 262144, 1), after(4), 5, 65536, {}},
        {"rate: just under 2 s", State::Restoring, 5, totalsAfter(2, 300000, 1), after(1, 999999), 5, {}, {}},
        {"time left: 1 byte under 2 MiB", State::Restoring, 5, totalsAfter(3, 2097151, 3), after(10), 5, 209715, {}},
        {"time left: only 2 chunks", State::Restoring, 5, totalsAfter(2, 4194304, 3), after(10), 5, 419430, {}},
        {"time left: just under 5 s", State::Restoring, 5, totalsAfter(3, 2097152, 3), after(4, 999999), 5, 419430, {}},
        {"time left: exactly the minimum", State::Restoring, 5, totalsAfter(3, 2097152, 3), after(5), 5, 419430, 5},
        // Truncation toward zero: 1000000 / 3 s and 1 / (3 / 7 s).
        {"rate and time left truncated", State::Restoring, 1, totalsAfter(3, 3000001, 1), after(7), 1, 428571, 2},
        {"elapsed counts the microseconds",
         State::Restoring,
         1,
         totalsAfter(2, 300000, 0),
         after(2, 500000),
         1,
         120000,
         {}},
        {"nothing more to come", State::Restoring, 99, totalsAfter(10, 10485760, 0), after(20), 99, 524288, 0},
        // Only while restoring, however much has arrived.
        {"preparing with data", State::Preparing, 0, totalsAfter(100, 104857600, 5), after(100), 0, {}, {}},
        {"waiting with data", State::WaitingForServer, 30, totalsAfter(100, 104857600, 5), after(100), 0, {}, {}},
        {"no restore with data", State::NoRestore, 0, totalsAfter(100, 104857600, 5), after(100), 0, {}, {}},
    };
    for (const Case& c : cases) {
        const proto::UpdateRestoreProgress report = makeProgress(c.state, c.percentage, c.totals, c.now);
        EXPECT_EQ(report.state, c.state) << c.what;
        EXPECT_EQ(report.percentage, c.expectedPercentage) << c.what;
        EXPECT_EQ(report.files, 17u) << c.what;
        EXPECT_EQ(report.bytes, 123456789012ULL) << c.what;
        EXPECT_EQ(report.hasRate, c.rate.has_value()) << c.what;
        if (report.hasRate && c.rate) {
            EXPECT_EQ(report.rate, *c.rate) << c.what;
        }
        EXPECT_EQ(report.hasTimeLeft, c.timeLeft.has_value()) << c.what;
        if (report.hasTimeLeft && c.timeLeft) {
            EXPECT_EQ(report.timeLeft, *c.timeLeft) << c.what;
        }
    }
}

#ifdef _WIN32
class ReportProgressTest : public ::testing::Test, protected link_test::LinkedToPeer {};

TEST_F(ReportProgressTest, SendsOneBareReportOfTheRunsTotals)
{
    RestoreTotals totals = totalsAfter(4, 4194304, 6);
    // Started long enough ago for both estimates; the exact values depend on the clock.
    totals.restoreStartTime = UsecTime::now() - UsecTime(1000, 0);
    reportProgress(*link, totals, State::Restoring, 40);
    reportProgress(*link, totals, State::WaitingForServer, 57);

    const std::vector<link_test::Message> messages = peer.takeMessages();
    ASSERT_EQ(messages.size(), 2u);
    auto* restoring = dynamic_cast<proto::UpdateRestoreProgress*>(messages[0].get());
    ASSERT_NE(restoring, nullptr) << "not sent bare";
    EXPECT_EQ(restoring->state, State::Restoring);
    EXPECT_EQ(restoring->percentage, 40);
    EXPECT_EQ(restoring->files, 17u);
    EXPECT_EQ(restoring->bytes, 123456789012ULL);
    ASSERT_TRUE(restoring->hasRate);
    EXPECT_GE(restoring->rate, 4194u); // 4194304 bytes over a little more than 1000 s
    EXPECT_LE(restoring->rate, 4194u);
    ASSERT_TRUE(restoring->hasTimeLeft);
    EXPECT_EQ(restoring->timeLeft, 1500u); // 6 chunks at 4 per 1000 s

    auto* waiting = dynamic_cast<proto::UpdateRestoreProgress*>(messages[1].get());
    ASSERT_NE(waiting, nullptr);
    EXPECT_EQ(waiting->state, State::WaitingForServer);
    EXPECT_EQ(waiting->percentage, 0);
    EXPECT_FALSE(waiting->hasRate);
    EXPECT_FALSE(waiting->hasTimeLeft);
}
#endif

} // namespace
