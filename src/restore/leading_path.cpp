// Creation of the directories above a restored object, with the repair of a read-only or
// inaccessible parent. Every Windows call goes through sys::calls.
#include "common/error.h"
#include "common/log.h"
#include "io/fs.h"
#include "restore/paths.h"
#include "restore/security.h"
#include "sys/syscalls.h"

namespace {

// Clears the read-only attribute of `parent`, which may be what refuses a new
// subdirectory. Failures are only logged: the next attempt to create tells.
void clearReadOnly(const std::string& parent)
{
    const std::wstring wide = longPathW(parent);
    const DWORD attributes = sys::calls.GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const std::string reason = error::lastErrorText();
        logAt(1, "Unable to retrieve file attributes for path " + parent + ": " + reason);
        return;
    }
    if ((attributes & FILE_ATTRIBUTE_READONLY) == 0)
        return;
    if (!sys::calls.SetFileAttributesW(wide.c_str(), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY))) {
        const std::string reason = error::lastErrorText();
        logAt(1, "Unable to clear read only attributte on directory " + parent + ": " + reason);
    }
}

// Creates `current` unless it exists. A refusal is answered once by clearing the parent's
// read-only attribute and once by giving the local system account full access to the
// parent; a third refusal, or any other failure, throws. A volume or share root is never
// repaired: its attributes and access list belong to the whole volume.
void createLevel(const std::string& current, const std::string& parent, bool parentIsRoot)
{
    const std::wstring wide = longPathW(current);
    bool parentRepaired = false;
    bool accessAdded = false;
    for (;;) {
        if (sys::calls.CreateDirectoryW(wide.c_str(), nullptr))
            return;
        const DWORD code = GetLastError();
        if (code == ERROR_ALREADY_EXISTS)
            return;
        if (code != ERROR_ACCESS_DENIED || parentIsRoot || (parentRepaired && accessAdded))
            error::throwSystemError(code, "Cannot create leading path \"" + current + "\"");
        if (!parentRepaired) {
            clearReadOnly(parent);
            parentRepaired = true;
            continue;
        }
        logAt(2, "Not allowed to create leading path " + current + " - will add ACE to " + parent);
        grantSystemFullAccess(parent);
        accessAdded = true;
    }
}

} // namespace

// The walk starts below the volume or share root (C:\a, then C:\a\b); the parent of the
// first level is that root, which is never created nor repaired, and every further level
// has the level before it.
void ensureLeadingPath(const std::string& directory)
{
    const std::string::size_type root = volumeRootLength(directory);
    if (root >= directory.size())
        return;
    std::string parent = directory.substr(0, root);
    bool parentIsRoot = true;
    std::string::size_type separator = root - 1;
    for (;;) {
        const std::string::size_type next = directory.find('\\', separator + 1);
        const bool last = next == std::string::npos;
        const std::string current = directory.substr(0, last ? directory.size() : next);
        // A trailing or doubled separator names no level of its own.
        if (current.size() > separator + 1)
            createLevel(current, parent, parentIsRoot);
        if (last || next + 1 == directory.size())
            return;
        parent = current;
        parentIsRoot = false;
        separator = next;
    }
}
