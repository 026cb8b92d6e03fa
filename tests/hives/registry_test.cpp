// The registry library against Wine's registry: typed values and their refusals, loaded hives
// and privileges, and every failing registry call with its text. Faults come through the
// system-call table; the tests' own reads and writes go straight to Windows. Absent and long
// values, storing, erasing, enumerating and deleting trees deepest first (Windows deletes no
// key with subkeys) are what the hive step does, and its tests read what it left.
#include "registry/registry.h"

#include "common/error.h"
#include "support.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using support::RegistryArea;
using support::RegistryBytes;
using support::RegistryValue;
using support::regSz;
using support::wideBytes;

// The text of the system error `code` that `action` fails with after `context`.
std::string failure(LONG code, const std::string& context)
{
    return context + ": " + error::systemErrorText(static_cast<unsigned long>(code));
}

// The bytes of a UTF-16 text of `size` characters, NULs included.
RegistryBytes wide(const wchar_t* text, std::size_t size)
{
    return wideBytes(std::wstring(text, size));
}

// A value stored as `type` and `data`, read through a typed value class: what it decodes to,
// or the text of the refusal.
template <class Data>
struct Typed {
    DWORD type;
    RegistryBytes data;
    Data expected;     // when accepted
    std::string error; // when refused
};

template <class T, class Data>
void readEach(const std::vector<Typed<Data>>& cases)
{
    RegistryArea area("typed");
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        const Typed<Data>& c = cases[i];
        area.setValue("", L"v" + std::to_wstring(i), c.type, c.data);
        const auto read = [&] { return T(area.root(), area.path(), "v" + std::to_string(i)).data(); };
        if (c.error.empty())
            EXPECT_EQ(read(), c.expected);
        else
            support::expectThrows<error::EParseError>(read, c.error);
    }
}

TEST(RegistryValues, StringKeepsTextWithoutTrailingNuls)
{
    const std::string notText = "Expected value of type REG_SZ";
    readEach<winreg::String, std::string>({
        {REG_SZ, wide(L"abc\0\0", 5), "abc", ""},
        {REG_SZ, wideBytes(L"abc"), "abc", ""},
        {REG_SZ, wide(L"a\0b\0", 4), std::string("a\0b", 3), ""},
        {REG_SZ, {}, "", ""},
        {REG_SZ, {'x', 0, 'y'}, "x", ""}, // the odd byte is ignored
        {REG_SZ, wide(L"Gr\u00fc\u00dfe \u20ac\0", 8),
         "Gr\xc3\xbc\xc3\x9f"
         "e \xe2\x82\xac",
         ""},
        {REG_EXPAND_SZ, wide(L"%TEMP%\0", 7), "", notText},
        {REG_MULTI_SZ, wide(L"a\0\0", 3), "", notText},
    });
}

TEST(RegistryValues, MultiStringNeedsTheClosingEmptyString)
{
    const std::string unterminated = "Multistring not double-zero terminated";
    readEach<winreg::MultiString, std::vector<std::string>>({
        {REG_MULTI_SZ, wide(L"a\0b\0\0", 5), {"a", "b"}, ""},
        {REG_MULTI_SZ, wide(L"\0", 1), {}, ""},
        {REG_MULTI_SZ, wide(L"\0\0", 2), {""}, ""},
        {REG_MULTI_SZ, wide(L"a\0\0b\0\0", 6), {"a", "", "b"}, ""},
        {REG_MULTI_SZ, wide(L"a\0b\0", 4), {}, unterminated},
        {REG_MULTI_SZ, {}, {}, unterminated},
        {REG_SZ, wide(L"a\0\0", 3), {}, "Expected value of type REG_MULTI_SZ"},
    });
}

TEST(RegistryValues, DoubleWordIsFourBytesLeastSignificantFirst)
{
    const std::string notNumber = "Expected value of type REG_DWORD";
    readEach<winreg::DoubleWord, std::uint32_t>({
        {REG_DWORD, {0x78, 0x56, 0x34, 0x12}, 0x12345678u, ""},
        {REG_DWORD, {1, 2, 3}, 0, "Got 3 bytes for REG_DWORD"},
        {REG_DWORD, {1, 0, 0, 0, 0, 0, 0, 0}, 0, "Got 8 bytes for REG_DWORD"},
        {REG_DWORD_BIG_ENDIAN, {0, 0, 0, 1}, 0, notNumber},
        {REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0}, 0, notNumber},
    });
}

TEST(RegistryFailures, EveryFailingCallThrowsItsText)
{
    RegistryArea area("failures");
    area.setValue("k\\sub", L"v", REG_SZ, regSz(L"x"));
    area.setValue("k", L"v", REG_SZ, regSz(L"x"));
    const std::string k = area.path("k");
    winreg::Key open(area.key(), "k");
    winreg::Key sub(area.key(), "k\\sub");
    winreg::String value(area.root(), k, "v");
    // The failure of `action` while the call in `slot` answers `code`.
    const auto refused = [](auto& slot, LONG code, const std::function<void()>& action) {
        auto fail = support::refuse(slot, code, code);
        return support::thrown(action).second;
    };
    const LONG denied = ERROR_ACCESS_DENIED;
    EXPECT_EQ(refused(sys::calls.RegOpenKeyExW, denied, [&] { winreg::String(area.root(), k, "v"); }),
              failure(denied, "Cannot open subkey " + k));
    EXPECT_EQ(refused(sys::calls.RegQueryValueExW, ERROR_PATH_NOT_FOUND, [&] { winreg::String(area.root(), k, "v"); }),
              failure(ERROR_PATH_NOT_FOUND, "Cannot read value data"));
    EXPECT_EQ(refused(sys::calls.RegEnumValueW, denied, [&] { winreg::GenericValue(open.handle(), DWORD{0}); }),
              failure(denied, "Cannot enumerate value data"));
    EXPECT_EQ(refused(sys::calls.RegEnumKeyExW, ERROR_MORE_DATA, [&] { winreg::Key(open.handle(), DWORD{0}); }),
              failure(ERROR_MORE_DATA, "Cannot read subkey under key"));
    EXPECT_EQ(refused(sys::calls.RegOpenKeyExW, denied, [&] { winreg::Key(open.handle(), DWORD{0}); }),
              failure(denied, "Cannot open enumerated key"));
    EXPECT_EQ(refused(sys::calls.RegCreateKeyExW, denied, [&] { winreg::Key(area.key(), "new\\key").create(); }),
              failure(denied, "Unable to create key \"new\\key\""));
    EXPECT_EQ(refused(sys::calls.RegSetValueExW, denied, [&] { value.store(); }),
              failure(denied, "Unable to store registry data"));
    EXPECT_EQ(refused(sys::calls.RegDeleteValueW, denied, [&] { value.erase(); }),
              failure(denied, "Cannot erase value"));
    EXPECT_EQ(refused(sys::calls.RegDeleteKeyW, denied, [&] { sub.deleteTree(); }),
              failure(denied, "Unable to delete key"));
    EXPECT_EQ(refused(sys::calls.RegFlushKey, denied, [] { winreg::flushRegistry(); }),
              failure(denied, "Cannot flush registry"));
    // What is stored goes into an existing key only.
    winreg::DoubleWord nowhere(area.root(), area.path("missing"), "n");
    EXPECT_EQ(support::thrown([&] { nowhere.store(); }).second,
              failure(ERROR_FILE_NOT_FOUND, "Cannot write-open subkey " + area.path("missing")));
    EXPECT_FALSE(area.keyExists("missing"));
    // Nothing was changed on the way.
    EXPECT_TRUE(area.keyExists("k\\sub"));
    EXPECT_EQ(winreg::String(area.root(), k, "v").data(), "x");
}

// The privilege calls: the 1-based lookup or adjustment that fails.
struct Privileges {
    static inline int lookups = 0, adjustments = 0, failLookup = 0, failAdjustment = 0;

    Privileges(int lookup, int adjustment)
    {
        lookups = adjustments = 0;
        failLookup = lookup;
        failAdjustment = adjustment;
    }
    std::shared_ptr<void> lookup_ = support::replaced(
        sys::calls.LookupPrivilegeValueW, +[](LPCWSTR system, LPCWSTR name, PLUID luid) -> BOOL {
            if (++lookups != failLookup)
                return ::LookupPrivilegeValueW(system, name, luid);
            ::SetLastError(ERROR_NO_SUCH_PRIVILEGE);
            return FALSE;
        });
    std::shared_ptr<void> adjust_ = support::replaced(
        sys::calls.AdjustTokenPrivileges,
        +[](HANDLE token, BOOL none, PTOKEN_PRIVILEGES wanted, DWORD size, PTOKEN_PRIVILEGES before, PDWORD n) -> BOOL {
            if (++adjustments != failAdjustment)
                return ::AdjustTokenPrivileges(token, none, wanted, size, before, n);
            ::SetLastError(ERROR_NOT_ALL_ASSIGNED);
            return FALSE;
        });
};

TEST(RegistryPrivileges, RestoreThenBackupEachRefusalWithItsText)
{
    struct Case {
        int failLookup, failAdjustment;
        DWORD code;
        std::string text;
    };
    const Case cases[] = {
        {1, 0, ERROR_NO_SUCH_PRIVILEGE, "Cannot look up SE_RESTORE_NAME privilege value"},
        {2, 0, ERROR_NO_SUCH_PRIVILEGE, "Cannot look up SE_BACKUP_NAME privilege value"},
        {0, 1, ERROR_NOT_ALL_ASSIGNED, "Cannot add restore privilege to process"},
        {0, 2, ERROR_NOT_ALL_ASSIGNED, "Cannot add backup privilege to process"},
    };
    for (const Case& c : cases) {
        Privileges watch(c.failLookup, c.failAdjustment);
        EXPECT_EQ(support::thrown([] { winreg::enableBackupRestorePrivileges(); }).second,
                  failure(static_cast<LONG>(c.code), c.text));
    }
    auto token = support::refuse(sys::calls.OpenProcessToken, ERROR_ACCESS_DENIED);
    EXPECT_EQ(support::thrown([] { winreg::enableBackupRestorePrivileges(); }).second,
              failure(ERROR_ACCESS_DENIED, "Cannot get current process token"));
}

struct LoadCalls {
    static inline int loads = 0, refusals = 0; // the first `refusals` loads are refused
    static inline LONG refusal = 0;
};

// A hive file saved from the test area is loaded under a name of the test's own, for as long
// as the guard lives; a load refused for want of privilege is tried once more with them.
TEST(RegistryLoadedHive, LoadedUntilTheGuardGoesAndRetriedOnceWithPrivileges)
{
    winreg::enableBackupRestorePrivileges();
    RegistryArea area("hive");
    support::ScratchDir dir;
    area.setValue("saved\\inner", L"greeting", REG_SZ, regSz(L"hello"));
    const std::string file = dir / "saved.hive";
    {
        winreg::Key saved(area.key(), "saved");
        ASSERT_EQ(::RegSaveKeyW(saved.handle(), toWide(file).c_str(), nullptr), ERROR_SUCCESS);
    }
    const std::string mount = "RestoreWorkerTests-" + support::randomSuffix();
    const auto mounted = [&] { return support::keyExists(HKEY_LOCAL_MACHINE, mount + "\\inner"); };

    auto refuse = support::replaced(
        sys::calls.RegLoadKeyW, +[](HKEY root, LPCWSTR name, LPCWSTR path) -> LONG {
            return ++LoadCalls::loads <= LoadCalls::refusals ? LoadCalls::refusal : ::RegLoadKeyW(root, name, path);
        });
    struct Case {
        LONG refusal;
        int refusals, loads, lookups; // lookups: privileges enabled before the second load
    };
    const Case cases[] = {
        {ERROR_PRIVILEGE_NOT_HELD, 1, 2, 2},
        {ERROR_PRIVILEGE_NOT_HELD, 2, 2, 2},
        {ERROR_ACCESS_DENIED, 9, 1, 0}, // other refusals are not retried
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.refusals);
        LoadCalls::loads = 0;
        LoadCalls::refusals = c.refusals;
        LoadCalls::refusal = c.refusal;
        Privileges watch(0, 0);
        const auto load = [&] {
            winreg::LoadedHive hive(HKEY_LOCAL_MACHINE, mount, file);
            EXPECT_TRUE(mounted());
        };
        EXPECT_EQ(support::thrown(load).second,
                  c.loads > c.refusals ? ""
                                       : failure(c.refusal, "Unable to load hive " + file + " into active registry"));
        EXPECT_EQ(LoadCalls::loads, c.loads);
        EXPECT_EQ(Privileges::lookups, c.lookups);
        EXPECT_FALSE(mounted());
    }
}

} // namespace
