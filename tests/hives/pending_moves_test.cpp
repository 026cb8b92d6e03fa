#include "registry/pending_moves.h"

#include "support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using support::wideBytes;

std::vector<PendingMove> parsed(const std::wstring& text)
{
    const auto bytes = wideBytes(text);
    return parsePendingMoves(bytes.data(), bytes.size()).value_or(std::vector<PendingMove>{{L"(malformed)", L""}});
}

TEST(PendingMoves, ValueBytesAreReadAsPairsOrRefusedAsMalformed)
{
    using Moves = std::vector<PendingMove>;
    const Moves malformed{{L"(malformed)", L""}};
    struct Case {
        const char* what;
        std::wstring text;
        Moves expected;
    };
    // The strings, each closed by its NUL, then `more` NULs.
    auto value = [](const std::vector<std::wstring>& strings, int more) {
        std::wstring text;
        for (const std::wstring& string : strings)
            text += string + L'\0';
        return text + std::wstring(more, L'\0');
    };
    const std::wstring a = L"\\??\\C:\\a", b = L"!\\??\\C:\\b", c = L"\\??\\C:\\c";
    const Case cases[] = {
        {"empty", L"", {}},
        {"a lone terminator", value({}, 1), {}},
        {"a move and a deletion", value({a, b, c, L""}, 1), {{a, b}, {c, L""}}},
        {"extra terminators", value({a, b}, 3), {{a, b}}},
        {"no double zero", value({a, b}, 0), malformed},
        {"text after the last NUL", value({a, b}, 1) + L"x", malformed},
        {"a deletion whose empty target is the terminator", value({a, b, c}, 1), {{a, b}, {c, L""}}},
        {"a move from nowhere", value({L"", b}, 1), malformed},
    };
    for (const Case& one : cases)
        EXPECT_EQ(parsed(one.text), one.expected) << one.what;
}

TEST(PendingMoves, StoredAndLongPathsCompareAsTheirWin32Form)
{
    EXPECT_EQ(comparablePath(L"!\\??\\c:\\Dir\\x"), L"C:\\DIR\\X");
    EXPECT_EQ(comparablePath(L"\\\\?\\C:\\dir\\X"), L"C:\\DIR\\X");
    EXPECT_EQ(comparablePath(L"\\??\\UNC\\srv\\share\\x"), L"\\\\SRV\\SHARE\\X");
    EXPECT_EQ(comparablePath(L"\\\\?\\UNC\\srv\\share\\x"), L"\\\\SRV\\SHARE\\X");
}

} // namespace
