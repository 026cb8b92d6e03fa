#include "crypto/base36.h"

#include "common/error.h"
#include "crypto/bignum.h"

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
