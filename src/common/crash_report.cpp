#include "common/crash_report.h"

#include <cstdint>
#include <cwchar>

namespace {

// A null-terminated text in a fixed buffer; what exceeds the buffer is dropped.
class BoundedText {
public:
    BoundedText(wchar_t* out, std::size_t room) : out_(out), room_(room)
    {
        if (room_ != 0)
            out_[0] = L'\0';
    }

    void append(wchar_t c)
    {
        if (used_ + 1 >= room_)
            return;
        out_[used_++] = c;
        out_[used_] = L'\0';
    }
    void append(const wchar_t* text, std::size_t length)
    {
        for (std::size_t i = 0; i < length; ++i)
            append(text[i]);
    }
    void append(const wchar_t* text) { append(text, std::wcslen(text)); }
    void appendDecimal(int n)
    {
        // The magnitude as unsigned, so that the most negative number has one too.
        std::uint32_t magnitude = static_cast<std::uint32_t>(n);
        if (n < 0) {
            append(L'-');
            magnitude = 0u - magnitude;
        }
        wchar_t digits[10];
        std::size_t count = 0;
        do {
            digits[count++] = static_cast<wchar_t>(L'0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude != 0);
        while (count != 0)
            append(digits[--count]);
    }

private:
    wchar_t* out_;
    std::size_t room_;
    std::size_t used_ = 0;
};

} // namespace

void dumpPathOf(const wchar_t* executable, wchar_t* out, std::size_t room)
{
    BoundedText text(out, room);
    const wchar_t* lastDot = std::wcsrchr(executable, L'.');
    text.append(executable,
                lastDot != nullptr ? static_cast<std::size_t>(lastDot - executable) : std::wcslen(executable));
    text.append(L".dmp");
}

void formatCrashReport(const wchar_t* pattern, const wchar_t* path, int error, wchar_t* out, std::size_t room)
{
    BoundedText text(out, room);
    for (const wchar_t* p = pattern; *p != L'\0'; ++p) {
        if (p[0] == L'%' && p[1] == L's') {
            text.append(path);
            ++p;
        } else if (p[0] == L'%' && p[1] == L'd') {
            text.appendDecimal(error);
            ++p;
        } else {
            text.append(*p);
        }
    }
}
