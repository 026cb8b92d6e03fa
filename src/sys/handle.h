#pragma once
// RAII owners of Windows handles.
#include "sys/syscalls.h"

#include <utility>

namespace sys {

// A kernel handle closed with CloseHandle; INVALID_HANDLE_VALUE and null both mean none.
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE h) : h_(h) {}
    ~UniqueHandle() { reset(); }
    UniqueHandle(UniqueHandle&& o) noexcept : h_(std::exchange(o.h_, INVALID_HANDLE_VALUE)) {}
    UniqueHandle& operator=(UniqueHandle&& o) noexcept
    {
        if (this != &o)
            reset(std::exchange(o.h_, INVALID_HANDLE_VALUE));
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    HANDLE get() const { return h_; }
    bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
    explicit operator bool() const { return valid(); }
    HANDLE release() { return std::exchange(h_, INVALID_HANDLE_VALUE); }
    void reset(HANDLE h = INVALID_HANDLE_VALUE)
    {
        if (valid())
            calls.CloseHandle(h_);
        h_ = h;
    }

private:
    HANDLE h_ = INVALID_HANDLE_VALUE;
};

// A directory search handle closed with FindClose.
class UniqueFind {
public:
    explicit UniqueFind(HANDLE h) : h_(h) {}
    ~UniqueFind()
    {
        if (valid())
            calls.FindClose(h_);
    }
    UniqueFind(const UniqueFind&) = delete;
    UniqueFind& operator=(const UniqueFind&) = delete;
    bool valid() const { return h_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE h_;
};

// An open registry key closed with RegCloseKey. Only keys that the program opened belong
// here, never the predefined roots such as HKEY_LOCAL_MACHINE.
class UniqueKey {
public:
    UniqueKey() = default;
    explicit UniqueKey(HKEY key) : key_(key) {}
    ~UniqueKey() { reset(); }
    UniqueKey(UniqueKey&& o) noexcept : key_(std::exchange(o.key_, nullptr)) {}
    UniqueKey& operator=(UniqueKey&& o) noexcept
    {
        if (this != &o)
            reset(std::exchange(o.key_, nullptr));
        return *this;
    }
    UniqueKey(const UniqueKey&) = delete;
    UniqueKey& operator=(const UniqueKey&) = delete;

    HKEY get() const { return key_; }
    explicit operator bool() const { return key_ != nullptr; }
    void reset(HKEY key = nullptr)
    {
        if (key_ != nullptr)
            calls.RegCloseKey(key_);
        key_ = key;
    }

private:
    HKEY key_ = nullptr;
};

} // namespace sys
