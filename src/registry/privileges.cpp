#include "registry/privileges.h"

#include "common/error.h"
#include "common/log.h"
#include "common/text.h"
#include "sys/handle.h"
#include "sys/syscalls.h"

std::vector<bool> enablePrivileges(const std::vector<Privilege>& privileges)
{
    HANDLE opened = nullptr;
    if (!sys::calls.OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &opened))
        error::throwSystemError(error::lastErrorCode(), "Cannot get current process token");
    sys::UniqueHandle token(opened);

    std::vector<LUID> values(privileges.size());
    for (std::size_t i = 0; i < privileges.size(); ++i)
        if (!sys::calls.LookupPrivilegeValueW(nullptr, privileges[i].name, &values[i]))
            error::throwSystemError(error::lastErrorCode(), privileges[i].lookUpFailure);

    std::vector<bool> held;
    for (std::size_t i = 0; i < privileges.size(); ++i) {
        TOKEN_PRIVILEGES wanted{};
        wanted.PrivilegeCount = 1;
        wanted.Privileges[0].Luid = values[i];
        wanted.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        if (!sys::calls.AdjustTokenPrivileges(token.get(), FALSE, &wanted, 0, nullptr, nullptr))
            error::throwSystemError(error::lastErrorCode(), privileges[i].enableFailure);
        const bool enabled = error::lastErrorCode() != ERROR_NOT_ALL_ASSIGNED;
        if (!enabled)
            logAt(1, "The process token does not hold " + toUtf8(privileges[i].name) + ": it is not enabled");
        held.push_back(enabled);
    }
    return held;
}
