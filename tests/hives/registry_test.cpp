// The registry library against Wine's registry: typed values and their refusals, reads that
// outgrow the first buffer, writing and erasing, tree deletion, enumeration, loaded hives and
// privileges, and every failing registry call with its text. Faults come through the
// system-call table; the tests' own reads and writes go straight to Windows.
#include "registry/registry.h"

#include "common/error.h"
#include "io/temp_dir.h"
#include "registry_area.h"
#include "sys/syscalls.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace {

using testing_registry::Bytes;
using testing_registry::expectError;
using testing_registry::expectSystemError;
using testing_registry::KeyBalance;
using testing_registry::TestArea;
using testing_registry::text;
using testing_registry::Value;
using testing_registry::wideBytes;

std::vector<std::string> subkeyNames(const winreg::Key& key)
{
    std::vector<std::string> names;
    for (const winreg::Key& sub : key.subkeys())
        names.push_back(sub.path());
    return names;
}

// ---------------------------------------------------------------- typed values

// A value stored as `type` and `data`, read through a typed value class: what it decodes to,
// or the text of the refusal.
template <class Data>
struct Typed {
    std::wstring name;
    DWORD type;
    Bytes data;
    Data expected;     // when accepted
    std::string error; // when refused
};

template <class T, class Data>
void readEach(const std::vector<Typed<Data>>& cases)
{
    TestArea area("typed");
    for (const Typed<Data>& c : cases) {
        SCOPED_TRACE(toUtf8(c.name));
        area.setValue("", c.name, c.type, c.data);
        if (!c.error.empty()) {
            expectError<error::EParseError>([&] { T(area.root(), area.path(), toUtf8(c.name)); }, c.error);
            continue;
        }
        T value(area.root(), area.path(), toUtf8(c.name));
        EXPECT_TRUE(value.valueExists());
        EXPECT_EQ(value.data(), c.expected);
    }
}

// The bytes of a UTF-16 text of `size` characters, NULs included.
Bytes wide(const wchar_t* text, std::size_t size)
{
    return wideBytes(std::wstring(text, size));
}

TEST(RegistryValues, StringKeepsTextWithoutTrailingNuls)
{
    const std::string notText = "Expected value of type REG_SZ";
    readEach<winreg::String, std::string>({
        {L"two trailing NULs", REG_SZ, wide(L"abc\0\0", 5), "abc", ""},
        {L"one NUL", REG_SZ, wide(L"abc\0", 4), "abc", ""},
        {L"no NUL", REG_SZ, wideBytes(L"abc"), "abc", ""},
        {L"inner NUL stays", REG_SZ, wide(L"a\0b\0", 4), std::string("a\0b", 3), ""},
        {L"only NULs", REG_SZ, wide(L"\0\0\0", 3), "", ""},
        {L"no data", REG_SZ, {}, "", ""},
        {L"odd byte ignored", REG_SZ, {'x', 0, 'y'}, "x", ""},
        {L"not ASCII", REG_SZ, wide(L"Gr\u00fc\u00dfe \u20ac\0", 8),
         "Gr\xc3\xbc\xc3\x9f"
         "e \xe2\x82\xac",
         ""},
        {L"expandable", REG_EXPAND_SZ, wide(L"%TEMP%\0", 7), "", notText},
        {L"multi", REG_MULTI_SZ, wide(L"a\0\0", 3), "", notText},
        {L"number", REG_DWORD, {1, 0, 0, 0}, "", notText},
    });
}

TEST(RegistryValues, MultiStringNeedsTheClosingEmptyString)
{
    const std::string unterminated = "Multistring not double-zero terminated";
    const std::string notList = "Expected value of type REG_MULTI_SZ";
    readEach<winreg::MultiString, std::vector<std::string>>({
        {L"two strings", REG_MULTI_SZ, wide(L"a\0b\0\0", 5), {"a", "b"}, ""},
        {L"empty list", REG_MULTI_SZ, wide(L"\0", 1), {}, ""},
        {L"one empty string", REG_MULTI_SZ, wide(L"\0\0", 2), {""}, ""},
        {L"empty string inside", REG_MULTI_SZ, wide(L"a\0\0b\0\0", 6), {"a", "", "b"}, ""},
        {L"without the final NUL", REG_MULTI_SZ, wide(L"a\0b\0", 4), {}, unterminated},
        {L"text after the last NUL", REG_MULTI_SZ, wide(L"a\0b", 3), {}, unterminated},
        {L"no NUL at all", REG_MULTI_SZ, wideBytes(L"ab"), {}, unterminated},
        {L"no data", REG_MULTI_SZ, {}, {}, unterminated},
        {L"plain string", REG_SZ, wide(L"a\0\0", 3), {}, notList},
        {L"binary", REG_BINARY, wide(L"a\0\0", 3), {}, notList},
    });
}

TEST(RegistryValues, DoubleWordIsFourBytesLeastSignificantFirst)
{
    const std::string notNumber = "Expected value of type REG_DWORD";
    readEach<winreg::DoubleWord, std::uint32_t>({
        {L"number", REG_DWORD, {0x78, 0x56, 0x34, 0x12}, 0x12345678u, ""},
        {L"largest", REG_DWORD, {0xff, 0xff, 0xff, 0xff}, 0xffffffffu, ""},
        {L"three bytes", REG_DWORD, {1, 2, 3}, 0, "Got 3 bytes for REG_DWORD"},
        {L"eight bytes", REG_DWORD, {1, 0, 0, 0, 0, 0, 0, 0}, 0, "Got 8 bytes for REG_DWORD"},
        {L"no bytes", REG_DWORD, {}, 0, "Got 0 bytes for REG_DWORD"},
        {L"big endian", REG_DWORD_BIG_ENDIAN, {0, 0, 0, 1}, 0, notNumber},
        {L"quad word", REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0}, 0, notNumber},
        {L"text", REG_SZ, {'1', 0, 0, 0}, 0, notNumber},
    });
}

TEST(RegistryValues, AbsenceLeavesEmptyDefaults)
{
    TestArea area("absence");
    area.setValue("", L"other", REG_SZ, text(L"x"));
    struct Case {
        std::string key;
        bool keyExists;
    };
    const Case cases[] = {{area.path(), true}, {area.path("missing"), false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        winreg::String text(area.root(), c.key, "value");
        winreg::MultiString list(area.root(), c.key, "value");
        winreg::DoubleWord number(area.root(), c.key, "value");
        winreg::GenericValue generic(area.root(), c.key, "value");
        for (const winreg::ValueBase* value :
             {static_cast<const winreg::ValueBase*>(&text), static_cast<const winreg::ValueBase*>(&list),
              static_cast<const winreg::ValueBase*>(&number), static_cast<const winreg::ValueBase*>(&generic)}) {
            EXPECT_EQ(value->keyExists(), c.keyExists);
            EXPECT_FALSE(value->valueExists());
            EXPECT_EQ(value->valueName(), "value");
        }
        EXPECT_EQ(text.data(), "");
        EXPECT_TRUE(list.data().empty());
        EXPECT_EQ(number.data(), 0u);
        EXPECT_TRUE(generic.data().second.empty());
    }
}

TEST(RegistryValues, TypedValuesDecodeAValueReadBefore)
{
    TestArea area("decode");
    area.setValue("", L"list", REG_MULTI_SZ, wideBytes(std::wstring(L"x\0y\0\0", 5)));
    area.setValue("", L"number", REG_DWORD, {7, 0, 0, 0});
    winreg::GenericValue list(area.key(), DWORD{0});
    winreg::GenericValue number(area.key(), DWORD{1});
    EXPECT_EQ(winreg::MultiString(list).data(), (std::vector<std::string>{"x", "y"}));
    EXPECT_EQ(winreg::DoubleWord(number).data(), 7u);
    expectError<error::EParseError>([&] { winreg::String{number}; }, "Expected value of type REG_SZ");

    winreg::GenericValue copy;
    EXPECT_FALSE(copy.valueExists());
    copy = winreg::DoubleWord(number);
    EXPECT_EQ(copy.valueName(), "number");
    EXPECT_EQ(copy.root(), area.key());
    EXPECT_TRUE(copy.keyExists());
    EXPECT_TRUE(copy.valueExists());
    EXPECT_EQ(copy.data(), (std::pair<DWORD, Bytes>{REG_DWORD, {7, 0, 0, 0}}));
}

// ---------------------------------------------------------------- buffer growth

struct CallCount {
    static inline int queries = 0;
    static inline int enumerations = 0;
};

TEST(RegistryValues, LargeValuesAreReadAfterDoublingTheBuffer)
{
    TestArea area("large");
    sys::Override countQueries(
        sys::calls.RegQueryValueExW,
        +[](HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size) -> LONG {
            ++CallCount::queries;
            return ::RegQueryValueExW(key, name, reserved, type, data, size);
        });
    sys::Override countEnumerations(
        sys::calls.RegEnumValueW,
        +[](HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength, LPDWORD reserved, LPDWORD type, LPBYTE data,
            LPDWORD size) -> LONG {
            ++CallCount::enumerations;
            return ::RegEnumValueW(key, index, name, nameLength, reserved, type, data, size);
        });
    struct Case {
        std::size_t size;
        int calls; // buffers of 128, 256, 512, ... bytes
    };
    const Case cases[] = {{0, 1}, {1, 1}, {128, 1}, {129, 2}, {256, 2}, {257, 3}, {1000, 4}, {5000, 7}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        Bytes data(c.size);
        for (std::size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<std::uint8_t>(i * 7 + 1);
        ::RegDeleteValueW(area.key(), L"blob");
        area.setValue("", L"blob", REG_BINARY, data);

        CallCount::queries = 0;
        winreg::GenericValue byName(area.root(), area.path(), "blob");
        EXPECT_EQ(CallCount::queries, c.calls);
        EXPECT_EQ(byName.rawData(), data);
        EXPECT_EQ(byName.type(), DWORD{REG_BINARY});

        CallCount::enumerations = 0;
        winreg::GenericValue byIndex(area.key(), DWORD{0});
        EXPECT_EQ(CallCount::enumerations, c.calls);
        EXPECT_EQ(byIndex.rawData(), data);
        EXPECT_EQ(byIndex.valueName(), "blob");
    }
}

// ---------------------------------------------------------------- writing

TEST(RegistryValues, StoredValuesHaveTheirRegistryForm)
{
    TestArea area("store");
    KeyBalance keys;

    winreg::String text(area.root(), area.path(), "text");
    text.data() = "Gr\xc3\xbc\xc3\x9f"
                  "e";
    text.store();
    winreg::MultiString list(area.root(), area.path(), "list");
    list.data() = {"a", "", "bc"};
    list.store();
    winreg::MultiString emptyList(area.root(), area.path(), "empty list");
    emptyList.store();
    winreg::DoubleWord number(area.root(), area.path(), "number");
    number.data() = 0x01020304;
    number.store();
    winreg::GenericValue binary(area.root(), area.path(), "binary");
    binary.data() = {REG_BINARY, {9, 8, 7}};
    binary.store();
    winreg::GenericValue nothing(area.root(), area.path(), "nothing");
    nothing.data() = {REG_NONE, {}};
    nothing.store();

    const std::pair<std::wstring, Value> cases[] = {
        {L"text", {REG_SZ, testing_registry::text(L"Gr\u00fc\u00dfe")}},
        {L"list", {REG_MULTI_SZ, wideBytes(std::wstring(L"a\0\0bc\0\0", 7))}},
        {L"empty list", {REG_MULTI_SZ, wideBytes(std::wstring(L"\0", 1))}},
        {L"number", {REG_DWORD, {4, 3, 2, 1}}},
        {L"binary", {REG_BINARY, {9, 8, 7}}},
        {L"nothing", {REG_NONE, {}}},
    };
    for (const auto& [name, value] : cases)
        EXPECT_EQ(area.value("", name), value) << toUtf8(name);
    for (const winreg::ValueBase* value :
         {static_cast<const winreg::ValueBase*>(&text), static_cast<const winreg::ValueBase*>(&nothing)})
        EXPECT_TRUE(value->keyExists() && value->valueExists());

    // What was stored reads back as it was set.
    EXPECT_EQ(winreg::String(area.root(), area.path(), "text").data(), text.data());
    EXPECT_EQ(winreg::MultiString(area.root(), area.path(), "list").data(), list.data());
    EXPECT_TRUE(winreg::MultiString(area.root(), area.path(), "empty list").data().empty());
    EXPECT_EQ(winreg::DoubleWord(area.root(), area.path(), "number").data(), 0x01020304u);
    EXPECT_EQ(keys.open(), 0);
}

TEST(RegistryValues, EraseRemovesOnlyItsOwnValue)
{
    TestArea area("erase");
    area.createKey("sub");
    // The same name in the root of the value's key path and in the key itself.
    area.setValue("", L"v", REG_SZ, text(L"root"));
    area.setValue("sub", L"v", REG_SZ, text(L"sub"));
    area.setValue("sub", L"w", REG_SZ, text(L"w"));
    KeyBalance keys;

    winreg::String byName(area.key(), "sub", "v");
    ASSERT_EQ(byName.data(), "sub");
    byName.erase();
    EXPECT_FALSE(byName.valueExists());
    EXPECT_FALSE(area.value("sub", L"v"));
    EXPECT_TRUE(area.value("", L"v"));

    HKEY sub = nullptr;
    ASSERT_EQ(::RegOpenKeyExW(area.key(), L"sub", 0, KEY_ALL_ACCESS, &sub), ERROR_SUCCESS);
    winreg::GenericValue enumerated(sub, DWORD{0});
    ASSERT_EQ(enumerated.valueName(), "w");
    enumerated.erase();
    ::RegCloseKey(sub);
    EXPECT_FALSE(area.value("sub", L"w"));
    EXPECT_TRUE(area.value("", L"v"));

    expectSystemError([&] { byName.erase(); }, ERROR_FILE_NOT_FOUND, "Cannot erase value");
    EXPECT_EQ(keys.open(), 0);
}

TEST(RegistryValues, StoreNeedsAnExistingKey)
{
    TestArea area("store-missing");
    winreg::DoubleWord number(area.root(), area.path("missing"), "n");
    number.data() = 1;
    expectSystemError([&] { number.store(); }, ERROR_FILE_NOT_FOUND,
                      "Cannot write-open subkey " + area.path("missing"));
    EXPECT_FALSE(area.keyExists("missing"));
}

// ---------------------------------------------------------------- keys

TEST(RegistryKeys, OpenCreateAndClose)
{
    TestArea area("keys");
    KeyBalance keys;
    {
        winreg::Key missing(area.key(), "a\\b");
        EXPECT_FALSE(missing.exists());
        EXPECT_EQ(missing.handle(), nullptr);
        EXPECT_EQ(missing.path(), "a\\b");

        missing.create();
        EXPECT_TRUE(missing.exists());
        EXPECT_NE(missing.handle(), nullptr);
        EXPECT_TRUE(area.keyExists("a\\b"));

        // Creating an existing key opens it.
        winreg::Key again(area.key(), "a\\b");
        ASSERT_TRUE(again.exists());
        again.create();
        EXPECT_TRUE(again.exists());

        again.close();
        EXPECT_FALSE(again.exists());
        EXPECT_EQ(again.handle(), nullptr);
        EXPECT_EQ(keys.open(), 1); // only `missing` is still open

        winreg::Key moved = std::move(missing);
        EXPECT_TRUE(moved.exists());
        EXPECT_FALSE(missing.exists());
        EXPECT_EQ(keys.open(), 1);
    }
    // Each key closes its handle when it goes.
    EXPECT_EQ(keys.open(), 0);
}

// The deletions of keys and values, in order.
struct Record {
    static inline std::vector<std::string> events;
};

TEST(RegistryKeys, DeleteTreeRemovesDeepestFirst)
{
    TestArea area("tree");
    for (const char* sub : {"top\\b\\c", "top\\d"})
        area.createKey(sub);
    for (const char* sub : {"top", "top\\b", "top\\b\\c", "top\\d"}) {
        area.setValue(sub, L"one", REG_SZ, text(L"1"));
        area.setValue(sub, L"two", REG_DWORD, {2, 0, 0, 0});
    }

    Record::events.clear();
    sys::Override keys(
        sys::calls.RegDeleteKeyW, +[](HKEY parent, LPCWSTR path) -> LONG {
            LONG result = ::RegDeleteKeyW(parent, path);
            Record::events.push_back("key " + std::string(path, path + wcslen(path)));
            return result;
        });
    sys::Override values(
        sys::calls.RegDeleteValueW, +[](HKEY key, LPCWSTR name) -> LONG {
            Record::events.push_back("value " + std::string(name, name + wcslen(name)));
            return ::RegDeleteValueW(key, name);
        });
    {
        KeyBalance balance;
        winreg::Key top(area.key(), "top");
        ASSERT_TRUE(top.exists());
        top.deleteTree();
        EXPECT_FALSE(top.exists());
        EXPECT_EQ(balance.open(), 0);
    }
    // Each key loses its values just before the key itself goes.
    const std::vector<std::string> expected = {
        "value one", "value two", "key c", "value one", "value two", "key b",
        "value one", "value two", "key d", "value one", "value two", "key top",
    };
    EXPECT_EQ(Record::events, expected);
    HKEY gone = nullptr;
    EXPECT_EQ(::RegOpenKeyExW(area.key(), L"top", 0, KEY_READ, &gone), ERROR_FILE_NOT_FOUND);

    // A key that is not open has no tree to delete.
    Record::events.clear();
    winreg::Key missing(area.key(), "top");
    missing.deleteTree();
    EXPECT_TRUE(Record::events.empty());
}

TEST(RegistryKeys, IteratorsWalkSubkeysAndValuesInOrder)
{
    TestArea area("iterate");
    for (const char* sub : {"k\\alpha", "k\\beta\\deep", "k\\gamma", "empty"})
        area.createKey(sub);
    area.setValue("k", L"first", REG_SZ, text(L"1"));
    area.setValue("k", L"second", REG_DWORD, {2, 0, 0, 0});
    area.setValue("k", L"third", REG_BINARY, {});
    KeyBalance balance;
    {
        winreg::Key key(area.key(), "k");
        EXPECT_EQ(subkeyNames(key), (std::vector<std::string>{"alpha", "beta", "gamma"}));
        for (const winreg::Key& sub : key.subkeys()) {
            EXPECT_TRUE(sub.exists());
            EXPECT_EQ(sub.parent(), key.handle());
        }

        std::vector<std::pair<std::string, DWORD>> values;
        for (const winreg::GenericValue& value : key.values()) {
            EXPECT_EQ(value.root(), key.handle());
            EXPECT_EQ(value.keyPath(), "");
            values.emplace_back(value.valueName(), value.data().first);
        }
        EXPECT_EQ(values, (std::vector<std::pair<std::string, DWORD>>{
                              {"first", REG_SZ}, {"second", REG_DWORD}, {"third", REG_BINARY}}));

        winreg::Key empty(area.key(), "empty");
        EXPECT_TRUE(empty.subkeys().begin() == empty.subkeys().end());
        EXPECT_TRUE(empty.values().begin() == empty.values().end());
    }
    EXPECT_EQ(balance.open(), 0);
}

TEST(RegistryKeys, IteratorCopiesShareTheCurrentItem)
{
    TestArea area("iterator-copies");
    for (const char* sub : {"a", "b"})
        area.createKey(sub);
    winreg::Key key(area.root(), area.path());
    winreg::SubkeyIterator it = key.subkeys().begin();
    winreg::SubkeyIterator copy = it;
    EXPECT_EQ(&*copy, &*it);
    EXPECT_TRUE(copy == it);

    winreg::SubkeyIterator before = it++;
    EXPECT_EQ(before->path(), "a");
    EXPECT_EQ(it->path(), "b");
    EXPECT_EQ(copy->path(), "a");
    EXPECT_FALSE(copy == it);
    EXPECT_EQ(it.index(), 1u);

    ++it;
    EXPECT_TRUE(it.atEnd());
    EXPECT_TRUE(it == key.subkeys().end());
    // Two ends are equal whatever their indices.
    winreg::SubkeyIterator otherEnd(key.handle(), 5);
    EXPECT_TRUE(otherEnd == it);
    EXPECT_FALSE(otherEnd == copy);
}

TEST(RegistryKeys, EnumeratingAKeyThatIsNotOpenFails)
{
    TestArea area("not-open");
    winreg::Key missing(area.key(), "missing");
    ASSERT_FALSE(missing.exists());
    expectSystemError([&] { missing.values().begin(); }, ERROR_INVALID_HANDLE, "Cannot enumerate value data");
    expectSystemError([&] { missing.subkeys().begin(); }, ERROR_INVALID_HANDLE, "Cannot read subkey under key");
}

TEST(RegistryKeysDeathTest, AdvancingAnEndIteratorEndsTheProcess)
{
    // No registry state here: the dying process would leave it behind.
    EXPECT_DEATH(++winreg::SubkeyIterator(), "Assertion failed: Increment on end iterator");
    EXPECT_DEATH(++winreg::ValueIterator(), "Assertion failed: Increment on end iterator");
    EXPECT_DEATH(*winreg::SubkeyIterator(), "Assertion failed: Dereference of end iterator");
}

// ---------------------------------------------------------------- failing calls

TEST(RegistryFailures, EveryFailingCallThrowsItsText)
{
    TestArea area("failures");
    area.createKey("k\\sub");
    area.setValue("k", L"v", REG_SZ, text(L"x"));
    const std::string k = area.path("k");
    HKEY handle = nullptr;
    ASSERT_EQ(::RegOpenKeyExW(area.key(), L"k", 0, KEY_ALL_ACCESS, &handle), ERROR_SUCCESS);
    using testing_registry::Failing;
    struct Case {
        const char* name;
        LONG code;
        std::function<void()> action;
        std::string text;
    };
    const Case cases[] = {
        {"open for reading", ERROR_ACCESS_DENIED,
         [&] {
             Failing fail(sys::calls.RegOpenKeyExW);
             winreg::String(area.root(), k, "v");
         },
         "Cannot open subkey " + k},
        {"query", ERROR_ACCESS_DENIED,
         [&] {
             Failing fail(sys::calls.RegQueryValueExW);
             winreg::GenericValue(area.root(), k, "v");
         },
         "Cannot read value data"},
        {"query, path not found", ERROR_PATH_NOT_FOUND,
         [&] {
             Failing fail(sys::calls.RegQueryValueExW);
             winreg::GenericValue(area.root(), k, "v");
         },
         "Cannot read value data"},
        {"enumerate values", ERROR_ACCESS_DENIED,
         [&] {
             Failing fail(sys::calls.RegEnumValueW);
             winreg::GenericValue(handle, DWORD{0});
         },
         "Cannot enumerate value data"},
        {"enumerate subkeys", ERROR_MORE_DATA,
         [&] {
             Failing fail(sys::calls.RegEnumKeyExW);
             winreg::Key(handle, DWORD{0});
         },
         "Cannot read subkey under key"},
        {"open enumerated subkey", ERROR_ACCESS_DENIED,
         [&] {
             Failing fail(sys::calls.RegOpenKeyExW);
             winreg::Key(handle, DWORD{0});
         },
         "Cannot open enumerated key"},
        {"create", ERROR_ACCESS_DENIED,
         [&] {
             Failing fail(sys::calls.RegCreateKeyExW);
             winreg::Key(area.key(), "new\\key").create();
         },
         "Unable to create key \"new\\key\""},
        {"open for writing", ERROR_ACCESS_DENIED,
         [&] {
             winreg::String value(area.root(), k, "v");
             Failing fail(sys::calls.RegOpenKeyExW);
             value.store();
         },
         "Cannot write-open subkey " + k},
        {"set", ERROR_ACCESS_DENIED,
         [&] {
             winreg::String value(area.root(), k, "v");
             Failing fail(sys::calls.RegSetValueExW);
             value.store();
         },
         "Unable to store registry data"},
        {"set, not found", ERROR_FILE_NOT_FOUND,
         [&] {
             winreg::DoubleWord value(area.root(), k, "n");
             Failing fail(sys::calls.RegSetValueExW);
             value.store();
         },
         "Unable to store registry data"},
        {"erase", ERROR_ACCESS_DENIED,
         [&] {
             winreg::String value(area.root(), k, "v");
             Failing fail(sys::calls.RegDeleteValueW);
             value.erase();
         },
         "Cannot erase value"},
        {"delete key", ERROR_ACCESS_DENIED,
         [&] {
             winreg::Key key(area.key(), "k\\sub");
             Failing fail(sys::calls.RegDeleteKeyW);
             key.deleteTree();
         },
         "Unable to delete key"},
        {"flush", ERROR_ACCESS_DENIED,
         [&] {
             Failing fail(sys::calls.RegFlushKey);
             winreg::flushRegistry();
         },
         "Cannot flush registry"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testing_registry::Fault::code = c.code;
        KeyBalance keys;
        expectSystemError(c.action, c.code, c.text);
        EXPECT_EQ(keys.open(), 0) << "a key left open";
    }
    ::RegCloseKey(handle);
    // Nothing was changed on the way.
    EXPECT_TRUE(area.keyExists("k\\sub"));
    EXPECT_EQ(winreg::String(area.root(), k, "v").data(), "x");
    EXPECT_NO_THROW(winreg::flushRegistry());
}

// ---------------------------------------------------------------- privileges

// Watches the privilege calls: which one fails, the privileges asked for, the token's close.
struct Privileges {
    static inline int lookups = 0;
    static inline int adjustments = 0;
    static inline int failLookup = 0; // the 1-based call that fails; 0: none
    static inline int failAdjustment = 0;
    static inline bool failOpen = false;
    static inline HANDLE token = nullptr;
    static inline int tokenCloses = 0;
    static inline std::vector<std::wstring> names;
    static inline std::vector<LUID> enabled;

    Privileges()
    {
        lookups = adjustments = failLookup = failAdjustment = tokenCloses = 0;
        failOpen = false;
        token = nullptr;
        names.clear();
        enabled.clear();
    }

    sys::Override<decltype(sys::calls.OpenProcessToken)> open_{sys::calls.OpenProcessToken,
                                                               +[](HANDLE process, DWORD access, PHANDLE out) -> BOOL {
                                                                   if (failOpen) {
                                                                       SetLastError(ERROR_ACCESS_DENIED);
                                                                       return FALSE;
                                                                   }
                                                                   BOOL ok = ::OpenProcessToken(process, access, out);
                                                                   token = *out;
                                                                   return ok;
                                                               }};
    sys::Override<decltype(sys::calls.LookupPrivilegeValueW)> lookup_{
        sys::calls.LookupPrivilegeValueW, +[](LPCWSTR system, LPCWSTR name, PLUID luid) -> BOOL {
            names.emplace_back(name);
            if (++lookups == failLookup) {
                SetLastError(ERROR_NO_SUCH_PRIVILEGE);
                return FALSE;
            }
            return ::LookupPrivilegeValueW(system, name, luid);
        }};
    sys::Override<decltype(sys::calls.AdjustTokenPrivileges)> adjust_{
        sys::calls.AdjustTokenPrivileges,
        +[](HANDLE handle, BOOL disableAll, PTOKEN_PRIVILEGES wanted, DWORD size, PTOKEN_PRIVILEGES previous,
            PDWORD needed) -> BOOL {
            if (++adjustments == failAdjustment) {
                SetLastError(ERROR_NOT_ALL_ASSIGNED);
                return FALSE;
            }
            EXPECT_EQ(handle, token);
            EXPECT_EQ(wanted->PrivilegeCount, 1u);
            EXPECT_EQ(wanted->Privileges[0].Attributes, DWORD{SE_PRIVILEGE_ENABLED});
            enabled.push_back(wanted->Privileges[0].Luid);
            return ::AdjustTokenPrivileges(handle, disableAll, wanted, size, previous, needed);
        }};
    sys::Override<decltype(sys::calls.CloseHandle)> close_{sys::calls.CloseHandle, +[](HANDLE handle) -> BOOL {
                                                               tokenCloses += handle == token;
                                                               return ::CloseHandle(handle);
                                                           }};
};

LUID privilegeValue(const wchar_t* name)
{
    LUID luid{};
    EXPECT_TRUE(::LookupPrivilegeValueW(nullptr, name, &luid));
    return luid;
}

bool operator==(const LUID& a, const LUID& b)
{
    return a.LowPart == b.LowPart && a.HighPart == b.HighPart;
}

TEST(RegistryPrivileges, EnablesRestoreThenBackup)
{
    Privileges watch;
    winreg::enableBackupRestorePrivileges();
    EXPECT_EQ(Privileges::names, (std::vector<std::wstring>{L"SeRestorePrivilege", L"SeBackupPrivilege"}));
    ASSERT_EQ(Privileges::enabled.size(), 2u);
    EXPECT_TRUE(Privileges::enabled[0] == privilegeValue(SE_RESTORE_NAME));
    EXPECT_TRUE(Privileges::enabled[1] == privilegeValue(SE_BACKUP_NAME));
    EXPECT_EQ(Privileges::tokenCloses, 1);
}

TEST(RegistryPrivileges, EachRefusalHasItsTextAndClosesTheToken)
{
    struct Case {
        bool failOpen;
        int failLookup, failAdjustment;
        DWORD code;
        std::string text;
        int tokenCloses;
    };
    const Case cases[] = {
        {true, 0, 0, ERROR_ACCESS_DENIED, "Cannot get current process token", 0},
        {false, 1, 0, ERROR_NO_SUCH_PRIVILEGE, "Cannot look up SE_RESTORE_NAME privilege value", 1},
        {false, 2, 0, ERROR_NO_SUCH_PRIVILEGE, "Cannot look up SE_BACKUP_NAME privilege value", 1},
        {false, 0, 1, ERROR_NOT_ALL_ASSIGNED, "Cannot add restore privilege to process", 1},
        {false, 0, 2, ERROR_NOT_ALL_ASSIGNED, "Cannot add backup privilege to process", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Privileges watch;
        Privileges::failOpen = c.failOpen;
        Privileges::failLookup = c.failLookup;
        Privileges::failAdjustment = c.failAdjustment;
        expectSystemError([] { winreg::enableBackupRestorePrivileges(); }, static_cast<LONG>(c.code), c.text);
        EXPECT_EQ(Privileges::tokenCloses, c.tokenCloses);
    }
}

// ---------------------------------------------------------------- loaded hives

// A hive file saved from a key tree of the test area, and a free name under
// HKEY_LOCAL_MACHINE to load it at.
class LoadedHiveTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        area.setValue("saved\\inner", L"greeting", REG_SZ, text(L"hello"));
        winreg::enableBackupRestorePrivileges();
        HKEY saved = nullptr;
        ASSERT_EQ(::RegOpenKeyExW(area.key(), L"saved", 0, KEY_READ, &saved), ERROR_SUCCESS);
        LONG result = ::RegSaveKeyW(saved, toWide(hiveFile).c_str(), nullptr);
        ::RegCloseKey(saved);
        ASSERT_EQ(result, ERROR_SUCCESS);
    }
    bool mounted() const
    {
        HKEY opened = nullptr;
        if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, toWide(mountName).c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS)
            return false;
        ::RegCloseKey(opened);
        return true;
    }
    void TearDown() override
    {
        if (mounted())
            ::RegUnLoadKeyW(HKEY_LOCAL_MACHINE, toWide(mountName).c_str());
    }

    TestArea area{"hive"};
    testing_fs::TempDir dir;
    std::string hiveFile = dir / "saved.hive";
    std::string mountName = "RestoreWorkerTests-" + testing_registry::randomSuffix();
};

struct LoadCalls {
    static inline int loads = 0;
    static inline int unloads = 0;
    static inline int refusals = 0; // the first loads that are refused
    static inline LONG refusal = ERROR_PRIVILEGE_NOT_HELD;
};

TEST_F(LoadedHiveTest, ValuesOfTheFileAreReadableUntilTheGuardGoes)
{
    LoadCalls::unloads = 0;
    sys::Override countUnloads(
        sys::calls.RegUnLoadKeyW, +[](HKEY root, LPCWSTR name) -> LONG {
            ++LoadCalls::unloads;
            return ::RegUnLoadKeyW(root, name);
        });
    {
        winreg::LoadedHive hive(HKEY_LOCAL_MACHINE, mountName, hiveFile);
        EXPECT_TRUE(mounted());
        EXPECT_EQ(winreg::String(HKEY_LOCAL_MACHINE, mountName + "\\inner", "greeting").data(), "hello");
    }
    EXPECT_FALSE(mounted());
    EXPECT_EQ(LoadCalls::unloads, 1);

    // Unloading early leaves nothing for the destructor.
    {
        winreg::LoadedHive hive(HKEY_LOCAL_MACHINE, mountName, hiveFile);
        hive.unload();
        EXPECT_FALSE(mounted());
    }
    EXPECT_EQ(LoadCalls::unloads, 2);
}

TEST_F(LoadedHiveTest, RefusalForWantOfPrivilegeIsRetriedOnceWithPrivileges)
{
    sys::Override refuse(
        sys::calls.RegLoadKeyW, +[](HKEY root, LPCWSTR name, LPCWSTR file) -> LONG {
            if (++LoadCalls::loads <= LoadCalls::refusals)
                return LoadCalls::refusal;
            return ::RegLoadKeyW(root, name, file);
        });
    struct Case {
        LONG refusal;
        int refusals;
        int loads;
        std::size_t privileges; // enabled before the second load
        bool loaded;
    };
    const Case cases[] = {
        {ERROR_PRIVILEGE_NOT_HELD, 1, 2, 2, true},
        {ERROR_PRIVILEGE_NOT_HELD, 2, 2, 2, false},
        {ERROR_ACCESS_DENIED, 9, 1, 0, false}, // other refusals are not retried
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.refusal);
        LoadCalls::loads = 0;
        LoadCalls::refusals = c.refusals;
        LoadCalls::refusal = c.refusal;
        Privileges watch;
        if (c.loaded) {
            winreg::LoadedHive hive(HKEY_LOCAL_MACHINE, mountName, hiveFile);
            EXPECT_TRUE(mounted());
        } else {
            expectSystemError([&] { winreg::LoadedHive(HKEY_LOCAL_MACHINE, mountName, hiveFile); }, c.refusal,
                              "Unable to load hive " + hiveFile + " into active registry");
        }
        EXPECT_EQ(LoadCalls::loads, c.loads);
        EXPECT_EQ(Privileges::enabled.size(), c.privileges);
        EXPECT_FALSE(mounted());
    }
}

TEST_F(LoadedHiveTest, MissingFileIsNotLoaded)
{
    const std::string missing = dir / "missing.hive";
    try {
        winreg::LoadedHive hive(HKEY_LOCAL_MACHINE, mountName, missing);
        ADD_FAILURE() << "loaded a missing file";
    } catch (const error::ESystemError& e) {
        const std::string prefix = "Unable to load hive " + missing + " into active registry: ";
        EXPECT_EQ(e.fullText().substr(0, prefix.size()), prefix);
    }
    EXPECT_FALSE(mounted());
}

} // namespace
