#include "common/error.h"
#include "common/format.h"

#include "support.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

TEST(Format, Formatters)
{
    EXPECT_EQ(formatUnsigned(7, true), "07");
    EXPECT_EQ(formatUnsigned(4294967295u), "4294967295");
    EXPECT_EQ(formatInt(-5, true), "-5");
    EXPECT_EQ(formatInt(3, true), "03");
    EXPECT_EQ(formatUnsigned64(18446744073709551615ull), "18446744073709551615");
    EXPECT_EQ(formatHex(255, 4), "00ff");
    EXPECT_EQ(formatHex(0xdeadbeef, 4), "deadbeef");
}

TEST(Format, Parsers)
{
    const std::pair<const char*, std::int64_t> integers[] = {
        {"  -17", -17}, {"+8", 8}, {"12abc", 12}, {"0x10", 16}, {"-9223372036854775808", INT64_MIN}, {"abc", 0},
    };
    for (const auto& [text, value] : integers)
        EXPECT_EQ(parseInt64(text), value) << text;
    EXPECT_DOUBLE_EQ(parseDouble("-1e3"), -1000.0);
    EXPECT_EQ(parseDouble("-inf"), -INFINITY);
    for (const char* bad : {"", "1.5x"})
        support::expectThrows<error::EParseError>([&] { parseDouble(bad); },
                                                  std::string("Error parsing: \"") + bad + "\"");
}

} // namespace
