#include "bignum/base36.h"

#include "common/error.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string bytesFromHex(const std::string& digits)
{
    std::string bytes;
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
        bytes.push_back(static_cast<char>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return bytes;
}

TEST(Base36, DigitsAreLeastSignificantFirst)
{
    struct Case {
        std::string text;
        std::string bytes;
    } cases[] = {
        {"", ""},
        {"A", ""}, // zero has no bytes
        {"B", "\x01"},
        {"BA", "\x01"},
        {"AB", "\x24"},
        {"Z", "\x19"},
        {"0", "\x1a"},
        {"9", "\x23"},
        {"99", "\x0f\x05"},             // 35 + 35 * 36 = 1295
        {"AAAB", bytesFromHex("40b6")}, // 36^3 = 46656
        // Value computed with Python: sum(digit(c) * 36**i for i, c in enumerate(text)),
        // written with int.to_bytes(32, "little").
        {"SIPZZ5FK2Z9RI19R0WYOJFLJOOA5LQSAJ08XUI6D39ZZZZG4ZD",
         bytesFromHex("627ec6361d005a11aa3cc3f39593aa170d75ae583cb934405c4b707c55d32995")},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parseBase36(c.text), c.bytes) << c.text;
}

TEST(Base36, OtherCharactersAreRejected)
{
    for (const std::string& text : {std::string("a"), std::string("AbC"), std::string("AB-"), std::string(" B"),
                                    std::string("B\n"), std::string("B\0C", 3)}) {
        try {
            parseBase36(text);
            ADD_FAILURE() << "accepted " << text;
        } catch (const error::EParseError& e) {
            EXPECT_EQ(e.reason(), "Error parsing: " + text);
        }
    }
}

TEST(Base36, FormattedKeysReadBack)
{
    struct Case {
        std::string bytes;
        std::string text;
    } cases[] = {
        {"", "A"},
        {std::string("\0\0", 2), "A"},
        {"\x01", "B"},
        {"\x24", "AB"},
        {"\x0f\x05", "99"},
        {bytesFromHex("40b6"), "AAAB"},
        {bytesFromHex("627ec6361d005a11aa3cc3f39593aa170d75ae583cb934405c4b707c55d32995"),
         "SIPZZ5FK2Z9RI19R0WYOJFLJOOA5LQSAJ08XUI6D39ZZZZG4ZD"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(formatBase36(c.bytes), c.text) << c.text;

    // 32-byte keys of every byte pattern come back whole unless their top byte is zero.
    std::string key;
    for (int seed : {0x00, 0x5a, 0xff, 0x80}) {
        key.clear();
        for (int i = 0; i < 32; ++i)
            key.push_back(static_cast<char>((seed + i * 37) & 0xff));
        key.back() = static_cast<char>(seed == 0 ? 1 : seed);
        EXPECT_EQ(parseBase36(formatBase36(key)), key) << seed;
    }
    EXPECT_EQ(parseBase36(formatBase36(std::string("\x07\0\0", 3))), "\x07");
}

} // namespace
