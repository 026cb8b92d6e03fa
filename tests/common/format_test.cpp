#include "common/error.h"
#include "common/format.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

TEST(Format, Formatters)
{
    EXPECT_EQ(formatUnsigned(7, true), "07");
    EXPECT_EQ(formatUnsigned(7), "7");
    EXPECT_EQ(formatUnsigned(4294967295u), "4294967295");
    EXPECT_EQ(formatUnsigned(123, true), "123");
    EXPECT_EQ(formatInt(-5), "-5");
    EXPECT_EQ(formatInt(-5, true), "-5");
    EXPECT_EQ(formatInt(3, true), "03");
    EXPECT_EQ(formatUnsigned64(18446744073709551615ull), "18446744073709551615");
    EXPECT_EQ(formatHex(255, 4), "00ff");
    EXPECT_EQ(formatHex(0xdeadbeef, 4), "deadbeef");
    EXPECT_EQ(formatHex(0, 0), "0");
}

TEST(Format, ParseInt64)
{
    struct Case {
        const char* text;
        std::int64_t value;
    };
    const Case cases[] = {
        {"42", 42},    {"  -17", -17}, {"+8", 8},
        {"12abc", 12}, {"0x10", 16},   {"9223372036854775807", INT64_MAX},
        {"", 0},       {"abc", 0},     {"-9223372036854775808", INT64_MIN},
    };
    for (const Case& c : cases)
        EXPECT_EQ(parseInt64(c.text), c.value) << c.text;
}

TEST(Format, ParseDouble)
{
    EXPECT_DOUBLE_EQ(parseDouble("2.5"), 2.5);
    EXPECT_DOUBLE_EQ(parseDouble("-1e3"), -1000.0);
    EXPECT_TRUE(std::isnan(parseDouble("nan")));
    EXPECT_EQ(parseDouble("inf"), INFINITY);
    EXPECT_EQ(parseDouble("-inf"), -INFINITY);
    for (const char* bad : {"", "1.5x", "one"}) {
        try {
            parseDouble(bad);
            ADD_FAILURE() << bad;
        } catch (const error::EParseError& e) {
            EXPECT_EQ(e.fullText(), std::string("Error parsing: \"") + bad + "\"");
        }
    }
}

} // namespace
