#pragma once
// Windows security of restored objects: a whole descriptor from SDDL, or only the owner,
// and full access for the local system account on a directory the worker must write in.
#include <string>

// Applies owner, group, DACL and SACL, as present in the SDDL text, to `path`; the SACL only
// when `systemSecurity` says that the process holds the security privilege, without which
// Windows refuses the whole set. Bad SDDL and a refused set are logged; a part of a
// converted descriptor that cannot be read throws.
void applySecurityDescriptor(const std::string& path, const std::string& sddl, bool systemSecurity = true);
// Sets the owner of `path` to the account of that name; every failure is logged.
void restoreOwner(const std::string& path, const std::string& accountName);
// Puts "(A;OICI;FA;;;S-1-5-18)" first in the DACL of `directory`.
void grantSystemFullAccess(const std::string& directory);
// The SDDL text with the local system account's full-access entry inserted as the first
// entry of its DACL, after the DACL flags (and before "S:" when the DACL is empty). Text
// without a DACL part, or with a null DACL (NO_ACCESS_CONTROL), is returned unchanged; the
// caller then finds no usable DACL and throws.
std::string withSystemFullAccess(const std::string& sddl);
