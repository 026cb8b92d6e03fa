#include "restore/work_file.h"

#include "common/error.h"
#include "common/log.h"
#include "common/text.h"
#include "crypto/md5.h"
#include "hives/hive_registry.h"
#include "io/fs.h"
#include "restore/file_meta.h"
#include "sys/syscalls.h"

#include <winioctl.h>

namespace {

// Desired access of a work file: GENERIC_READ | GENERIC_WRITE | ACCESS_SYSTEM_SECURITY |
// WRITE_OWNER | WRITE_DAC | READ_CONTROL, so that security can be set through it too.
constexpr DWORD kWorkFileAccess = 0xC10E0000;
// FILE_FLAG_RANDOM_ACCESS | FILE_ATTRIBUTE_NORMAL: chunks may come in any order.
constexpr DWORD kWorkFileFlags = 0x10000080;

bool startsWithDrive(const std::string& path)
{
    if (path.size() < 2 || path[1] != ':')
        return false;
    char letter = path[0];
    return (letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z');
}

FILETIME fileTime(const UsecTime& t)
{
    std::uint64_t count = toFileTime(t);
    FILETIME result;
    result.dwLowDateTime = static_cast<DWORD>(count);
    result.dwHighDateTime = static_cast<DWORD>(count >> 32);
    return result;
}

void logLine(int level, const std::string& text)
{
    logMessage(text, level, false);
}

} // namespace

std::string workFilePath(const std::string& target, const HiveRegistry& hives)
{
    if (hives.isLiveHive(target))
        return target + ".restored";

    crypto::MD5Hash md5;
    md5.updateText(target);
    const std::string name = "HRDelayed." + md5.hexDigest();
    if (startsWithDrive(target))
        return target.substr(0, 1) + ":\\" + name;
    // No drive to put it in the root of: the target's own directory is on the same volume.
    std::size_t slash = target.rfind('\\');
    if (slash == std::string::npos)
        return name;
    return target.substr(0, slash) + "\\" + name;
}

sys::UniqueHandle createWorkFile(const std::string& workPath, const FileMetaVariant& meta)
{
    sys::UniqueHandle handle(sys::calls.CreateFileW(longPathW(workPath).c_str(), kWorkFileAccess, 0, nullptr,
                                                    OPEN_ALWAYS, kWorkFileFlags, nullptr));
    if (!handle)
        error::throwSystemError(GetLastError(), "Cannot create file \"" + workPath + "\" for restore of \"" +
                                                    workPath + "\" - giving up");

    if (meta.ntfs() && meta.isCompressed()) {
        USHORT format = COMPRESSION_FORMAT_DEFAULT;
        DWORD returned = 0;
        if (!sys::calls.DeviceIoControl(handle.get(), FSCTL_SET_COMPRESSION, &format, sizeof format, nullptr, 0,
                                        &returned, nullptr) &&
            logEnabled(2))
            logLine(2, "File '" + workPath +
                           "' was originally a NTFS compressed file, but re-creating the file as compressed failed: '" +
                           error::lastErrorText() + "'. Will restore as non-compressed file instead.");
    }

    const std::uint64_t size = meta.storedSize();
    LONG high = static_cast<LONG>(size >> 32);
    sys::calls.SetLastError(0);
    if (sys::calls.SetFilePointer(handle.get(), static_cast<LONG>(static_cast<DWORD>(size)), &high, FILE_BEGIN) ==
        INVALID_SET_FILE_POINTER) {
        DWORD code = GetLastError();
        if (code != 0)
            error::throwSystemError(code, "Unable to seek to new end of file");
    }
    if (!sys::calls.SetEndOfFile(handle.get()))
        error::throwSystemError(GetLastError(), "Unable to set end of file");
    return handle;
}

void setFileTimes(HANDLE handle, const std::string& path, const FileMetaVariant& meta)
{
    const FILETIME creation = fileTime(meta.creationTime());
    const FILETIME access = fileTime(meta.lastAccessTime());
    const FILETIME write = fileTime(meta.lastWriteTime());
    if (!sys::calls.SetFileTime(handle, &creation, &access, &write) && logEnabled(1))
        logLine(1, "Unable to restore directory times for '" + path + "': " + error::lastErrorText());
}

sys::UniqueHandle openDirectoryForTimes(const std::string& path)
{
    sys::UniqueHandle handle(sys::calls.CreateFileW(toWide(path).c_str(), FILE_WRITE_ATTRIBUTES,
                                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!handle && logEnabled(2))
        logLine(2, "Cannot open directory '" + path + "', not setting time stamps: " + error::lastErrorText());
    return handle;
}

void setTimesAndClose(sys::UniqueHandle& handle, const std::string& path, const FileMetaVariant& meta)
{
    if (!handle) {
        if (logEnabled(1))
            logLine(1, "Not setting times on " + path);
        return;
    }
    setFileTimes(handle.get(), path, meta);
    handle.reset();
}

void restoreDirectoryTimes(const std::string& path, const FileMetaVariant& meta)
{
    sys::UniqueHandle handle = openDirectoryForTimes(path);
    setTimesAndClose(handle, path, meta);
}

void setFileAttributes(const std::string& path, std::uint32_t attributes)
{
    if (!sys::calls.SetFileAttributesW(longPathW(path).c_str(), attributes) && logEnabled(1))
        logLine(1, "Unable to restore file attributes for '" + path + "': " + error::lastErrorText());
}

void placeWorkFile(const std::string& workPath, const std::string& target, HiveRegistry& hives)
{
    if (hives.isLiveHive(target)) {
        // The hive step at the end of the restore schedules it, after fixing up SYSTEM.
        if (logEnabled(2))
            logLine(2, "Fallback " + workPath + " is a hive. Move  on boot will be scheduled later to final destination " +
                           target);
        return;
    }

    const std::wstring from = longPathW(workPath);
    const std::wstring to = longPathW(target);
    if (!hives.mustReplaceAtBoot(target)) {
        if (logEnabled(2))
            logLine(2, "Will attempt immediate move of " + workPath + " to " + target);
        if (sys::calls.MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING))
            return;
        if (logEnabled(2))
            logLine(2, "Immediate move failed (" + error::lastErrorText() + ") - deferring move operation");
    }

    if (logEnabled(2))
        logLine(2, "Will request move-on-boot of " + workPath + " into " + target);
    if (!sys::calls.MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT) &&
        logEnabled(0))
        logLine(0, "Unable to request move of fallback file for " + workPath + ": " + error::lastErrorText());
    // The data waits in the work file even when the request failed: only a reboot can help.
    hives.requestReboot();
}
