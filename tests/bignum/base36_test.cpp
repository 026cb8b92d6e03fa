#include "bignum/base36.h"

#include "common/error.h"
#include "support.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using support::unhex;

// Digits A-Z then 0-9, the least significant first. The key's value was computed with
// Python: sum(digit(c) * 36**i for i, c in enumerate(text)), written little-endian.
TEST(Base36, TextAndBytesBothWays)
{
    const std::string key = unhex("627ec6361d005a11aa3cc3f39593aa170d75ae583cb934405c4b707c55d32995");
    const struct {
        std::string text;
        std::string bytes;
        bool formatsBack;
    } cases[] = {
        {"", "", false},
        {"A", "", true}, // zero has no bytes
        {"B", "\x01", true},
        {"BA", "\x01", false},
        {"AB", "\x24", true},
        {"Z", "\x19", true},
        {"0", "\x1a", true},
        {"99", "\x0f\x05", true}, // 35 + 35 * 36 = 1295
        {"AAAB", unhex("40b6"), true},
        {"SIPZZ5FK2Z9RI19R0WYOJFLJOOA5LQSAJ08XUI6D39ZZZZG4ZD", key, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parseBase36(c.text), c.bytes) << c.text;
        if (c.formatsBack) {
            EXPECT_EQ(formatBase36(c.bytes), c.text) << c.text;
        }
    }
    // High zero bytes add no digit.
    EXPECT_EQ(formatBase36(std::string("\x07\0\0", 3)), "H");
}

TEST(Base36, OtherCharactersAreRejected)
{
    for (const std::string& text : {std::string("a"), std::string("AB-"), std::string(" B"), std::string("B\0C", 3)})
        support::expectThrows<error::EParseError>([&] { parseBase36(text); }, "Error parsing: " + text);
}

} // namespace
