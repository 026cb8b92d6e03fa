// How the text and time utilities behave when Windows itself refuses a call.
#include "common/error.h"
#include "common/text.h"
#include "common/usec_time.h"
#include "sys/syscalls.h"

#include <gtest/gtest.h>

namespace {

TEST(WindowsErrors, FormatMessageFailureGivesCodeAndItsOwnError)
{
    sys::Override fail(
        sys::calls.FormatMessageW, +[](DWORD, LPCVOID, DWORD, DWORD, LPWSTR, DWORD, va_list*) -> DWORD {
            SetLastError(ERROR_MR_MID_NOT_FOUND);
            return 0;
        });
    EXPECT_EQ(error::systemErrorText(12345), "12345 (FormatMessage: 317)");
}

TEST(WindowsErrors, MessageOfOnlyLineBreaksGivesTheCode)
{
    sys::Override blank(
        sys::calls.FormatMessageW, +[](DWORD, LPCVOID, DWORD, DWORD, LPWSTR buffer, DWORD, va_list*) -> DWORD {
            buffer[0] = L'\r';
            buffer[1] = L'\n';
            buffer[2] = 0;
            return 2;
        });
    EXPECT_EQ(error::systemErrorText(77), "77");
}

TEST(WindowsErrors, SystemTextLosesOnlyTrailingLineBreaks)
{
    sys::Override text(
        sys::calls.FormatMessageW, +[](DWORD, LPCVOID, DWORD, DWORD, LPWSTR buffer, DWORD, va_list*) -> DWORD {
            wcscpy(buffer, L"Line one.\r\nLine two.\r\n\r\n");
            return static_cast<DWORD>(wcslen(buffer));
        });
    EXPECT_EQ(error::systemErrorText(1), "Line one.\r\nLine two.");
}

TEST(WindowsErrors, ConversionRefusalsNameTheirStep)
{
    // The UTF-8 sizing accepts, the conversion itself fails.
    {
        sys::Override refuse(
            sys::calls.MultiByteToWideChar, +[](UINT, DWORD flags, LPCCH, int, LPWSTR, int) -> int {
                if (flags == MB_ERR_INVALID_CHARS)
                    return 2;
                SetLastError(ERROR_INVALID_PARAMETER);
                return 0;
            });
        try {
            toWide("a");
            FAIL();
        } catch (const error::EParseError& e) {
            EXPECT_EQ(e.fullText(), "Error converting from UTF-8: \"a\"" + error::systemErrorText(87));
        }
    }
    // Not UTF-8, and the ANSI code page refuses too.
    {
        sys::Override refuse(
            sys::calls.MultiByteToWideChar, +[](UINT page, DWORD, LPCCH, int, LPWSTR, int) -> int {
                SetLastError(page == CP_UTF8 ? ERROR_NO_UNICODE_TRANSLATION : ERROR_INVALID_PARAMETER);
                return 0;
            });
        try {
            toWide("\xe9");
            FAIL();
        } catch (const error::EParseError& e) {
            EXPECT_EQ(e.fullText(), "Error converting from ANSI: \"\xe9\"" + error::systemErrorText(87));
        }
    }
    // Any other refusal of the sizing call.
    {
        sys::Override refuse(
            sys::calls.MultiByteToWideChar, +[](UINT, DWORD, LPCCH, int, LPWSTR, int) -> int {
                SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                return 0;
            });
        try {
            toWide("b");
            FAIL();
        } catch (const error::EParseError& e) {
            EXPECT_EQ(e.fullText(), "Error converting: \"b\"" + error::systemErrorText(8));
        }
    }
    {
        sys::Override refuse(
            sys::calls.WideCharToMultiByte, +[](UINT, DWORD, LPCWCH, int, LPSTR, int, LPCCH, LPBOOL) -> int {
                SetLastError(ERROR_INVALID_PARAMETER);
                return 0;
            });
        try {
            toUtf8(L"c");
            FAIL();
        } catch (const error::EParseError& e) {
            // The system text itself cannot be converted either: its code stands in.
            EXPECT_EQ(e.fullText(), "Error converting string 87");
        }
    }
}

TEST(WindowsErrors, ClockFailureWarnsAndGoesOn)
{
    sys::Override fail(
        sys::calls.SystemTimeToFileTime, +[](const SYSTEMTIME*, LPFILETIME) -> BOOL { return FALSE; });
    testing::internal::CaptureStderr();
    UsecTime::now();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "(TIME) Error getting system time \n(TIME) This may cause inaccurate measurements \n");
}

} // namespace
