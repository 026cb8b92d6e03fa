#include "restore/work_file.h"

#include "common/error.h"
#include "common/log.h"
#include "common/text.h"
#include "crypto/md5.h"
#include "registry/pending_moves.h"
#include "io/fs.h"
#include "restore/file_meta.h"
#include "restore/placement.h"
#include "sys/syscalls.h"

#include <winioctl.h>

namespace {

// Desired access of a work file: GENERIC_READ | GENERIC_WRITE | ACCESS_SYSTEM_SECURITY |
// WRITE_OWNER | WRITE_DAC | READ_CONTROL, so that security can be set through it too.
// ACCESS_SYSTEM_SECURITY needs the security privilege, without which the open fails.
constexpr DWORD kWorkFileAccess = 0xC10E0000;
// FILE_FLAG_RANDOM_ACCESS | FILE_ATTRIBUTE_NORMAL: chunks may come in any order.
constexpr DWORD kWorkFileFlags = 0x10000080;

FILETIME fileTime(const UsecTime& t)
{
    std::uint64_t count = toFileTime(t);
    FILETIME result;
    result.dwLowDateTime = static_cast<DWORD>(count);
    result.dwHighDateTime = static_cast<DWORD>(count >> 32);
    return result;
}

// Clears the read-only bit of the file `wide` names, which Windows would otherwise refuse to
// open for writing or to replace. The attributes it had, or INVALID_FILE_ATTRIBUTES when
// there was nothing to clear.
DWORD clearReadOnly(const std::wstring& wide)
{
    const DWORD attributes = sys::calls.GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) == 0 ||
        (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return INVALID_FILE_ATTRIBUTES;
    if (!sys::calls.SetFileAttributesW(wide.c_str(), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY)))
        return INVALID_FILE_ATTRIBUTES;
    return attributes;
}

HANDLE openWorkFile(const std::wstring& wide, DWORD access)
{
    return sys::calls.CreateFileW(wide.c_str(), access, 0, nullptr, OPEN_ALWAYS, kWorkFileFlags, nullptr);
}

void giveFinalLength(HANDLE handle, std::uint64_t size)
{
    LONG high = static_cast<LONG>(size >> 32);
    sys::calls.SetLastError(0);
    if (sys::calls.SetFilePointer(handle, static_cast<LONG>(static_cast<DWORD>(size)), &high, FILE_BEGIN) ==
        INVALID_SET_FILE_POINTER) {
        DWORD code = GetLastError();
        if (code != 0)
            error::throwSystemError(code, "Unable to seek to new end of file");
    }
    if (!sys::calls.SetEndOfFile(handle))
        error::throwSystemError(GetLastError(), "Unable to set end of file");
}

// Moves `from` over `to`, clearing a read-only target's bit just before, and setting it
// back when the move still fails.
bool moveReplacing(const std::wstring& from, const std::wstring& to)
{
    if (sys::calls.MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING))
        return true;
    if (GetLastError() != ERROR_ACCESS_DENIED)
        return false;
    const DWORD attributes = clearReadOnly(to);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        sys::calls.SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    if (sys::calls.MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING))
        return true;
    const DWORD code = GetLastError();
    sys::calls.SetFileAttributesW(to.c_str(), attributes);
    sys::calls.SetLastError(code);
    return false;
}

} // namespace

std::string workFilePath(const std::string& target, Placement& placement)
{
    std::string path;
    if (placement.isLiveHive(target)) {
        path = target + ".restored";
    } else {
        crypto::MD5Hash md5;
        md5.updateText(target);
        const std::size_t slash = target.rfind('\\');
        const std::string directory = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
        path = directory + "HRDelayed." + md5.hexDigest();
    }
    PendingMoves& pending = placement.pendingMoves();
    if (!pending.isSource(path))
        return path;
    for (unsigned n = 1;; ++n) {
        const std::string fresh = path + "." + std::to_string(n);
        if (!pending.isSource(fresh))
            return fresh;
    }
}

sys::UniqueHandle createWorkFile(const std::string& workPath, const FileMetaVariant& meta, bool systemSecurity)
{
    const std::wstring wide = longPathW(workPath);
    const DWORD access = systemSecurity ? kWorkFileAccess : kWorkFileAccess & ~DWORD(ACCESS_SYSTEM_SECURITY);
    sys::UniqueHandle handle(openWorkFile(wide, access));
    DWORD code = handle ? ERROR_SUCCESS : GetLastError();
    // A read-only leftover of an earlier run: Windows refuses to open it for writing.
    if (code == ERROR_ACCESS_DENIED && clearReadOnly(wide) != INVALID_FILE_ATTRIBUTES) {
        handle.reset(openWorkFile(wide, access));
        code = handle ? ERROR_SUCCESS : GetLastError();
    }
    if (!handle)
        error::throwSystemError(code, "Cannot create file \"" + workPath + "\" for restore of \"" + workPath +
                                          "\" - giving up");

    if (meta.ntfs() && meta.isCompressed()) {
        USHORT format = COMPRESSION_FORMAT_DEFAULT;
        DWORD returned = 0;
        if (!sys::calls.DeviceIoControl(handle.get(), FSCTL_SET_COMPRESSION, &format, sizeof format, nullptr, 0,
                                        &returned, nullptr) &&
            logEnabled(2))
            logAt(2, "File '" + workPath +
                         "' was originally a NTFS compressed file, but re-creating the file as compressed failed: '" +
                         error::lastErrorText() + "'. Will restore as non-compressed file instead.");
    }

    try {
        giveFinalLength(handle.get(), meta.storedSize());
    } catch (const error::Exception&) {
        // A full disk, say: a file that cannot hold the object is no use to anyone.
        handle.reset();
        sys::calls.DeleteFileW(wide.c_str());
        throw;
    }
    return handle;
}

void discardWorkFile(const std::string& workPath)
{
    const std::wstring wide = longPathW(workPath);
    clearReadOnly(wide);
    if (sys::calls.DeleteFileW(wide.c_str()))
        return;
    const DWORD code = GetLastError();
    if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND && logEnabled(1))
        logAt(1, "Cannot delete work file " + workPath + ": " + error::systemErrorText(code));
}

void setFileTimes(HANDLE handle, const std::string& path, const FileMetaVariant& meta)
{
    const FILETIME creation = fileTime(meta.creationTime());
    const FILETIME access = fileTime(meta.lastAccessTime());
    const FILETIME write = fileTime(meta.lastWriteTime());
    if (!sys::calls.SetFileTime(handle, &creation, &access, &write) && logEnabled(1))
        logAt(1, "Unable to restore directory times for '" + path + "': " + error::lastErrorText());
}

sys::UniqueHandle openDirectoryForTimes(const std::string& path)
{
    sys::UniqueHandle handle(sys::calls.CreateFileW(toWide(path).c_str(), FILE_WRITE_ATTRIBUTES,
                                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!handle && logEnabled(2))
        logAt(2, "Cannot open directory '" + path + "', not setting time stamps: " + error::lastErrorText());
    return handle;
}

void setTimesAndClose(sys::UniqueHandle& handle, const std::string& path, const FileMetaVariant& meta)
{
    if (!handle) {
        if (logEnabled(1))
            logAt(1, "Not setting times on " + path);
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
        logAt(1, "Unable to restore file attributes for '" + path + "': " + error::lastErrorText());
}

bool placeWorkFile(const std::string& workPath, const std::string& target, Placement& placement)
{
    if (placement.isLiveHive(target)) {
        // The hive step at the end of the restore schedules it, after fixing up SYSTEM.
        if (logEnabled(2))
            logAt(2, "Fallback " + workPath +
                         " is a hive. Move  on boot will be scheduled later to final destination " + target);
        return false;
    }

    const std::wstring from = longPathW(workPath);
    const std::wstring to = longPathW(target);
    PendingMoves& pending = placement.pendingMoves();
    if (!placement.mustReplaceAtBoot(target)) {
        if (logEnabled(2))
            logAt(2, "Will attempt immediate move of " + workPath + " to " + target);
        if (moveReplacing(from, to)) {
            pending.supersede(target, false);
            return false;
        }
        if (logEnabled(2))
            logAt(2, "Immediate move failed (" + error::lastErrorText() + ") - deferring move operation");
    }

    if (logEnabled(2))
        logAt(2, "Will request move-on-boot of " + workPath + " into " + target);
    if (sys::calls.MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT)) {
        pending.added(workPath, target);
        pending.supersede(target, true);
    } else if (logEnabled(0)) {
        logAt(0, "Unable to request move of fallback file for " + workPath + ": " + error::lastErrorText());
    }
    // The data waits in the work file even when the request failed: only a reboot can help.
    placement.requestReboot();
    return true;
}
