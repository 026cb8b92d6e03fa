#pragma once
// What the restore tests add to tests/support.h: the work file of a target, time stamps and
// attributes as Windows keeps them, access lists as text, records of the three kinds, and
// the moves at the next boot, kept as they were before the test.
#include "common/text.h"
#include "crypto/md5.h"
#include "restore/meta_records.h"
#include "support.h"
#include "sys/handle.h"
#include "sys/syscalls.h"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace restore_test {

using namespace support;

// The work file of a target: beside it, named by the digest of the target's path.
inline std::string delayedWorkFile(const std::string& target)
{
    crypto::MD5Hash md5;
    md5.updateText(target);
    return target.substr(0, target.rfind('\\') + 1) + "HRDelayed." + md5.hexDigest();
}

inline DWORD attributesOf(const std::string& path)
{
    return ::GetFileAttributesW(toWide(path).c_str());
}

inline std::wstring longForm(const std::string& path)
{
    return L"\\\\?\\" + toWide(path);
}

inline std::string replaceAll(std::string text, const std::string& from, const std::string& to)
{
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// The attribute bits that Wine keeps as given; it reports every plain file as ready for
// archiving, whatever it was set to.
inline DWORD keptAttributes(DWORD attributes)
{
    return attributes & ~DWORD(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NORMAL);
}

// Times ------------------------------------------------------------------------------------

struct FileTimes {
    std::uint64_t creation = 0, access = 0, write = 0;
    bool operator==(const FileTimes&) const = default;
};

// The times last handed to SetFileTime through the system-call table while the recorder
// lives: Wine keeps no creation time on a Linux file system.
class TimesRecorder {
public:
    static inline FileTimes last;
    TimesRecorder() { last = {}; }

private:
    static std::uint64_t count(const FILETIME* t)
    {
        return t ? (std::uint64_t(t->dwHighDateTime) << 32) | t->dwLowDateTime : 0;
    }
    sys::Override<decltype(sys::calls.SetFileTime)> guard_{
        sys::calls.SetFileTime, +[](HANDLE h, const FILETIME* c, const FILETIME* a, const FILETIME* w) -> BOOL {
            last = {count(c), count(a), count(w)};
            return ::SetFileTime(h, c, a, w);
        }};
};

// What Windows is given for the creation, access and last-write times 1000000000, 1500000000
// and 1234567890 of a record: 2001-09-09 01:46:40, 2017-07-14 02:40:00, 2009-02-13 23:31:30,
// in tenths of microseconds since 1601.
inline FileTimes recordTimes()
{
    return {126444736000000000, 131444736000000000, 128790414900000000};
}

// Records and access lists ------------------------------------------------------------------

inline proto::FileMetaNTFS& ntfsPart(proto::FileMetaData& r)
{
    return *r.osmeta.as<proto::FileMetaNTFS>();
}

// The SDDL text of an access list (DACL or SACL), as Windows writes it.
inline std::string aclText(PACL acl, SECURITY_INFORMATION part = DACL_SECURITY_INFORMATION)
{
    if (acl == nullptr)
        return "(none)";
    SECURITY_DESCRIPTOR descriptor;
    ::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    if (part == DACL_SECURITY_INFORMATION)
        ::SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE);
    else
        ::SetSecurityDescriptorSacl(&descriptor, TRUE, acl, FALSE);
    LPWSTR text = nullptr;
    if (!::ConvertSecurityDescriptorToStringSecurityDescriptorW(&descriptor, SDDL_REVISION_1, part, &text, nullptr))
        return "(not convertible)";
    const std::string out = toUtf8(text);
    ::LocalFree(text);
    return out;
}

// Registry -----------------------------------------------------------------------------------

// Keeps the moves that Windows will make at the next boot as they were before the test, so
// that requests made by a test never reach the prefix's next start.
class PendingRenamesGuard {
public:
    static constexpr const char* key = "System\\CurrentControlSet\\Control\\Session Manager";
    static constexpr const wchar_t* value = L"PendingFileRenameOperations";

    PendingRenamesGuard() : saved_(readValue(HKEY_LOCAL_MACHINE, key, value)) {}
    ~PendingRenamesGuard()
    {
        if (saved_)
            ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, toWide(key).c_str(), value, saved_->first, saved_->second.data(),
                              static_cast<DWORD>(saved_->second.size()));
        else
            ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, toWide(key).c_str(), value);
    }
    PendingRenamesGuard(const PendingRenamesGuard&) = delete;
    PendingRenamesGuard& operator=(const PendingRenamesGuard&) = delete;

    // The current list, NULs and all.
    static std::wstring current()
    {
        const auto now = readValue(HKEY_LOCAL_MACHINE, key, value);
        return now ? std::wstring(reinterpret_cast<const wchar_t*>(now->second.data()), now->second.size() / 2)
                   : std::wstring();
    }

private:
    std::optional<RegistryValue> saved_;
};

// Makes the list of moves at boot exactly these strings (pairs of source and target, as
// Windows stores them).
inline void setPendingRenames(const std::vector<std::wstring>& strings)
{
    std::wstring joined;
    for (const std::wstring& text : strings)
        joined += text + L'\0';
    joined += L'\0';
    if (::RegSetKeyValueW(HKEY_LOCAL_MACHINE, toWide(PendingRenamesGuard::key).c_str(), PendingRenamesGuard::value,
                          REG_MULTI_SZ, joined.data(),
                          static_cast<DWORD>(joined.size() * sizeof(wchar_t))) != ERROR_SUCCESS)
        throw std::runtime_error("cannot set the moves at boot");
}

} // namespace restore_test
