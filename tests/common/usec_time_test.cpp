#include "common/usec_time.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

void expectTime(const UsecTime& t, std::int32_t seconds, std::int32_t usec)
{
    EXPECT_EQ(t.seconds(), seconds);
    EXPECT_EQ(t.usec(), usec);
}

TEST(UsecTime, ArithmeticNormalisesAndSaturates)
{
    expectTime(UsecTime(5, 2500000), 7, 500000);
    expectTime(UsecTime(-3, 1000000), -2, 0);
    expectTime(UsecTime(10, 200000) - UsecTime(3, 900000), 6, 300000);
    expectTime(UsecTime(3, 0) - UsecTime(5, 500000), -3, 500000);
    expectTime(UsecTime(1, 600000) + UsecTime(2, 700000), 4, 300000);
    EXPECT_EQ(UsecTime::never + UsecTime(1, 0), UsecTime::never);
    EXPECT_EQ(UsecTime(std::numeric_limits<std::int32_t>::max() - 1, 999999) + UsecTime(0, 1), UsecTime::never);
    EXPECT_EQ(UsecTime(std::numeric_limits<std::int32_t>::min() + 1, 0) + UsecTime(-2, 0), UsecTime::zero);
    UsecTime t(10, 0);
    t += UsecTime(-4, 500000);
    expectTime(t, 6, 500000);
    EXPECT_DOUBLE_EQ(UsecTime(2, 250000).toSeconds(), 2.25);
    EXPECT_TRUE(UsecTime(1, 999999) < UsecTime(2, 0));
    EXPECT_FALSE(UsecTime(2, 1) <= UsecTime(2, 0));
}

TEST(UsecTime, NowAndFileTimes)
{
    const UsecTime a = UsecTime::now();
    EXPECT_GT(a.seconds(), 1577836800); // 2020-01-01
    EXPECT_TRUE(a <= UsecTime::now());
    // 2001-09-09 01:46:40.123456 UTC is 1000000000 s after 1970.
    expectTime(usecTimeFromFileTime(116444736000000000ULL + 10000000000000000ULL + 1234567), 1000000000, 123456);
}

} // namespace
