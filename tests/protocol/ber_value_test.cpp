#include "protocol/ber_primitives.h"

#include "protocol/hex.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <regex>
#include <string>
#include <vector>

using namespace protocol;
using bertest::hex;
using bertest::unhex;

namespace {

std::string encode(const BerValue& value)
{
    std::string out;
    StringIo io(out);
    value.write(io, false);
    return hex(out);
}

// Hands the contents over in two pieces, as the decoder may, then completes the value.
void fill(BerPrimitive& value, const std::string& contentsHex)
{
    const std::string bytes = unhex(contentsHex);
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto size = static_cast<std::uint32_t>(bytes.size());
    value.setLength(size);
    value.append(data, size / 2);
    value.append(data + size / 2, size - size / 2);
    value.readDone();
}

// Through the base, as the message classes compare their fields: between two operands of
// one derived class, C++20 would weigh the reversed form of the member operator too.
bool same(const BerValue& a, const BerValue& b)
{
    return a == b;
}

std::string errorOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const error::Exception& e) {
        return e.reason();
    }
    return "(no error)";
}

constexpr std::int32_t kIntMin = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kIntMax = std::numeric_limits<std::int32_t>::max();
constexpr std::uint32_t kUintMax = std::numeric_limits<std::uint32_t>::max();
constexpr std::int64_t kInt64Min = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();
constexpr std::uint64_t kUint64Max = std::numeric_limits<std::uint64_t>::max();

// ---------------------------------------------------------------------------------------

TEST(BerIdentifierAndLength, UseTheShortestForm)
{
    const std::pair<std::uint32_t, const char*> identifiers[] = {
        {BE_BOOLEAN, "01"},
        {BE_INTEGER, "02"},
        {BE_STRING_CURRENT, "04"},
        {BE_NULL, "05"},
        {BE_REAL, "09"},
        {BE_ENUMERATED, "0A"},
        {BE_SEQ_CURRENT, "30"},
        {BE_STRING_LEGACY, "16"},
        {BE_SEQ_LEGACY, "20"},
        {BE_FILLER, "19"},
        {30 * 8 + 2 * 2 + 1, "BE"},        // [30] context, constructed: last one-octet number
        {9 * 8 + 5, "A9"},                 // [9]
        {11 * 8 + 3, "6B"},                // [APPLICATION 11]
        {31 * 8, "1F 1F"},                 // first number in the high form
        {60 * 8 + 3, "7F 3C"},             // [APPLICATION 60]
        {127 * 8 + 3, "7F 7F"},            // largest one-group number
        {128 * 8 + 4, "9F 81 00"},         // a trailing zero group
        {231 * 8 + 3, "7F 81 67"},         // [APPLICATION 231]
        {304 * 8 + 3, "7F 82 30"},         // [APPLICATION 304]
        {16384 * 8 + 6, "DF 81 80 00"},    // private class, three groups
        {0xFFFFFFFF, "FF 81 FF FF FF 7F"}, // the largest internal tag
    };
    const std::pair<std::uint32_t, const char*> lengths[] = {
        {0, "00"},
        {127, "7F"},
        {128, "81 80"},
        {255, "81 FF"},
        {256, "82 01 00"},
        {65535, "82 FF FF"},
        {65536, "83 01 00 00"},
        {16777215, "83 FF FF FF"},
        {16777216, "84 01 00 00 00"},
        {0xFFFFFFFF, "84 FF FF FF FF"},
    };
    for (const auto& [number, octets] : identifiers) {
        std::string out;
        StringIo io(out);
        writeIdentifier(io, number);
        EXPECT_EQ(hex(out), octets) << "tag " << number;
    }
    for (const auto& [number, octets] : lengths) {
        std::string out;
        StringIo io(out);
        writeLength(io, number);
        EXPECT_EQ(hex(out), octets) << "length " << number;
    }
}

// ---------------------------------------------------------------------------------------
// Integers: each case is written, and its contents read back into a fresh target.

template <class T>
void checkIntegerCases(const std::vector<std::pair<T, const char*>>& cases)
{
    const T min = std::numeric_limits<T>::min();
    const T max = std::numeric_limits<T>::max();
    for (const auto& [number, encoding] : cases) {
        T value = number;
        EXPECT_EQ(encode(BerIntegerTemplate<T>(&value, min, max)), encoding) << "value " << number;

        const std::string bytes = unhex(encoding);
        ASSERT_EQ(static_cast<unsigned char>(bytes[1]), bytes.size() - 2) << encoding;
        T decoded = 42;
        BerIntegerTemplate<T> reader(&decoded, min, max);
        fill(reader, hex(bytes.substr(2)));
        EXPECT_EQ(decoded, number) << encoding;
    }
}

// The contents read into a target of the full range of T.
template <class T>
T readAs(const char* contents)
{
    T target = 7;
    BerIntegerTemplate<T> reader(&target, std::numeric_limits<T>::min(), std::numeric_limits<T>::max());
    fill(reader, contents);
    return target;
}

template <class T>
std::string writeError(T value, T min, T max)
{
    std::string out;
    StringIo io(out);
    return errorOf([&] { BerIntegerTemplate<T>(&value, min, max).write(io, false); });
}

template <class T>
std::string readError(const char* contents, T min, T max)
{
    T target = 0;
    BerIntegerTemplate<T> reader(&target, min, max);
    return errorOf([&] { fill(reader, contents); });
}

template <class T>
std::string lengthError(std::uint32_t length)
{
    T target = 0;
    return errorOf([&] {
        BerIntegerTemplate<T>(&target, std::numeric_limits<T>::min(), std::numeric_limits<T>::max()).setLength(length);
    });
}

TEST(BerInteger, EncodingsAreShortestTwosComplementWithALeadingZeroForUnsignedTopBits)
{
    checkIntegerCases<std::int32_t>({
        {0, "02 01 00"},
        {-1, "02 01 FF"},
        {127, "02 01 7F"},
        {128, "02 02 00 80"},
        {-128, "02 01 80"},
        {-129, "02 02 FF 7F"},
        {255, "02 02 00 FF"},
        {256, "02 02 01 00"},
        {32767, "02 02 7F FF"},
        {32768, "02 03 00 80 00"},
        {-32769, "02 03 FF 7F FF"},
        {8388608, "02 04 00 80 00 00"},
        {kIntMax, "02 04 7F FF FF FF"},
        {kIntMin, "02 04 80 00 00 00"},
    });
    checkIntegerCases<std::uint32_t>({
        {0, "02 01 00"},
        {127, "02 01 7F"},
        {128, "02 02 00 80"},
        {255, "02 02 00 FF"},
        {256, "02 02 01 00"},
        {65535, "02 03 00 FF FF"},
        {2147483647, "02 04 7F FF FF FF"},
        {2147483648u, "02 05 00 80 00 00 00"},
        {kUintMax, "02 05 00 FF FF FF FF"},
    });
    checkIntegerCases<std::int64_t>({
        {0, "02 01 00"},
        {-1, "02 01 FF"},
        {128, "02 02 00 80"},
        {2147483648LL, "02 05 00 80 00 00 00"},
        {-2147483648LL, "02 04 80 00 00 00"},
        {-2147483649LL, "02 05 FF 7F FF FF FF"},
        {0x0102030405060708LL, "02 08 01 02 03 04 05 06 07 08"},
        {kInt64Max, "02 08 7F FF FF FF FF FF FF FF"},
        {kInt64Min, "02 08 80 00 00 00 00 00 00 00"},
    });
    checkIntegerCases<std::uint64_t>({
        {0, "02 01 00"},
        {128, "02 02 00 80"},
        {4294967296ULL, "02 05 01 00 00 00 00"},
        {9223372036854775807ULL, "02 08 7F FF FF FF FF FF FF FF"},
        {9223372036854775808ULL, "02 09 00 80 00 00 00 00 00 00 00"},
        {kUint64Max, "02 09 00 FF FF FF FF FF FF FF FF"},
    });
}

TEST(BerInteger, ReadsLongerAndEmptyContents)
{
    struct Case {
        const char* contents;
        std::int64_t asInt;
        std::uint64_t asUnsigned;
    } cases[] = {{"", 0, 0},           {"FF", -1, 255},       {"80", -128, 128}, {"00 00 00 05", 5, 5},
                 {"FF FF", -1, 65535}, {"FF 00", -256, 65280}};
    for (const auto& c : cases) {
        EXPECT_EQ(readAs<std::int32_t>(c.contents), c.asInt) << c.contents;
        EXPECT_EQ(readAs<std::int64_t>(c.contents), c.asInt) << c.contents;
        EXPECT_EQ(readAs<std::uint32_t>(c.contents), c.asUnsigned) << c.contents;
        EXPECT_EQ(readAs<std::uint64_t>(c.contents), c.asUnsigned) << c.contents;
    }
}

TEST(BerInteger, RefusesValuesOutsideTheirRangeOrWidth)
{
    const std::string range = "data out of range in BerIntegerTemplate";
    EXPECT_EQ(writeError<std::int32_t>(101, 0, 100), range + "<int>::write 0 <= 101 <= 100");
    EXPECT_EQ(readError<std::int32_t>("06", -5, 5), range + "<int>::readDone -5 <= 6 <= 5");
    EXPECT_EQ(readError<std::int32_t>("FA", -5, 5), range + "<int>::readDone -5 <= -6 <= 5");
    EXPECT_EQ(readError<std::uint32_t>("", 1, 10), range + "<unsigned int>::readDone 1 <= 0 <= 10");
    EXPECT_EQ(writeError<std::uint32_t>(4294967295u, 0, 4294967294u),
              range + "<unsigned int>::write 0 <= 4294967295 <= 4294967294");
    EXPECT_EQ(readError<std::int64_t>("3B 9A CA 00", 0, 999999999),
              range + "<__int64>::readDone 0 <= 1000000000 <= 999999999");
    EXPECT_EQ(writeError<std::int64_t>(kInt64Min, -1, 1), range + "<__int64>::write -1 <= -9223372036854775808 <= 1");
    EXPECT_EQ(readError<std::uint64_t>("00 FF FF FF FF FF FF FF FF", 0, 100),
              range + "<unsigned __int64>::readDone 0 <= 18446744073709551615 <= 100");
    EXPECT_EQ(writeError<std::uint64_t>(5, 6, 7), range + "<unsigned __int64>::write 6 <= 5 <= 7");
    // Full-width unsigned contents whose extra first byte is not zero.
    EXPECT_EQ(readError<std::uint32_t>("01 00 00 00 00", 0, kUintMax), range);
    EXPECT_EQ(readError<std::uint64_t>("80 00 00 00 00 00 00 00 00", 0, kUint64Max), range);
    // Contents longer than the width are refused when the length is announced.
    EXPECT_EQ(lengthError<std::uint32_t>(6), "Data value exceeds maximum allowed length 6 > 5");
    EXPECT_EQ(lengthError<std::int32_t>(5), "Data value exceeds maximum allowed length 5 > 4");
    EXPECT_EQ(lengthError<std::int64_t>(9), "Data value exceeds maximum allowed length 9 > 8");
    EXPECT_EQ(lengthError<std::uint64_t>(10), "Data value exceeds maximum allowed length 10 > 9");

    // A refused read leaves the target alone.
    std::int32_t i = 3;
    BerIntegerTemplate<std::int32_t> v(&i, 0, 10);
    EXPECT_THROW(fill(v, "0B"), EBer);
    EXPECT_EQ(i, 3);
}

// ---------------------------------------------------------------------------------------

TEST(BerString, LimitsOnReadAndWrite)
{
    std::string target;
    BerString value(&target, 16, BE_STRING_CURRENT);

    value.setLength(16); // exactly the maximum
    const std::string text = "0123456789abcdef";
    value.append(reinterpret_cast<const unsigned char*>(text.data()), 10);
    value.append(reinterpret_cast<const unsigned char*>(text.data()) + 10, 6);
    value.readDone();
    EXPECT_EQ(target, text);
    EXPECT_EQ(encode(value), "04 10 " + hex(text));

    EXPECT_EQ(errorOf([&] { value.setLength(17); }), "String exceeds allowed length 17 > 16");
    target += "g";
    EXPECT_EQ(errorOf([&] { encode(value); }), "String exceeds allowed length 17 > 16");
}

TEST(BerString, NewContentsReplaceTheOldAndUseTheLongLengthForm)
{
    std::string target = "left over";
    BerString value(&target, 65536, BE_STRING_LEGACY);
    fill(value, "");
    EXPECT_EQ(target, "");

    target.assign(200, 'x');
    EXPECT_EQ(encode(value), "16 81 C8 " + hex(target));
}

TEST(BerString, ComparesContents)
{
    std::string a = "abc", b = "abc", c = "abd";
    BerString va(&a, 10, BE_STRING_CURRENT), vb(&b, 10, BE_STRING_CURRENT), vc(&c, 10, BE_STRING_CURRENT);
    std::uint32_t n = 0;
    const BerValue& other = BerIntegerTemplate<std::uint32_t>(&n, 0, 1);
    BerString alsoA(&a, 3, BE_STRING_LEGACY);
    EXPECT_TRUE(same(va, vb));
    EXPECT_TRUE(same(va, alsoA));
    EXPECT_FALSE(same(va, vc));
    EXPECT_FALSE(same(va, other));
    EXPECT_TRUE(va < vc);
    EXPECT_FALSE(vc < va);
    EXPECT_TRUE(vc > va);
}

// ---------------------------------------------------------------------------------------

TEST(BerReal, EncodesAsPrintedTextOrSpecialByte)
{
    double x = 1.5;
    const std::string printed = unhex(encode(BerReal(&x)));
    ASSERT_GE(printed.size(), 3u);
    EXPECT_EQ(static_cast<unsigned char>(printed[0]), 0x09);
    EXPECT_EQ(static_cast<unsigned char>(printed[1]), printed.size() - 2);
    EXPECT_EQ(printed[2], '\0');
    const std::string text = printed.substr(3);
    EXPECT_TRUE(std::regex_match(text, std::regex(R"(1\.500000e\+0+)"))) << text;

    const double inf = std::numeric_limits<double>::infinity();
    const std::pair<double, const char*> specials[] = {
        {inf, "09 01 40"}, {-inf, "09 01 41"}, {0.0, "09 00"}, {-0.0, "09 00"}};
    for (const auto& [value, encoding] : specials) {
        x = value;
        EXPECT_EQ(encode(BerReal(&x)), encoding) << value;
    }
}

TEST(BerReal, RoundTripsValuesThatTheTextHolds)
{
    for (double value : {1.5, -0.125, 6.02e23, -1.25e-300, 1.797693e308, 3.0}) {
        double x = value;
        const std::string bytes = unhex(encode(BerReal(&x)));
        double y = 0;
        BerReal reader(&y);
        fill(reader, hex(bytes.substr(2)));
        EXPECT_EQ(y, value);
    }
}

TEST(BerReal, DecodesEachFormat)
{
    const double inf = std::numeric_limits<double>::infinity();
    const std::pair<std::string, double> cases[] = {
        {"", 0.0},
        {"40", inf},
        {"41", -inf},
        {"60", 0.0},
        {"00 " + hex("1.5"), 1.5},
        {"00 " + hex("1.500000e+000"), 1.5}, // three exponent digits
        {"00 " + hex("-2.5e3"), -2500.0},
        {"00 " + hex("42"), 42.0},
    };
    for (const auto& [contents, value] : cases) {
        double y = 99;
        BerReal reader(&y);
        fill(reader, contents);
        EXPECT_EQ(y, value) << contents;
    }
}

TEST(BerReal, RefusesMalformedContents)
{
    const std::string parse = "Parse error in real number", format = "Unsupported real number format revceived";
    const std::pair<std::string, std::string> cases[] = {
        {"00", parse},
        {"00 " + hex("abc"), parse},
        {"00 " + hex("1.5x"), parse},
        {"00 " + hex("1.5") + " 00", parse},
        {"00 00 " + hex("1.5"), parse},
        {"42", format},
        {"80 01 03", format},
        {"01 " + hex("1.5"), format},
        {"00 " + hex(std::string(60, '1')), "Data value exceeds maximum allowed length 61 > 60"},
    };
    for (const auto& [contents, error] : cases) {
        double y = 99;
        BerReal reader(&y);
        EXPECT_EQ(errorOf([&] { fill(reader, contents); }), error) << contents;
    }
}

// ---------------------------------------------------------------------------------------

TEST(BerBoolean, ReadsAnyNonZeroByteAsTrueAndWritesOneOrZero)
{
    const std::pair<const char*, bool> cases[] = {{"05", true}, {"01", true}, {"FF", true}, {"00", false}, {"", false}};
    for (const auto& [contents, value] : cases) {
        bool b = !value;
        BerBoolean reader(&b);
        fill(reader, contents);
        EXPECT_EQ(b, value) << contents;
    }
    bool b = false;
    EXPECT_EQ(errorOf([&] { BerBoolean(&b).setLength(2); }), "Data value exceeds maximum allowed length 2 > 1");

    bool yes = true, no = false;
    EXPECT_EQ(encode(BerBoolean(&yes)), "01 01 01");
    EXPECT_EQ(encode(BerBoolean(&no)), "01 01 00");
    EXPECT_EQ(encode(BerBoolean(&yes, 3 * 8 + 4)), "83 01 01"); // own tag: [3] primitive
}

// ---------------------------------------------------------------------------------------

TEST(BerEnumerated, EncodesSignificantBytesAndReadsThemBack)
{
    const std::pair<std::int32_t, const char*> cases[] = {
        {0, "0A 00"},
        {5, "0A 01 05"},
        {127, "0A 01 7F"},
        {128, "0A 02 00 80"},
        {32767, "0A 02 7F FF"},
        {32768, "0A 03 00 80 00"},
        {0x7FFFFF, "0A 03 7F FF FF"},
        {0x800000, "0A 04 00 80 00 00"},
        {kIntMax, "0A 04 7F FF FF FF"},
        {-1, "0A 04 FF FF FF FF"},
        {-128, "0A 04 FF FF FF 80"},
        {kIntMin, "0A 04 80 00 00 00"},
    };
    for (const auto& [number, encoding] : cases) {
        std::int32_t v = number;
        BerEnumerated value(&v);
        EXPECT_EQ(encode(value), encoding) << number;
        EXPECT_EQ(value.tag(true), BE_ENUMERATED);

        std::int32_t decoded = 42;
        BerEnumerated reader(&decoded);
        fill(reader, hex(unhex(encoding).substr(2)));
        EXPECT_EQ(decoded, number) << encoding;
    }

    // Short negative contents, read by one reader in turn; longer contents are refused.
    std::int32_t v = 1;
    BerEnumerated reader(&v);
    fill(reader, "80");
    EXPECT_EQ(v, -128);
    fill(reader, "FF 00");
    EXPECT_EQ(v, -256);
    EXPECT_EQ(errorOf([&] { reader.setLength(5); }), "Data value exceeds maximum allowed length 5 > 4");
}

// ---------------------------------------------------------------------------------------

TEST(BerBigNum, BigEndianContentsOfUpTo1040Bytes)
{
    struct Case {
        const char* contents;
        std::uint32_t value;
        const char* encoding;
    } cases[] = {{"", 0, "02 00"},
                 {"00 00 01 00", 256, "02 02 01 00"},
                 {"80", 0x80, "02 01 80"},
                 {"01 02 03 04", 0x01020304, "02 04 01 02 03 04"}};
    for (const auto& c : cases) {
        BigNum n(12345);
        BerBigNum reader(&n);
        fill(reader, c.contents);
        EXPECT_TRUE(n == BigNum(c.value)) << c.contents;
        EXPECT_EQ(encode(reader), c.encoding);
    }

    // Up to 1040 bytes of contents.
    std::string contents(1040, '\xA5');
    BigNum n;
    BerBigNum reader(&n);
    fill(reader, hex(contents));
    EXPECT_EQ(encode(reader), "02 82 04 10 " + hex(contents));
    EXPECT_EQ(errorOf([&] { reader.setLength(1041); }), "Data value exceeds maximum allowed length 1041 > 1040");
}

TEST(BerNull, HasNoContents)
{
    BerNull null;
    EXPECT_EQ(encode(null), "05 00");
    EXPECT_EQ(encode(BerNull(7 * 8 + 4)), "87 00");
    fill(null, "");
    EXPECT_EQ(errorOf([&] { null.setLength(1); }), "Data value exceeds maximum allowed length 1 > 0");
}

// ---------------------------------------------------------------------------------------

TEST(BerShortValue, ComparesReceivedContents)
{
    bool a = false, b = false;
    BerBoolean va(&a), vb(&b);
    fill(va, "01");
    fill(vb, "01");
    EXPECT_TRUE(same(va, vb));
    fill(vb, "02");
    EXPECT_FALSE(same(va, vb));
    EXPECT_FALSE(va < vb); // same length
    fill(vb, "");
    EXPECT_FALSE(same(va, vb));
    EXPECT_TRUE(vb < va);
    EXPECT_TRUE(va > vb);
    std::string s;
    BerString string(&s, 1, BE_STRING_CURRENT);
    const BerValue& other = string;
    EXPECT_FALSE(va == other);
    EXPECT_FALSE(va < other);
    EXPECT_FALSE(va > other);
}

// A clone owns a copy of the datum: it keeps the value it had when cloned and frees the
// copy itself (the sanitizers see a leak or a double free otherwise).
TEST(BerValueClone, OwnsACopyOfTheDatum)
{
    bool b = true;
    double d = 2.5;
    std::int32_t i = -7;
    std::uint64_t u = 99;
    std::int32_t e = 3;
    BigNum n(77);
    std::string s = "text";
    struct Case {
        std::shared_ptr<BerValue> original;
        std::function<void()> change;
    } cases[] = {
        {std::make_shared<BerBoolean>(&b), [&] { b = false; }},
        {std::make_shared<BerReal>(&d), [&] { d = -1.0; }},
        {std::make_shared<BerIntegerTemplate<std::int32_t>>(&i, kIntMin, kIntMax), [&] { i = 8; }},
        {std::make_shared<BerIntegerTemplate<std::uint64_t>>(&u, 0, kUint64Max), [&] { u = 1; }},
        {std::make_shared<BerEnumerated>(&e), [&] { e = 4; }},
        {std::make_shared<BerBigNum>(&n), [&] { n = BigNum(78); }},
        {std::make_shared<BerString>(&s, 10, BE_STRING_CURRENT), [&] { s = "other"; }},
    };
    for (auto& c : cases) {
        const std::string before = encode(*c.original);
        std::unique_ptr<BerValue> copy(c.original->clone());
        EXPECT_FALSE(c.original->owns);
        EXPECT_TRUE(copy->owns) << before;
        c.change();
        EXPECT_NE(encode(*c.original), before);
        EXPECT_EQ(encode(*copy), before);
        std::unique_ptr<BerValue> copyOfCopy(copy->clone());
        EXPECT_EQ(encode(*copyOfCopy), before);
    }
}

// ---------------------------------------------------------------------------------------

TEST(BerSkipper, MadeByTheConstructedBitAndNeverWritten)
{
    std::unique_ptr<BerValue> primitive(makeSkipper(BE_INTEGER));
    std::unique_ptr<BerValue> constructed(makeSkipper(BE_SEQ_CURRENT));
    ASSERT_NE(dynamic_cast<BerPrimitiveSkipper*>(primitive.get()), nullptr);
    auto* seq = dynamic_cast<BerConstructedSkipper*>(constructed.get());
    ASSERT_NE(seq, nullptr);
    EXPECT_FALSE(primitive->owns);
    EXPECT_FALSE(constructed->owns);
    EXPECT_EQ(primitive->tag(false), BE_INTEGER);
    EXPECT_EQ(constructed->tag(true), BE_SEQ_CURRENT);
    EXPECT_TRUE(seq->isTransient());
    EXPECT_EQ(seq->minFields(), 0u);

    std::unique_ptr<BerValue> inner(seq->child(5, 7 * 8 + 5, 0, false));
    EXPECT_NE(dynamic_cast<BerConstructedSkipper*>(inner.get()), nullptr);
    EXPECT_EQ(inner->tag(false), 7u * 8 + 5);
    std::unique_ptr<BerValue> leaf(seq->child(0, BE_BOOLEAN, 0, false));
    EXPECT_NE(dynamic_cast<BerPrimitiveSkipper*>(leaf.get()), nullptr);

    std::unique_ptr<BerValue> otherPrimitive(makeSkipper(BE_STRING_CURRENT));
    EXPECT_TRUE(*primitive == *otherPrimitive);
    EXPECT_FALSE(*primitive == *constructed);
    EXPECT_TRUE(*constructed == *inner);
    EXPECT_FALSE(*constructed == *primitive);

    EXPECT_EQ(errorOf([&] { encode(*primitive); }), "BerPrimitiveSkipper::write invoked");
    EXPECT_EQ(errorOf([&] { encode(*constructed); }), "BerConstructedSkipper::write invoked");
    EXPECT_THROW(encode(*primitive), error::EFatal);
}

TEST(BerSkipperDeathTest, OrderingEndsTheProcess)
{
    std::unique_ptr<BerValue> primitive(makeSkipper(BE_INTEGER));
    std::unique_ptr<BerValue> constructed(makeSkipper(BE_SEQ_CURRENT));
    EXPECT_DEATH((void)(*primitive < *primitive), "Assertion failed: Cannot call operator< for BerPrimitiveSkipper");
    EXPECT_DEATH((void)(*primitive > *primitive), "Assertion failed: Cannot call operator> for BerPrimitiveSkipper");
    EXPECT_DEATH((void)(*constructed < *constructed),
                 "Assertion failed: Cannot call operator< for BerConstructedSkipper");
    EXPECT_DEATH((void)(*constructed > *constructed),
                 "Assertion failed: Cannot call operator> for BerConstructedSkipper");
}

} // namespace
