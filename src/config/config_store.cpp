#include "config/config_store.h"

#include "common/error.h"
#include "common/format.h"
#include "common/text.h"
#include "bignum/base36.h"
#include "io/errors.h"
#include "io/fs.h"
#include "io/seq_file_reader.h"

#include <filesystem>
#include <fstream>

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

// The whole file. A file that cannot be opened or read (missing, a directory, locked,
// refused) throws EConfig with the reason.
std::string readConfigFile(const std::string& path)
{
    std::string content;
    try {
        SeqFileReader file(path);
        for (;;)
            file.readInto(content);
    } catch (const io::EEndOfStream&) {
        return content;
    } catch (const error::Exception& e) {
        throw EConfig("Couldn't open configuration: " + path + ": " + e.fullText());
    }
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
            parse(readConfigFile(cfgPath));
            return;
        } catch (const EConfig&) {
            if (fileExists(cfoPath)) {
                // The previous generation takes the current one's place only once it is
                // known to be readable: one that is not leaves both files as they are.
                readConfigFile(cfoPath);
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

void ConfigStore::parse(const std::string& content)
{
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

std::string ConfigStore::getString(const std::string& key, std::size_t maxLength) const
{
    auto entry = strings.find(key);
    if (entry == strings.end())
        throw EConfig("Configuration key not found: " + key);
    if (entry->second.size() > maxLength)
        throw EConfig("Configuration value too long: " + key + " holds " + formatUnsigned64(entry->second.size()) +
                      " characters, at most " + formatUnsigned64(maxLength));
    try {
        return parseBase36(entry->second);
    } catch (const error::EParseError& e) {
        throw EConfig("Unable to read config value: " + e.fullText());
    }
}
