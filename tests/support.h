#pragma once
// What every test suite shares: a scratch directory and its files, byte patterns and hexadecimal
// text, captured log lines, the failure an action throws, calls of the system-call table made to
// fail, and registry reads. Paths are UTF-8 text with the platform's separator, as the worker
// passes them.
#include "common/error.h"
#include "common/log.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <ostream>
#include <random>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <vector>

#ifdef _WIN32
#include "common/text.h"
#include "sys/syscalls.h"
#include <windows.h>
#endif

namespace support {

// Files ------------------------------------------------------------------------------------

#ifdef _WIN32
inline const std::string separator = "\\";
#else
inline const std::string separator = "/";
#endif

inline std::filesystem::path toPath(const std::string& utf8)
{
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

inline std::string toText(const std::filesystem::path& path)
{
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

inline bool exists(const std::string& path)
{
    std::error_code ignored;
    return std::filesystem::exists(toPath(path), ignored);
}

// Removes a file or a directory tree, read-only members included; nothing when it is not there.
#ifdef _WIN32
// Windows refuses to delete a read-only file, and trees deeper than MAX_PATH need the "\\?\" form.
inline void removeTreeW(const std::wstring& path)
{
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return;
    ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        ::DeleteFileW(path.c_str());
        return;
    }
    WIN32_FIND_DATAW entry;
    HANDLE find = ::FindFirstFileW((path + L"\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = entry.cFileName;
            if (name != L"." && name != L"..")
                removeTreeW(path + L"\\" + name);
        } while (::FindNextFileW(find, &entry));
        ::FindClose(find);
    }
    ::RemoveDirectoryW(path.c_str());
}

inline void removeTree(const std::string& path)
{
    const bool absolute = path.size() > 2 && path[1] == ':';
    removeTreeW(absolute ? L"\\\\?\\" + toWide(path) : toWide(path));
}
#else
inline void removeTree(const std::string& path)
{
    std::error_code ignored;
    std::filesystem::remove_all(toPath(path), ignored);
}
#endif

inline void writeFile(const std::string& path, const std::string& bytes)
{
#ifdef _WIN32
    ::SetFileAttributesW(toWide(path).c_str(), FILE_ATTRIBUTE_NORMAL); // a read-only file is rewritten too
#endif
    std::ofstream out(toPath(path), std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out.flush())
        throw std::runtime_error("cannot write test file " + path);
}

inline std::string readFile(const std::string& path)
{
    std::ifstream in(toPath(path), std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read test file " + path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A fresh directory below the system's temporary directory, removed with its contents.
class ScratchDir {
public:
    ScratchDir()
    {
        std::random_device random;
        const std::filesystem::path base = std::filesystem::temp_directory_path();
        for (;;) {
            const std::filesystem::path candidate = base / ("rw-test-" + std::to_string(random()));
            if (std::filesystem::create_directory(candidate)) {
                path_ = toText(candidate);
                return;
            }
        }
    }
    ~ScratchDir() { removeTree(path_); }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& path() const { return path_; }
    // `name` inside the directory; `name` may use the platform's separator.
    std::string operator/(const std::string& name) const { return path_ + separator + name; }

private:
    std::string path_;
};

// Bytes ------------------------------------------------------------------------------------

// A stretch of bytes that differs from one position and one seed to the next.
inline std::string patterned(std::size_t size, unsigned seed = 1)
{
    std::string bytes(size, '\0');
    std::uint32_t state = seed * 2654435761u + 1;
    for (char& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<char>(state >> 23);
    }
    return bytes;
}

// Bytes written as hexadecimal text ("7F 82 30"), blanks ignored.
inline std::string unhex(const std::string& text)
{
    std::string bytes;
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == '\n' || c == '\t')
            continue;
        int digit = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                           : -1;
        if (digit < 0)
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

// Log lines --------------------------------------------------------------------------------

struct LogLine {
    int level;
    std::string text;
    bool operator==(const LogLine&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const LogLine& line)
{
    return out << line.level << ": " << line.text;
}

// Captures every log line at the given log level until the end of the scope.
class LogCapture {
public:
    explicit LogCapture(int level = 3) : savedLevel_(logLevel)
    {
        logLevel = level;
        saved_ = setLogSink([this](const std::string& text, int lineLevel, bool) {
            lines.push_back({lineLevel, text});
        });
    }
    ~LogCapture()
    {
        setLogSink(std::move(saved_));
        logLevel = savedLevel_;
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    bool has(int level, const std::string& text) const
    {
        for (const LogLine& line : lines)
            if (line.level == level && line.text == text)
                return true;
        return false;
    }
    // Whether any line contains `part`.
    bool mentions(const std::string& part) const
    {
        for (const LogLine& line : lines)
            if (line.text.find(part) != std::string::npos)
                return true;
        return false;
    }

    std::vector<LogLine> lines;

private:
    int savedLevel_;
    LogSink saved_;
};

// Failures ---------------------------------------------------------------------------------

// The failure of `action` as class and full text; null and empty when nothing was thrown.
inline std::pair<const std::type_info*, std::string> thrown(const std::function<void()>& action)
{
    try {
        action();
    } catch (const error::Exception& e) {
        return {&typeid(e), e.fullText()};
    }
    return {nullptr, ""};
}

// `action` must throw exactly an E (not a class derived from it) with `text`.
template <class E>
void expectThrows(const std::function<void()>& action, const std::string& text)
{
    EXPECT_EQ(thrown(action), std::make_pair(&typeid(E), text));
}

#ifdef _WIN32

// Refusals ---------------------------------------------------------------------------------

inline DWORD refusalCode = 0;
template <class R>
inline R refusalAnswer{};

template <class R, class... A>
R WINAPI refusedCall(A...)
{
    ::SetLastError(refusalCode);
    return refusalAnswer<R>;
}

// While the result lives, `fake` takes the place of the call in `slot` of the system-call table.
template <class F>
std::shared_ptr<void> replaced(F& slot, std::type_identity_t<F> fake)
{
    return std::make_shared<sys::Override<F>>(slot, fake);
}

// While the result lives, the call in `slot` of the system-call table leaves `code` as the
// last error and answers `failed` (FALSE unless given). The code is shared: one refusal at a time.
template <class R, class... A>
std::shared_ptr<void> refuse(R(WINAPI*& slot)(A...), DWORD code, std::type_identity_t<R> failed = R{})
{
    refusalCode = code;
    refusalAnswer<R> = failed;
    return std::make_shared<sys::Override<R(WINAPI*)(A...)>>(slot, &refusedCall<R, A...>);
}

// Registry ---------------------------------------------------------------------------------

using RegistryBytes = std::vector<std::uint8_t>;
using RegistryValue = std::pair<DWORD, RegistryBytes>; // a value's type and bytes

// Value `name` of root\path (empty path: root itself), if it is there.
inline std::optional<RegistryValue> readValue(HKEY root, const std::string& path, const std::wstring& name)
{
    const std::wstring sub = toWide(path);
    const wchar_t* subkey = path.empty() ? nullptr : sub.c_str();
    DWORD type = 0;
    DWORD size = 0;
    if (::RegGetValueW(root, subkey, name.c_str(), RRF_RT_ANY | RRF_NOEXPAND, &type, nullptr, &size) != ERROR_SUCCESS)
        return std::nullopt;
    RegistryBytes data(size);
    if (::RegGetValueW(root, subkey, name.c_str(), RRF_RT_ANY | RRF_NOEXPAND, &type,
                       data.empty() ? nullptr : data.data(), &size) != ERROR_SUCCESS)
        return std::nullopt;
    data.resize(size);
    return RegistryValue(type, data);
}

inline bool keyExists(HKEY root, const std::string& path)
{
    HKEY key = nullptr;
    if (::RegOpenKeyExW(root, toWide(path).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    ::RegCloseKey(key);
    return true;
}

#endif

} // namespace support
