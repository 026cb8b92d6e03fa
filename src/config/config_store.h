#pragma once
// The client's configuration file: key=value lines under a base name with the extensions
// .cfg (current), .cfn (next, never opened here) and .cfo (previous generation). String
// and list values are kept in base-36 text in the file.
#include <cstdint>
#include <map>
#include <set>
#include <string>

class ConfigStore {
public:
    using StringTable = std::map<std::string, std::string>;
    using IntegerTable = std::map<std::string, std::int64_t>;
    using ListTable = std::map<std::string, std::set<std::string>>;

    explicit ConfigStore(const std::string& baseName);

    // Reads the current file, falling back to the previous generation, and recreating an
    // empty current file when neither can be read. Throws EConfig, or error::EParseError
    // for a malformed line (then without any fallback).
    void load();

    // The decoded bytes of a string entry. Throws EConfig when the key is absent or its
    // value is not base-36 text.
    std::string getString(const std::string& key) const;

    const IntegerTable& integerEntries() const { return integers; }
    const ListTable& listEntries() const { return lists; }

    const std::string cfgPath;
    const std::string cfnPath;
    const std::string cfoPath;

private:
    void parseFile(const std::string& path);
    void parseLine(const std::string& line);

    StringTable strings;   // values still in base-36 text
    IntegerTable integers;
    ListTable lists;       // values decoded
};
