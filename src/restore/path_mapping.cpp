// Stored object names to Windows paths. Portable: no Windows call is needed to map a name.
#include "common/error.h"
#include "common/text.h"
#include "restore/paths.h"

#include <string_view>
#include <vector>

namespace {

// Characters that Windows refuses in a file name, apart from the separator.
bool forbiddenInName(unsigned char c)
{
    switch (c) {
    case '"':
    case '*':
    case '/':
    case ':':
    case '<':
    case '>':
    case '?':
    case '|': return true;
    default: return c < 32;
    }
}

bool isReservedDeviceName(const std::string& base)
{
    static const char* const threeLetters[] = {"CON", "PRN", "AUX", "NUL"};
    const std::string upper = toUpper(base);
    if (upper.size() == 3) {
        for (const char* name : threeLetters)
            if (upper == name)
                return true;
        return false;
    }
    if (upper.size() == 4) {
        const std::string stem = upper.substr(0, 3);
        return (stem == "COM" || stem == "LPT") && upper[3] >= '1' && upper[3] <= '9';
    }
    return false;
}

std::string mapWindowsName(const std::string& name, const std::string& root)
{
    if (root.empty())
        return name;
    if (name.size() > 1 && name[1] == ':')
        return root + "\\Drive_" + name[0] + name.substr(2);
    return root + "\\" + name;
}

// A name from a system whose separator is '/' and which allows every byte but '/' and 0.
std::string mapForeignName(const std::string& name, const std::string& root)
{
    std::string text = !name.empty() && name[0] == '/' ? name.substr(1) : name;
    for (char& c : text) {
        if (c == '\\')
            c = '_';
        else if (c == '/')
            c = '\\';
    }
    std::string joined;
    bool first = true;
    for (const std::string& component : split(escapeName(text), '\\', true)) {
        if (!first)
            joined += '\\';
        joined += fixComponent(component);
        first = false;
    }
    return root + "\\" + joined;
}

// "C:\" and "\\server\share\" name the same place as "C:" and "\\server\share": a root's
// trailing backslash is dropped so that both map alike.
std::string withoutTrailingBackslash(const std::string& root)
{
    std::string::size_type end = root.size();
    while (end > 1 && root[end - 1] == '\\')
        --end;
    return root.substr(0, end);
}

// A "." or ".." component would make Windows climb out of the directory the name is
// restored into; '/' separates components for Windows as well.
bool hasDotComponent(const std::string& path)
{
    std::string::size_type start = 0;
    for (std::string::size_type i = 0; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '\\' && path[i] != '/')
            continue;
        const std::string_view component(path.data() + start, i - start);
        if (component == "." || component == "..")
            return true;
        start = i + 1;
    }
    return false;
}

} // namespace

std::string mapPath(const FileMetaVariant& meta, const std::string& root)
{
    const std::string& name = meta.storedName();
    // Windows would cut the name at the NUL and restore the object over another one.
    if (name.find('\0') != std::string::npos)
        throw ERestore("Stored name holds a NUL character");
    const std::string base = withoutTrailingBackslash(root);
    std::string path = meta.ntfs() ? mapWindowsName(name, base) : mapForeignName(name, base);
    if (hasDotComponent(path))
        throw ERestore("Restore path " + path + " has a \".\" or \"..\" component");
    return path;
}

std::string escapeName(const std::string& name)
{
    static const char hexDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(name.size());
    for (char c : name) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte != '_' && !forbiddenInName(byte)) {
            out += c;
            continue;
        }
        out += '_';
        out += hexDigits[byte >> 4];
        out += hexDigits[byte & 0xF];
    }
    return out;
}

std::string fixComponent(const std::string& component)
{
    if (!component.empty() && (component.back() == ' ' || component.back() == '.')) {
        std::string out = component;
        out.back() = '_';
        return out;
    }
    const std::string::size_type dot = component.find('.');
    const std::string base = component.substr(0, dot);
    if (!isReservedDeviceName(base))
        return component;
    const std::string extension = dot == std::string::npos ? std::string() : component.substr(dot);
    return base + "_" + extension;
}

std::string::size_type volumeRootLength(const std::string& path)
{
    std::string::size_type start = 0;
    if (path.rfind("\\\\?\\UNC\\", 0) == 0)
        start = 8;
    else if (path.rfind("\\\\?\\", 0) == 0)
        start = 4;
    else if (path.rfind("\\\\", 0) == 0)
        start = 2;
    if (start == 8 || start == 2) {
        // \\server\share\ (or \\?\UNC\server\share\): the share is the root.
        const std::string::size_type server = path.find('\\', start);
        if (server == std::string::npos)
            return path.size();
        const std::string::size_type share = path.find('\\', server + 1);
        return share == std::string::npos ? path.size() : share + 1;
    }
    // C:\ (or \\?\C:\), or the first component of any other path.
    const std::string::size_type first = path.find('\\', start);
    return first == std::string::npos ? path.size() : first + 1;
}

bool isVolumeRoot(const std::string& path)
{
    const bool rooted = (path.size() >= 2 && path[1] == ':') || path.rfind("\\\\", 0) == 0;
    return rooted && volumeRootLength(path) >= path.size();
}
