#include "config/config_store.h"

#include "common/error.h"
#include "support.h"

#include <gtest/gtest.h>

#include <optional>
#include <typeinfo>

#ifdef _WIN32
#include "sys/handle.h"
#endif

namespace {

using support::exists;
using support::readFile;
using support::writeFile;
using Outcome = std::pair<const std::type_info*, std::string>; // a failure, or null and the value

// A store on "harbex" in a fresh directory, with its .cfg and .cfo written as given
// (nullopt: no such file).
class Store {
public:
    Store(std::optional<std::string> cfg, std::optional<std::string> cfo = std::nullopt) : store(dir / "harbex")
    {
        if (cfg)
            writeFile(store.cfgPath, *cfg);
        if (cfo)
            writeFile(store.cfoPath, *cfo);
    }
    // The load, then the value of `key`.
    Outcome load(const std::string& key = "DataKey")
    {
        std::string value;
        const Outcome failure = support::thrown([&] {
            store.load();
            value = store.getString(key);
        });
        return failure.first ? failure : Outcome(nullptr, value);
    }
    support::ScratchDir dir;
    ConfigStore store;
};

TEST(ConfigStore, StringValues)
{
    const std::type_info* refused = &typeid(EConfig);
    const struct {
        const char* what;
        std::string file;
        std::string key;
        Outcome expected;
    } cases[] = {
        {"comment and key", "# settings of the client\nDataKey=\"B\"\n", "DataKey", {nullptr, "\x01"}},
        {"first line wins", "DataKey=\"B\"\nDataKey=\"C\"\n", "DataKey", {nullptr, "\x01"}},
        {"blanks before = are part of the key", "DataKey =\"B\"\n", "DataKey ", {nullptr, "\x01"}},
        {"CRLF line ends", "# settings\r\nDataKey=\"AB\"\r\nOther=\"B\"\r\n", "DataKey", {nullptr, "\x24"}},
        {"blank lines", "\n   \n\t\r\nDataKey=\"B\"\n\n", "DataKey", {nullptr, "\x01"}},
        {"zero is no bytes", "DataKey=\"\"\n", "DataKey", {nullptr, ""}},
        {"zero byte inside", "DataKey=\"RUOB\"\n", "DataKey", {nullptr, std::string("\x01\x00\x01", 3)}},
        {"integer line of the same key", "DataKey=5\nDataKey=\"B\"\n", "DataKey", {nullptr, "\x01"}},
        {"other key", "DataKey=\"B\"\n", "Other", {refused, "Configuration key not found: Other"}},
        {"integer only", "DataKey=1\n", "DataKey", {refused, "Configuration key not found: DataKey"}},
        {"not base 36", "DataKey=\"B-C\"\n", "DataKey", {refused, "Unable to read config value: Error parsing: B-C"}},
        // Without the text-mode line ends, the closing quote would be part of the value.
        {"CR CR LF", "DataKey=\"B\"\r\r\n", "DataKey", {refused, "Unable to read config value: Error parsing: B\""}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Store(c.file).load(c.key), c.expected) << c.what;
}

TEST(ConfigStore, IntegerAndListValues)
{
    Store s("Count=42\nNegative=-7\nSpaced= 12\nHex=0x10\nWord=abc\nEmpty=\nFirst=1\nFirst=2\n"
            "Trailing=15 apples\r\nText=\"B\"\n_list_servers=\"B\"\n_list_servers=\"C\"\n_list_servers=\"B\"\n"
            "\t_list_names=\"U3U\"\r\n_list_empty=\"\"\n");
    s.store.load();
    const ConfigStore::IntegerTable integers = {
        {"Count", 42}, {"Negative", -7}, {"Spaced", 12}, {"Hex", 16},
        {"Word", 0},   {"Empty", 0},     {"First", 1},   {"Trailing", 15},
    };
    EXPECT_EQ(s.store.integerEntries(), integers);
    const ConfigStore::ListTable lists = {{"servers", {"\x01", "\x02"}}, {"names", {"hi"}}, {"empty", {""}}};
    EXPECT_EQ(s.store.listEntries(), lists);

    support::expectThrows<EConfig>([&] { s.store.getString("Text", 0); },
                                   "Configuration value too long: Text holds 1 characters, at most 0");

    writeFile(s.store.cfgPath, "Other=\"C\"\n"); // a second load starts from empty tables
    EXPECT_EQ(s.load("Other"), Outcome(nullptr, "\x02"));
    EXPECT_TRUE(s.store.integerEntries().empty());
    EXPECT_TRUE(s.store.listEntries().empty());
}

// The current file, else its previous generation, else an empty current file; a malformed
// line stops the load without a fallback.
TEST(ConfigStore, Generations)
{
    const std::string previous = "# previous\r\nDataKey=\"C\"\r\n";
    const Outcome none(&typeid(EConfig), "Configuration held zero valid keys");
    const Outcome noSign(&typeid(error::EParseError), "Couldn't find = sign in config line");
    const struct {
        const char* what;
        std::optional<std::string> cfg, cfo;
        Outcome expected;
        std::string cfgAfter;
        std::optional<std::string> cfoAfter;
    } cases[] = {
        {"missing file", std::nullopt, previous, {nullptr, "\x02"}, previous, std::nullopt},
        {"empty file", "", previous, {nullptr, "\x02"}, previous, std::nullopt},
        {"readable file", "DataKey=\"B\"\n", previous, {nullptr, "\x01"}, "DataKey=\"B\"\n", previous},
        {"no files", std::nullopt, std::nullopt, none, "", std::nullopt},
        {"empty file alone", "", std::nullopt, none, "", std::nullopt},
        {"empty previous generation", std::nullopt, "", none, "", std::nullopt},
        {"both empty", "", "", none, "", std::nullopt},
        {"line without =", "# settings\nDataKey\n", previous, noSign, "# settings\nDataKey\n", previous},
        {"text line after a key", "DataKey=\"B\"\n   just text\n", previous, noSign, "DataKey=\"B\"\n   just text\n",
         previous},
        {"list not base 36",
         "_list_servers=\"B!\"\n",
         previous,
         {&typeid(error::EParseError), "Error parsing: B!"},
         "_list_servers=\"B!\"\n",
         previous},
        {"malformed previous generation", std::nullopt, "DataKey\n", noSign, "DataKey\n", std::nullopt},
    };
    for (const auto& c : cases) {
        Store s(c.cfg, c.cfo);
        EXPECT_EQ(s.load(), c.expected) << c.what;
        EXPECT_EQ(readFile(s.store.cfgPath), c.cfgAfter) << c.what;
        EXPECT_EQ(exists(s.store.cfoPath) ? std::optional(readFile(s.store.cfoPath)) : std::nullopt, c.cfoAfter)
            << c.what;
        EXPECT_FALSE(exists(s.store.cfnPath)) << c.what;
    }
}

// A store whose current file cannot be used and whose previous generation exists but cannot
// be read: the load fails with that reason and neither file is touched.
void expectBothGenerationsKept(Store& s)
{
    const std::string start = "Couldn't open configuration: " + s.store.cfoPath + ": ";
    const Outcome outcome = s.load();
    EXPECT_EQ(outcome.first, &typeid(EConfig));
    EXPECT_EQ(outcome.second.substr(0, start.size()), start);
    EXPECT_EQ(readFile(s.store.cfgPath), "");
    EXPECT_TRUE(exists(s.store.cfoPath));
}

TEST(ConfigStore, UnusableFilesAreLeftAsTheyAre)
{
    Store unreadable("");
    std::filesystem::create_directory(support::toPath(unreadable.store.cfoPath));
    expectBothGenerationsKept(unreadable);

    Store directory(std::nullopt);
    std::filesystem::create_directory(support::toPath(directory.store.cfgPath));
    EXPECT_EQ(directory.load(),
              Outcome(&typeid(error::ESystemError), "Attempt to delete file '" + directory.store.cfgPath +
                                                        "' failed.: " + error::systemErrorText(5)));
}

#ifdef _WIN32

TEST(ConfigStore, EmptyFileThatCannotBeCreated)
{
    Store s("DataKey=\"B\"\n");
    // Held without sharing: neither readable nor replaceable. Deleting it is made to
    // succeed so that the store goes on to create it.
    sys::UniqueHandle held(
        sys::calls.CreateFileW(toWide(s.store.cfgPath).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held.valid());
    auto pretend = support::replaced(
        sys::calls.DeleteFileW, +[](LPCWSTR) -> BOOL { return TRUE; });
    EXPECT_EQ(s.load(), Outcome(&typeid(EConfig), "Couldn't create empty configuration: " + s.store.cfgPath));
}

TEST(ConfigStore, LockedOrRefusedPreviousGenerationKeepsBothFiles)
{
    {
        Store s("", "DataKey=\"C\"\n");
        // Held by another without sharing.
        sys::UniqueHandle held(sys::calls.CreateFileW(toWide(s.store.cfoPath).c_str(), GENERIC_READ, 0, nullptr,
                                                      OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held.valid());
        expectBothGenerationsKept(s);
    }
    Store s("", "DataKey=\"C\"\n");
    // Readable by nobody but an administrator, as Windows answers.
    auto refused = support::replaced(
        sys::calls.CreateFileW,
        +[](LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
            HANDLE model) -> HANDLE {
            if (std::wstring(name).ends_with(L".cfo")) {
                ::SetLastError(ERROR_ACCESS_DENIED);
                return INVALID_HANDLE_VALUE;
            }
            return ::CreateFileW(name, access, share, security, disposition, flags, model);
        });
    expectBothGenerationsKept(s);
    EXPECT_EQ(readFile(s.store.cfoPath), "DataKey=\"C\"\n");
}

#else

TEST(ConfigStore, EmptyFileThatCannotBeCreated)
{
    // Nothing can be created in /proc, and there is nothing to delete there.
    ConfigStore store("/proc/harbex-config-test");
    EXPECT_EQ(support::thrown([&] { store.load(); }),
              Outcome(&typeid(EConfig), "Couldn't create empty configuration: /proc/harbex-config-test.cfg"));
}

#endif

} // namespace
