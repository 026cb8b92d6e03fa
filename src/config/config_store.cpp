#include "config/config_store.h"

#include "common/error.h"
#include "common/format.h"
#include "common/text.h"
#include "bignum/base36.h"
#include "io/fs.h"

#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

std::filesystem::path toPath(const std::string& utf8)
{
#ifdef _WIN32
    return std::filesystem::path(toWide(utf8));
#else
    return std::filesystem::path(utf8);
#endif
}

// The text between `first` and `end` (exclusive); empty when the line is too short to hold it.
std::string between(const std::string& line, std::size_t first, std::size_t end)
{
    if (first >= end || end > line.size())
        return std::string();
    return line.substr(first, end - first);
}

// Reads the whole file; false when it cannot be opened or read. A directory is not a
// readable file on either platform.
bool readWholeFile(const std::string& path, std::string& content)
{
    std::error_code ec;
    if (std::filesystem::is_directory(toPath(path), ec))
        return false;
    std::ifstream in(toPath(path), std::ios::binary);
    if (!in)
        return false;
    content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

} // namespace

ConfigStore::ConfigStore(const std::string& baseName)
    : cfgPath(baseName + ".cfg"), cfnPath(baseName + ".cfn"), cfoPath(baseName + ".cfo")
{
}

void ConfigStore::load()
{
    bool createdEmpty = false;
    for (;;) {
        strings.clear();
        integers.clear();
        lists.clear();
        try {
            parseFile(cfgPath);
            return;
        } catch (const EConfig&) {
            if (fileExists(cfoPath)) {
                deleteFile(cfgPath);
                renameFile(cfoPath, cfgPath);
                continue;
            }
            if (createdEmpty)
                throw;
            deleteFile(cfgPath);
            std::ofstream created(toPath(cfgPath), std::ios::binary | std::ios::trunc);
            if (!created)
                throw EConfig("Couldn't create empty configuration: " + cfgPath);
            createdEmpty = true;
        }
    }
}

void ConfigStore::parseFile(const std::string& path)
{
    std::string content;
    if (!readWholeFile(path, content))
        throw EConfig("Couldn't open configuration: " + path);

    std::size_t lineCount = 0;
    std::size_t start = 0;
    while (start < content.size()) {
        std::size_t end = content.find('\n', start);
        bool lineFeed = end != std::string::npos;
        if (!lineFeed)
            end = content.size();
        // Text mode: a carriage return before the line feed is not part of the line.
        std::size_t last = end;
        if (lineFeed && last > start && content[last - 1] == '\r')
            --last;
        parseLine(content.substr(start, last - start));
        ++lineCount;
        start = end + 1;
    }
    if (lineCount == 0)
        throw EConfig("Configuration held zero valid keys");
}

void ConfigStore::parseLine(const std::string& line)
{
    std::size_t keyStart = line.find_first_not_of(" \t");
    // A blank line counts as a comment.
    if (keyStart == std::string::npos || line[keyStart] == '#')
        return;
    std::size_t equals = line.find('=', keyStart);
    if (equals == std::string::npos)
        throw error::EParseError("Couldn't find = sign in config line");
    std::string key = line.substr(keyStart, equals - keyStart);

    // _list_name="value": one member of the list `name`.
    if (key.find("_list_") != std::string::npos) {
        std::string value = between(line, equals + 2, line.size() - 1);
        lists[key.substr(6)].insert(parseBase36(value));
        return;
    }
    // key="value": a string, decoded only when it is asked for.
    if (equals + 1 < line.size() && line[equals + 1] == '"') {
        strings.emplace(key, between(line, equals + 2, line.size() - 1));
        return;
    }
    integers.emplace(key, parseInt64(line.substr(equals + 1)));
}

std::string ConfigStore::getString(const std::string& key) const
{
    auto entry = strings.find(key);
    if (entry == strings.end())
        throw EConfig("Configuration key not found: " + key);
    try {
        return parseBase36(entry->second);
    } catch (const error::EParseError& e) {
        throw EConfig("Unable to read config value: " + e.fullText());
    }
}
