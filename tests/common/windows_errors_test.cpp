// How the text and time utilities behave when Windows itself refuses a call.
#include "common/error.h"
#include "common/text.h"
#include "common/usec_time.h"

#include "support.h"

#include <gtest/gtest.h>

namespace {

using support::expectThrows;
using support::refuse;
using support::replaced;

TEST(WindowsErrors, SystemTextsWhenFormatMessageFailsOrGivesLineBreaks)
{
    {
        const auto failed = refuse(sys::calls.FormatMessageW, ERROR_MR_MID_NOT_FOUND, DWORD(0));
        EXPECT_EQ(error::systemErrorText(12345), "12345 (FormatMessage: 317)");
    }
    static const wchar_t* text;
    const auto message = replaced(
        sys::calls.FormatMessageW, +[](DWORD, LPCVOID, DWORD, DWORD, LPWSTR buffer, DWORD, va_list*) -> DWORD {
            wcscpy(buffer, text);
            return static_cast<DWORD>(wcslen(buffer));
        });
    text = L"\r\n";
    EXPECT_EQ(error::systemErrorText(77), "77");
    text = L"Line one.\r\nLine two.\r\n\r\n";
    EXPECT_EQ(error::systemErrorText(1), "Line one.\r\nLine two.");
}

TEST(WindowsErrors, ConversionRefusalsNameTheirStep)
{
    {
        // The UTF-8 sizing accepts, the conversion itself fails.
        const auto refused = replaced(
            sys::calls.MultiByteToWideChar, +[](UINT, DWORD flags, LPCCH, int, LPWSTR, int) -> int {
                if (flags == MB_ERR_INVALID_CHARS)
                    return 2;
                SetLastError(ERROR_INVALID_PARAMETER);
                return 0;
            });
        expectThrows<error::EParseError>([] { toWide("a"); },
                                         "Error converting from UTF-8: \"a\"" + error::systemErrorText(87));
    }
    {
        // Not UTF-8, and the ANSI code page refuses too.
        const auto refused = replaced(
            sys::calls.MultiByteToWideChar, +[](UINT page, DWORD, LPCCH, int, LPWSTR, int) -> int {
                SetLastError(page == CP_UTF8 ? ERROR_NO_UNICODE_TRANSLATION : ERROR_INVALID_PARAMETER);
                return 0;
            });
        expectThrows<error::EParseError>([] { toWide("\xe9"); },
                                         "Error converting from ANSI: \"\xe9\"" + error::systemErrorText(87));
    }
    {
        const auto refused = refuse(sys::calls.MultiByteToWideChar, ERROR_NOT_ENOUGH_MEMORY, 0);
        expectThrows<error::EParseError>([] { toWide("b"); }, "Error converting: \"b\"" + error::systemErrorText(8));
    }
    // The system text itself cannot be converted either: its code stands in.
    const auto refused = refuse(sys::calls.WideCharToMultiByte, ERROR_INVALID_PARAMETER, 0);
    expectThrows<error::EParseError>([] { toUtf8(L"c"); }, "Error converting string 87");
}

TEST(WindowsErrors, ClockFailureWarnsAndGoesOn)
{
    const auto refused = refuse(sys::calls.SystemTimeToFileTime, ERROR_INVALID_PARAMETER);
    testing::internal::CaptureStderr();
    UsecTime::now();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "(TIME) Error getting system time \n(TIME) This may cause inaccurate measurements \n");
}

} // namespace
