#include "common/format.h"

#include "common/error.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace {
template <class... Args>
std::string print(const char* format, Args... args)
{
    char buffer[128];
    int n = std::snprintf(buffer, sizeof buffer, format, args...);
    if (n < 0)
        return {};
    return std::string(buffer, static_cast<std::size_t>(n) < sizeof buffer ? n : sizeof buffer - 1);
}
} // namespace

std::string formatUnsigned(std::uint32_t n, bool pad)
{
    return print(pad ? "%02" PRIu32 : "%" PRIu32, n);
}

std::string formatInt(std::int32_t n, bool pad)
{
    return print(pad ? "%02" PRIi32 : "%" PRIi32, n);
}

std::string formatUnsigned64(std::uint64_t n)
{
    return print("%" PRIu64, n);
}

int hexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string formatHex(std::uint32_t n, std::size_t minimumWidth)
{
    std::string digits = print("%" PRIx32, n);
    if (digits.size() < minimumWidth)
        digits.insert(0, minimumWidth - digits.size(), '0');
    return digits;
}

std::int64_t parseInt64(const std::string& text)
{
    std::int64_t value = 0;
    if (std::sscanf(text.c_str(), "%" SCNi64, &value) != 1)
        return 0;
    return value;
}

double parseDouble(const std::string& text)
{
    const char* begin = text.c_str();
    char* end = nullptr;
    double value = std::strtod(begin, &end);
    if (!text.empty() && end == begin + text.size())
        return value;
    if (text == "nan")
        return std::numeric_limits<double>::quiet_NaN();
    if (text == "inf")
        return std::numeric_limits<double>::infinity();
    if (text == "-inf")
        return -std::numeric_limits<double>::infinity();
    throw error::EParseError("Error parsing: \"" + text + "\"");
}
