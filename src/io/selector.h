#pragma once
// Selectors: a set of selectables and a blocking poll that hands out the next ready one.
// The poll sleeps in an alertable OS wait (see os_wait.h) whose timeout is the earliest
// deadline among the registered selectables, so completion routines of overlapped I/O run
// while it waits.
#include "common/assertion.h"
#include "common/usec_time.h"
#include "io/selectable.h"

#include <cstdint>
#include <list>
#include <map>
#include <set>
#include <utility>
#include <vector>

namespace io {

// The timeout of the OS wait in whole milliseconds, rounded up: INFINITE (0xFFFFFFFF)
// without a deadline, 0 for a deadline that is not later than `now`. Waits longer than the
// largest finite timeout are cut to it (the poll then simply waits again).
std::uint32_t waitTimeoutMs(const UsecTime* earliest, UsecTime now);

// The part of a selector that talks to the OS wait: the selectables that are not stacked
// fronts, their wait handles, and those known to be ready.
class OsSelector {
public:
    void add(Selectable& s);
    void remove(Selectable& s);
    void markReady(Selectable& s);
    // The next ready or due selectable; see waitTimeoutMs for how long it sleeps. With
    // `nonBlocking` it does not sleep and throws ENotReady when nothing is due.
    Selectable& osWait(bool nonBlocking);

protected:
    OsSelector() = default;
    ~OsSelector() = default;

private:
    std::set<Selectable*> registered_;
    std::set<Selectable*> osAvail_;
    std::vector<void*> handles_;
    std::vector<Selectable*> handleOwners_;
    std::map<Selectable*, std::size_t> handleIndex_;
};

class SelectorBase : public OsSelector {
public:
    SelectorBase() = default;
    // Removes its direct members; every stacked underlying one must be gone with them.
    virtual ~SelectorBase();
    SelectorBase(const SelectorBase&) = delete;
    SelectorBase& operator=(const SelectorBase&) = delete;

    virtual void remove(Selectable& s) = 0;

    // `back` is the stacked object that put `s` here, or null for a direct member.
    void add(Selectable& s, StackedSelectableBack* back);
    void markReady(Selectable& s);
    Selectable& pollImpl(bool nonBlocking);
    void processReady(Selectable& s);

protected:
    void removeBase(Selectable& s);
    // Removes the direct members through the most derived `remove`; derived destructors
    // call it, since `remove` is abstract here.
    void removeAllMembers();

private:
    std::map<Selectable*, StackedSelectableBack*> avail_;
    std::set<Selectable*> members_;
    std::list<Selectable*> readyQueue_;
};

// A selector whose members carry a value chosen by the caller.
template <class Value>
class Selector : private SelectorBase {
public:
    Selector() = default;
    ~Selector() override { removeAllMembers(); }

    void add(Selectable& s, Value value)
    {
        if (!values_.emplace(&s, value).second)
            assertion("Added selectable " + s.name() + " twice");
        SelectorBase::add(s, nullptr);
    }
    // Blocks until a member is ready; returns it with its value.
    std::pair<Selectable*, Value> poll() { return lookUp(pollImpl(false)); }
    // Like poll, but throws ENotReady instead of sleeping when nothing is due.
    std::pair<Selectable*, Value> pollNonBlocking() { return lookUp(pollImpl(true)); }
    void remove(Selectable& s) override
    {
        values_.erase(&s);
        removeBase(s);
    }

private:
    std::pair<Selectable*, Value> lookUp(Selectable& s) const
    {
        auto it = values_.find(&s);
        if (it == values_.end())
            assertion("pollImpl gave unknown selectable " + s.name());
        return {&s, it->second};
    }
    std::map<Selectable*, Value> values_;
};

// A selector without values.
class BareSelector : private SelectorBase {
public:
    BareSelector() = default;
    ~BareSelector() override { removeAllMembers(); }
    void add(Selectable& s) { SelectorBase::add(s, nullptr); }
    void remove(Selectable& s) override { removeBase(s); }
    using SelectorBase::pollImpl;
};

// Blocks until `s` is ready (or due).
void waitReady(Selectable& s);
// Blocks for `duration`, running the completion routines that arrive meanwhile.
void sleep(UsecTime duration);

} // namespace io
