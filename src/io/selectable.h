#pragma once
// Things a selector can wait for. The worker has one thread: a selector blocks in an
// alertable wait until one of its selectables is ready (or due by its deadline) and hands
// that one out; the completion routines of overlapped I/O run inside that wait and mark
// their streams ready through notifyReady.
//
// A stacked selectable (the BER reader and writer) sits on top of another selectable, its
// underlying stream: the selector waits on the stream, lets the stacked object work on it
// (underlyingIsReady) and hands out the stacked object once that says it is ready.
#include "common/usec_time.h"
#include "io/errors.h"

#include <cstddef>
#include <list>
#include <map>
#include <set>
#include <string>

namespace io {

class Selectable;
class SelectorBase;

// An operation on a selectable that has no data yet: wait for its readiness and retry.
class ENotReady : public EInputOutput {
public:
    // Names the selectable, or "<unknown>" without one.
    explicit ENotReady(const Selectable* selectable = nullptr);
    const std::string& selectableName() const { return name_; }

private:
    explicit ENotReady(std::string name);
    std::string name_;
};

class Selectable {
public:
    Selectable() = default;
    // Leaves every selector it is still registered with.
    virtual ~Selectable();
    Selectable(const Selectable&) = delete;
    Selectable& operator=(const Selectable&) = delete;

    // A text describing the object, for messages.
    virtual std::string name() const = 0;
    // A Windows event handle for the OS wait to watch, or null.
    virtual void* waitHandle() const { return nullptr; }
    // The object can be served now.
    virtual bool isReady() const = 0;
    // Stores the object's deadline in `when` and returns true, if it has one.
    virtual bool deadline(UsecTime& when) const;
    // Called by the selector's add / remove.
    virtual void addSelector(SelectorBase& selector);
    virtual void removeSelector(SelectorBase& selector);

    // Tells every selector it is on that it may be ready now.
    void notifyReady();
    // The selectors it is registered with, in registration order.
    const std::list<SelectorBase*>& selectors() const { return selectors_; }

protected:
    // Removes the object from all its selectors. Derived destructors whose removal needs
    // their own type (stacked fronts, streams) call it before their part goes away.
    void leaveAllSelectors();

private:
    std::list<SelectorBase*> selectors_;
};

// Due at its expiry time.
class Timer : public virtual Selectable {
public:
    explicit Timer(UsecTime expiry) : expiry_(expiry) {}
    std::string name() const override { return "Timer"; }
    bool isReady() const override { return false; }
    bool deadline(UsecTime& when) const override;

    UsecTime expiry() const { return expiry_; }
    void setExpiry(UsecTime expiry) { expiry_ = expiry; }

private:
    UsecTime expiry_;
};

// Due at once, always (its deadline is the epoch).
class AlwaysReady : public virtual Selectable {
public:
    std::string name() const override { return "AlwaysReady"; }
    bool isReady() const override { return false; }
    bool deadline(UsecTime& when) const override;
};

class StackedSelectableFront;

// The lower half of a stacked object: the underlying selectables it needs, and on which
// selectors (and how many times) its fronts are.
class StackedSelectableBack {
public:
    StackedSelectableBack() = default;
    // Takes the underlying selectables off every selector and detaches the fronts.
    virtual ~StackedSelectableBack();
    StackedSelectableBack(const StackedSelectableBack&) = delete;
    StackedSelectableBack& operator=(const StackedSelectableBack&) = delete;

    // An underlying selectable is ready: the dispatcher.
    virtual void underlyingIsReady(Selectable& underlying);
    // The concrete object does its work on the underlying selectable.
    virtual void underlyingIsReady() = 0;

    void addSelector(SelectorBase& selector);
    void removeSelector(SelectorBase& selector);
    // Adds or removes an underlying selectable on every selector the fronts are on.
    void setUnderlying(Selectable* underlying, bool add);

    const std::set<Selectable*>& underlying() const { return underlying_; }

private:
    friend class StackedSelectableFront;
    friend class SelectorBase;

    std::set<Selectable*> underlying_;
    std::map<SelectorBase*, int> selectorCounts_;
    std::set<StackedSelectableFront*> fronts_;
};

// The upper half of a stacked object: what the selector hands out.
class StackedSelectableFront : public virtual Selectable {
public:
    explicit StackedSelectableFront(StackedSelectableBack* back);
    ~StackedSelectableFront() override;

    bool isReady() const override { return ready_; }
    void addSelector(SelectorBase& selector) override;
    void removeSelector(SelectorBase& selector) override;

    StackedSelectableBack* back() const { return back_; }

protected:
    void setReady(bool ready) { ready_ = ready; }

private:
    friend class StackedSelectableBack;
    StackedSelectableBack* back_;
    bool ready_ = false;
};

// Both halves in one object over its underlying selectables.
class StackedSelectable : public StackedSelectableBack, public StackedSelectableFront {
public:
    StackedSelectable() : StackedSelectableFront(this) {}
    // Checks that the ready one is underlying here, then does the concrete work.
    void underlyingIsReady(Selectable& underlying) override;
    using StackedSelectableBack::underlyingIsReady;
    using StackedSelectableFront::addSelector;
    using StackedSelectableFront::removeSelector;
};

} // namespace io
