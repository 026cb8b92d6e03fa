#include "restore/byte_coverage.h"

#include <algorithm>
#include <iterator>

void ByteCoverage::add(std::uint64_t begin, std::uint64_t end)
{
    if (begin >= end)
        return;
    auto next = spans_.upper_bound(begin);
    if (next != spans_.begin()) {
        auto before = std::prev(next);
        if (before->second >= begin) {
            begin = before->first;
            end = std::max(end, before->second);
            next = spans_.erase(before);
        }
    }
    while (next != spans_.end() && next->first <= end) {
        end = std::max(end, next->second);
        next = spans_.erase(next);
    }
    spans_.emplace(begin, end);
}

bool ByteCoverage::covers(std::uint64_t size) const
{
    if (size == 0)
        return true;
    return !spans_.empty() && spans_.begin()->first == 0 && spans_.begin()->second >= size;
}

std::uint64_t ByteCoverage::written() const
{
    std::uint64_t total = 0;
    for (const auto& [begin, end] : spans_)
        total += end - begin;
    return total;
}
