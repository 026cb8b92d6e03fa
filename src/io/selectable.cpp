#include "io/selectable.h"

#include "common/assertion.h"
#include "io/selector.h"

#include <algorithm>
#include <vector>

namespace io {

ENotReady::ENotReady(const Selectable* selectable) : ENotReady(selectable ? selectable->name() : "<unknown>")
{
}

ENotReady::ENotReady(std::string name) : EInputOutput("Selectable " + name + " not ready"), name_(std::move(name))
{
}

// ---------------------------------------------------------------------------------------

Selectable::~Selectable()
{
    leaveAllSelectors();
}

void Selectable::leaveAllSelectors()
{
    while (!selectors_.empty())
        selectors_.front()->remove(*this);
}

bool Selectable::deadline(UsecTime&) const
{
    return false;
}

void Selectable::addSelector(SelectorBase& selector)
{
    selectors_.push_back(&selector);
    if (isReady())
        selector.markReady(*this);
}

void Selectable::removeSelector(SelectorBase& selector)
{
    auto it = std::find(selectors_.begin(), selectors_.end(), &selector);
    if (it == selectors_.end())
        throw EInputOutput("Unable to remove selector in: " + name());
    selectors_.erase(it);
}

void Selectable::notifyReady()
{
    // markReady does not change the list, but a copy keeps this safe against selectors
    // that would.
    std::vector<SelectorBase*> targets(selectors_.begin(), selectors_.end());
    for (SelectorBase* selector : targets)
        selector->markReady(*this);
}

bool Timer::deadline(UsecTime& when) const
{
    when = expiry_;
    return true;
}

bool AlwaysReady::deadline(UsecTime& when) const
{
    when = UsecTime::zero;
    return true;
}

// ---------------------------------------------------------------------------------------

StackedSelectableFront::StackedSelectableFront(StackedSelectableBack* back) : back_(back)
{
    back_->fronts_.insert(this);
}

StackedSelectableFront::~StackedSelectableFront()
{
    leaveAllSelectors();
    if (back_)
        back_->fronts_.erase(this);
}

void StackedSelectableFront::addSelector(SelectorBase& selector)
{
    Selectable::addSelector(selector);
    if (back_)
        back_->addSelector(selector);
}

void StackedSelectableFront::removeSelector(SelectorBase& selector)
{
    if (back_)
        back_->removeSelector(selector);
    Selectable::removeSelector(selector);
}

StackedSelectableBack::~StackedSelectableBack()
{
    while (!underlying_.empty()) {
        Selectable* u = *underlying_.begin();
        std::vector<SelectorBase*> selectors;
        for (auto& entry : selectorCounts_)
            selectors.push_back(entry.first);
        for (SelectorBase* selector : selectors)
            selector->remove(*u);
        underlying_.erase(u);
    }
    while (!fronts_.empty()) {
        StackedSelectableFront* front = *fronts_.begin();
        front->leaveAllSelectors();
        front->back_ = nullptr;
        fronts_.erase(front);
    }
}

void StackedSelectableBack::underlyingIsReady(Selectable&)
{
    underlyingIsReady();
}

void StackedSelectableBack::addSelector(SelectorBase& selector)
{
    if (++selectorCounts_[&selector] != 1)
        return;
    std::vector<Selectable*> underlying(underlying_.begin(), underlying_.end());
    for (Selectable* u : underlying)
        selector.add(*u, this);
}

void StackedSelectableBack::removeSelector(SelectorBase& selector)
{
    auto it = selectorCounts_.find(&selector);
    if (it == selectorCounts_.end())
        assertion("StackedSelectableBack::removeSelector got unknown Selector");
    if (--it->second != 0)
        return;
    selectorCounts_.erase(it);
    std::vector<Selectable*> underlying(underlying_.begin(), underlying_.end());
    for (Selectable* u : underlying)
        selector.remove(*u);
}

void StackedSelectableBack::setUnderlying(Selectable* u, bool add)
{
    if (u == nullptr)
        assertion("StackedSelectableBack underlying pointer is null");
    std::vector<SelectorBase*> selectors;
    for (auto& entry : selectorCounts_)
        selectors.push_back(entry.first);
    if (add) {
        if (!underlying_.insert(u).second)
            return;
        for (SelectorBase* selector : selectors)
            selector->add(*u, this);
    } else {
        if (underlying_.erase(u) == 0)
            return;
        for (SelectorBase* selector : selectors)
            selector->remove(*u);
    }
}

void StackedSelectable::underlyingIsReady(Selectable& underlying)
{
    if (this->underlying().count(&underlying) == 0)
        assertion("underlyingIsReady got whong underlying");
    underlyingIsReady();
}

} // namespace io
