#include "common/usec_time.h"

#include "common/assertion.h"

#include <limits>

const UsecTime UsecTime::never(std::numeric_limits<std::int32_t>::max(), 0);
const UsecTime UsecTime::zero(0, 0);

namespace {
constexpr std::int32_t kMillion = 1000000;
constexpr std::uint64_t kEpochAsFileTime = 116444736000000000ULL;

// Two's-complement wrap-around of a 32-bit sum, as the 32-bit fields behave.
std::int32_t wrappingAdd(std::int32_t a, std::int32_t b)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}
} // namespace

UsecTime::UsecTime(std::int32_t seconds, std::int32_t usec) : seconds_(seconds), usec_(usec)
{
    if (usec_ >= kMillion) {
        seconds_ = wrappingAdd(seconds_, usec_ / kMillion);
        usec_ %= kMillion;
    }
    if (usec_ < 0)
        assertion("Cannot normalize negative microseconds");
}

UsecTime& UsecTime::operator+=(const UsecTime& d)
{
    std::int32_t oldSeconds = seconds_;
    std::int32_t sumSeconds = wrappingAdd(seconds_, d.seconds_);
    std::int64_t sumUsec = std::int64_t(usec_) + d.usec_;
    if (sumUsec >= kMillion) {
        sumUsec -= kMillion;
        sumSeconds = wrappingAdd(sumSeconds, 1);
        if (sumUsec >= kMillion)
            assertion("Too big usec in +=");
    }
    if (d.seconds_ >= 0 && sumSeconds < oldSeconds)
        return *this = never;
    if (d.seconds_ < 0 && sumSeconds > oldSeconds)
        return *this = zero;
    seconds_ = sumSeconds;
    usec_ = static_cast<std::int32_t>(sumUsec);
    return *this;
}

UsecTime UsecTime::operator+(const UsecTime& d) const
{
    UsecTime sum = *this;
    sum += d;
    return sum;
}

UsecTime UsecTime::operator-(const UsecTime& b) const
{
    UsecTime diff;
    diff.seconds_ =
        static_cast<std::int32_t>(static_cast<std::uint32_t>(seconds_) - static_cast<std::uint32_t>(b.seconds_));
    diff.usec_ = usec_ - b.usec_;
    if (diff.usec_ < 0) {
        diff.usec_ += kMillion;
        diff.seconds_ = wrappingAdd(diff.seconds_, -1);
        if (diff.usec_ < 0)
            assertion("Negative usec");
    }
    return diff;
}

UsecTime usecTimeFromFileTime(std::uint64_t fileTime)
{
    std::uint64_t sinceEpoch = fileTime - kEpochAsFileTime;
    return UsecTime(static_cast<std::int32_t>(sinceEpoch / 10000000),
                    static_cast<std::int32_t>(sinceEpoch % 10000000 / 10));
}
