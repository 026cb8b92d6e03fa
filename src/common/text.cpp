#include "common/text.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

std::string quoted(const std::string& text)
{
    static const char controls[] = "abtnvfr"; // escapes for bytes 7..13
    std::string out = "\"";
    out.reserve(text.size() + 2);
    for (unsigned char c : text) {
        if (c >= 7 && c <= 13) {
            out += '\\';
            out += controls[c - 7];
        } else if (c == '"' || c == '\'' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 32) {
            char octal[8];
            std::snprintf(octal, sizeof octal, "\\%03o", c);
            out += octal;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
    return out;
}

std::string toUpper(const std::string& text)
{
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

std::vector<std::string> split(const std::string& text, char separator, bool keepEmpty)
{
    std::vector<std::string> pieces;
    std::string piece;
    for (char c : text) {
        if (c != separator) {
            piece += c;
            continue;
        }
        if (!piece.empty() || keepEmpty)
            pieces.push_back(piece);
        piece.clear();
    }
    if (!piece.empty() || keepEmpty)
        pieces.push_back(piece);
    return pieces;
}

std::string escapeControlCharacters(const std::string& text)
{
    auto isControl = [](char c) { return static_cast<unsigned char>(c) < 32 || c == 127; };
    if (std::none_of(text.begin(), text.end(), isControl))
        return text;
    static const char hexDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size() + 8);
    for (char c : text) {
        if (!isControl(c)) {
            out += c;
            continue;
        }
        const auto byte = static_cast<unsigned char>(c);
        out += "\\x";
        out += hexDigits[byte >> 4];
        out += hexDigits[byte & 0xF];
    }
    return out;
}
