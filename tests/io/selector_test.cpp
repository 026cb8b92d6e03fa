// Selectors and timers; on Windows the alertable wait under them, made to answer through the
// system-call table. Stacked selectables (the BER reader and writer over the pipe streams) are
// what every end-to-end run waits on.
#include "io/selector.h"

#include "common/error.h"
#include "io/os_wait.h"
#include "support.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#ifdef _WIN32
#include "sys/syscalls.h"
#endif

namespace {

using io::AlwaysReady;
using io::Selectable;
using io::Timer;

using support::expectThrows;

const UsecTime kLongAgo(1000, 0);

UsecTime secondsFromNow(int seconds)
{
    return UsecTime::now() + UsecTime(seconds, 0);
}

// A selectable that becomes ready when told.
class Source : public Selectable {
public:
    ~Source() override { leaveAllSelectors(); }
    std::string name() const override { return "Source"; }
    bool isReady() const override { return items_ > 0; }

    void give(int n)
    {
        items_ += n;
        notifyReady();
    }
    // Takes one item and, like a stream with bytes left, says so again.
    void take()
    {
        --items_;
        if (items_ > 0)
            notifyReady();
    }
    int items_ = 0;
};

TEST(WaitTimeout, RoundsTheRemainingTimeUpToWholeMilliseconds)
{
    const UsecTime now(1700000000, 500000);
    struct Case {
        UsecTime deadline;
        std::uint32_t expected;
    };
    const Case cases[] = {
        {now, 0},                                // due exactly now
        {UsecTime(1700000000, 499999), 0},       // already past
        {UsecTime(1700000000, 501200), 2},       // 1.2 ms
        {UsecTime(1700000000, 501000), 1},       // exactly 1 ms
        {UsecTime(1700000001, 499999), 1000},    // 999.999 ms
        {UsecTime(1700000003, 0), 2500},         // 2.5 s across a second boundary
        {UsecTime(1700000009, 500000), 9000},    // the driver's pause between inquiries
        {UsecTime::never, io::os::kInfinite - 1} // far beyond 49 days: the longest finite wait
    };
    for (const Case& c : cases)
        EXPECT_EQ(io::waitTimeoutMs(&c.deadline, now), c.expected) << c.deadline.seconds() << "." << c.deadline.usec();
    EXPECT_EQ(io::waitTimeoutMs(nullptr, now), io::os::kInfinite);
}

TEST(Selector, ReadyMembersFirstThenTheEarliestDeadlineThenTheFirstRegistered)
{
    // The registered set is ordered by address: timers[0] comes first whatever the order
    // of the calls to add.
    Timer timers[2] = {Timer(kLongAgo), Timer(kLongAgo)};
    Timer future(secondsFromNow(3600));
    Source source;
    io::Selector<int> selector;
    selector.add(timers[1], 1);
    selector.add(timers[0], 0);
    selector.add(future, 2);
    selector.add(source, 3);
    EXPECT_EQ(selector.poll().second, 0);
    EXPECT_EQ(selector.pollNonBlocking().second, 0);
    // A strictly earlier deadline wins wherever it stands.
    timers[1].setExpiry(UsecTime(999, 999999));
    EXPECT_EQ(selector.poll().second, 1);
    source.give(1);
    EXPECT_EQ(selector.poll().second, 3);
    // Nothing told the selector again: the ready source is found only through its notice.
    EXPECT_EQ(selector.poll().second, 1);
    source.take();
    source.give(1);
    EXPECT_EQ(selector.poll().second, 3);

    // Removed, a member is not handed out again, even when it was queued as ready.
    source.give(1);
    selector.remove(source);
    selector.remove(timers[0]);
    selector.remove(timers[1]);
    EXPECT_TRUE(source.selectors().empty());
    expectThrows<io::ENotReady>([&] { selector.pollNonBlocking(); }, "Selectable <unknown> not ready");
    AlwaysReady always;
    selector.add(always, 4);
    EXPECT_EQ(selector.poll().second, 4);
    EXPECT_EQ(selector.poll().second, 4);
}

#ifdef _WIN32

int fakeSleepCalls = 0;

TEST(OsWait, IoCompletionRestartsTheWait)
{
    fakeSleepCalls = 0;
    auto guard = support::replaced(
        sys::calls.SleepEx, +[](DWORD, BOOL) -> DWORD { return ++fakeSleepCalls < 3 ? WAIT_IO_COMPLETION : 0; });
    Timer expired(kLongAgo);
    io::BareSelector selector;
    selector.add(expired);
    EXPECT_EQ(&selector.pollImpl(false), &expired);
    EXPECT_EQ(fakeSleepCalls, 3);
}

TEST(OsWait, FailedWaitThrowsWithTheSystemText)
{
    auto failing = support::refuse(sys::calls.SleepEx, ERROR_INVALID_HANDLE, WAIT_FAILED);
    Timer future(secondsFromNow(3600));
    io::BareSelector selector;
    selector.add(future);
    expectThrows<io::EInputOutput>([&] { selector.pollImpl(false); }, "WaitForMultipleEvents returned error: " +
                                                                          error::systemErrorText(ERROR_INVALID_HANDLE));
}

#endif

} // namespace
