#pragma once
// RAII owners of Windows resources: one template, released through the system-call table,
// and a traits type per kind of resource.
#include "sys/syscalls.h"

#include <utility>

namespace sys {

// Owns one resource of the kind `Traits` describes: `Type`, the `none()` value, whether a
// value is `held`, and how it is `released`. Moves, never copies. Releasing keeps the
// thread's last error, so a caller may still read what failed after dropping the resource.
template <class Traits>
class UniqueResource {
public:
    using Type = typename Traits::Type;

    UniqueResource() = default;
    explicit UniqueResource(Type value) : value_(value) {}
    ~UniqueResource() { reset(); }
    UniqueResource(UniqueResource&& o) noexcept : value_(std::exchange(o.value_, Traits::none())) {}
    UniqueResource& operator=(UniqueResource&& o) noexcept
    {
        if (this != &o)
            reset(std::exchange(o.value_, Traits::none()));
        return *this;
    }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;

    Type get() const { return value_; }
    bool valid() const { return Traits::held(value_); }
    explicit operator bool() const { return valid(); }
    // Gives up ownership without releasing.
    [[nodiscard]] Type release() { return std::exchange(value_, Traits::none()); }
    // Releases what is held and takes `value`.
    void reset(Type value = Traits::none())
    {
        if (Traits::held(value_)) {
            const DWORD error = ::GetLastError();
            Traits::released(value_);
            ::SetLastError(error);
        }
        value_ = value;
    }
    // For a call that hands over a resource through an out-parameter: what was held is
    // released first.
    Type* put()
    {
        reset();
        return &value_;
    }

private:
    Type value_ = Traits::none();
};

// A kernel handle closed with CloseHandle; INVALID_HANDLE_VALUE and null both mean none.
struct HandleTraits {
    using Type = HANDLE;
    static Type none() { return INVALID_HANDLE_VALUE; }
    static bool held(Type h) { return h != INVALID_HANDLE_VALUE && h != nullptr; }
    static void released(Type h) { calls.CloseHandle(h); }
};
using UniqueHandle = UniqueResource<HandleTraits>;

// A directory search handle closed with FindClose.
struct FindTraits {
    using Type = HANDLE;
    static Type none() { return INVALID_HANDLE_VALUE; }
    static bool held(Type h) { return h != INVALID_HANDLE_VALUE; }
    static void released(Type h) { calls.FindClose(h); }
};
using UniqueFind = UniqueResource<FindTraits>;

// An open registry key closed with RegCloseKey. Only keys that the program opened belong
// here, never the predefined roots such as HKEY_LOCAL_MACHINE.
struct KeyTraits {
    using Type = HKEY;
    static Type none() { return nullptr; }
    static bool held(Type key) { return key != nullptr; }
    static void released(Type key) { calls.RegCloseKey(key); }
};
using UniqueKey = UniqueResource<KeyTraits>;

// A buffer that Windows allocated for the caller (a descriptor, an SDDL text), freed with
// LocalFree.
struct LocalMemoryTraits {
    using Type = void*;
    static Type none() { return nullptr; }
    static bool held(Type memory) { return memory != nullptr; }
    static void released(Type memory) { calls.LocalFree(memory); }
};
using UniqueLocalMemory = UniqueResource<LocalMemoryTraits>;

// A registered event source, deregistered with DeregisterEventSource.
struct EventSourceTraits {
    using Type = HANDLE;
    static Type none() { return nullptr; }
    static bool held(Type source) { return source != nullptr; }
    static void released(Type source) { calls.DeregisterEventSource(source); }
};
using UniqueEventSource = UniqueResource<EventSourceTraits>;

// A library loaded at run time, freed with FreeLibrary.
struct LibraryTraits {
    using Type = HMODULE;
    static Type none() { return nullptr; }
    static bool held(Type module) { return module != nullptr; }
    static void released(Type module) { calls.FreeLibrary(module); }
};
using UniqueLibrary = UniqueResource<LibraryTraits>;

} // namespace sys
