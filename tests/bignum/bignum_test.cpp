#include "bignum/bignum.h"

#include "common/error.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A value from hexadecimal digits, most significant first (any count of digits).
BigNum fromHex(std::string digits)
{
    if (digits.size() % 2 != 0)
        digits.insert(digits.begin(), '0');
    std::vector<unsigned char> bytes;
    for (std::size_t i = 0; i < digits.size(); i += 2)
        bytes.push_back(static_cast<unsigned char>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return BigNum::fromBytesBE(bytes.data(), bytes.size());
}

// The value's hexadecimal digits without leading zeros ("0" for zero).
std::string shortHex(const BigNum& n)
{
    std::string text = n.toHex(1);
    std::size_t first = text.find_first_not_of('0');
    return first == std::string::npos ? "0" : text.substr(first);
}

BigNum powerOfTwo(unsigned exponent)
{
    BigNum n(1);
    n.shiftLeft(exponent);
    return n;
}

TEST(BigNumText, HexHasEightDigitsPerWordOrTheMinimum)
{
    struct Case {
        BigNum value;
        std::size_t minimum;
        std::string expected;
    } cases[] = {
        {BigNum(), 0, ""},
        {BigNum(), 3, "000"},
        {BigNum(255), 0, "000000ff"},
        {BigNum(0xABCDEF01), 0, "abcdef01"},
        {BigNum(255), 12, "0000000000ff"},
        {BigNum(255), 5, "000000ff"},
        {powerOfTwo(32), 0, "0000000100000000"},
        {fromHex("0102030405"), 0, "0000000102030405"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.value.toHex(c.minimum), c.expected) << c.expected;
}

TEST(BigNumText, HexDoesNotChangeTheValue)
{
    BigNum n = fromHex("123456789abcdef0");
    BigNum copy = n;
    EXPECT_EQ(n.toHex(0), "123456789abcdef0");
    EXPECT_EQ(n.toHex(0), "123456789abcdef0");
    EXPECT_EQ(n, copy);
    EXPECT_EQ(n.word(0), 0x9ABCDEF0u);
}

TEST(BigNumBytes, LittleEndianOutputIsTrimmedThenPadded)
{
    struct Case {
        BigNum value;
        std::size_t minimum;
        std::string expected;
    } cases[] = {
        {BigNum(0x0102), 4, std::string("\x02\x01\x00\x00", 4)},
        {BigNum(0x0102), 0, "\x02\x01"},
        {BigNum(0x0102), 1, "\x02\x01"},
        {BigNum(), 0, ""},
        {BigNum(), 3, std::string(3, '\0')},
        {powerOfTwo(32), 0, std::string("\x00\x00\x00\x00\x01", 5)},
        {fromHex("ff00000000"), 8, std::string("\x00\x00\x00\x00\xff\x00\x00\x00", 8)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.value.toBytesLE(c.minimum), c.expected) << c.value.toHex(0) << " min " << c.minimum;
}

TEST(BigNumBytes, LittleEndianInputPutsTheFirstByteLowest)
{
    struct Case {
        std::string bytes;
        std::vector<std::uint32_t> words;
    } cases[] = {
        {"", {}},
        {std::string(5, '\0'), {}},
        {"\x01", {0x01}},
        {"\x01\x02\x03\x04\x05", {0x04030201, 0x05}},
        {std::string("\x01\x00\x00\x00\x00\x00", 6), {0x01}},
        {std::string("\x00\x00\x00\x00\x00\x80", 6), {0x00, 0x8000}},
        {"\xff\xff\xff\xff\xff\xff\xff\xff", {0xFFFFFFFF, 0xFFFFFFFF}},
    };
    for (const auto& c : cases) {
        BigNum n = BigNum::fromBytesLE(c.bytes);
        ASSERT_EQ(n.length(), c.words.size()) << n.toHex(0);
        for (std::size_t i = 0; i < c.words.size(); ++i)
            EXPECT_EQ(n.word(i), c.words[i]) << n.toHex(0);
    }
}

TEST(BigNumBytes, BigEndianInputPutsTheFirstByteHighest)
{
    struct Case {
        std::vector<unsigned char> bytes;
        std::vector<std::uint32_t> words;
    } cases[] = {
        {{}, {}},
        {{0x00, 0x00}, {}},
        {{0x01, 0x02, 0x03, 0x04, 0x05}, {0x02030405, 0x01}},
        {{0x00, 0x00, 0x00, 0x00, 0x01}, {0x01}},
        {{0x01, 0x02, 0x03, 0x04}, {0x01020304}},
        {{0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01}, {0x01, 0x00, 0x80}},
    };
    for (const auto& c : cases) {
        BigNum n = BigNum::fromBytesBE(c.bytes.data(), c.bytes.size());
        ASSERT_EQ(n.length(), c.words.size()) << n.toHex(0);
        for (std::size_t i = 0; i < c.words.size(); ++i)
            EXPECT_EQ(n.word(i), c.words[i]) << n.toHex(0);
    }
}

TEST(BigNumBytes, LittleEndianRoundTrip)
{
    std::string bytes;
    for (int i = 0; i < 37; ++i)
        bytes.push_back(static_cast<char>(i * 53 + 11));
    bytes.back() = '\x7f'; // a non-zero top byte, so nothing is trimmed
    EXPECT_EQ(BigNum::fromBytesLE(bytes).toBytesLE(0), bytes);
}

TEST(BigNumBytes, BigEndianDataIsTrimmedAndTheRestZeroed)
{
    struct Case {
        BigNum value;
        std::size_t bufferSize;
        std::vector<unsigned char> expected; // the whole buffer afterwards
        std::size_t size;
    } cases[] = {
        {BigNum(0x0102), 8, {0x01, 0x02, 0, 0, 0, 0, 0, 0}, 2},
        {BigNum(0x0102), 4, {0x01, 0x02, 0, 0}, 2},
        {fromHex("0102030405"), 8, {0x01, 0x02, 0x03, 0x04, 0x05, 0, 0, 0}, 5},
        {fromHex("8000000000000000"), 8, {0x80, 0, 0, 0, 0, 0, 0, 0}, 8},
        {BigNum(), 3, {0, 0, 0}, 0},
    };
    for (const auto& c : cases) {
        std::vector<unsigned char> buffer(c.bufferSize, 0xAA);
        std::size_t size = buffer.size();
        c.value.getDataBE(buffer.data(), size);
        EXPECT_EQ(size, c.size) << c.value.toHex(0);
        EXPECT_EQ(buffer, c.expected) << c.value.toHex(0);
    }
}

TEST(BigNumBytes, BigEndianDataNeedsFourBytesPerWord)
{
    struct Case {
        BigNum value;
        std::size_t bufferSize;
        std::size_t wanted;
    } cases[] = {
        {BigNum(0x0102), 2, 4},
        {BigNum(0x0102), 0, 4},
        {fromHex("0102030405"), 5, 8},
    };
    for (const auto& c : cases) {
        std::vector<unsigned char> buffer(c.bufferSize + 1, 0xAA);
        std::size_t size = c.bufferSize;
        try {
            c.value.getDataBE(buffer.data(), size);
            ADD_FAILURE() << "no exception for " << c.value.toHex(0);
        } catch (const error::EInvariant& e) {
            EXPECT_EQ(e.reason(), "Buffer given to bn_get_data is too small (wanted " + std::to_string(c.wanted) + ")");
        }
        EXPECT_EQ(size, c.wanted);
    }
}

TEST(BigNumArithmetic, AddCarriesIntoNewWords)
{
    struct Case {
        std::string a, b, sum;
    } cases[] = {
        {"ffffffff", "1", "100000000"},
        {"1", "ffffffff", "100000000"},
        {"ffffffffffffffffffffffff", "1", "1000000000000000000000000"},
        {"0", "0", "0"},
        {"0", "1234", "1234"},
        {"80000000", "80000000", "100000000"},
        {"123456789abcdef0123", "fedcba987654321", "1235555555555544444"},
    };
    for (const auto& c : cases) {
        BigNum a = fromHex(c.a), b = fromHex(c.b);
        EXPECT_EQ(shortHex(BigNum::add(a, b)), c.sum) << c.a << " + " << c.b;
        a.addTo(b);
        EXPECT_EQ(shortHex(a), c.sum) << c.a << " += " << c.b;
    }
    BigNum sum = BigNum::add(BigNum(0xFFFFFFFF), BigNum(1));
    EXPECT_EQ(sum.length(), 2u);
}

TEST(BigNumArithmetic, AddToItself)
{
    BigNum n = fromHex("80000000ffffffff");
    n.addTo(n);
    EXPECT_EQ(shortHex(n), "100000001fffffffe");
}

// Expected products computed with Python integers.
TEST(BigNumArithmetic, MultiplyGivesSchoolbookProducts)
{
    struct Case {
        std::string a, b, product;
    } cases[] = {
        {"ffffffffffffffff", "ffffffffffffffff", "fffffffffffffffe0000000000000001"},
        {"1f2e3d4c5b6a79880123456789abcdef", "fedcba9876543210", "1f0ac3489ab9a55d4f94c455c07bffc22236d88fe5618cf0"},
        {"ffffffff", "ffffffff", "fffffffe00000001"},
        {"0", "1234", "0"},
        {"1234", "0", "0"},
        {"1", "abcdef0123456789", "abcdef0123456789"},
    };
    for (const auto& c : cases) {
        BigNum p = BigNum::multiply(fromHex(c.a), fromHex(c.b));
        EXPECT_EQ(shortHex(p), c.product) << c.a << " * " << c.b;
        if (c.product == "0") {
            EXPECT_TRUE(p.isZero());
        }
    }
}

TEST(BigNumArithmetic, MultiplyWordInPlace)
{
    struct Case {
        std::string a;
        std::uint32_t w;
        std::string product;
    } cases[] = {
        {"ffffffff", 0xFFFFFFFF, "fffffffe00000001"},
        {"89abcdef", 0xFEDCBA98, "890f2a50ad05ebe8"},
        {"0", 5, "0"},
        {"123456789", 0, "0"},
        {"123456789", 1, "123456789"},
        {"24", 36, "510"},
    };
    for (const auto& c : cases) {
        BigNum n = fromHex(c.a);
        n.multiplyWord(c.w);
        EXPECT_EQ(shortHex(n), c.product) << c.a << " * " << c.w;
    }
    BigNum zero(7);
    zero.multiplyWord(0);
    EXPECT_EQ(zero.length(), 0u);
}

TEST(BigNumArithmetic, ShiftLeft)
{
    struct Case {
        std::string a;
        unsigned bits;
        std::string result;
    } cases[] = {
        {"1", 32, "100000000"},
        {"80000000", 1, "100000000"},
        {"1234", 100, "12340000000000000000000000000"},
        {"0", 5, "0"},
        {"abc", 0, "abc"},
        {"ffffffffffffffff", 4, "ffffffffffffffff0"},
        {"1", 255, "8000000000000000000000000000000000000000000000000000000000000000"},
    };
    for (const auto& c : cases) {
        BigNum n = fromHex(c.a);
        n.shiftLeft(c.bits);
        EXPECT_EQ(shortHex(n), c.result) << c.a << " << " << c.bits;
    }
    BigNum top(0x80000000);
    top.shiftLeft(1);
    EXPECT_EQ(top.length(), 2u);
}

TEST(BigNumCompare, OrdersByValue)
{
    // Ascending.
    const BigNum values[] = {
        BigNum(),
        BigNum(1),
        BigNum(0xFFFFFFFF),
        fromHex("100000000"),
        fromHex("100000001"),
        fromHex("200000000"),
        fromHex("ffffffffffffffff"),
        fromHex("10000000000000000"),
    };
    const std::size_t count = sizeof values / sizeof values[0];
    for (std::size_t i = 0; i < count; ++i) {
        for (std::size_t j = 0; j < count; ++j) {
            EXPECT_EQ(values[i] < values[j], i < j) << i << " < " << j;
            EXPECT_EQ(values[i] > values[j], i > j) << i << " > " << j;
            EXPECT_EQ(values[i] == values[j], i == j) << i << " == " << j;
            EXPECT_EQ(values[i] != values[j], i != j) << i << " != " << j;
        }
    }
    EXPECT_EQ(fromHex("00000000abcd"), BigNum(0xABCD));
}

TEST(BigNumCopies, ChangingACopyLeavesTheOriginal)
{
    struct Mutation {
        const char* name;
        void (*apply)(BigNum&);
    } mutations[] = {
        {"addTo", [](BigNum& n) { n.addTo(BigNum(1)); }}, {"multiplyWord", [](BigNum& n) { n.multiplyWord(3); }},
        {"shiftLeft", [](BigNum& n) { n.shiftLeft(9); }}, {"resize", [](BigNum& n) { n.resize(n.length() + 2); }},
        {"assign", [](BigNum& n) { n = BigNum(5); }},
    };
    for (const auto& m : mutations) {
        const BigNum original = fromHex("123456789abcdef");
        BigNum copy = original;
        EXPECT_EQ(copy, original);
        m.apply(copy);
        EXPECT_EQ(original.toHex(0), "0123456789abcdef") << m.name;
        EXPECT_EQ(original.length(), 2u) << m.name;
    }
}

TEST(BigNumCopies, OutputLeavesCopiesIntact)
{
    const BigNum original = fromHex("a1b2c3d4e5");
    BigNum copy = original;
    EXPECT_EQ(copy.toBytesLE(0), "\xe5\xd4\xc3\xb2\xa1");
    EXPECT_EQ(copy.toHex(0), "000000a1b2c3d4e5");
    EXPECT_EQ(original.toHex(0), "000000a1b2c3d4e5");
}

TEST(BigNumCopies, ManyCopiesOfOneValue)
{
    const BigNum original = fromHex("fedcba9876543210");
    std::vector<BigNum> copies(1500, original);
    for (const auto& c : copies)
        ASSERT_EQ(c, original);
    copies[700].addTo(BigNum(1));
    copies.pop_back();
    EXPECT_EQ(shortHex(copies[700]), "fedcba9876543211");
    EXPECT_EQ(copies[699], original);
    EXPECT_EQ(copies.back(), original);
    copies.clear();
    EXPECT_EQ(shortHex(original), "fedcba9876543210");
}

TEST(BigNumResize, NewWordsAreZeroAndTheLengthIsTheCount)
{
    BigNum n(0x77);
    n.resize(3);
    EXPECT_EQ(n.length(), 3u);
    EXPECT_EQ(n.word(0), 0x77u);
    EXPECT_EQ(n.word(1), 0u);
    EXPECT_EQ(n.word(2), 0u);
}

TEST(BigNumDeathTest, ResizeBelowTheLength)
{
    BigNum n = fromHex("100000000");
    EXPECT_DEATH(n.resize(1), "Assertion failed: Bad reallocation in BigNum");
}

} // namespace
