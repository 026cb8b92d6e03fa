// The Windows side of the common utilities: system error texts, text conversion, the clock.
#include "common/error.h"
#include "common/text.h"
#include "common/usec_time.h"
#include "sys/syscalls.h"

#include <cstdio>

namespace error {

unsigned long lastErrorCode()
{
    return GetLastError();
}

std::string systemErrorText(unsigned long code)
{
    // One process-wide buffer: the worker has a single thread.
    static wchar_t buffer[256];
    DWORD n = sys::calls.FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                        buffer, 256, nullptr);
    if (n == 0)
        return std::to_string(code) + " (FormatMessage: " + std::to_string(GetLastError()) + ")";
    while (n > 0 && (buffer[n - 1] == L'\n' || buffer[n - 1] == L'\r'))
        --n;
    if (n == 0)
        return std::to_string(code);
    // A conversion failure builds its message with this function: do not recurse into it.
    static bool converting = false;
    if (converting)
        return std::to_string(code);
    converting = true;
    try {
        std::string text = toUtf8(std::wstring(buffer, n));
        converting = false;
        return text;
    } catch (const error::Exception&) {
        converting = false;
        return std::to_string(code);
    }
}

} // namespace error

std::string toUtf8(const std::wstring& wide)
{
    // The whole text with its terminator, as Windows counts it.
    int size = sys::calls.WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), static_cast<int>(wide.size()) + 1, nullptr, 0,
                                              nullptr, nullptr);
    if (size == 0)
        throw error::EParseError("Error converting string " + error::lastErrorText());
    std::string out(static_cast<std::size_t>(size), '\0');
    if (sys::calls.WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), static_cast<int>(wide.size()) + 1, out.data(), size,
                                       nullptr, nullptr) == 0)
        throw error::EParseError("Error converting from UTF-16: " + error::lastErrorText());
    out.resize(static_cast<std::size_t>(size) - 1);
    return out;
}

namespace {
// Converts with one code page; 0 when Windows refuses.
bool convert(UINT codePage, const std::string& narrow, std::wstring& out)
{
    int length = static_cast<int>(narrow.size()) + 1;
    int size = sys::calls.MultiByteToWideChar(codePage, 0, narrow.c_str(), length, nullptr, 0);
    if (size == 0)
        return false;
    out.assign(static_cast<std::size_t>(size), L'\0');
    if (sys::calls.MultiByteToWideChar(codePage, 0, narrow.c_str(), length, out.data(), size) == 0)
        return false;
    out.resize(static_cast<std::size_t>(size) - 1);
    return true;
}
} // namespace

std::wstring toWide(const std::string& narrow)
{
    int length = static_cast<int>(narrow.size()) + 1;
    std::wstring out;
    if (sys::calls.MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, narrow.c_str(), length, nullptr, 0) != 0) {
        if (!convert(CP_UTF8, narrow, out))
            throw error::EParseError("Error converting from UTF-8: " + quoted(narrow) + error::lastErrorText());
        return out;
    }
    if (GetLastError() == ERROR_NO_UNICODE_TRANSLATION) {
        if (!convert(CP_ACP, narrow, out))
            throw error::EParseError("Error converting from ANSI: " + quoted(narrow) + error::lastErrorText());
        return out;
    }
    throw error::EParseError("Error converting: " + quoted(narrow) + error::lastErrorText());
}

UsecTime UsecTime::now()
{
    SYSTEMTIME st;
    FILETIME ft{};
    sys::calls.GetSystemTime(&st);
    if (!sys::calls.SystemTimeToFileTime(&st, &ft)) {
        std::fputs("(TIME) Error getting system time \n", stderr);
        std::fputs("(TIME) This may cause inaccurate measurements \n", stderr);
    }
    return usecTimeFromFileTime((std::uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
}
