// What restore-host shows a person: the progress line fitted to the terminal, the display's
// pace and its plain form for files, the account of what the worker said, and the summary.
#include "display.h"
#include "progress_line.h"
#include "summary.h"
#include "worker_account.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace host;

constexpr std::uint64_t kMiB = 1048576;

// Restoring at `percentage` %, 39 of 92 objects, 126 of 300 MiB served in 2 s.
Progress at(std::int32_t state, std::int32_t percentage)
{
    Progress p;
    p.state = state;
    p.percentage = percentage;
    p.objectsDone = 39;
    p.objectsTotal = 92;
    p.bytesDone = 126 * kMiB;
    p.bytesTotal = 300 * kMiB;
    p.seconds = 2;
    return p;
}

TEST(HostProgressLine, FitsTheTerminalDroppingFieldsWhenNarrow)
{
    const std::pair<std::size_t, std::string> cases[] = {
        {120,
         "Restoring [############------------------]   42%  39/92 objects  126.0/300.0 MiB   66.1 MB/s   0:03 left"},
        {80, "Restoring [##---]   42%  39/92 objects  126.0/300.0 MiB   66.1 MB/s   0:03 left"},
        {72, "Restoring   42%  39/92 objects  126.0/300.0 MiB   66.1 MB/s   0:03 left"},
        {71, "Restoring [####-------]   42%  126.0/300.0 MiB   66.1 MB/s   0:03 left"},
        {50, "Restoring   42%  126.0/300.0 MiB   0:03 left"},
        {40, "Restoring   42%  126.0/300.0 MiB"},
        {30, "Restoring [####-------]   42%"},
        {10, "Restoring"},
        {0, ""},
    };
    for (const auto& [width, line] : cases)
        EXPECT_EQ(progressLine(at(2, 42), width), line) << width;
    for (std::size_t width = 1; width < 200; ++width)
        EXPECT_LT(progressLine(at(2, 42), width).size(), width) << "wraps at " << width;

    // Before the first second the rate and time left are unknown; numbers keep their columns.
    Progress early = at(2, 42);
    early.seconds = 0.5;
    early.objectsDone = 3;
    early.bytesDone = 6 * kMiB;
    EXPECT_EQ(progressLine(early, 80),
              "Restoring [##---]   42%   3/92 objects    6.0/300.0 MiB     -- MB/s  --:-- left");
    EXPECT_EQ(plainProgressLine(early), "Restoring 42%: 3/92 objects, 6.0/300.0 MiB, -- MB/s, --:-- left");
}

TEST(HostDisplay, PlainOutputHasALineForEachStateAndEachTenthAndNoRedraws)
{
    Display display({Screen::Kind::Plain, 0});
    const std::pair<std::int32_t, std::int32_t> reports[] = {{0, 0},  {0, 100}, {1, 0},  {2, 0},   {2, 5},
                                                             {2, 10}, {2, 19},  {2, 35}, {2, 100}, {2, 100}};
    for (const auto& [state, percentage] : reports)
        display.progress(at(state, percentage));
    display.log("Info: after");
    std::string expected;
    for (const auto& [state, percentage] : {std::pair(0, 0), {1, 0}, {2, 0}, {2, 10}, {2, 35}, {2, 100}})
        expected += plainProgressLine(at(state, percentage)) + "\n";
    EXPECT_EQ(display.take(0), expected + "Info: after\n");
}

// The worker's log lines (severity, text) and its progress reports (severity -1: state and
// percentage in the text, "2 100").
WorkerAccount accountOf(std::int32_t logLevel, const std::vector<std::pair<int, std::string>>& said)
{
    WorkerAccount account(logLevel);
    for (const auto& [severity, text] : said) {
        if (severity >= 0) {
            account.log(severity, text);
            continue;
        }
        proto::UpdateRestoreProgress report;
        report.state = std::stoi(text);
        report.percentage = std::stoi(text.substr(2));
        account.report(report);
    }
    return account;
}

const std::pair<int, std::string> kExiting = {2, "Restore completer exiting. Restore completed successfully."};
const std::pair<int, std::string> kDying = {0, "Restore completer dying: Unknown status from server"};

TEST(HostWorkerAccount, AWorkerThatEndsWithoutItsFinalWordVanished)
{
    struct Case {
        const char* what;
        std::int32_t logLevel;
        std::vector<std::pair<int, std::string>> said;
        std::uint32_t exitCode;
        bool hostClosedInput, finished, vanished;
    };
    const Case cases[] = {
        {"completed", 2, {{-1, "2 0"}, {-1, "2 100"}, kExiting}, 0, false, true, false},
        {"completed, exiting line filtered", 1, {{-1, "2 100"}}, 0, false, true, false},
        {"killed after the last chunk", 2, {{-1, "2 100"}}, 0, false, false, true},
        {"killed while waiting", 2, {{-1, "1 0"}}, 0, false, false, true},
        {"failed and said so", 2, {{-1, "2 40"}, kDying}, 1, false, false, false},
        {"failed mid-restore in silence", 2, {{-1, "2 40"}}, 1, false, false, true},
        {"input closed by the host", 2, {{-1, "2 40"}}, 1, true, false, false},
        {"failed before restoring", 2, {{-1, "0 0"}}, 1, false, false, false},
    };
    for (const Case& c : cases) {
        const WorkerAccount account = accountOf(c.logLevel, c.said);
        EXPECT_EQ(account.finished(), c.finished) << c.what;
        EXPECT_EQ(workerVanished(account, c.exitCode, c.hostClosedInput), c.vanished) << c.what;
    }
}

TEST(HostSummary, WhatAPersonReadsFirst)
{
    RunResult served;
    served.objectsTotal = served.objectsServed = 92;
    served.bytesServed = 300 * kMiB;
    served.seconds = 4;
    RunResult withFailures = served;
    withFailures.failedServed = 5;
    RunResult vanished = served;
    vanished.exitCode = 3;
    vanished.vanished = true;
    vanished.objectsServed = 12;
    vanished.bytesServed = 40 * kMiB;
    vanished.peakWorkingSet = 1234;
    vanished.transferSeconds = 3.25;
    RunResult dying = vanished;
    dying.exitCode = dying.workerExitCode = 1;
    dying.vanished = false;

    // The same object failing twice is named once; the count comes from the closing line.
    std::vector<std::pair<int, std::string>> fiveFailed;
    for (const char* name : {"C:\\a", "C:\\a", "C:\\b", "C:\\c", "C:\\d"})
        fiveFailed.push_back({1, std::string("Failing restore of object \"") + name + "\": bad"});
    fiveFailed.push_back({1, "Restore finished with 5 failed objects: ..."});
    fiveFailed.push_back({2, "Completed deferred processing. Please reboot."});
    struct Case {
        WorkerAccount account;
        RunResult result;
        std::string text;
    };
    const Case cases[] = {
        {accountOf(2, {{2, "Completed deferred processing"}}), served,
         "== Restore complete\n"
         "   objects  92 of 92 restored\n"
         "   data     300.0 MiB in 4.0 s, 78.6 MB/s on average\n"
         "   reboot   not needed\n"},
        {accountOf(2, fiveFailed), withFailures,
         "== Restore complete, with failed objects\n"
         "   objects  87 of 92 restored; 5 failed: \"C:\\a\", \"C:\\b\", \"C:\\c\" and 2 more\n"
         "   data     300.0 MiB in 4.0 s, 78.6 MB/s on average\n"
         "   reboot   REQUIRED: restart Windows to finish the restore\n"},
        {accountOf(2, {}), vanished,
         "== Restore FAILED: the worker ended without finishing the restore (exit code 0): it was ended from "
         "outside, or it crashed\n"
         "   objects  12 of 92 served\n"
         "   data     40.0 MiB in 4.0 s, 10.5 MB/s on average\n"},
        {accountOf(2, {{-1, "3 0"}}), dying,
         "== No restore: the server knows of none for this job\n"
         "   objects  12 of 92 served\n"
         "   data     40.0 MiB in 4.0 s, 10.5 MB/s on average\n"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(summaryText(c.account, c.result), c.text);
    EXPECT_EQ(resultLine(vanished),
              "restore-host: exit=3 objects=12 bytes=41943040 seconds=4.000 peak_working_set=1234 "
              "transfer_seconds=3.250");
}

} // namespace
