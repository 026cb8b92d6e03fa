#pragma once
// What the restore tests share: a scratch directory on drive C: of the Wine prefix,
// metadata records of the three kinds, captured log lines, thrown exceptions, system calls
// made to fail, and the clean-up of what a restore leaves outside the scratch directory
// (work files in the drive root, the worker's hive list, moves waiting for the next boot).
#include "common/error.h"
#include "common/log.h"
#include "common/text.h"
#include "crypto/md5.h"
#include "proto/messages.h"
#include "restore/meta_records.h"
#include "sys/handle.h"
#include "sys/syscalls.h"

#include <gtest/gtest.h>

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

namespace restore_test {

// Removes a file or a directory tree, read-only and hidden members included.
inline void removeTree(const std::wstring& path)
{
    DWORD attributes = ::GetFileAttributesW(path.c_str());
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
            std::wstring name = entry.cFileName;
            if (name != L"." && name != L"..")
                removeTree(path + L"\\" + name);
        } while (::FindNextFileW(find, &entry));
        ::FindClose(find);
    }
    ::RemoveDirectoryW(path.c_str());
}

// A fresh directory below Windows' temporary directory, removed with its contents.
class ScratchDir {
public:
    ScratchDir()
    {
        wchar_t buffer[MAX_PATH + 1];
        DWORD length = ::GetTempPathW(MAX_PATH + 1, buffer);
        if (length == 0 || length > MAX_PATH)
            throw std::runtime_error("no temporary directory");
        std::wstring base(buffer, length);
        if (base.back() == L'\\')
            base.pop_back();
        std::random_device random;
        for (;;) {
            std::wstring candidate = base + L"\\rw-restore-" + std::to_wstring(random());
            if (::CreateDirectoryW(candidate.c_str(), nullptr)) {
                path_ = toUtf8(candidate);
                return;
            }
            if (::GetLastError() != ERROR_ALREADY_EXISTS)
                throw std::runtime_error("cannot create a scratch directory");
        }
    }
    // Through the "\\?\" form, so trees deeper than MAX_PATH go too.
    ~ScratchDir() { removeTree(L"\\\\?\\" + toWide(path_)); }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "\\" + name; }

private:
    std::string path_;
};

// Removes a file when the test ends, whether or not it exists by then.
class RemoveAtEnd {
public:
    explicit RemoveAtEnd(std::string path) : path_(std::move(path)) {}
    ~RemoveAtEnd() { removeTree(toWide(path_)); }
    RemoveAtEnd(const RemoveAtEnd&) = delete;
    RemoveAtEnd& operator=(const RemoveAtEnd&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// The work file of a target: beside it, named by the digest of the target's path.
inline std::string delayedWorkFile(const std::string& target)
{
    crypto::MD5Hash md5;
    md5.updateText(target);
    return target.substr(0, target.rfind('\\') + 1) + "HRDelayed." + md5.hexDigest();
}

inline bool exists(const std::string& path)
{
    return ::GetFileAttributesW(toWide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

inline DWORD attributesOf(const std::string& path)
{
    return ::GetFileAttributesW(toWide(path).c_str());
}

inline void writeFile(const std::string& path, const std::string& bytes)
{
    ::SetFileAttributesW(toWide(path).c_str(), FILE_ATTRIBUTE_NORMAL);
    std::ofstream out(std::filesystem::path(toWide(path)), std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out.flush())
        throw std::runtime_error("cannot write test file " + path);
}

inline std::string readFile(const std::string& path)
{
    std::ifstream in(std::filesystem::path(toWide(path)), std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read test file " + path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct FileTimes {
    std::uint64_t creation = 0, access = 0, write = 0;
    bool operator==(const FileTimes&) const = default;
};

inline std::uint64_t toCount(const FILETIME& t)
{
    return (std::uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

// The three time stamps as Windows keeps them; a directory too.
inline FileTimes timesOf(const std::string& path)
{
    sys::UniqueHandle h(::CreateFileW(toWide(path).c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    FILETIME c{}, a{}, w{};
    if (!h || !::GetFileTime(h.get(), &c, &a, &w))
        throw std::runtime_error("cannot read the times of " + path);
    return {toCount(c), toCount(a), toCount(w)};
}

// Wine keeps no creation time on a Linux file system (it reports the last-write time in its
// place), so the creation time is checked where it is handed to Windows: the last one set
// through the system-call table while this recorder lives.
class CreationTimeRecorder {
public:
    CreationTimeRecorder()
        : guard_(
              sys::calls.SetFileTime, +[](HANDLE h, const FILETIME* c, const FILETIME* a, const FILETIME* w) -> BOOL {
                  last() = c ? toCount(*c) : 0;
                  return ::SetFileTime(h, c, a, w);
              })
    {
        last() = 0;
    }
    static std::uint64_t& last()
    {
        static std::uint64_t value = 0;
        return value;
    }

private:
    sys::Override<decltype(sys::calls.SetFileTime)> guard_;
};

// The times of `path`: access and write as Windows keeps them, creation as last set.
inline FileTimes restoredTimesOf(const std::string& path)
{
    FileTimes times = timesOf(path);
    times.creation = CreationTimeRecorder::last();
    return times;
}

// The attribute bits that Wine keeps as given; it reports every plain file as ready for
// archiving, whatever it was set to.
inline DWORD keptAttributes(DWORD attributes)
{
    return attributes & ~DWORD(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NORMAL);
}

// Windows' own count for a UTC calendar time, as the oracle for converted stamps.
inline std::uint64_t fileTimeOf(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second)
{
    SYSTEMTIME s{};
    s.wYear = year;
    s.wMonth = month;
    s.wDay = day;
    s.wHour = hour;
    s.wMinute = minute;
    s.wSecond = second;
    FILETIME t;
    if (!::SystemTimeToFileTime(&s, &t))
        throw std::runtime_error("bad calendar time");
    return toCount(t);
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

// The exception of `action` as class and full text; null and empty when nothing was thrown.
inline std::pair<const std::type_info*, std::string> thrown(const std::function<void()>& action)
{
    try {
        action();
    } catch (const error::Exception& e) {
        return {&typeid(e), e.fullText()};
    }
    return {nullptr, ""};
}

// `action` must throw exactly an E with `text`.
template <class E>
void expectThrows(const std::function<void()>& action, const std::string& text)
{
    EXPECT_EQ(thrown(action), std::make_pair(&typeid(E), text));
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

// Refusals -------------------------------------------------------------------------------

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

// Records ---------------------------------------------------------------------------------

// `meta` named, sized and marked a directory or not.
inline proto::FileMetaData named(proto::FileMetaData meta, const std::string& name, std::uint64_t size, bool directory)
{
    meta.name = name;
    meta.size = size;
    meta.directory = directory;
    return meta;
}

inline proto::FileMetaData record(const std::string& name, std::uint64_t size, bool directory)
{
    return named(proto::FileMetaData(), name, size, directory);
}

// An NTFS record with no flags, no SDDL and the times 0.
inline proto::FileMetaData ntfsRecord(const std::string& name, std::uint64_t size, bool directory = false)
{
    return named(ntfsMeta(), name, size, directory);
}

// A UNIX record whose owner may write, unless `readOnly`.
inline proto::FileMetaData unixRecord(const std::string& name, std::uint64_t size, bool directory = false,
                                      bool readOnly = false)
{
    return named(unixMeta([&](proto::FileMetaUNIX& m) {
                     m.mode->ownerRead = true;
                     m.mode->ownerWrite = !readOnly;
                 }),
                 name, size, directory);
}

inline proto::FileMetaData hfsRecord(const std::string& name, std::uint64_t size)
{
    return named(hfsMeta([](proto::FileMetaHFS& m) { m.mode->ownerWrite = true; }), name, size, false);
}

inline proto::FileMetaNTFS& ntfsPart(proto::FileMetaData& r)
{
    return *r.osmeta.as<proto::FileMetaNTFS>();
}

inline proto::FileMetaUNIX& unixPart(proto::FileMetaData& r)
{
    return *r.osmeta.as<proto::FileMetaUNIX>();
}

inline proto::FileMetaHFS& hfsPart(proto::FileMetaData& r)
{
    return *r.osmeta.as<proto::FileMetaHFS>();
}

// Sets the times a restore test expects of a record part of any kind: see recordTimes().
template <class Part>
Part& withTimes(Part& part)
{
    part.creationTime = 1000000000;
    part.lastAccessTime = 1500000000;
    part.lastWriteTime = 1234567890;
    return part;
}

// What Windows keeps of withTimes(): creation, access and last-write time.
inline FileTimes recordTimes()
{
    return {fileTimeOf(2001, 9, 9, 1, 46, 40), fileTimeOf(2017, 7, 14, 2, 40, 0), fileTimeOf(2009, 2, 13, 23, 31, 30)};
}

// Log lines -------------------------------------------------------------------------------

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

// Registry --------------------------------------------------------------------------------

// A value of HKEY_LOCAL_MACHINE, read directly (not through the system-call table).
inline std::optional<std::pair<DWORD, std::vector<BYTE>>> machineValue(const std::wstring& key,
                                                                       const std::wstring& name)
{
    HKEY opened;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS)
        return std::nullopt;
    DWORD type = 0, size = 0;
    std::optional<std::pair<DWORD, std::vector<BYTE>>> result;
    if (::RegQueryValueExW(opened, name.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
        std::vector<BYTE> data(size);
        if (::RegQueryValueExW(opened, name.c_str(), nullptr, &type, data.data(), &size) == ERROR_SUCCESS) {
            data.resize(size);
            result.emplace(type, std::move(data));
        }
    }
    ::RegCloseKey(opened);
    return result;
}

inline std::wstring wideData(const std::vector<BYTE>& data)
{
    return std::wstring(reinterpret_cast<const wchar_t*>(data.data()), data.size() / sizeof(wchar_t));
}

// Keeps the moves that Windows will make at the next boot as they were before the test, so
// that requests made by a test never reach the prefix's next start.
class PendingRenamesGuard {
public:
    static constexpr const wchar_t* key = L"System\\CurrentControlSet\\Control\\Session Manager";
    static constexpr const wchar_t* value = L"PendingFileRenameOperations";

    PendingRenamesGuard() : saved_(machineValue(key, value)) {}
    ~PendingRenamesGuard()
    {
        HKEY opened;
        if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_ALL_ACCESS, &opened) != ERROR_SUCCESS)
            return;
        if (saved_)
            ::RegSetValueExW(opened, value, 0, saved_->first, saved_->second.data(),
                             static_cast<DWORD>(saved_->second.size()));
        else
            ::RegDeleteValueW(opened, value);
        ::RegCloseKey(opened);
    }
    PendingRenamesGuard(const PendingRenamesGuard&) = delete;
    PendingRenamesGuard& operator=(const PendingRenamesGuard&) = delete;

    // The current list, NULs and all.
    static std::wstring current()
    {
        auto now = machineValue(key, value);
        return now ? wideData(now->second) : std::wstring();
    }

private:
    std::optional<std::pair<DWORD, std::vector<BYTE>>> saved_;
};

// Makes the running list of moves at boot exactly these strings (pairs of source and
// target, as Windows stores them).
inline void setPendingRenames(const std::vector<std::wstring>& strings)
{
    std::wstring joined;
    for (const std::wstring& text : strings)
        joined += text + L'\0';
    joined += L'\0';
    HKEY opened;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, PendingRenamesGuard::key, 0, KEY_ALL_ACCESS, &opened) != ERROR_SUCCESS)
        throw std::runtime_error("cannot open the session manager key");
    ::RegSetValueExW(opened, PendingRenamesGuard::value, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(joined.data()),
                     static_cast<DWORD>(joined.size() * sizeof(wchar_t)));
    ::RegCloseKey(opened);
}

// The worker's hive list key, created for the test when missing; the values the test
// names, and the key if the test created it, are removed at the end.
class HiveListGuard {
public:
    static constexpr const wchar_t* key = L"Software\\Harbex\\hives";

    HiveListGuard()
    {
        HKEY opened;
        existed_ = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &opened) == ERROR_SUCCESS;
        if (existed_) {
            ::RegCloseKey(opened);
            return;
        }
        if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                              &opened, nullptr) == ERROR_SUCCESS)
            ::RegCloseKey(opened);
    }
    ~HiveListGuard()
    {
        HKEY opened;
        if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_ALL_ACCESS, &opened) == ERROR_SUCCESS) {
            for (const std::wstring& name : names_)
                ::RegDeleteValueW(opened, name.c_str());
            ::RegCloseKey(opened);
        }
        if (!existed_) {
            ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, key);
            ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"Software\\Harbex");
        }
    }
    HiveListGuard(const HiveListGuard&) = delete;
    HiveListGuard& operator=(const HiveListGuard&) = delete;

    void removeAtEnd(const std::string& valueName) { names_.push_back(toWide(valueName)); }
    // The target that the list holds for a work file, if any.
    static std::optional<std::wstring> entry(const std::string& workPath)
    {
        auto found = machineValue(key, toWide(workPath));
        if (!found || found->first != REG_SZ)
            return std::nullopt;
        std::wstring text = wideData(found->second);
        while (!text.empty() && text.back() == L'\0')
            text.pop_back();
        return text;
    }

private:
    bool existed_ = false;
    std::vector<std::wstring> names_;
};

// The kernel's device form of a path on a drive (\Device\...\rest), as the registry's hive
// list names the files that back it.
inline std::wstring devicePath(const std::string& path)
{
    wchar_t device[MAX_PATH];
    if (::QueryDosDeviceW(toWide(path.substr(0, 2)).c_str(), device, MAX_PATH) == 0)
        throw std::runtime_error("no device name for " + path.substr(0, 2));
    return std::wstring(device) + toWide(path.substr(2));
}

} // namespace restore_test
