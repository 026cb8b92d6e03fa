// The primitive values on the wire: identifiers, lengths and the contents of each kind, read
// back from their contents, and the texts of what is refused.
#include "protocol/ber_primitives.h"

#include "support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

using namespace protocol;
using support::hex;
using support::unhex;

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

std::string errorOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const error::Exception& e) {
        return e.reason();
    }
    return "(no error)";
}

TEST(BerIdentifierAndLength, UseTheShortestForm)
{
    const std::pair<std::uint32_t, const char*> identifiers[] = {
        {30 * 8 + 2 * 2 + 1, "BE"},        // [30] context, constructed: last one-octet number
        {11 * 8 + 3, "6B"},                // [APPLICATION 11]
        {31 * 8, "1F 1F"},                 // first number in the high form
        {127 * 8 + 3, "7F 7F"},            // largest one-group number
        {128 * 8 + 4, "9F 81 00"},         // a trailing zero group
        {304 * 8 + 3, "7F 82 30"},         // [APPLICATION 304]
        {16384 * 8 + 6, "DF 81 80 00"},    // private class, three groups
        {0xFFFFFFFF, "FF 81 FF FF FF 7F"}, // the largest internal tag
    };
    const std::pair<std::uint32_t, const char*> lengths[] = {
        {0, "00"},
        {127, "7F"},
        {128, "81 80"},
        {256, "82 01 00"},
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

// Each case is written, and its contents read back into a fresh target.
template <class T>
void checkIntegerCases(const std::vector<std::pair<T, const char*>>& cases)
{
    for (const auto& [number, encoding] : cases) {
        T value = number;
        EXPECT_EQ(encode(BerIntegerTemplate<T>(&value, std::numeric_limits<T>::min(), std::numeric_limits<T>::max())),
                  encoding)
            << "value " << number;
        T decoded = 42;
        BerIntegerTemplate<T> reader(&decoded, std::numeric_limits<T>::min(), std::numeric_limits<T>::max());
        fill(reader, hex(unhex(encoding).substr(2)));
        EXPECT_EQ(decoded, number) << encoding;
    }
}

TEST(BerInteger, ShortestTwosComplementWithALeadingZeroForUnsignedTopBits)
{
    checkIntegerCases<std::int32_t>({
        {0, "02 01 00"},
        {-1, "02 01 FF"},
        {128, "02 02 00 80"},
        {std::numeric_limits<std::int32_t>::max(), "02 04 7F FF FF FF"},
        {std::numeric_limits<std::int32_t>::min(), "02 04 80 00 00 00"},
    });
    checkIntegerCases<std::uint32_t>({
        {255, "02 02 00 FF"},
        {2147483648u, "02 05 00 80 00 00 00"},
        {4294967295u, "02 05 00 FF FF FF FF"},
    });
    checkIntegerCases<std::int64_t>({
        {-2147483649LL, "02 05 FF 7F FF FF FF"},
        {0x0102030405060708LL, "02 08 01 02 03 04 05 06 07 08"},
        {std::numeric_limits<std::int64_t>::min(), "02 08 80 00 00 00 00 00 00 00"},
    });
    checkIntegerCases<std::uint64_t>({
        {4294967296ULL, "02 05 01 00 00 00 00"},
        {9223372036854775808ULL, "02 09 00 80 00 00 00 00 00 00 00"},
        {18446744073709551615ULL, "02 09 00 FF FF FF FF FF FF FF FF"},
    });
}

template <class T>
std::string readError(const char* contents, T min, T max)
{
    T target = 3;
    BerIntegerTemplate<T> reader(&target, min, max);
    const std::string error = errorOf([&] { fill(reader, contents); });
    EXPECT_EQ(target, 3) << "a refused read changed the target";
    return error;
}

template <class T>
std::string lengthError(std::uint32_t length)
{
    T target = 0;
    return errorOf([&] { BerIntegerTemplate<T>(&target, 0, 1).setLength(length); });
}

TEST(BerInteger, RefusesValuesOutsideTheirRangeOrWidth)
{
    const std::string range = "data out of range in BerIntegerTemplate";
    std::int32_t hundredAndOne = 101;
    std::string out;
    StringIo io(out);
    EXPECT_EQ(errorOf([&] { BerIntegerTemplate<std::int32_t>(&hundredAndOne, 0, 100).write(io, false); }),
              range + "<int>::write 0 <= 101 <= 100");
    EXPECT_EQ(readError<std::int32_t>("06", -5, 5), range + "<int>::readDone -5 <= 6 <= 5");
    EXPECT_EQ(readError<std::int32_t>("FA", -5, 5), range + "<int>::readDone -5 <= -6 <= 5");
    EXPECT_EQ(readError<std::uint32_t>("", 1, 10), range + "<unsigned int>::readDone 1 <= 0 <= 10");
    EXPECT_EQ(readError<std::uint64_t>("00 FF FF FF FF FF FF FF FF", 0, 100),
              range + "<unsigned __int64>::readDone 0 <= 18446744073709551615 <= 100");
    // Full-width unsigned contents whose extra first byte is not zero.
    EXPECT_EQ(readError<std::uint64_t>("80 00 00 00 00 00 00 00 00", 0, UINT64_MAX), range);
    // Contents longer than the width are refused when the length is announced.
    const std::string longer = "Data value exceeds maximum allowed length ";
    EXPECT_EQ(lengthError<std::int32_t>(5), longer + "5 > 4");
    EXPECT_EQ(lengthError<std::uint32_t>(6), longer + "6 > 5");
    EXPECT_EQ(lengthError<std::int64_t>(9), longer + "9 > 8");
    EXPECT_EQ(lengthError<std::uint64_t>(10), longer + "10 > 9");
}

// Reading is limited by the decoder (see its tests); writing too.
TEST(BerString, LimitOnWriteAndTheLongLengthForm)
{
    std::string target(17, 'g');
    EXPECT_EQ(errorOf([&] { encode(BerString(&target, 16, BE_STRING_CURRENT)); }),
              "String exceeds allowed length 17 > 16");
    target.assign(200, 'x');
    EXPECT_EQ(encode(BerString(&target, 65536, BE_STRING_LEGACY)), "16 81 C8 " + hex(target));
}

TEST(BerBoolean, ReadsAnyNonZeroByteAsTrueAndWritesOneOrZero)
{
    const std::pair<const char*, bool> cases[] = {{"05", true}, {"FF", true}, {"00", false}, {"", false}};
    for (const auto& [contents, value] : cases) {
        bool b = !value;
        BerBoolean reader(&b);
        fill(reader, contents);
        EXPECT_EQ(b, value) << contents;
    }
    bool yes = true, no = false;
    EXPECT_EQ(errorOf([&] { BerBoolean(&yes).setLength(2); }), "Data value exceeds maximum allowed length 2 > 1");
    EXPECT_EQ(encode(BerBoolean(&yes)), "01 01 01");
    EXPECT_EQ(encode(BerBoolean(&no)), "01 01 00");
}

TEST(BerEnumerated, EncodesSignificantBytesAndReadsThemBack)
{
    const std::pair<std::int32_t, const char*> cases[] = {
        {0, "0A 00"},
        {128, "0A 02 00 80"},
        {32768, "0A 03 00 80 00"},
        {-1, "0A 04 FF FF FF FF"},
        {std::numeric_limits<std::int32_t>::min(), "0A 04 80 00 00 00"},
    };
    for (const auto& [number, encoding] : cases) {
        std::int32_t v = number;
        EXPECT_EQ(encode(BerEnumerated(&v)), encoding) << number;
        std::int32_t decoded = 42;
        BerEnumerated reader(&decoded);
        fill(reader, hex(unhex(encoding).substr(2)));
        EXPECT_EQ(decoded, number) << encoding;
    }
    std::int32_t v = 1;
    EXPECT_EQ(errorOf([&] { BerEnumerated(&v).setLength(5); }), "Data value exceeds maximum allowed length 5 > 4");
}

TEST(BerBigNumAndNull, ContentsAndLimits)
{
    BigNum n(12345);
    BerBigNum reader(&n);
    fill(reader, "00 00 01 00");
    EXPECT_TRUE(n == BigNum(256));
    EXPECT_EQ(encode(reader), "02 02 01 00");
    const std::string contents(1040, '\xA5');
    fill(reader, hex(contents));
    EXPECT_EQ(encode(reader), "02 82 04 10 " + hex(contents));
    EXPECT_EQ(errorOf([&] { reader.setLength(1041); }), "Data value exceeds maximum allowed length 1041 > 1040");

    BerNull null;
    EXPECT_EQ(encode(null), "05 00");
    EXPECT_EQ(errorOf([&] { null.setLength(1); }), "Data value exceeds maximum allowed length 1 > 0");
}

} // namespace
