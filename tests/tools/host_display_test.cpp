// What restore-host shows a person: the progress line fitted to the terminal, the display's
// pace and its plain form for files, the account of what the worker said, and the summary.
#include "display.h"
#include "progress_line.h"
#include "summary.h"
#include "worker_account.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using namespace host;

constexpr std::uint64_t kMiB = 1048576;

// Restoring at 42 %, 39 of 92 objects, 126 of 300 MiB served in 2 s.
Progress midway()
{
    Progress p;
    p.state = 2;
    p.percentage = 42;
    p.objectsDone = 39;
    p.objectsTotal = 92;
    p.bytesDone = 126 * kMiB;
    p.bytesTotal = 300 * kMiB;
    p.seconds = 2;
    return p;
}

TEST(HostProgressLine, NumbersForPeople)
{
    EXPECT_EQ(byteCount(0), "0 B");
    EXPECT_EQ(byteCount(1023), "1023 B");
    EXPECT_EQ(byteCount(1536), "1.5 KiB");
    EXPECT_EQ(byteCount(5ULL << 30), "5.0 GiB");
    EXPECT_EQ(rateText(999), "1.0 kB/s");
    EXPECT_EQ(rateText(12345678), "12.3 MB/s");
    EXPECT_EQ(rateText(2500000000ULL), "2.50 GB/s");
    EXPECT_EQ(durationText(42), "0:42");
    EXPECT_EQ(durationText(725), "12:05");
    EXPECT_EQ(durationText(11220), "3:07:00");
    EXPECT_EQ(stateName(1), "Waiting for server");
    EXPECT_EQ(stateName(9), "State 9");
    EXPECT_EQ(logLine(1, "bad"), "Error: bad");
    EXPECT_EQ(logLine(7, "odd"), "Level 7: odd");
}

TEST(HostProgressLine, RateAndTimeLeftFromWhatWasServed)
{
    struct Case {
        double seconds;
        std::uint64_t done, total;
        std::optional<std::uint64_t> rate, left;
    };
    const Case cases[] = {
        {0.0, 0, 100, std::nullopt, std::nullopt},
        {0.9, 50, 100, std::nullopt, std::nullopt}, // too soon to say
        {1.0, 0, 100, 0, std::nullopt},             // nothing served: no time left
        {2.0, 50, 150, 25, 4},
        {2.0, 51, 150, 25, 4}, // 99 bytes at 25 a second: rounded up
        {4.0, 200, 100, 50, 0},
    };
    for (const Case& c : cases) {
        Progress p;
        p.seconds = c.seconds;
        p.bytesDone = c.done;
        p.bytesTotal = c.total;
        EXPECT_EQ(rateOf(p), c.rate) << c.seconds << " s, " << c.done;
        EXPECT_EQ(secondsLeft(p), c.left) << c.seconds << " s, " << c.done;
    }
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
        EXPECT_EQ(progressLine(midway(), width), line) << width;
    for (std::size_t width = 1; width < 200; ++width)
        EXPECT_LT(progressLine(midway(), width).size(), width) << "wraps at " << width;

    // Before the first second the rate and time left are unknown; numbers keep their columns.
    Progress early = midway();
    early.seconds = 0.5;
    early.objectsDone = 3;
    early.bytesDone = 6 * kMiB;
    EXPECT_EQ(progressLine(early, 80),
              "Restoring [##---]   42%   3/92 objects    6.0/300.0 MiB     -- MB/s  --:-- left");
    EXPECT_EQ(plainProgressLine(early), "Restoring 42%: 3/92 objects, 6.0/300.0 MiB, -- MB/s, --:-- left");
    EXPECT_EQ(plainProgressLine(midway()), "Restoring 42%: 39/92 objects, 126.0/300.0 MiB, 66.1 MB/s, 0:03 left");
}

Progress at(std::int32_t state, std::int32_t percentage)
{
    Progress p = midway();
    p.state = state;
    p.percentage = percentage;
    return p;
}

TEST(HostDisplay, TerminalRedrawsAtMostTenTimesASecondWithLogLinesAbove)
{
    Display display({Screen::Kind::Ansi, 60});
    const std::string line10 = progressLine(at(2, 10), 60), line20 = progressLine(at(2, 20), 60);
    EXPECT_EQ(display.take(0), "");
    display.progress(at(2, 10));
    EXPECT_EQ(display.take(0), "\r" + line10 + "\x1b[K");
    display.progress(at(2, 20));
    display.log("Info: one");
    EXPECT_EQ(display.take(0.05), "") << "a tenth of a second has not passed";
    EXPECT_TRUE(display.waiting());
    EXPECT_DOUBLE_EQ(display.nextTake(), 0.1);
    display.log("Info: two");
    EXPECT_EQ(display.take(0.1), "\r\x1b[KInfo: one\nInfo: two\n\r" + line20 + "\x1b[K");
    display.progress(at(2, 20));
    EXPECT_FALSE(display.waiting()) << "the same progress again draws nothing";
    EXPECT_EQ(display.take(1), "");
    display.log("Info: three");
    EXPECT_EQ(display.take(1), "\r\x1b[KInfo: three\n\r" + line20 + "\x1b[K");
    EXPECT_EQ(display.finish(), "\r\x1b[K");
    EXPECT_EQ(display.finish(), "") << "nothing left on the screen";
}

TEST(HostDisplay, ConsoleOverwritesWithBlanks)
{
    Display display({Screen::Kind::Console, 200});
    const std::string waiting = progressLine(at(1, 0), 200), restoring = progressLine(at(2, 0), 200);
    ASSERT_GT(waiting.size(), restoring.size());
    display.progress(at(1, 0));
    EXPECT_EQ(display.take(0), "\r" + waiting);
    display.progress(at(2, 0));
    EXPECT_EQ(display.take(1), "\r" + restoring + std::string(waiting.size() - restoring.size(), ' '));
    display.log("Info: x");
    EXPECT_EQ(display.take(2), "\r" + std::string(restoring.size(), ' ') + "\rInfo: x\n\r" + restoring);
    EXPECT_EQ(display.finish(), "\r" + std::string(restoring.size(), ' ') + "\r");
}

TEST(HostDisplay, PlainOutputHasALineForEachStateAndEachTenthAndNoRedraws)
{
    Display display({Screen::Kind::Plain, 0});
    const std::pair<std::int32_t, std::int32_t> reports[] = {{0, 0},  {0, 100}, {1, 0},  {2, 0},   {2, 5},
                                                             {2, 10}, {2, 19},  {2, 35}, {2, 100}, {2, 100}};
    std::string expected;
    for (const auto& [state, percentage] : reports)
        display.progress(at(state, percentage));
    display.log("Info: after");
    const std::pair<std::int32_t, std::int32_t> shown[] = {{0, 0}, {1, 0}, {2, 0}, {2, 10}, {2, 35}, {2, 100}};
    for (const auto& [state, percentage] : shown)
        expected += plainProgressLine(at(state, percentage)) + "\n";
    EXPECT_EQ(display.take(0), expected + "Info: after\n");
    display.log("Info: at once");
    EXPECT_EQ(display.take(0.01), "Info: at once\n") << "no pace for plain lines";
    EXPECT_EQ(display.finish(), "");
}

TEST(HostDisplay, LinesBeyondWhatWaitsAreCountedNotKept)
{
    Display display({Screen::Kind::Plain, 0});
    for (std::size_t i = 0; i < Display::kMaxWaitingLines + 3; ++i)
        display.log("x");
    const std::string text = display.take(0);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), static_cast<long>(Display::kMaxWaitingLines) + 1);
    EXPECT_TRUE(text.ends_with("\nrestore-host: 3 log lines not shown: they came faster than the screen took them\n"));
}

// One thing the worker says, for the account tests.
struct Said {
    int severity; // -1: a progress report of `state` at `percentage`
    std::string text;
    std::int32_t state = 0, percentage = 0;
};

Said report(std::int32_t state, std::int32_t percentage)
{
    return {-1, "", state, percentage};
}

WorkerAccount accountOf(std::int32_t logLevel, const std::vector<Said>& said)
{
    WorkerAccount account(logLevel);
    for (const Said& s : said) {
        if (s.severity >= 0) {
            account.log(s.severity, s.text);
            continue;
        }
        proto::UpdateRestoreProgress r;
        r.state = s.state;
        r.percentage = s.percentage;
        account.report(r);
    }
    return account;
}

const Said kExiting = {2, "Restore completer exiting. Restore completed successfully."};
const Said kDying = {0, "Restore completer dying: Unknown status from server"};

TEST(HostWorkerAccount, AWorkerThatEndsWithoutItsFinalWordVanished)
{
    struct Case {
        const char* what;
        std::int32_t logLevel;
        std::vector<Said> said;
        std::uint32_t exitCode;
        bool hostClosedInput;
        bool finished, vanished;
    };
    const Case cases[] = {
        {"completed", 2, {report(2, 0), report(2, 100), kExiting}, 0, false, true, false},
        {"completed, exiting line filtered", 1, {report(2, 100)}, 0, false, true, false},
        {"killed after the last chunk", 2, {report(2, 100)}, 0, false, false, true},
        {"killed mid-restore", 2, {report(2, 40)}, 0, false, false, true},
        {"killed while waiting", 2, {report(1, 0)}, 0, false, false, true},
        {"failed and said so", 2, {report(2, 40), kDying}, 1, false, false, false},
        {"failed mid-restore in silence", 2, {report(2, 40)}, 1, false, false, true},
        {"input closed by the host", 2, {report(2, 40)}, 1, true, false, false},
        {"failed before restoring", 2, {report(0, 0)}, 1, false, false, false},
    };
    for (const Case& c : cases) {
        const WorkerAccount account = accountOf(c.logLevel, c.said);
        EXPECT_EQ(account.finished(), c.finished) << c.what;
        EXPECT_EQ(workerVanished(account, c.exitCode, c.hostClosedInput), c.vanished) << c.what;
    }
}

TEST(HostWorkerAccount, FailedObjectsRebootAndFatalText)
{
    const WorkerAccount account = accountOf(2, {{1, "Failing restore of object \"C:\\a\": bad chunk"},
                                                {1, "Failing restore of object \"C:\\a\": again"},
                                                {1, "Failing restore of object \"C:\\b\": \"x\": y"},
                                                {1, "Cannot set the times of directory \"C:\\d\" again: no"},
                                                {1, "Restore finished with 5 failed objects: \"C:\\a\", \"C:\\b\"..."},
                                                {2, "Completed deferred processing. Please reboot."},
                                                kDying});
    EXPECT_EQ(account.failedNames(), (std::vector<std::string>{"C:\\a", "C:\\b"}));
    EXPECT_EQ(account.failedCount(), 5u);
    EXPECT_EQ(account.rebootRequired(), true);
    EXPECT_EQ(account.fatal(), kDying.text);

    const WorkerAccount quiet =
        accountOf(2, {{1, "Failing restore of object \"C:\\a\": bad"}, {2, "Completed deferred processing"}});
    EXPECT_EQ(quiet.failedCount(), 1u);
    EXPECT_EQ(quiet.rebootRequired(), false);
    EXPECT_EQ(accountOf(2, {}).rebootRequired(), std::nullopt);
}

TEST(HostSummary, WhatAPersonReadsFirst)
{
    RunResult served;
    served.objectsTotal = 92;
    served.objectsServed = 92;
    served.bytesServed = 300 * kMiB;
    served.seconds = 4;
    served.peakWorkingSet = 1234;
    served.cpuSeconds = 1.5;
    served.transferSeconds = 3.25;
    served.transferCpuSeconds = 1.125;

    std::vector<Said> fiveFailed;
    for (const char* name : {"C:\\a", "C:\\b", "C:\\c", "C:\\d"})
        fiveFailed.push_back({1, std::string("Failing restore of object \"") + name + "\": bad"});
    fiveFailed.push_back({1, "Restore finished with 5 failed objects: ..."});
    fiveFailed.push_back({2, "Completed deferred processing. Please reboot."});
    RunResult withFailures = served;
    withFailures.failedServed = 5;

    RunResult vanished = served;
    vanished.exitCode = 3;
    vanished.vanished = true;
    vanished.objectsServed = 12;
    vanished.bytesServed = 40 * kMiB;

    RunResult dying = vanished;
    dying.exitCode = 1;
    dying.workerExitCode = 1;
    dying.vanished = false;

    struct Case {
        const char* what;
        WorkerAccount account;
        RunResult result;
        std::string text;
    };
    const Case cases[] = {
        {"complete", accountOf(2, {{2, "Completed deferred processing"}}), served,
         "== Restore complete\n"
         "   objects  92 of 92 restored\n"
         "   data     300.0 MiB in 4.0 s, 78.6 MB/s on average\n"
         "   reboot   not needed\n"},
        {"failed objects", accountOf(2, fiveFailed), withFailures,
         "== Restore complete, with failed objects\n"
         "   objects  87 of 92 restored; 5 failed: \"C:\\a\", \"C:\\b\", \"C:\\c\" and 2 more\n"
         "   data     300.0 MiB in 4.0 s, 78.6 MB/s on average\n"
         "   reboot   REQUIRED: restart Windows to finish the restore\n"},
        {"log level 0", accountOf(0, {}), served,
         "== Restore complete\n"
         "   objects  92 of 92 restored (failed objects are named at log level 1 and above)\n"
         "   data     300.0 MiB in 4.0 s, 78.6 MB/s on average\n"
         "   reboot   not known (the worker tells it at log level 2 and above)\n"},
        {"vanished", accountOf(2, {}), vanished,
         "== Restore FAILED: the worker ended without finishing the restore (exit code 0): it was ended from "
         "outside, or it crashed\n"
         "   objects  12 of 92 served\n"
         "   data     40.0 MiB in 4.0 s, 10.5 MB/s on average\n"},
        {"fatal", accountOf(2, {kDying}), dying,
         "== Restore FAILED: Restore completer dying: Unknown status from server\n"
         "   objects  12 of 92 served\n"
         "   data     40.0 MiB in 4.0 s, 10.5 MB/s on average\n"},
        {"no restore", accountOf(2, {report(3, 0)}), dying,
         "== No restore: the server knows of none for this job\n"
         "   objects  12 of 92 served\n"
         "   data     40.0 MiB in 4.0 s, 10.5 MB/s on average\n"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(summaryText(c.account, c.result), c.text) << c.what;
    EXPECT_EQ(resultLine(vanished),
              "restore-host: exit=3 objects=12 bytes=41943040 seconds=4.000 peak_working_set=1234 "
              "cpu_seconds=1.500 transfer_seconds=3.250 transfer_cpu_seconds=1.125");
}

} // namespace
