#include "config/config_store.h"

#include "common/error.h"
#include "io/temp_dir.h"

#include <gtest/gtest.h>

#include <optional>

#ifdef _WIN32
#include "common/text.h"
#include "sys/handle.h"
#include "sys/syscalls.h"
#endif

namespace {

using testing_fs::exists;
using testing_fs::readFile;
using testing_fs::TempDir;
using testing_fs::writeFile;

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
    TempDir dir;
    ConfigStore store;
};

TEST(ConfigStore, PathsFollowTheBaseName)
{
    ConfigStore store("harbex");
    EXPECT_EQ(store.cfgPath, "harbex.cfg");
    EXPECT_EQ(store.cfnPath, "harbex.cfn");
    EXPECT_EQ(store.cfoPath, "harbex.cfo");
}

TEST(ConfigStore, StringValues)
{
    struct Case {
        const char* what;
        std::string file;
        std::string key;
        std::string expected;
    };
    const Case cases[] = {
        {"comment and key", "# settings of the client\nDataKey=\"B\"\n", "DataKey", "\x01"},
        {"first line wins", "DataKey=\"B\"\nDataKey=\"C\"\n", "DataKey", "\x01"},
        {"tabs and blanks before the key", "\t\t DataKey=\"C\"\n", "DataKey", "\x02"},
        {"blanks before = are part of the key", "DataKey =\"B\"\n", "DataKey ", "\x01"},
        {"blanks inside the key", "Data Key=\"AB\"\n", "Data Key", "\x24"},
        {"CRLF line ends", "# settings\r\nDataKey=\"AB\"\r\nOther=\"B\"\r\n", "DataKey", "\x24"},
        {"no line feed at the end", "DataKey=\"AB\"", "DataKey", "\x24"},
        {"blank lines are comments", "\n   \n\t\r\nDataKey=\"B\"\n\n", "DataKey", "\x01"},
        {"commented-out key", "#DataKey=\"C\"\nDataKey=\"B\"\n", "DataKey", "\x01"},
        {"high zero digit adds no byte", "DataKey=\"BA\"\n", "DataKey", "\x01"},
        {"zero is no bytes", "DataKey=\"\"\n", "DataKey", ""},
        {"decodes to a text", "Name=\"U3U\"\n", "Name", "hi"},
        {"two-byte value", "DataKey=\"FH\"\n", "DataKey", "\x01\x01"},
        {"zero byte inside", "DataKey=\"RUOB\"\n", "DataKey", std::string("\x01\x00\x01", 3)},
        {"integer line of the same key", "DataKey=5\nDataKey=\"B\"\n", "DataKey", "\x01"},
    };
    for (const Case& c : cases) {
        Store s(c.file);
        s.store.load();
        EXPECT_EQ(s.store.getString(c.key), c.expected) << c.what;
    }
}

TEST(ConfigStore, IntegerValues)
{
    Store s("Count=42\nNegative=-7\nSpaced= 12\nHex=0x10\nWord=abc\nEmpty=\nFirst=1\nFirst=2\n"
            "Trailing=15 apples\r\nText=\"B\"\n");
    s.store.load();
    const ConfigStore::IntegerTable expected = {
        {"Count", 42}, {"Negative", -7}, {"Spaced", 12}, {"Hex", 16},
        {"Word", 0},   {"Empty", 0},     {"First", 1},   {"Trailing", 15},
    };
    EXPECT_EQ(s.store.integerEntries(), expected);
    EXPECT_THROW(s.store.getString("Count"), EConfig);
}

TEST(ConfigStore, ListValuesAreDecodedOnceEach)
{
    Store s("_list_servers=\"B\"\n_list_servers=\"C\"\n_list_servers=\"B\"\n\t_list_names=\"U3U\"\r\n"
            "_list_empty=\"\"\n");
    s.store.load();
    const ConfigStore::ListTable expected = {
        {"servers", {"\x01", "\x02"}},
        {"names", {"hi"}},
        {"empty", {""}},
    };
    EXPECT_EQ(s.store.listEntries(), expected);
    EXPECT_TRUE(s.store.integerEntries().empty());
}

TEST(ConfigStore, ReadingValuesThatAreNotThere)
{
    struct Case {
        std::string file, key, error;
    };
    const Case cases[] = {
        {"DataKey=\"B\"\n", "Other", "Configuration key not found: Other"},
        {"DataKey=\"B\"\n", "datakey", "Configuration key not found: datakey"},
        {"DataKey =\"B\"\n", "DataKey", "Configuration key not found: DataKey"},
        {"\n \n", "DataKey", "Configuration key not found: DataKey"},
        {"DataKey=1\n", "DataKey", "Configuration key not found: DataKey"},
        {"DataKey=\"b\"\n", "DataKey", "Unable to read config value: Error parsing: b"},
        {"DataKey=\"B-C\"\n", "DataKey", "Unable to read config value: Error parsing: B-C"},
        // Without the text-mode line ends, the closing quote would be part of the value.
        {"DataKey=\"B\"\r\r\n", "DataKey", "Unable to read config value: Error parsing: B\""},
    };
    for (const Case& c : cases) {
        Store s(c.file);
        s.store.load();
        try {
            s.store.getString(c.key);
            ADD_FAILURE() << "no exception for " << c.key << " in " << c.file;
        } catch (const EConfig& e) {
            EXPECT_EQ(e.fullText(), c.error);
        }
    }
}

TEST(ConfigStore, MalformedLinesStopTheLoadWithoutFallback)
{
    struct Case {
        std::string file, error;
    };
    const Case cases[] = {
        {"# settings\nDataKey\n", "Couldn't find = sign in config line"},
        {"DataKey=\"B\"\n   just text\n", "Couldn't find = sign in config line"},
        {"_list_servers=\"B!\"\n", "Error parsing: B!"},
        {"_list_servers=\"b\"\n", "Error parsing: b"},
    };
    const std::string previous = "DataKey=\"C\"\n";
    for (const Case& c : cases) {
        Store s(c.file, previous);
        try {
            s.store.load();
            ADD_FAILURE() << "no exception for " << c.file;
        } catch (const error::EParseError& e) {
            EXPECT_EQ(e.fullText(), c.error);
        }
        EXPECT_EQ(readFile(s.store.cfgPath), c.file);
        EXPECT_EQ(readFile(s.store.cfoPath), previous);
    }
}

TEST(ConfigStore, PreviousGenerationReplacesAnUnusableFile)
{
    const std::string previous = "# previous\r\nDataKey=\"C\"\r\n";
    // Missing, then empty: both fall back.
    for (std::optional<std::string> cfg : {std::optional<std::string>(), std::optional<std::string>("")}) {
        Store s(cfg, previous);
        s.store.load();
        EXPECT_EQ(s.store.getString("DataKey"), "\x02");
        EXPECT_EQ(readFile(s.store.cfgPath), previous);
        EXPECT_FALSE(exists(s.store.cfoPath));
    }
}

TEST(ConfigStore, ReadableFileIsKeptWithItsPreviousGeneration)
{
    Store s("DataKey=\"B\"\n", "DataKey=\"C\"\n");
    s.store.load();
    EXPECT_EQ(s.store.getString("DataKey"), "\x01");
    EXPECT_EQ(readFile(s.store.cfoPath), "DataKey=\"C\"\n");
}

TEST(ConfigStore, NothingUsableLeavesAnEmptyFile)
{
    struct Case {
        const char* what;
        std::optional<std::string> cfg, cfo;
    };
    const Case cases[] = {
        {"no files", std::nullopt, std::nullopt},
        {"empty file", "", std::nullopt},
        {"empty previous generation", std::nullopt, ""},
        {"both empty", "", ""},
    };
    for (const Case& c : cases) {
        Store s(c.cfg, c.cfo);
        try {
            s.store.load();
            ADD_FAILURE() << c.what << ": no exception";
        } catch (const EConfig& e) {
            EXPECT_EQ(e.fullText(), "Configuration held zero valid keys") << c.what;
        }
        ASSERT_TRUE(exists(s.store.cfgPath)) << c.what;
        EXPECT_EQ(readFile(s.store.cfgPath), "") << c.what;
        EXPECT_FALSE(exists(s.store.cfoPath)) << c.what;
        EXPECT_FALSE(exists(s.store.cfnPath)) << c.what;
    }
}

TEST(ConfigStore, MalformedPreviousGenerationStopsAfterTheSwap)
{
    Store s(std::nullopt, "DataKey\n");
    EXPECT_THROW(s.store.load(), error::EParseError);
    EXPECT_EQ(readFile(s.store.cfgPath), "DataKey\n");
    EXPECT_FALSE(exists(s.store.cfoPath));
}

TEST(ConfigStore, LoadingAgainStartsFromEmptyTables)
{
    Store s("DataKey=\"B\"\nCount=1\n_list_x=\"B\"\n");
    s.store.load();
    writeFile(s.store.cfgPath, "Other=\"C\"\n");
    s.store.load();
    EXPECT_THROW(s.store.getString("DataKey"), EConfig);
    EXPECT_EQ(s.store.getString("Other"), "\x02");
    EXPECT_TRUE(s.store.integerEntries().empty());
    EXPECT_TRUE(s.store.listEntries().empty());
}

// Loads a store whose current file cannot be used and whose previous generation exists
// but cannot be read: the load fails with that reason and neither file is touched.
void expectBothGenerationsKept(Store& s)
{
    try {
        s.store.load();
        ADD_FAILURE() << "no exception";
    } catch (const EConfig& e) {
        const std::string start = "Couldn't open configuration: " + s.store.cfoPath + ": ";
        EXPECT_EQ(e.fullText().substr(0, start.size()), start) << e.fullText();
    }
    EXPECT_EQ(readFile(s.store.cfgPath), "");
    EXPECT_TRUE(exists(s.store.cfoPath));
}

TEST(ConfigStore, UnreadablePreviousGenerationKeepsBothFiles)
{
    Store s("");
    std::filesystem::create_directory(testing_fs::toPath(s.store.cfoPath));
    expectBothGenerationsKept(s);
}

TEST(ConfigStore, DirectoryInPlaceOfTheFileCannotBeReplaced)
{
    Store s(std::nullopt);
    std::filesystem::create_directory(testing_fs::toPath(s.store.cfgPath));
    try {
        s.store.load();
        ADD_FAILURE() << "no exception";
    } catch (const error::ESystemError& e) {
        EXPECT_EQ(e.fullText(),
                  "Attempt to delete file '" + s.store.cfgPath + "' failed.: " + error::systemErrorText(5));
    }
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
    sys::Override pretend(
        sys::calls.DeleteFileW, +[](LPCWSTR) -> BOOL { return TRUE; });
    try {
        s.store.load();
        ADD_FAILURE() << "no exception";
    } catch (const EConfig& e) {
        EXPECT_EQ(e.fullText(), "Couldn't create empty configuration: " + s.store.cfgPath);
    }
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
    {
        Store s("", "DataKey=\"C\"\n");
        // Readable by nobody but an administrator, as Windows answers.
        sys::Override refuse(
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
}

#else

TEST(ConfigStore, EmptyFileThatCannotBeCreated)
{
    // Nothing can be created in /proc, and there is nothing to delete there.
    ConfigStore store("/proc/harbex-config-test");
    try {
        store.load();
        ADD_FAILURE() << "no exception";
    } catch (const EConfig& e) {
        EXPECT_EQ(e.fullText(), "Couldn't create empty configuration: /proc/harbex-config-test.cfg");
    }
}

#endif

} // namespace
