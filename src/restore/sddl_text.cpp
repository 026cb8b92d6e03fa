// The text step of giving the local system account full access: portable, so that the
// insertion is checked without Windows.
#include "restore/security.h"

namespace {
const char kSystemFullAccess[] = "(A;OICI;FA;;;S-1-5-18)";
}

// The new entry goes before the first entry of the DACL, so the DACL flags written after
// "D:" (P, AI, AR, NO_ACCESS_CONTROL) stay in front of it. An empty DACL followed by a SACL
// part gets the entry before "S:", not inside the SACL. Text without a "D:" part describes
// no DACL; it is returned unchanged rather than given a DACL that would hold only the system
// entry (and so shut everybody else out of an object that had no access control at all).
std::string withSystemFullAccess(const std::string& sddl)
{
    const std::string::size_type dacl = sddl.find("D:");
    if (dacl == std::string::npos)
        return sddl;
    std::string::size_type entries = sddl.find('(', dacl + 2);
    const std::string::size_type sacl = sddl.find("S:", dacl + 2);
    if (sacl < entries)
        entries = sacl;
    if (entries == std::string::npos)
        entries = sddl.size();
    std::string out = sddl;
    out.insert(entries, kSystemFullAccess);
    return out;
}
