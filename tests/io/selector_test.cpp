#include "io/selector.h"

#include "common/error.h"
#include "io/os_wait.h"

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

UsecTime secondsFromNow(int seconds)
{
    return UsecTime::now() + UsecTime(seconds, 0);
}

const UsecTime kLongAgo(1000, 0);

// Runs `action`, which must throw exactly an io::EInputOutput-derived `Expected` with `text`.
template <class Expected>
void expectThrows(const std::function<void()>& action, const std::string& text)
{
    try {
        action();
        ADD_FAILURE() << "no exception, expected: " << text;
    } catch (const Expected& e) {
        EXPECT_EQ(e.fullText(), text);
    }
}

// A selectable that becomes ready when told; a source of items for stacked objects.
class Source : public Selectable {
public:
    explicit Source(int items = 0) : items_(items) {}
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
    int items() const { return items_; }

private:
    int items_;
};

// A stacked object that collects `wanted` items from its source, one per readiness of the
// source, and is ready once it has them all.
class Collector : public io::StackedSelectable {
public:
    Collector(Source& source, int wanted) : source_(source), wanted_(wanted) { setUnderlying(&source_, true); }
    std::string name() const override { return "Collector"; }
    void underlyingIsReady() override
    {
        source_.take();
        ++collected_;
        ++calls_;
        if (collected_ == wanted_) {
            setUnderlying(&source_, false);
            setReady(true);
        }
    }
    // Hands the collected items out and starts collecting again.
    int fetch()
    {
        int n = collected_;
        collected_ = 0;
        setReady(false);
        setUnderlying(&source_, true);
        return n;
    }
    int calls() const { return calls_; }

private:
    Source& source_;
    int wanted_;
    int collected_ = 0;
    int calls_ = 0;
};

// A selector whose SelectorBase is reachable, for the registration rules.
class OpenSelector : public io::SelectorBase {
public:
    ~OpenSelector() override { removeAllMembers(); }
    void remove(Selectable& s) override { removeBase(s); }
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
        {UsecTime(1600000000, 0), 0},            // long past
        {UsecTime(1700000000, 501200), 2},       // 1.2 ms
        {UsecTime(1700000000, 501000), 1},       // exactly 1 ms
        {UsecTime(1700000000, 500001), 1},       // 1 us
        {UsecTime(1700000001, 499999), 1000},    // 999.999 ms
        {UsecTime(1700000003, 0), 2500},         // 2.5 s across a second boundary
        {UsecTime(1700000009, 500000), 9000},    // the driver's pause between inquiries
        {UsecTime::never, io::os::kInfinite - 1} // far beyond 49 days: the longest finite wait
    };
    for (const Case& c : cases)
        EXPECT_EQ(io::waitTimeoutMs(&c.deadline, now), c.expected) << c.deadline.seconds() << "." << c.deadline.usec();
    EXPECT_EQ(io::waitTimeoutMs(nullptr, now), io::os::kInfinite);
}

TEST(Selector, OfEqualDeadlinesTheFirstInRegisteredOrderWins)
{
    // The registered set is ordered by address: timers[0] comes first whatever the order
    // of the calls to add.
    Timer timers[2] = {Timer(kLongAgo), Timer(kLongAgo)};
    io::Selector<int> selector;
    selector.add(timers[1], 1);
    selector.add(timers[0], 0);
    EXPECT_EQ(selector.poll().second, 0);
    EXPECT_EQ(selector.poll().second, 0);

    // A strictly earlier deadline wins wherever it stands.
    timers[1].setExpiry(UsecTime(999, 999999));
    EXPECT_EQ(selector.poll().second, 1);
}

TEST(Selector, ExpiredTimerAndAlwaysReadyAreHandedOutAtOnce)
{
    Timer future(secondsFromNow(3600));
    Timer expired(kLongAgo);
    AlwaysReady always;
    {
        io::Selector<int> selector;
        selector.add(future, 1);
        selector.add(always, 2);
        for (int round = 0; round < 3; ++round)
            EXPECT_EQ(selector.poll().second, 2) << round;
    }
    io::Selector<int> selector;
    selector.add(future, 1);
    selector.add(expired, 3);
    EXPECT_EQ(selector.poll().second, 3);
    EXPECT_EQ(selector.pollNonBlocking().second, 3);
}

TEST(Selector, NonBlockingPollWithNothingDueThrowsNotReady)
{
    Timer future(secondsFromNow(3600));
    io::Selector<int> selector;
    selector.add(future, 1);
    expectThrows<io::ENotReady>([&] { selector.pollNonBlocking(); }, "Selectable <unknown> not ready");

    Source source;
    EXPECT_EQ(io::ENotReady(&source).reason(), "Selectable Source not ready");
    EXPECT_EQ(io::ENotReady(&source).selectableName(), "Source");
}

TEST(Selector, ReadySelectableIsHandedOutBeforeAnyDeadline)
{
    Source source;
    Timer expired(kLongAgo);
    io::Selector<int> selector;
    selector.add(source, 1);
    selector.add(expired, 2);
    EXPECT_EQ(selector.poll().second, 2);
    source.give(1);
    EXPECT_EQ(selector.poll().second, 1);
    // Nothing told the selector again: the ready source is found only through its notice.
    EXPECT_EQ(selector.poll().second, 2);
    source.take();
    source.give(1);
    EXPECT_EQ(selector.poll().second, 1);
}

TEST(Selector, RegistrationErrorsThrowWithTheirTexts)
{
    Timer timer(kLongAgo);
    io::BareSelector bare;
    bare.add(timer);
    expectThrows<io::EInputOutput>([&] { bare.add(timer); }, "Timer added twice to Selector");

    AlwaysReady stranger;
    expectThrows<io::EInputOutput>([&] { bare.remove(stranger); }, "Unknown AlwaysReady removed from Selector");

    OpenSelector open;
    expectThrows<io::EInputOutput>([&] { stranger.removeSelector(open); }, "Unable to remove selector in: AlwaysReady");

    // After the refused calls both selectors still work.
    EXPECT_EQ(&bare.pollImpl(false), &timer);
    open.add(stranger, nullptr);
    EXPECT_EQ(&open.pollImpl(false), &stranger);
}

TEST(Selector, SelectableLeavesItsSelectorsWhenDestroyed)
{
    AlwaysReady always;
    io::Selector<int> first;
    io::Selector<int> second;
    first.add(always, 1);
    {
        Timer expired(kLongAgo);
        first.add(expired, 2);
        second.add(expired, 2);
        EXPECT_EQ(expired.selectors().size(), 2u);
    }
    EXPECT_EQ(first.poll().second, 1);
    Timer future(secondsFromNow(3600));
    second.add(future, 3);
    EXPECT_THROW(second.pollNonBlocking(), io::ENotReady);
}

TEST(Selector, RemovedSelectableIsNotHandedOutAgain)
{
    Source source;
    Timer expired(kLongAgo);
    io::Selector<int> selector;
    selector.add(source, 1);
    selector.add(expired, 2);
    source.give(1); // queued as ready
    selector.remove(source);
    EXPECT_TRUE(source.selectors().empty());
    EXPECT_EQ(selector.poll().second, 2);
}

TEST(StackedSelectable, WaitsOnItsSourceUntilItIsReady)
{
    Source source(3);
    Collector collector(source, 2);
    io::waitReady(collector);
    EXPECT_TRUE(collector.isReady());
    EXPECT_EQ(collector.calls(), 2);
    EXPECT_EQ(source.items(), 1);
    // The selector of waitReady is gone and took its registrations with it.
    EXPECT_TRUE(collector.selectors().empty());
    EXPECT_TRUE(source.selectors().empty());

    // Ready already: handed out without touching the source.
    io::waitReady(collector);
    EXPECT_EQ(collector.calls(), 2);
    EXPECT_EQ(collector.fetch(), 2);
}

TEST(StackedSelectable, SharesASelectorWithOtherMembers)
{
    Source source;
    Collector collector(source, 2);
    Timer expired(kLongAgo);
    io::Selector<int> selector;
    selector.add(collector, 1);
    selector.add(expired, 2);
    // The source is watched for the collector, but is no member of its own.
    EXPECT_EQ(source.selectors().size(), 1u);

    EXPECT_EQ(selector.poll().second, 2); // the collector has nothing yet
    source.give(1);
    EXPECT_EQ(selector.poll().second, 2); // one item is not enough
    EXPECT_EQ(collector.calls(), 1);
    source.give(1);
    EXPECT_EQ(selector.poll().second, 1);
    // Ready and no longer on its source: the source left the selector.
    EXPECT_TRUE(source.selectors().empty());
    EXPECT_EQ(selector.poll().second, 1);

    EXPECT_EQ(collector.fetch(), 2);
    EXPECT_EQ(source.selectors().size(), 1u);
    source.give(2);
    EXPECT_EQ(selector.poll().second, 1);
    EXPECT_EQ(collector.calls(), 4);
}

TEST(StackedSelectable, UnderlyingStaysOnASelectorUntilTheLastFrontLeaves)
{
    Source source;
    Collector collector(source, 1);
    io::Selector<int> first;
    io::Selector<int> second;
    first.add(collector, 1);
    second.add(collector, 2);
    EXPECT_EQ(source.selectors().size(), 2u);
    second.remove(collector);
    EXPECT_EQ(source.selectors().size(), 1u);

    source.give(1);
    EXPECT_EQ(first.poll().second, 1);
    EXPECT_EQ(collector.calls(), 1);
}

TEST(StackedSelectable, DestroyedWhileRegisteredLeavesTheSelectorClean)
{
    Source source;
    AlwaysReady always;
    io::Selector<int> selector;
    selector.add(always, 1);
    {
        Collector collector(source, 5);
        selector.add(collector, 2);
        EXPECT_EQ(source.selectors().size(), 1u);
    }
    EXPECT_TRUE(source.selectors().empty());
    source.give(1);
    EXPECT_EQ(selector.poll().second, 1);
}

TEST(SelectorDeathTest, MisuseEndsTheProcess)
{
    EXPECT_DEATH(
        {
            Timer timer(kLongAgo);
            io::Selector<int> selector;
            selector.add(timer, 1);
            selector.add(timer, 2);
        },
        "Assertion failed: Added selectable Timer twice");
    EXPECT_DEATH(
        {
            Source source;
            Source other;
            Collector collector(source, 1);
            collector.io::StackedSelectable::underlyingIsReady(other);
        },
        "Assertion failed: underlyingIsReady got whong underlying");
}

TEST(Sleep, ReturnsNoEarlierThanAsked)
{
    const UsecTime before = UsecTime::now();
    io::sleep(UsecTime(0, 30000));
    // One millisecond of slack for the clock's granularity; no upper bound on a shared machine.
    EXPECT_GE((UsecTime::now() - before).toSeconds(), 0.029);
}

#ifdef _WIN32

std::vector<DWORD> sleepTimeouts;

DWORD WINAPI recordingSleep(DWORD ms, BOOL alertable)
{
    sleepTimeouts.push_back(alertable ? ms : 0xDEAD);
    return ::SleepEx(ms, alertable);
}

TEST(OsWait, TimeoutsGivenToTheAlertableSleep)
{
    sleepTimeouts.clear();
    sys::Override guard(sys::calls.SleepEx, recordingSleep);

    Timer expired(kLongAgo);
    Timer future(secondsFromNow(3600));
    {
        io::Selector<int> selector;
        selector.add(expired, 1);
        selector.add(future, 2);
        EXPECT_EQ(selector.poll().second, 1);
        selector.remove(expired);
        EXPECT_THROW(selector.pollNonBlocking(), io::ENotReady);
    }
    {
        Timer soon(UsecTime::now() + UsecTime(0, 100000));
        io::BareSelector selector;
        selector.add(soon);
        EXPECT_EQ(&selector.pollImpl(false), &soon);
    }
    ASSERT_EQ(sleepTimeouts.size(), 3u);
    EXPECT_EQ(sleepTimeouts[0], 0u);   // expired: no sleep
    EXPECT_EQ(sleepTimeouts[1], 0u);   // non-blocking: no sleep either
    EXPECT_LE(sleepTimeouts[2], 100u); // what is left of 100 ms, rounded up
}

int completionRoutinesRun = 0;

void CALLBACK markSourceReady(ULONG_PTR source)
{
    ++completionRoutinesRun;
    reinterpret_cast<Source*>(source)->give(1);
}

TEST(OsWait, WithoutDeadlineSleepsUntilACompletionRoutineRuns)
{
    sleepTimeouts.clear();
    completionRoutinesRun = 0;
    sys::Override guard(sys::calls.SleepEx, recordingSleep);
    Source source;
    ASSERT_NE(QueueUserAPC(markSourceReady, GetCurrentThread(), reinterpret_cast<ULONG_PTR>(&source)), 0u);
    io::waitReady(source);
    EXPECT_EQ(completionRoutinesRun, 1);
    ASSERT_EQ(sleepTimeouts.size(), 1u);
    EXPECT_EQ(sleepTimeouts[0], INFINITE);
}

TEST(OsWait, SleepRunsCompletionRoutinesAndKeepsSleeping)
{
    completionRoutinesRun = 0;
    Source source;
    ASSERT_NE(QueueUserAPC(markSourceReady, GetCurrentThread(), reinterpret_cast<ULONG_PTR>(&source)), 0u);
    const UsecTime before = UsecTime::now();
    io::sleep(UsecTime(0, 50000));
    EXPECT_EQ(completionRoutinesRun, 1);
    EXPECT_EQ(source.items(), 1);
    EXPECT_GE((UsecTime::now() - before).toSeconds(), 0.049);
}

int fakeSleepCalls = 0;

TEST(OsWait, IoCompletionRestartsTheWait)
{
    fakeSleepCalls = 0;
    sys::Override guard(
        sys::calls.SleepEx, +[](DWORD, BOOL) -> DWORD { return ++fakeSleepCalls < 3 ? WAIT_IO_COMPLETION : 0; });
    Timer expired(kLongAgo);
    io::BareSelector selector;
    selector.add(expired);
    EXPECT_EQ(&selector.pollImpl(false), &expired);
    EXPECT_EQ(fakeSleepCalls, 3);
}

TEST(OsWait, FailedWaitThrowsWithTheSystemText)
{
    sys::Override guard(
        sys::calls.SleepEx, +[](DWORD, BOOL) -> DWORD {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        });
    Timer future(secondsFromNow(3600));
    io::BareSelector selector;
    selector.add(future);
    expectThrows<io::EInputOutput>([&] { selector.pollImpl(false); }, "WaitForMultipleEvents returned error: " +
                                                                          error::systemErrorText(ERROR_INVALID_HANDLE));
}

#endif

} // namespace
