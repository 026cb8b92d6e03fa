// The native (Linux) side of the common utilities, for the portable core's own builds:
// Windows error codes get their usual texts, UTF-8 ⇄ UTF-16 is done here, and text that is
// not UTF-8 is read as Latin-1 (the ANSI code page of this build).
#include "common/error.h"
#include "common/text.h"
#include "common/usec_time.h"

#include <cerrno>
#include <chrono>
#include <type_traits>

namespace error {

unsigned long lastErrorCode()
{
    switch (errno) {
    case ENOENT: return 2;
    case ENOTDIR: return 3;
    case EACCES:
    case EPERM:
    case EISDIR: return 5;
    case EEXIST: return 183;
    case ENOTEMPTY: return 145;
    case ENOSPC: return 112;
    default: return 31; // a device attached to the system is not functioning
    }
}

std::string systemErrorText(unsigned long code)
{
    switch (code) {
    case 0: return "The operation completed successfully.";
    case 2: return "The system cannot find the file specified.";
    case 3: return "The system cannot find the path specified.";
    case 5: return "Access is denied.";
    case 112: return "There is not enough space on the disk.";
    case 145: return "The directory is not empty.";
    case 183: return "Cannot create a file when that file already exists.";
    case 232: return "The pipe is being closed.";
    default: return std::to_string(code);
    }
}

} // namespace error

namespace {

// Decodes one UTF-8 sequence at `i`; false for anything that is not well formed.
bool decodeUtf8(const std::string& s, std::size_t& i, char32_t& cp)
{
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char lead = byte(i);
    int extra;
    if (lead < 0x80) {
        cp = lead;
        extra = 0;
    } else if ((lead & 0xE0) == 0xC0) {
        cp = lead & 0x1F;
        extra = 1;
    } else if ((lead & 0xF0) == 0xE0) {
        cp = lead & 0x0F;
        extra = 2;
    } else if ((lead & 0xF8) == 0xF0) {
        cp = lead & 0x07;
        extra = 3;
    } else
        return false;
    if (i + extra >= s.size() && extra > 0)
        return false;
    for (int k = 1; k <= extra; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return false;
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    static const char32_t minimum[] = {0, 0x80, 0x800, 0x10000};
    if (cp < minimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return false;
    i += extra + 1;
    return true;
}

} // namespace

std::string toUtf8(const std::wstring& wide)
{
    std::string out;
    for (std::size_t i = 0; i < wide.size(); ++i) {
        char32_t cp = static_cast<char32_t>(static_cast<std::make_unsigned_t<wchar_t>>(wide[i]));
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < wide.size()) {
            char32_t low = static_cast<char32_t>(static_cast<std::make_unsigned_t<wchar_t>>(wide[i + 1]));
            if (low >= 0xDC00 && low <= 0xDFFF) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        if (cp >= 0xD800 && cp <= 0xDFFF)
            cp = 0xFFFD; // a lone surrogate becomes the replacement character, as Windows does
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

std::wstring toWide(const std::string& narrow)
{
    std::wstring out;
    for (std::size_t i = 0; i < narrow.size();) {
        char32_t cp;
        if (!decodeUtf8(narrow, i, cp)) {
            out.clear();
            for (unsigned char c : narrow)
                out += static_cast<wchar_t>(c);
            return out;
        }
        if (sizeof(wchar_t) == 2 && cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<wchar_t>(0xD800 + (cp >> 10));
            out += static_cast<wchar_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<wchar_t>(cp);
        }
    }
    return out;
}

UsecTime UsecTime::now()
{
    auto since = std::chrono::system_clock::now().time_since_epoch();
    auto usec = std::chrono::duration_cast<std::chrono::microseconds>(since).count();
    return UsecTime(static_cast<std::int32_t>(usec / 1000000), static_cast<std::int32_t>(usec % 1000000));
}
