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
    // for a malformed line (then without any fallback). A previous generation that exists
    // but cannot be read throws EConfig and leaves both files as they are.
    void load();
    // Adds the entries of a configuration file's text, as load does with the file's; the
    // first entry of a key wins. Throws as load does for a malformed line, and EConfig when
    // the text holds no line at all.
    void parse(const std::string& content);

    // The decoded bytes of a string entry. Throws EConfig when the key is absent, its value
    // is not base-36 text, or the text is longer than `maxLength` (decoding a text takes
    // time that grows with the square of its length).
    std::string getString(const std::string& key, std::size_t maxLength = std::string::npos) const;

    const IntegerTable& integerEntries() const { return integers; }
    const ListTable& listEntries() const { return lists; }

    const std::string cfgPath;
    const std::string cfnPath;
    const std::string cfoPath;

private:
    void parseLine(const std::string& line);

    StringTable strings; // values still in base-36 text
    IntegerTable integers;
    ListTable lists; // values decoded
};
