#pragma once
// Seconds and microseconds since 1970-01-01 UTC, or a duration. Both fields are signed
// 32-bit; a normalised value has 0 <= usec < 1000000.
#include <cstdint>

class UsecTime {
public:
    UsecTime() = default;
    // Carries whole seconds out of usec; a negative usec is a broken invariant.
    UsecTime(std::int32_t seconds, std::int32_t usec);

    static UsecTime now();
    static const UsecTime never; // (2147483647, 0): no deadline
    static const UsecTime zero;  // (0, 0)

    std::int32_t seconds() const { return seconds_; }
    std::int32_t usec() const { return usec_; }
    double toSeconds() const { return seconds_ + usec_ / 1000000.0; }

    // Saturating: a wrap past the top gives `never`, past the bottom gives `zero`.
    UsecTime& operator+=(const UsecTime& d);
    UsecTime operator+(const UsecTime& d) const;
    UsecTime operator-(const UsecTime& b) const;

    bool operator==(const UsecTime& b) const { return seconds_ == b.seconds_ && usec_ == b.usec_; }
    bool operator<=(const UsecTime& b) const { return toSeconds() <= b.toSeconds(); }
    bool operator<(const UsecTime& b) const { return toSeconds() < b.toSeconds(); }
    bool operator>=(const UsecTime& b) const { return b <= *this; }
    bool operator>(const UsecTime& b) const { return b < *this; }

private:
    std::int32_t seconds_ = 0;
    std::int32_t usec_ = 0;
};

// The 64-bit count of 100-nanosecond units since 1601 (a Windows file time) as a UsecTime.
UsecTime usecTimeFromFileTime(std::uint64_t fileTime);
