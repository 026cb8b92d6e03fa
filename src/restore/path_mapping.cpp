// Stored object names to Windows paths. Portable: no Windows call is needed to map a name.
#include "common/text.h"
#include "restore/paths.h"

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
    case '|':
        return true;
    default:
        return c < 32;
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

} // namespace

std::string mapPath(const FileMetaVariant& meta, const std::string& root)
{
    if (meta.ntfs())
        return mapWindowsName(meta.storedName(), root);
    return mapForeignName(meta.storedName(), root);
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
