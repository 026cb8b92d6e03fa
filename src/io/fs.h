#pragma once
// File-system helpers on UTF-8 paths. On Windows every path reaches the system in its
// long-path form (longPathW); natively (Linux) the same operations run on POSIX and report
// failures with the Windows error codes that the rest of the worker expects.
#include <string>

// Windows version categories: 0 Windows 2000, 1/2 XP (32/64-bit), 3/4 Server 2003,
// 5/6 Vista, 7/8 Windows 7 and later 6.x, 9 anything else or unknown.
int versionCategory(unsigned major, unsigned minor, bool is64Bit);
// The category of the running system (GetVersionExW and GetSystemInfo). The native build
// reports Windows 7 64-bit.
int windowsVersionCategory();

// The UTF-16 form of `path`, with the "\\?\" prefix on a drive-absolute path (X:\...)
// unless the system is Windows 2000.
std::wstring longPathW(const std::string& path);
// The same for a given version category.
std::wstring longPathW(const std::string& path, int category);

// Deletes a file; a missing file is no error. Throws error::ESystemError (or a subclass).
void deleteFile(const std::string& path);
// False only when the system says the file or its path is not found.
bool fileExists(const std::string& path);
// Moves `from` to `to`, replacing an existing `to`, copying across volumes.
void renameFile(const std::string& from, const std::string& to);
// Creates one directory; an existing one throws error::EFileExistsError.
void createDirectory(const std::string& path);
// The full path of `path` against the current directory.
std::string absolutePath(const std::string& path);
// The path as spelled on disk, component by component (drive letter in upper case).
std::string real_path_name(const std::string& path);
