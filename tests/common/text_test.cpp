#include "common/format.h"
#include "common/text.h"

#include <gtest/gtest.h>

namespace {

TEST(Text, QuotedAndEscapedForLogTexts)
{
    const std::pair<std::string, std::string> quotes[] = {
        {"", R"("")"},
        {std::string("x\x01y", 3), R"("x\001y")"},
        {"back\\slash", R"("back\\slash")"},
        {"\a\b\t\n\v\f\r", R"("\a\b\t\n\v\f\r")"},
        {"\"'", R"("\"\'")"},
        {"caf\xc3\xa9 \x7f\xff", "\"caf\xc3\xa9 \x7f\xff\""},
    };
    for (const auto& [in, out] : quotes)
        EXPECT_EQ(quoted(in), out) << out;
    EXPECT_EQ(escapeControlCharacters("plain caf\xc3\xa9 \\ \"x\""), "plain caf\xc3\xa9 \\ \"x\"");
    EXPECT_EQ(escapeControlCharacters(std::string("a\x1b[2Jb\r\nforged\0\x7f", 16)),
              "a\\x1b[2Jb\\x0d\\x0aforged\\x00\\x7f");
}

TEST(Text, Utf8ThroughUtf16AndTheAnsiCodePage)
{
    // "Zoë ∑ 😀": two-, three- and four-byte sequences (the last one a surrogate pair).
    const std::string utf8 = "Zo\xc3\xab \xe2\x88\x91 \xf0\x9f\x98\x80";
    const std::wstring wide = toWide(utf8);
    EXPECT_EQ(wide.substr(0, 5), L"Zo\u00eb \u2211");
    EXPECT_EQ(toUtf8(wide), utf8);
    EXPECT_EQ(toUtf8(L""), "");
    // 0xE9 alone is not UTF-8; the ANSI code page (1252 here, Latin-1 natively) has é there.
    EXPECT_EQ(toWide("caf\xe9"), L"caf\u00e9");
    // An overlong encoding of "/" is not UTF-8 either.
    EXPECT_EQ(toWide("\xc0\xaf").size(), 2u);
}

TEST(Text, NumbersForLogTexts)
{
    EXPECT_EQ(formatUnsigned(7, true), "07");
    EXPECT_EQ(formatInt(3, true), "03");
    EXPECT_EQ(formatUnsigned64(18446744073709551615ull), "18446744073709551615");
}

} // namespace
