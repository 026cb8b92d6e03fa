// The parts of the file-system helpers that do not depend on the system.
#include "io/fs.h"

#include "common/text.h"

int versionCategory(unsigned major, unsigned minor, bool is64Bit)
{
    if (major == 5 && minor == 0)
        return 0;
    int bits = is64Bit ? 1 : 0;
    if (major == 5 && minor == 1)
        return 1 + bits;
    if (major == 5 && minor == 2)
        return 3 + bits;
    if (major == 6 && minor == 0)
        return 5 + bits;
    if (major == 6)
        return 7 + bits;
    return 9;
}

std::wstring longPathW(const std::string& path, int category)
{
    // Windows 2000 does not know the prefix.
    if (category == 0)
        return toWide(path);
    bool driveAbsolute = path.size() > 2 && path[1] == ':' && path[2] == '\\';
    if (!driveAbsolute)
        return toWide(path);
    return toWide("\\\\?\\" + path);
}

std::wstring longPathW(const std::string& path)
{
    return longPathW(path, windowsVersionCategory());
}
