// The text step of giving the local system account full access: portable, so that the
// insertion is checked without Windows.
#include "restore/security.h"

#include <algorithm>

namespace {
const char kSystemFullAccess[] = "(A;OICI;FA;;;S-1-5-18)";
}

// The new entry goes before the first entry of the DACL, so the DACL flags written after
// "D:" (P, AI, AR) stay in front of it. An empty DACL followed by a SACL part gets the entry
// before "S:", not inside the SACL.
// Text without a "D:" part (no DACL) and a DACL of NO_ACCESS_CONTROL (a null DACL, which
// already lets everybody in) are returned unchanged: given a DACL that held only the system
// entry, such an object would shut everybody else out.
std::string withSystemFullAccess(const std::string& sddl)
{
    const std::string::size_type dacl = sddl.find("D:");
    if (dacl == std::string::npos)
        return sddl;
    const std::string::size_type flags = dacl + 2;
    std::string::size_type entries = std::min(sddl.find('(', flags), sddl.find("S:", flags));
    if (entries == std::string::npos)
        entries = sddl.size();
    if (sddl.substr(flags, entries - flags).find("NO_ACCESS_CONTROL") != std::string::npos)
        return sddl;
    std::string out = sddl;
    out.insert(entries, kSystemFullAccess);
    return out;
}
