#pragma once
// The work file of a restored file: where its data is written before it is put in place,
// how it is created (NTFS compression, final length), the time stamps and attributes that
// a restored object gets, and the move of the finished work file over its target.
#include "sys/handle.h"

#include <cstdint>
#include <string>

class FileMetaVariant;
class HiveRegistry;

// Where the data for `target` (a mapped Windows path) is written:
// - a file that backs the live registry: target + ".restored", beside it;
// - a target on a drive: <drive>:\HRDelayed.<md5 of the target's UTF-8, lower-case hex>,
//   so one target always gets the same work file, in the root of its own drive;
// - any other target (UNC): the same name in the target's own directory.
// Throws what the hive registry throws for a drive without a device name.
std::string workFilePath(const std::string& target, const HiveRegistry& hives);

// Opens (or creates) the work file for exclusive use, makes it compressed when `meta` is an
// NTFS compressed file (a refusal is logged and the file stays uncompressed) and gives it
// its final length, storedSize. Throws the system error when the file cannot be opened or
// its length cannot be set; the handle is closed then.
sys::UniqueHandle createWorkFile(const std::string& workPath, const FileMetaVariant& meta);

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
// protects it; a protected target, or one that cannot be replaced now, is moved at the next
// boot and the hive registry's reboot flag is set. Failures are logged.
void placeWorkFile(const std::string& workPath, const std::string& target, HiveRegistry& hives);
