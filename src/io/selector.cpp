#include "io/selector.h"

#include "common/assertion.h"
#include "common/error.h"
#include "io/os_wait.h"

#include <algorithm>
#include <limits>

namespace io {

namespace {

bool isFront(Selectable& s)
{
    return dynamic_cast<StackedSelectableFront*>(&s) != nullptr;
}

// Ready now, watched by a handle, or past its deadline.
bool isDue(const Selectable& s)
{
    if (s.isReady() || s.waitHandle() != nullptr)
        return true;
    UsecTime when;
    return s.deadline(when) && when <= UsecTime::now();
}

} // namespace

std::uint32_t waitTimeoutMs(const UsecTime* earliest, UsecTime now)
{
    if (earliest == nullptr)
        return os::kInfinite;
    UsecTime remaining = *earliest - now;
    if (remaining.seconds() < 0 || (remaining.seconds() == 0 && remaining.usec() == 0))
        return 0;
    std::uint64_t ms = std::uint64_t(remaining.seconds()) * 1000 + (std::uint64_t(remaining.usec()) + 999) / 1000;
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(ms, os::kInfinite - 1));
}

// ---------------------------------------------------------------------------------------

void OsSelector::add(Selectable& s)
{
    if (isFront(s))
        assertion("Tried to add StackedSelectableFront to OsSelector");
    if (!registered_.insert(&s).second)
        assertion("Selectable allready added to selector: " + s.name());
    if (void* handle = s.waitHandle()) {
        handleIndex_[&s] = handles_.size();
        handles_.push_back(handle);
        handleOwners_.push_back(&s);
    }
}

void OsSelector::remove(Selectable& s)
{
    if (registered_.erase(&s) == 0)
        assertion("Selectable to remove not on selector");
    osAvail_.erase(&s);
    auto it = handleIndex_.find(&s);
    if (it == handleIndex_.end())
        return;
    std::size_t i = it->second;
    std::size_t last = handles_.size() - 1;
    if (i != last) {
        handles_[i] = handles_[last];
        handleOwners_[i] = handleOwners_[last];
        handleIndex_[handleOwners_[i]] = i;
    }
    handles_.pop_back();
    handleOwners_.pop_back();
    handleIndex_.erase(&s);
}

void OsSelector::markReady(Selectable& s)
{
    if (registered_.count(&s) != 1)
        assertion(s.name() + " not found on os_avail!");
    osAvail_.insert(&s);
}

Selectable& OsSelector::osWait(bool nonBlocking)
{
    for (;;) {
        while (!osAvail_.empty()) {
            Selectable* s = *osAvail_.begin();
            osAvail_.erase(osAvail_.begin());
            if (isDue(*s))
                return *s;
        }

        Selectable* earliestOwner = nullptr;
        UsecTime earliest;
        for (Selectable* s : registered_) {
            UsecTime when;
            if (s->deadline(when) && (earliestOwner == nullptr || when < earliest)) {
                earliest = when;
                earliestOwner = s;
            }
            if (isFront(*s) && s->isReady())
                osAvail_.insert(s);
        }
        if (!osAvail_.empty())
            continue;

        std::uint32_t timeout = waitTimeoutMs(earliestOwner ? &earliest : nullptr, UsecTime::now());
        bool nothingDue = false;
        if (nonBlocking && timeout != 0) {
            timeout = 0;
            nothingDue = true;
        }

        std::uint32_t result = os::alertableWait(handles_.data(), handles_.size(), timeout);
        if (result == os::kWaitIoCompletion)
            continue;
        if (result == os::kWaitTimeout) {
            if (nothingDue)
                throw ENotReady();
            if (earliestOwner == nullptr)
                continue; // an unlimited wait cannot time out; wait again
            return *earliestOwner;
        }
        if (result == os::kWaitFailed)
            throw EInputOutput("WaitForMultipleEvents returned error: " + error::lastErrorText());
        std::size_t index = result - os::kWaitObject0;
        if (index >= handleOwners_.size())
            assertion("Unexpected result of the OS wait: " + std::to_string(result));
        return *handleOwners_[index];
    }
}

// ---------------------------------------------------------------------------------------

SelectorBase::~SelectorBase()
{
    while (!members_.empty())
        removeBase(**members_.begin());
    if (!avail_.empty())
        assertion("avail not empty in ~SelectorBase");
}

void SelectorBase::removeAllMembers()
{
    while (!members_.empty())
        remove(**members_.begin());
}

void SelectorBase::add(Selectable& s, StackedSelectableBack* back)
{
    if (!avail_.emplace(&s, back).second)
        throw EInputOutput(s.name() + " added twice to Selector");
    if (back == nullptr)
        members_.insert(&s);
    if (!isFront(s))
        OsSelector::add(s);
    s.addSelector(*this);
}

void SelectorBase::removeBase(Selectable& s)
{
    if (avail_.erase(&s) == 0)
        throw EInputOutput("Unknown " + s.name() + " removed from Selector");
    members_.erase(&s);
    readyQueue_.remove(&s);
    s.removeSelector(*this);
    if (!isFront(s))
        OsSelector::remove(s);
}

void SelectorBase::markReady(Selectable& s)
{
    if (avail_.count(&s) != 1)
        assertion(s.name() + " not found on avail map");
    if (isFront(s))
        readyQueue_.push_back(&s);
    else
        OsSelector::markReady(s);
}

Selectable& SelectorBase::pollImpl(bool nonBlocking)
{
    for (;;) {
        while (!readyQueue_.empty()) {
            Selectable* s = readyQueue_.front();
            readyQueue_.pop_front();
            auto it = avail_.find(s);
            if (it != avail_.end() && it->second == nullptr && isDue(*s))
                return *s;
        }

        std::vector<Selectable*> dueFronts;
        for (auto& entry : avail_)
            if (isFront(*entry.first) && isDue(*entry.first))
                dueFronts.push_back(entry.first);
        for (Selectable* front : dueFronts)
            processReady(*front);
        if (!readyQueue_.empty())
            continue;

        processReady(osWait(nonBlocking));
    }
}

void SelectorBase::processReady(Selectable& s)
{
    auto it = avail_.find(&s);
    if (it == avail_.end())
        assertion("SelectorBase::processReady got unknown Selectable " + s.name());
    StackedSelectableBack* back = it->second;
    if (back == nullptr) {
        readyQueue_.push_back(&s);
        return;
    }
    back->underlyingIsReady(s);
    std::vector<StackedSelectableFront*> fronts(back->fronts_.begin(), back->fronts_.end());
    for (StackedSelectableFront* front : fronts)
        if (front->isReady() && avail_.count(front) != 0)
            processReady(*front);
}

// ---------------------------------------------------------------------------------------

void waitReady(Selectable& s)
{
    Selector<int> selector;
    selector.add(s, 0);
    Selectable* got = selector.poll().first;
    if (got != &s)
        assertion("Got wrong selectable in waitReady: " + got->name());
}

void sleep(UsecTime duration)
{
    Timer timer(UsecTime::now() + duration);
    BareSelector selector;
    selector.add(timer);
    if (&selector.pollImpl(false) != &timer)
        assertion("Got wrong selectable in io::sleep()");
}

} // namespace io
