#pragma once
// Byte strings written as hexadecimal text ("7F 82 30"), for readable expectations, and
// the bytes a value encodes to.
#include "protocol/ber_value.h"

#include <cctype>
#include <cstddef>
#include <stdexcept>
#include <string>

namespace bertest {

inline std::string unhex(const std::string& text)
{
    std::string bytes;
    int high = -1;
    for (char c : text) {
        if (std::isspace(static_cast<unsigned char>(c)))
            continue;
        int digit = -1;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else
            throw std::invalid_argument("not a hex digit in \"" + text + "\"");
        if (high < 0) {
            high = digit;
        } else {
            bytes.push_back(static_cast<char>(high * 16 + digit));
            high = -1;
        }
    }
    if (high >= 0)
        throw std::invalid_argument("odd number of hex digits in \"" + text + "\"");
    return bytes;
}

inline std::string hex(const std::string& bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i != 0)
            text.push_back(' ');
        const auto b = static_cast<unsigned char>(bytes[i]);
        text.push_back(digits[b >> 4]);
        text.push_back(digits[b & 15]);
    }
    return text;
}

inline std::string encode(const protocol::BerValue& value, bool legacy = false)
{
    std::string out;
    protocol::StringIo io(out);
    value.write(io, legacy);
    return out;
}

} // namespace bertest
