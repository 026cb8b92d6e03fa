#pragma once
// Helpers of the registry tests: a private key that is removed with everything below it at
// the end of the test, raw reads and writes that go straight to Windows (not through the
// system-call table, so that a replaced entry never disturbs them), failing registry calls,
// captured log lines and error checks.
#include "common/error.h"
#include "common/log.h"
#include "common/text.h"
#include "sys/syscalls.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <algorithm>
#include <functional>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <utility>
#include <vector>

namespace testing_registry {

using Bytes = std::vector<std::uint8_t>;
using Value = std::pair<DWORD, Bytes>; // a value's type and bytes

// The bytes of a UTF-16 text exactly as given (embedded and trailing NULs included).
inline Bytes wideBytes(const std::wstring& text)
{
    const auto* begin = reinterpret_cast<const std::uint8_t*>(text.data());
    return Bytes(begin, begin + text.size() * sizeof(wchar_t));
}

// A REG_SZ value's bytes: the text and its closing NUL.
inline Bytes text(const std::wstring& value)
{
    return wideBytes(value + L'\0');
}

inline Bytes dword(DWORD number)
{
    return Bytes{std::uint8_t(number), std::uint8_t(number >> 8), std::uint8_t(number >> 16),
                 std::uint8_t(number >> 24)};
}

// A REG_MULTI_SZ value's bytes: each text with its NUL, and the closing NUL.
inline Bytes multi(const std::vector<std::wstring>& strings)
{
    std::wstring joined;
    for (const std::wstring& text : strings)
        joined += text + L'\0';
    return wideBytes(joined + L'\0');
}

inline std::string randomSuffix()
{
    std::random_device random;
    return std::to_string(random());
}

// Value `name` of root\path (empty path: root itself), if it is there.
inline std::optional<Value> readValue(HKEY root, const std::string& path, const std::wstring& name)
{
    const std::wstring sub = toWide(path);
    const wchar_t* subkey = path.empty() ? nullptr : sub.c_str();
    DWORD type = 0;
    DWORD size = 0;
    if (::RegGetValueW(root, subkey, name.c_str(), RRF_RT_ANY | RRF_NOEXPAND, &type, nullptr, &size) != ERROR_SUCCESS)
        return std::nullopt;
    Bytes data(size);
    if (::RegGetValueW(root, subkey, name.c_str(), RRF_RT_ANY | RRF_NOEXPAND, &type,
                       data.empty() ? nullptr : data.data(), &size) != ERROR_SUCCESS)
        return std::nullopt;
    data.resize(size);
    return Value(type, data);
}

inline bool machineKeyExists(const std::string& path)
{
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, toWide(path).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    ::RegCloseKey(key);
    return true;
}

// root\Software\RestoreWorkerTests\<name>-<random>, created empty; deleted with its tree
// at the end, and the parent with it once it is empty.
class TestArea {
public:
    explicit TestArea(const std::string& name, HKEY root = HKEY_CURRENT_USER)
        : root_(root), path_("Software\\RestoreWorkerTests\\" + name + "-" + randomSuffix())
    {
        if (::RegCreateKeyExW(root_, wide(path_).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                              &key_, nullptr) != ERROR_SUCCESS)
            throw std::runtime_error("cannot create test key " + path_);
    }
    ~TestArea()
    {
        ::RegCloseKey(key_);
        ::RegDeleteTreeW(root_, wide(path_).c_str());
        ::RegDeleteKeyW(root_, L"Software\\RestoreWorkerTests"); // fails while others use it
    }
    TestArea(const TestArea&) = delete;
    TestArea& operator=(const TestArea&) = delete;

    HKEY root() const { return root_; }
    HKEY key() const { return key_; }
    // The area's path below the root, with `sub` appended when given.
    std::string path(const std::string& sub = "") const { return sub.empty() ? path_ : path_ + "\\" + sub; }

    // Creates area\sub (and the keys between).
    void createKey(const std::string& sub) const
    {
        HKEY created = nullptr;
        if (::RegCreateKeyExW(key_, wide(sub).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                              &created, nullptr) != ERROR_SUCCESS)
            throw std::runtime_error("cannot create test key " + sub);
        ::RegCloseKey(created);
    }
    // Sets value `name` of area\sub (empty sub: the area itself), creating the key if needed.
    void setValue(const std::string& sub, const std::wstring& name, DWORD type, const Bytes& data) const
    {
        HKEY key = nullptr;
        if (::RegCreateKeyExW(key_, wide(sub).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr,
                              &key, nullptr) != ERROR_SUCCESS)
            throw std::runtime_error("cannot open test key " + sub);
        LONG result = ::RegSetValueExW(key, name.c_str(), 0, type, data.empty() ? nullptr : data.data(),
                                       static_cast<DWORD>(data.size()));
        ::RegCloseKey(key);
        if (result != ERROR_SUCCESS)
            throw std::runtime_error("cannot set test value");
    }
    bool keyExists(const std::string& sub) const
    {
        HKEY opened = nullptr;
        LONG result = ::RegOpenKeyExW(key_, wide(sub).c_str(), 0, KEY_READ, &opened);
        if (result == ERROR_SUCCESS)
            ::RegCloseKey(opened);
        return result == ERROR_SUCCESS;
    }
    std::optional<Value> value(const std::string& sub, const std::wstring& name) const
    {
        return readValue(key_, sub, name);
    }

    static std::wstring wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

private:
    HKEY root_;
    std::string path_;
    HKEY key_ = nullptr;
};

// Runs `action`, which must throw exactly `Expected` with the full text `text`.
template <class Expected>
void expectError(const std::function<void()>& action, const std::string& text)
{
    try {
        action();
        ADD_FAILURE() << "no exception, expected: " << text;
    } catch (const error::Exception& e) {
        EXPECT_EQ(typeid(e), typeid(Expected)) << e.fullText();
        EXPECT_EQ(e.fullText(), text);
    }
}

// The system error that a registry call's result code gives: not found codes have their own class.
inline void expectSystemError(const std::function<void()>& action, LONG code, const std::string& text)
{
    std::string full = text + ": " + error::systemErrorText(static_cast<unsigned long>(code));
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
        expectError<error::EFileNotFoundError>(action, full);
    else
        expectError<error::ESystemError>(action, full);
}

// The result code of every call that a Failing replaces.
struct Fault {
    static inline LONG code = ERROR_ACCESS_DENIED;
};

template <class R, class... Args>
R returnFault(Args...)
{
    return static_cast<R>(Fault::code);
}

// Makes an entry of the system-call table return Fault::code while it lives.
template <class R, class... Args>
struct Failing : sys::Override<R (*)(Args...)> {
    explicit Failing(R (*&slot)(Args...)) : sys::Override<R (*)(Args...)>(slot, &returnFault<R, Args...>) {}
};

// The log lines written while it lives, at the level it sets.
class LogCapture {
public:
    explicit LogCapture(int level = 3, bool mayForward = true) : savedLevel_(logLevel)
    {
        logLevel = level;
        savedSink_ = setLogSink([this, mayForward](const std::string& text, int lineLevel, bool forward) {
            EXPECT_TRUE(mayForward || !forward) << text;
            lines.emplace_back(lineLevel, text);
        });
    }
    ~LogCapture()
    {
        setLogSink(savedSink_);
        logLevel = savedLevel_;
    }
    bool has(int level, const std::string& text) const
    {
        return std::find(lines.begin(), lines.end(), std::make_pair(level, text)) != lines.end();
    }
    std::vector<std::pair<int, std::string>> lines;

private:
    int savedLevel_;
    LogSink savedSink_;
};

// Counts the keys that the library opens or creates and the keys it closes.
struct KeyBalance {
    static inline int opened = 0;
    static inline int closed = 0;

    KeyBalance()
    {
        opened = 0;
        closed = 0;
    }
    int open() const { return opened - closed; }

    sys::Override<decltype(sys::calls.RegOpenKeyExW)> open_{
        sys::calls.RegOpenKeyExW, +[](HKEY parent, LPCWSTR path, DWORD options, REGSAM access, PHKEY key) -> LONG {
            LONG result = ::RegOpenKeyExW(parent, path, options, access, key);
            opened += result == ERROR_SUCCESS;
            return result;
        }};
    sys::Override<decltype(sys::calls.RegCreateKeyExW)> create_{
        sys::calls.RegCreateKeyExW,
        +[](HKEY parent, LPCWSTR path, DWORD reserved, LPWSTR cls, DWORD options, REGSAM access,
            LPSECURITY_ATTRIBUTES security, PHKEY key, LPDWORD disposition) -> LONG {
            LONG result = ::RegCreateKeyExW(parent, path, reserved, cls, options, access, security, key, disposition);
            opened += result == ERROR_SUCCESS;
            return result;
        }};
    sys::Override<decltype(sys::calls.RegCloseKey)> close_{sys::calls.RegCloseKey, +[](HKEY key) -> LONG {
                                                               ++closed;
                                                               return ::RegCloseKey(key);
                                                           }};
};

} // namespace testing_registry
