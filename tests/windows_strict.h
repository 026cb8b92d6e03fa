#pragma once
// Windows as it answers where Wine is lenient. While a WindowsStrict lives, the system-call
// table refuses what a real Windows refuses:
// - creating a directory on a volume or share root: ERROR_ACCESS_DENIED (Wine: 183);
// - opening an existing read-only file for writing, replacing or deleting one:
//   ERROR_ACCESS_DENIED (Wine allows it);
// - the token holds only the privileges given: enabling another one succeeds with
//   ERROR_NOT_ALL_ASSIGNED (Wine's token holds every privilege), and ACCESS_SYSTEM_SECURITY
//   or setting a SACL without the security privilege enabled is ERROR_PRIVILEGE_NOT_HELD.
// Every other call goes to Wine unchanged.
#include "common/text.h"
#include "sys/syscalls.h"

#include <windows.h>

#include <set>
#include <string>

namespace windows_strict {

struct Token {
    std::set<std::wstring> held;    // privilege names the token holds
    std::set<std::wstring> enabled; // those enabled so far
};
inline Token token;

inline bool isReadOnlyFile(LPCWSTR path)
{
    const DWORD attributes = ::GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
           !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// "C:", "C:\", "\\?\C:\", "\\server\share\", "\\?\UNC\server\share".
inline bool isRoot(std::wstring path)
{
    while (!path.empty() && path.back() == L'\\')
        path.pop_back();
    if (path.rfind(L"\\\\?\\UNC\\", 0) == 0)
        path = L"\\\\" + path.substr(8);
    else if (path.rfind(L"\\\\?\\", 0) == 0)
        path = path.substr(4);
    if (path.size() == 2 && path[1] == L':')
        return true;
    const std::size_t server = path.rfind(L"\\\\", 0) == 0 ? path.find(L'\\', 2) : std::wstring::npos;
    return server != std::wstring::npos && path.find(L'\\', server + 1) == std::wstring::npos;
}

inline bool securityEnabled()
{
    return token.enabled.count(L"SeSecurityPrivilege") != 0;
}

template <class R>
R refused(DWORD code, R answer)
{
    ::SetLastError(code);
    return answer;
}

inline BOOL WINAPI createDirectory(LPCWSTR path, LPSECURITY_ATTRIBUTES attributes)
{
    return isRoot(path) ? refused<BOOL>(ERROR_ACCESS_DENIED, FALSE) : ::CreateDirectoryW(path, attributes);
}

inline HANDLE WINAPI createFile(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                DWORD disposition, DWORD flags, HANDLE templateFile)
{
    if ((access & ACCESS_SYSTEM_SECURITY) && !securityEnabled())
        return refused(ERROR_PRIVILEGE_NOT_HELD, INVALID_HANDLE_VALUE);
    if ((access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA)) && isReadOnlyFile(path))
        return refused(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    return ::CreateFileW(path, access, share, security, disposition, flags, templateFile);
}

inline BOOL WINAPI moveFile(LPCWSTR from, LPCWSTR to, DWORD flags)
{
    if (to != nullptr && !(flags & MOVEFILE_DELAY_UNTIL_REBOOT) && isReadOnlyFile(to))
        return refused<BOOL>(ERROR_ACCESS_DENIED, FALSE);
    return ::MoveFileExW(from, to, flags);
}

inline BOOL WINAPI deleteFile(LPCWSTR path)
{
    return isReadOnlyFile(path) ? refused<BOOL>(ERROR_ACCESS_DENIED, FALSE) : ::DeleteFileW(path);
}

inline BOOL WINAPI adjustPrivileges(HANDLE handle, BOOL disableAll, PTOKEN_PRIVILEGES state, DWORD length,
                                    PTOKEN_PRIVILEGES previous, PDWORD returned)
{
    bool all = true;
    for (DWORD i = 0; state != nullptr && i < state->PrivilegeCount; ++i) {
        wchar_t name[64];
        DWORD size = 64;
        if (!::LookupPrivilegeNameW(nullptr, &state->Privileges[i].Luid, name, &size) || token.held.count(name) == 0)
            all = false;
        else if (state->Privileges[i].Attributes & SE_PRIVILEGE_ENABLED)
            token.enabled.insert(name);
    }
    if (!::AdjustTokenPrivileges(handle, disableAll, state, length, previous, returned))
        return FALSE;
    ::SetLastError(all ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED);
    return TRUE;
}

inline DWORD WINAPI setNamedSecurity(LPWSTR path, SE_OBJECT_TYPE type, SECURITY_INFORMATION info, PSID owner,
                                     PSID group, PACL dacl, PACL sacl)
{
    if ((info & SACL_SECURITY_INFORMATION) && !securityEnabled())
        return ERROR_PRIVILEGE_NOT_HELD;
    return ::SetNamedSecurityInfoW(path, type, info, owner, group, dacl, sacl);
}

// An elevated token holds the backup, restore and security privileges; an unelevated one
// none of them. Nothing is enabled until the code under test enables it, except where
// `enabledAlready` says so (code that runs after the driver enabled them).
class WindowsStrict {
public:
    explicit WindowsStrict(bool elevated = true, bool enabledAlready = false)
    {
        token = Token();
        if (elevated)
            token.held = {L"SeSecurityPrivilege", L"SeRestorePrivilege", L"SeBackupPrivilege"};
        if (enabledAlready)
            token.enabled = token.held;
    }

private:
    sys::Override<decltype(sys::calls.CreateDirectoryW)> createDirectory_{sys::calls.CreateDirectoryW, createDirectory};
    sys::Override<decltype(sys::calls.CreateFileW)> createFile_{sys::calls.CreateFileW, createFile};
    sys::Override<decltype(sys::calls.MoveFileExW)> moveFile_{sys::calls.MoveFileExW, moveFile};
    sys::Override<decltype(sys::calls.DeleteFileW)> deleteFile_{sys::calls.DeleteFileW, deleteFile};
    sys::Override<decltype(sys::calls.AdjustTokenPrivileges)> adjust_{sys::calls.AdjustTokenPrivileges,
                                                                      adjustPrivileges};
    sys::Override<decltype(sys::calls.SetNamedSecurityInfoW)> security_{sys::calls.SetNamedSecurityInfoW,
                                                                        setNamedSecurity};
};

} // namespace windows_strict
