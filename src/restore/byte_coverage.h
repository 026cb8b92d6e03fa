#pragma once
// Which bytes of an object its chunks have written: an object is complete only when they
// cover it from its first byte to its recorded size. Portable.
#include <cstdint>
#include <map>

class ByteCoverage {
public:
    // Records that [begin, end) was written; written ranges may overlap or repeat.
    void add(std::uint64_t begin, std::uint64_t end);
    // Whether [0, size) is written without a gap.
    bool covers(std::uint64_t size) const;
    // The count of distinct bytes written.
    std::uint64_t written() const;

private:
    std::map<std::uint64_t, std::uint64_t> spans_; // begin -> end, disjoint and not touching
};
