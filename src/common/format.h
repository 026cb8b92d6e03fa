#pragma once
// Number formatters and parsers for log lines and configuration values.
#include <cstdint>
#include <string>

std::string formatUnsigned(std::uint32_t n, bool pad = false);    // "%u" or "%02u"
std::string formatInt(std::int32_t n, bool pad = false);          // "%i" or "%02i"
std::string formatUnsigned64(std::uint64_t n);                    // decimal
std::string formatHex(std::uint32_t n, std::size_t minimumWidth); // "%x", zero-padded
// The value of one hexadecimal digit (either case), or -1 for any other character.
int hexDigitValue(char c);
// Signed decimal (or 0x / 0 prefixed) 64-bit number after optional blanks and sign;
// trailing text is ignored; a text without a number gives 0.
std::int64_t parseInt64(const std::string& text);
// The whole text as a double, or "nan", "inf", "-inf"; else error::EParseError.
double parseDouble(const std::string& text);
