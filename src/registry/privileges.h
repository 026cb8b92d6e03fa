#pragma once
// Enabling privileges in the worker's process token: what restoring owners, SACLs and
// files the worker may not otherwise write needs, and what loading hives and opening keys
// for backup and restore needs.
#include <string>
#include <vector>

// One privilege, with the texts that name its failing steps.
struct Privilege {
    const wchar_t* name;       // "SeRestorePrivilege", say
    const char* lookUpFailure; // when Windows does not know the name
    const char* enableFailure; // when Windows refuses to adjust the token
};

// Looks every privilege up, then enables each in turn. For each, whether the token holds
// it: Windows enables nothing for a privilege the token lacks (an unelevated run) and still
// says yes, which gives a level-1 line naming it. Throws the system error of the step that
// failed; the token is closed on every path.
std::vector<bool> enablePrivileges(const std::vector<Privilege>& privileges);
