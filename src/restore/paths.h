#pragma once
// Stored object names to Windows paths, and the directories above them.
#include "restore/file_meta.h"

#include <string>

// The Windows path an object is restored to, below `root` (empty: where it came from; a
// trailing backslash makes no difference). Throws ERestore for a stored name that holds a
// NUL character and for a path with a "." or ".." component, which would let a name reach
// outside the restore root or alias another object.
std::string mapPath(const FileMetaVariant& meta, const std::string& root);
// Every character Windows forbids in a name, and '_', as '_' + two lower-case hex digits.
std::string escapeName(const std::string& name);
// One path component made acceptable to Windows: a trailing blank or dot, or a reserved
// device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9) before its extension.
std::string fixComponent(const std::string& component);
// The length of the volume or share root that `path` starts with, its separator included:
// C:\ and \\?\C:\, \\server\share\ and \\?\UNC\server\share\, or else the first component.
std::string::size_type volumeRootLength(const std::string& path);
// Whether `path` is no more than such a root ("C:", "C:\", "\\server\share").
bool isVolumeRoot(const std::string& path);
// Makes sure `directory` and every directory above it exist, repairing a read-only or
// inaccessible parent once each. Throws the system error when a level cannot be made.
// Levels start below the volume or share root (C:\a, then C:\a\b; \\server\share\a); that
// root is the parent of the first level and is never created, cleared of read-only nor
// given an access entry. A directory without '\', or a root itself, needs nothing.
void ensureLeadingPath(const std::string& directory);
