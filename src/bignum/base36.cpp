#include "bignum/base36.h"

#include "common/error.h"
#include "bignum/bignum.h"

namespace {
int digitValue(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= '0' && c <= '9')
        return c - '0' + 26;
    return -1;
}
} // namespace

std::string parseBase36(const std::string& text)
{
    BigNum accumulator;
    BigNum weight(1);
    for (char c : text) {
        int digit = digitValue(c);
        if (digit < 0)
            throw error::EParseError("Error parsing: " + text);
        accumulator.addTo(BigNum::multiply(weight, BigNum(static_cast<std::uint32_t>(digit))));
        weight.multiplyWord(36);
    }
    return accumulator.toBytesLE(0);
}

std::string formatBase36(const std::string& bytes)
{
    static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    // Most significant byte first, so that each pass divides from the top down.
    std::string number(bytes.rbegin(), bytes.rend());
    std::string text;
    for (;;) {
        std::size_t first = number.find_first_not_of('\0');
        if (first == std::string::npos)
            break;
        number.erase(0, first);
        unsigned remainder = 0;
        for (char& byte : number) {
            unsigned value = remainder * 256 + static_cast<unsigned char>(byte);
            byte = static_cast<char>(value / 36);
            remainder = value % 36;
        }
        text.push_back(kDigits[remainder]);
    }
    return text.empty() ? "A" : text;
}
