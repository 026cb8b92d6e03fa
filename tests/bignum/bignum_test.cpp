#include "bignum/bignum.h"

#include "common/error.h"
#include "support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A value from hexadecimal digits, most significant first.
BigNum fromHex(std::string digits)
{
    if (digits.size() % 2 != 0)
        digits.insert(digits.begin(), '0');
    const std::string bytes = support::unhex(digits);
    return BigNum::fromBytesBE(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

// The value's hexadecimal digits without leading zeros ("0" for zero).
std::string shortHex(const BigNum& n)
{
    const std::string text = n.toHex(1);
    const std::size_t first = text.find_first_not_of('0');
    return first == std::string::npos ? "0" : text.substr(first);
}

// Expected values computed with Python integers.
TEST(BigNumArithmetic, SumsAndProducts)
{
    const struct {
        std::string a, b, sum, product;
    } cases[] = {
        {"ffffffff", "1", "100000000", "ffffffff"},
        {"1", "ffffffffffffffffffffffff", "1000000000000000000000000", "ffffffffffffffffffffffff"},
        {"0", "1234", "1234", "0"},
        {"ffffffffffffffff", "ffffffffffffffff", "1fffffffffffffffe", "fffffffffffffffe0000000000000001"},
        {"1f2e3d4c5b6a79880123456789abcdef", "fedcba9876543210", "1f2e3d4c5b6a7988ffffffffffffffff",
         "1f0ac3489ab9a55d4f94c455c07bffc22236d88fe5618cf0"},
    };
    for (const auto& c : cases) {
        BigNum a = fromHex(c.a);
        EXPECT_EQ(shortHex(BigNum::add(a, fromHex(c.b))), c.sum) << c.a << " + " << c.b;
        EXPECT_EQ(shortHex(BigNum::multiply(a, fromHex(c.b))), c.product) << c.a << " * " << c.b;
        a.addTo(fromHex(c.b));
        EXPECT_EQ(shortHex(a), c.sum) << c.a << " += " << c.b;
    }
    BigNum n = fromHex("89abcdef");
    n.multiplyWord(0xFEDCBA98);
    EXPECT_EQ(shortHex(n), "890f2a50ad05ebe8");
    n.multiplyWord(0);
    EXPECT_TRUE(n.isZero());
    EXPECT_EQ(BigNum(255).toHex(0), "000000ff");
}

TEST(BigNumBytes, LittleAndBigEndianAreTrimmed)
{
    const struct {
        std::string bytesLE; // least significant first
        std::string value;   // hexadecimal
    } cases[] = {
        {"", "0"},
        {std::string(5, '\0'), "0"},
        {"\x01\x02\x03\x04\x05", "504030201"},
        {std::string("\x00\x00\x00\x00\x00\x80", 6), "800000000000"},
        {"\xff\xff\xff\xff\xff\xff\xff\xff", "ffffffffffffffff"},
    };
    for (const auto& c : cases) {
        const BigNum n = BigNum::fromBytesLE(c.bytesLE);
        EXPECT_EQ(shortHex(n), c.value);
        const std::string bytesBE(c.bytesLE.rbegin(), c.bytesLE.rend());
        EXPECT_TRUE(BigNum::fromBytesBE(reinterpret_cast<const unsigned char*>(bytesBE.data()), bytesBE.size()) == n);
    }
    EXPECT_EQ(BigNum(0x0102).toBytesLE(4), std::string("\x02\x01\x00\x00", 4));
    EXPECT_EQ(fromHex("ff00000000").toBytesLE(0), std::string("\x00\x00\x00\x00\xff", 5));
    EXPECT_EQ(BigNum().toBytesLE(3), std::string(3, '\0'));
}

// As a BER integer's contents: no leading zero bytes, the rest of the buffer zeroed, and
// four bytes per word needed.
TEST(BigNumBytes, BigEndianDataIsTrimmedAndTheRestZeroed)
{
    std::vector<unsigned char> buffer(8, 0xAA);
    std::size_t size = buffer.size();
    fromHex("0102030405").getDataBE(buffer.data(), size);
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(buffer, (std::vector<unsigned char>{0x01, 0x02, 0x03, 0x04, 0x05, 0, 0, 0}));
    size = 5;
    support::expectThrows<error::EInvariant>([&] { fromHex("0102030405").getDataBE(buffer.data(), size); },
                                             "Buffer given to bn_get_data is too small (wanted 8)");
    EXPECT_EQ(size, 8u);
}

} // namespace
