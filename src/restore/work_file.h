#pragma once
// The work file of a restored file: where its data is written before it is put in place,
// how it is created (NTFS compression, final length), the time stamps and attributes that
// a restored object gets, and the move of the finished work file over its target.
#include "sys/handle.h"

#include <cstdint>
#include <string>

class FileMetaVariant;
class Placement;

// Where the data for `target` (a mapped Windows path) is written, always in the target's own
// directory, so that the restored object starts with that directory's inherited permissions,
// stays on the target's volume and needs no right on the volume root:
// - a file that backs the live registry: target + ".restored";
// - any other file: <directory>\HRDelayed.<md5 of the target's UTF-8, lower-case hex>, so one
//   target always gets the same work file.
// A name that a move at the next boot starts from (an earlier run's) is never reopened: the
// first of name + ".1", ".2", ... that no pending move names is taken instead.
std::string workFilePath(const std::string& target, Placement& placement);

// Opens (or creates) the work file for exclusive use, makes it compressed when `meta` is an
// NTFS compressed file (a refusal is logged and the file stays uncompressed) and gives it
// its final length, storedSize. A read-only leftover of an earlier run loses its read-only
// bit and is reused. `systemSecurity`: the process holds the security privilege, so the file
// is opened with ACCESS_SYSTEM_SECURITY too. Throws the system error when the file cannot be
// opened or its length cannot be set; a file opened but not sized is deleted again.
sys::UniqueHandle createWorkFile(const std::string& workPath, const FileMetaVariant& meta, bool systemSecurity = true);

// Deletes the work file of an object that will not be placed, read-only or not; a failure
// is logged at level 1.
void discardWorkFile(const std::string& workPath);

// Sets creation, last-access and last-write time of the open `handle` from `meta`; a
// failure is logged at level 1 under `path`. The caller closes the handle.
void setFileTimes(HANDLE handle, const std::string& path, const FileMetaVariant& meta);

// Opens a directory only to set its time stamps; a failure is logged at level 2 and gives
// an empty handle.
sys::UniqueHandle openDirectoryForTimes(const std::string& path);

// Sets the time stamps through `handle` and closes it; with no handle, logs at level 1
// that the times of `path` are not set.
void setTimesAndClose(sys::UniqueHandle& handle, const std::string& path, const FileMetaVariant& meta);

// Sets a directory's time stamps again, as its own completion did: objects restored into
// it afterwards change its last-write time. Failures are logged.
void restoreDirectoryTimes(const std::string& path, const FileMetaVariant& meta);

// Sets the Windows attributes of `path` to exactly `attributes` (0 included); a failure is
// logged at level 1.
void setFileAttributes(const std::string& path, std::uint32_t attributes);

// Puts a finished work file in place of `target`. A live hive is left where it is for the
// hive step at the end of the restore. Anything else is moved at once unless Windows
// protects it (a read-only target loses its read-only bit just before the move, and gets it
// back if the move fails); a protected target, or one that cannot be replaced now, is moved
// at the next boot and the hive registry's reboot flag is set. Moves at boot to the same
// target that earlier runs requested are removed, so the newest version wins. Failures are
// logged. True when the work file waits for the next boot.
bool placeWorkFile(const std::string& workPath, const std::string& target, Placement& placement);
