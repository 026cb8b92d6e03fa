// The end-of-restore hive step against Wine's registry: hive files are saved from key trees
// of a private area, listed in the worker's hive list as the writers list them, and run
// through the step. Moves at boot and the switch of SYSTEM's backing file are watched
// through the system-call table; what the step wrote into a restored SYSTEM hive is read
// back by loading its file again. Running-registry keys and values that a test adds or
// changes are put back as they were.
#include "hives/hive_restore.h"

#include "hives/hive_lock.h"

#include "common/error.h"
#include "common/log.h"
#include "common/text.h"
#include "registry/registry.h"
#include "io/fs.h"
#include "io/temp_dir.h"
#include "registry_area.h"
#include "sys/syscalls.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using testing_registry::Bytes;
using testing_registry::dword;
using testing_registry::expectError;
using testing_registry::LogCapture;
using testing_registry::machineKeyExists;
using testing_registry::multi;
using testing_registry::TestArea;
using testing_registry::text;
using testing_registry::Value;
using testing_registry::wideBytes;
using Lines = std::vector<std::pair<int, std::string>>;

// A drive path in the kernel's device form, as Windows lists the files of loaded hives.
std::wstring devicePath(const std::string& path)
{
    wchar_t device[MAX_PATH];
    EXPECT_NE(::QueryDosDeviceW(toWide(path.substr(0, 2)).c_str(), device, MAX_PATH), 0u) << path;
    return std::wstring(device) + toWide(path.substr(2));
}

std::optional<Value> machineValue(const std::string& path, const std::wstring& name)
{
    return testing_registry::readValue(HKEY_LOCAL_MACHINE, path, name);
}

void setMachineValue(const std::string& path, const std::wstring& name, DWORD type, const Bytes& data)
{
    HKEY key = nullptr;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, toWide(path).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    LONG result = ::RegSetValueExW(key, name.c_str(), 0, type, data.empty() ? nullptr : data.data(),
                                   static_cast<DWORD>(data.size()));
    ::RegCloseKey(key);
    ASSERT_EQ(result, ERROR_SUCCESS);
}

void deleteMachineValue(const std::string& path, const std::wstring& name)
{
    ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, toWide(path).c_str(), name.c_str());
}

// A running-registry value that the test may change: put back (or removed) at the end.
class SavedValue {
public:
    SavedValue(std::string path, std::wstring name)
        : path_(std::move(path)), name_(std::move(name)), saved_(machineValue(path_, name_))
    {
    }
    ~SavedValue()
    {
        if (saved_)
            setMachineValue(path_, name_, saved_->first, saved_->second);
        else
            deleteMachineValue(path_, name_);
    }
    SavedValue(const SavedValue&) = delete;
    SavedValue& operator=(const SavedValue&) = delete;

private:
    std::string path_;
    std::wstring name_;
    std::optional<Value> saved_;
};

// An HKEY_LOCAL_MACHINE key that must not exist before the test: removed with its tree.
class OwnKey {
public:
    explicit OwnKey(std::string path) : path_(std::move(path)) { EXPECT_FALSE(machineKeyExists(path_)) << path_; }
    ~OwnKey()
    {
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, toWide(path_).c_str());
        ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, toWide(path_).c_str());
    }
    OwnKey(const OwnKey&) = delete;
    OwnKey& operator=(const OwnKey&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

const std::string listPath = "Software\\Harbex\\hives";
const std::string sessionManager = "System\\CurrentControlSet\\Control\\Session Manager";
const std::string keysNotToRestore = "SYSTEM\\CurrentControlSet\\Control\\BackupRestore\\KeysNotToRestore";

// What the step asked of MoveFileExW and RegReplaceKeyW.
struct Requests {
    struct Move {
        std::wstring from, to;
        DWORD flags;
    };
    struct Replace {
        HKEY root;
        std::wstring subkey, file, old;
    };
    static inline std::vector<Move> moves;
    static inline std::vector<Replace> replaces;
    static inline DWORD moveError = 0; // 0: the move is accepted
    static inline LONG replaceResult = 0;
    // Files that the step loaded, and a copy of the mounted hive taken at each unload.
    static inline std::vector<std::wstring> loads;
    static inline std::vector<std::wstring> snapshots;
    static inline std::wstring snapshotDir;
};

class HiveRestoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        winreg::enableBackupRestorePrivileges();
        Requests::moves.clear();
        Requests::replaces.clear();
        Requests::moveError = 0;
        Requests::replaceResult = ERROR_SUCCESS;
        ASSERT_FALSE(machineKeyExists("HarbexDelayMerge"));
    }
    void TearDown() override
    {
        EXPECT_FALSE(machineKeyExists("HarbexDelayMerge")) << "a hive was left loaded";
        ::RegUnLoadKeyW(HKEY_LOCAL_MACHINE, L"HarbexDelayMerge");
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, toWide(listPath).c_str());
        ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, toWide(listPath).c_str());
        ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"Software\\Harbex"); // fails while not empty
    }

    // Saves area\sub as a hive file in the test directory.
    std::string saveHive(const std::string& sub, const std::string& name)
    {
        const std::string file = dir / name;
        HKEY key = nullptr;
        EXPECT_EQ(::RegOpenKeyExW(area.key(), toWide(sub).c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
        EXPECT_EQ(::RegSaveKeyW(key, toWide(file).c_str(), nullptr), ERROR_SUCCESS);
        ::RegCloseKey(key);
        return file;
    }
    // Lists a restored hive as the writers do: work file -> target.
    void listHive(const std::string& fallback, const std::string& target) { listHive(fallback, target, hives); }
    static void listHive(const std::string& fallback, const std::string& target, HiveRegistry& run)
    {
        LogCapture quiet(0);
        run.recordHive(target, fallback);
    }
    // The targets of the tests' hives in the test directory, as live hives.
    std::set<std::wstring> liveTargets() const
    {
        std::set<std::wstring> live;
        for (const char* name : {"SOFTWARE", "SYSTEM", "SYSTEM2", "BROKEN"})
            live.insert(devicePath(dir / name));
        return live;
    }

    // What `read` finds below a hive file loaded under a name of the test's own.
    template <class Read>
    static auto inHive(const std::string& file, Read read)
    {
        const std::string mount = "RestoreWorkerTests-" + testing_registry::randomSuffix();
        EXPECT_EQ(::RegLoadKeyW(HKEY_LOCAL_MACHINE, toWide(mount).c_str(), toWide(file).c_str()), ERROR_SUCCESS);
        auto found = read(mount + "\\");
        ::RegUnLoadKeyW(HKEY_LOCAL_MACHINE, toWide(mount).c_str());
        return found;
    }
    static std::optional<Value> hiveValue(const std::string& file, const std::string& path, const std::wstring& name)
    {
        return inHive(file, [&](const std::string& mount) { return machineValue(mount + path, name); });
    }
    static bool hiveKeyExists(const std::string& file, const std::string& path)
    {
        return inHive(file, [&](const std::string& mount) { return machineKeyExists(mount + path); });
    }

    TestArea area{"hive-restore"};
    testing_fs::TempDir dir;
    HiveRegistry hives{liveTargets()};
    SavedValue allowRenames{sessionManager, L"AllowProtectedRenames"};
    SavedValue pendingRenames{sessionManager, L"PendingFileRenameOperations"};
    sys::Override<decltype(sys::calls.MoveFileExW)> watchMoves{sys::calls.MoveFileExW,
                                                               +[](LPCWSTR from, LPCWSTR to, DWORD flags) -> BOOL {
                                                                   Requests::moves.push_back({from, to, flags});
                                                                   if (Requests::moveError == 0)
                                                                       return TRUE;
                                                                   ::SetLastError(Requests::moveError);
                                                                   return FALSE;
                                                               }};
    sys::Override<decltype(sys::calls.RegReplaceKeyW)> watchReplaces{
        sys::calls.RegReplaceKeyW, +[](HKEY root, LPCWSTR subkey, LPCWSTR file, LPCWSTR old) -> LONG {
            Requests::replaces.push_back({root, subkey, file, old});
            return Requests::replaceResult;
        }};
};

// ---------------------------------------------------------------- copy and merge

std::vector<std::string> subkeyNames(HKEY root, const std::string& path)
{
    std::vector<std::string> names;
    winreg::Key key(root, path);
    for (const winreg::Key& sub : key.subkeys())
        names.push_back(sub.path());
    return names;
}

TEST(HiveCopy, ReplacesTheDestinationTreeWithTheSource)
{
    TestArea area("copy");
    area.createKey("from\\a\\deep");
    area.createKey("from\\b");
    area.setValue("from", L"top", REG_SZ, text(L"new"));
    area.setValue("from\\a\\deep", L"bin", REG_BINARY, {1, 2, 3});
    area.setValue("from\\a\\deep", L"none", REG_NONE, {});
    area.createKey("to\\a\\stale");
    area.createKey("to\\gone");
    area.setValue("to", L"top", REG_DWORD, dword(7));
    area.setValue("to", L"stale", REG_SZ, text(L"old"));

    copyAndReplace(area.root(), area.path("from"), area.root(), area.path("to"));

    EXPECT_EQ(subkeyNames(area.root(), area.path("to")), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(subkeyNames(area.root(), area.path("to\\a")), (std::vector<std::string>{"deep"}));
    EXPECT_EQ(area.value("to", L"top"), Value(REG_SZ, text(L"new")));
    EXPECT_FALSE(area.value("to", L"stale"));
    EXPECT_EQ(area.value("to\\a\\deep", L"bin"), Value(REG_BINARY, {1, 2, 3}));
    EXPECT_EQ(area.value("to\\a\\deep", L"none"), Value(REG_NONE, {}));
    // The source is left as it was.
    EXPECT_TRUE(area.value("from", L"top"));

    // A destination that does not exist yet is made, with the keys above it.
    copyAndReplace(area.root(), area.path("from\\a"), area.root(), area.path("new\\x"));
    EXPECT_TRUE(area.value("new\\x\\deep", L"bin"));
}

TEST(HiveCopy, MissingSourcesAndDestinationsThatCannotBeErased)
{
    TestArea area("copy-faults");
    const std::string missing = area.path("missing");
    const std::string notFound = error::systemErrorText(ERROR_FILE_NOT_FOUND);
    expectError<error::EFileNotFoundError>([&] { copyAndReplace(area.root(), missing, area.root(), area.path("to")); },
                                           "No source key \"" + missing + "\": " + notFound);
    expectError<error::EFileNotFoundError>([&] { mergeKey(area.root(), missing, area.root(), area.path("to")); },
                                           "Cannot merge non-existing source key \"" + missing + "\": " + notFound);
    EXPECT_FALSE(area.keyExists("to"));

    // An old destination that cannot be deleted is logged; the copy goes on over it.
    area.setValue("from", L"v", REG_SZ, text(L"new"));
    area.setValue("to", L"old", REG_SZ, text(L"old"));
    LogCapture log;
    {
        sys::Override refuse(
            sys::calls.RegDeleteKeyW, +[](HKEY, LPCWSTR) -> LONG { return ERROR_ACCESS_DENIED; });
        copyAndReplace(area.root(), area.path("from"), area.root(), area.path("to"));
    }
    EXPECT_EQ(log.lines, (Lines{{1, "During copy-and-replace, unable to erase destination \"" + area.path("to") +
                                        "\": Unable to delete key: " + error::systemErrorText(ERROR_ACCESS_DENIED)}}));
    EXPECT_TRUE(area.value("to", L"v"));
}

TEST(HiveMerge, StartValuesDecideWhichSubkeysAreReplaced)
{
    TestArea area("merge");
    struct Case {
        const char* name;
        std::optional<DWORD> running, restored; // "start" of the subkey on either side
        bool replaced;
    };
    const Case cases[] = {
        {"lower start", 1, 3, true},
        {"restored without start", 2, std::nullopt, true},
        {"equal start", 2, 2, false},
        {"higher start", 4, 3, false},
        {"running without start", std::nullopt, 3, false},
        {"neither", std::nullopt, std::nullopt, false},
    };
    for (const Case& c : cases) {
        const std::string from = std::string("from\\") + c.name;
        const std::string to = std::string("to\\") + c.name;
        area.createKey(from + "\\child");
        area.createKey(to + "\\own");
        area.setValue(from, L"marker", REG_SZ, text(L"running"));
        area.setValue(to, L"marker", REG_SZ, text(L"restored"));
        if (c.running)
            area.setValue(from, L"start", REG_DWORD, dword(*c.running));
        if (c.restored)
            area.setValue(to, L"start", REG_DWORD, dword(*c.restored));
    }
    // Missing subkeys are merged in, deeply.
    area.setValue("from\\added\\inner", L"v", REG_DWORD, dword(5));
    area.setValue("from", L"shared", REG_SZ, text(L"running"));
    area.setValue("to", L"shared", REG_BINARY, {9});
    area.setValue("to", L"own", REG_SZ, text(L"restored"));

    mergeKey(area.root(), area.path("from"), area.root(), area.path("to"));

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string to = std::string("to\\") + c.name;
        EXPECT_EQ(area.value(to, L"marker"), Value(REG_SZ, text(c.replaced ? L"running" : L"restored")));
        EXPECT_EQ(area.keyExists(to + "\\child"), c.replaced);
        EXPECT_EQ(area.keyExists(to + "\\own"), !c.replaced);
    }
    EXPECT_EQ(area.value("to\\added\\inner", L"v"), Value(REG_DWORD, dword(5)));
    EXPECT_EQ(area.value("to", L"shared"), Value(REG_SZ, text(L"running")));
    EXPECT_TRUE(area.value("to", L"own")); // values the running key lacks stay

    // A "start" that is not a number is refused.
    area.createKey("bad-from\\s");
    area.createKey("bad-to\\s");
    area.setValue("bad-from\\s", L"start", REG_SZ, text(L"1"));
    expectError<error::EParseError>(
        [&] { mergeKey(area.root(), area.path("bad-from"), area.root(), area.path("bad-to")); },
        "Expected value of type REG_DWORD");
}

TEST(HiveControlSet, NameHasAtLeastThreeDigits)
{
    const std::pair<unsigned, const char*> cases[] = {
        {0, "ControlSet000"},
        {1, "ControlSet001"},
        {2, "ControlSet002"},
        {12, "ControlSet012"},
        {123, "ControlSet123"},
        {1234, "ControlSet1234"},
        {4294967295u, "ControlSet4294967295"},
    };
    for (const auto& [number, name] : cases)
        EXPECT_EQ(controlSetName(number), name);
}

// ---------------------------------------------------------------- the whole step

// The running moves at boot, whatever they hold, are none of this step's business when it
// restored no SYSTEM hive.
const std::pair<const char*, std::optional<Value>> kRunningMoves[] = {
    {"missing", std::nullopt},
    {"empty", Value(REG_MULTI_SZ, {})},
    {"odd byte count", Value(REG_MULTI_SZ, {0x41, 0, 0})},
    {"no double zero", Value(REG_MULTI_SZ, wideBytes(std::wstring(L"\\??\\C:\\a\0!\\??\\C:\\b", 15)))},
    {"of another type", Value(REG_SZ, text(L"\\??\\C:\\a"))},
};

TEST_F(HiveRestoreTest, WithoutRestoredHivesOnlyTheListGoes)
{
    auto allowBefore = machineValue(sessionManager, L"AllowProtectedRenames");
    for (const auto& [what, running] : kRunningMoves) {
        SCOPED_TRACE(what);
        deleteMachineValue(sessionManager, L"PendingFileRenameOperations");
        if (running)
            setMachineValue(sessionManager, L"PendingFileRenameOperations", running->first, running->second);
        HiveRegistry run{liveTargets()};
        LogCapture log;
        processDeferredHives(run);
        EXPECT_EQ(log.lines, (Lines{{2, "Will schedule moves of non-SYSTEM hives"},
                                    {2, "Will run hive merge on the SYSTEM hive"},
                                    {2, "Completed deferred processing"}}));
        EXPECT_FALSE(machineKeyExists(listPath));
        EXPECT_TRUE(Requests::moves.empty());
        EXPECT_TRUE(Requests::replaces.empty());
        EXPECT_EQ(machineValue(sessionManager, L"AllowProtectedRenames"), allowBefore);
    }
}

TEST_F(HiveRestoreTest, OtherHivesMoveAtBootAndAskForTheReboot)
{
    area.setValue("software\\Microsoft", L"x", REG_DWORD, dword(1));
    const std::string fallback = saveHive("software", "software.restored");
    const std::string target = dir / "SOFTWARE";
    struct Case {
        const char* what;
        DWORD moveError;
        int level;
        Lines lines;
    };
    const std::string scheduled = "Hive file " + fallback + " is NOT the SYSTEM hive. Will schedule move of fallback " +
                                  fallback + " for original hive " + target;
    const Case cases[] = {
        {"accepted",
         0,
         3,
         {{2, "Will schedule moves of non-SYSTEM hives"},
          {2, scheduled},
          {2, "Will run hive merge on the SYSTEM hive"},
          {2, "Instructing system to allow WFP protected files to move on boot"},
          {2, "Completed deferred processing. Please reboot."}}},
        {"refused, quietly logged",
         ERROR_ACCESS_DENIED,
         1,
         {{1, "Cannot request move of hive! " + error::systemErrorText(ERROR_ACCESS_DENIED)}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        HiveRegistry run{liveTargets()};
        listHive(fallback, target, run);
        deleteMachineValue(sessionManager, L"AllowProtectedRenames");
        Requests::moves.clear();
        Requests::moveError = c.moveError;
        LogCapture log(c.level);
        processDeferredHives(run);
        EXPECT_EQ(log.lines, c.lines);
        EXPECT_TRUE(run.rebootRequired());
        ASSERT_EQ(Requests::moves.size(), 1u);
        EXPECT_EQ(Requests::moves[0].from, longPathW(fallback));
        EXPECT_EQ(Requests::moves[0].to, longPathW(target));
        EXPECT_EQ(Requests::moves[0].from.substr(0, 4), L"\\\\?\\");
        EXPECT_EQ(Requests::moves[0].flags, DWORD{MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT});
        EXPECT_TRUE(Requests::replaces.empty());
        EXPECT_EQ(machineValue(sessionManager, L"AllowProtectedRenames"), Value(REG_DWORD, dword(1)));
        EXPECT_FALSE(machineKeyExists(listPath));
    }
}

TEST_F(HiveRestoreTest, EntriesOfAnotherRunAreLeftToIt)
{
    area.createKey("software");
    const std::string mine = saveHive("software", "mine.restored");
    const std::string theirs = saveHive("software", "theirs.restored");
    HiveRegistry other{liveTargets()};
    listHive(mine, dir / "SOFTWARE");
    listHive(theirs, dir / "SOFTWARE", other);
    LogCapture quiet(0);

    processDeferredHives(hives);
    ASSERT_EQ(Requests::moves.size(), 1u);
    EXPECT_EQ(Requests::moves[0].from, longPathW(mine));
    EXPECT_FALSE(machineValue(listPath, toWide(mine)));
    EXPECT_TRUE(machineValue(listPath, toWide(theirs)));

    // The other run's step finds its own entry, and removes the list after it.
    processDeferredHives(other);
    ASSERT_EQ(Requests::moves.size(), 2u);
    EXPECT_EQ(Requests::moves[1].from, longPathW(theirs));
    EXPECT_FALSE(machineKeyExists(listPath));
}

TEST(HiveStepLock, WaitsForItsHolderAndTakesOverFromOneThatEnded)
{
    sys::UniqueHandle held(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    sys::UniqueHandle waiting(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const int savedLevel = logLevel;
    logLevel = 2;
    std::vector<std::string> lines;
    // The line that says the taker waits lets the holder go.
    const LogSink savedSink = setLogSink([&](const std::string& text, int, bool) {
        lines.push_back(text);
        ::SetEvent(waiting.get());
    });

    bool released = false;
    std::thread holder([&] {
        HiveStepLock lock;
        ::SetEvent(held.get());
        ::WaitForSingleObject(waiting.get(), INFINITE);
        released = true;
    });
    ::WaitForSingleObject(held.get(), INFINITE);
    {
        HiveStepLock lock;
        EXPECT_TRUE(released);
    }
    holder.join();
    EXPECT_EQ(lines, std::vector<std::string>{"Waiting for the hive step of another restore"});

    // A holder that ends without releasing the lock leaves it to the next taker at once.
    HiveStepLock* left = nullptr;
    std::thread([&] { left = new HiveStepLock; }).join();
    lines.clear();
    EXPECT_NO_THROW(HiveStepLock());
    EXPECT_TRUE(lines.empty());
    delete left;

    setLogSink(savedSink);
    logLevel = savedLevel;
}

TEST_F(HiveRestoreTest, MovesAtBootReachWindows)
{
    // Without the table's watcher: Wine records the move among its pending renames.
    sys::Override real(sys::calls.MoveFileExW, ::MoveFileExW);
    deleteMachineValue(sessionManager, L"PendingFileRenameOperations");
    area.createKey("software\\Classes");
    const std::string fallback = saveHive("software", "software.restored");
    const std::string target = dir / "SOFTWARE";
    listHive(fallback, target);
    LogCapture quiet(0);
    processDeferredHives(hives);
    auto pending = machineValue(sessionManager, L"PendingFileRenameOperations");
    ASSERT_TRUE(pending.has_value());
    std::wstring list(reinterpret_cast<const wchar_t*>(pending->second.data()), pending->second.size() / 2);
    EXPECT_NE(list.find(L"software.restored"), std::wstring::npos);
    EXPECT_NE(list.find(L"SOFTWARE"), std::wstring::npos);
    EXPECT_TRUE(hives.rebootRequired());
}

// The SYSTEM hive as Windows guards it: administrators may only read some of its keys (such
// as Enum), so an open or a create is refused unless it asks for backup and restore, which
// the enabled privileges then grant. The worker's own list key is open to it as usual.
struct GuardedSystemKeys {
    static inline bool privilegesEnabled = false;

    static LONG refusal(LPCWSTR path, DWORD options)
    {
        if ((options & REG_OPTION_BACKUP_RESTORE) != 0)
            return privilegesEnabled ? ERROR_SUCCESS : ERROR_PRIVILEGE_NOT_HELD;
        const std::wstring own = L"Software\\Harbex";
        return path != nullptr && _wcsnicmp(path, own.c_str(), own.size()) == 0 ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
    }

    GuardedSystemKeys() { privilegesEnabled = false; }

    sys::Override<decltype(sys::calls.AdjustTokenPrivileges)> adjust{
        sys::calls.AdjustTokenPrivileges,
        +[](HANDLE token, BOOL none, PTOKEN_PRIVILEGES wanted, DWORD size, PTOKEN_PRIVILEGES before,
            PDWORD length) -> BOOL {
            privilegesEnabled = true;
            return ::AdjustTokenPrivileges(token, none, wanted, size, before, length);
        }};
    sys::Override<decltype(sys::calls.RegOpenKeyExW)> open{
        sys::calls.RegOpenKeyExW, +[](HKEY parent, LPCWSTR path, DWORD options, REGSAM access, PHKEY key) -> LONG {
            const LONG refused = refusal(path, options);
            return refused != ERROR_SUCCESS ? refused : ::RegOpenKeyExW(parent, path, options, access, key);
        }};
    sys::Override<decltype(sys::calls.RegCreateKeyExW)> create{
        sys::calls.RegCreateKeyExW,
        +[](HKEY parent, LPCWSTR path, DWORD reserved, LPWSTR cls, DWORD options, REGSAM access,
            LPSECURITY_ATTRIBUTES security, PHKEY key, LPDWORD disposition) -> LONG {
            const LONG refused = refusal(path, options);
            return refused != ERROR_SUCCESS
                       ? refused
                       : ::RegCreateKeyExW(parent, path, reserved, cls, options, access, security, key, disposition);
        }};
};

// A restored SYSTEM hive with Current = 2, and the running keys that are not to be restored.
class SystemHiveTest : public HiveRestoreTest {
protected:
    void SetUp() override
    {
        HiveRestoreTest::SetUp();
        Requests::loads.clear();
        Requests::snapshots.clear();
        Requests::snapshotDir = toWide(dir.path());
        area.setValue("system\\Select", L"Current", REG_DWORD, dword(2));
        area.createKey("system\\ControlSet002\\Enum\\" + tag + "\\restored-device");
        area.setValue("system\\ControlSet002\\Services\\" + tag + "\\Kept", L"start", REG_DWORD, dword(1));
        area.setValue("system\\ControlSet002\\Services\\" + tag, L"restored", REG_SZ, text(L"stays"));
        area.setValue("system\\ControlSet002\\Control\\" + tag, L"Name", REG_SZ, text(L"restored"));
        area.setValue("system\\ControlSet002\\Control\\" + tag, L"Missing", REG_SZ, text(L"restored"));
        area.createKey("system\\ControlSet002\\Control\\Session Manager");
    }

    // Running keys below SYSTEM\CurrentControlSet that the entries name.
    void makeRunningKeys()
    {
        setMachineValue(runningEnum.path() + "\\device", L"id", REG_SZ, text(L"running"));
        setMachineValue(runningServices.path() + "\\Kept", L"start", REG_DWORD, dword(3));
        setMachineValue(runningServices.path() + "\\Added", L"start", REG_DWORD, dword(2));
        setMachineValue(runningServices.path(), L"running", REG_SZ, text(L"merged"));
        setMachineValue(runningControl.path(), L"Name", REG_SZ, text(L"running"));
        setMachineValue(runningControl.path(), L"Merged", REG_SZ, text(L"running"));
    }

    // Wine does not write a loaded hive's changes back to its file, so what the step leaves
    // in the restored hive is saved to a file of its own just before each unload.
    sys::Override<decltype(sys::calls.RegLoadKeyW)> watchLoads{sys::calls.RegLoadKeyW,
                                                               +[](HKEY root, LPCWSTR subkey, LPCWSTR file) -> LONG {
                                                                   Requests::loads.emplace_back(file);
                                                                   return ::RegLoadKeyW(root, subkey, file);
                                                               }};
    sys::Override<decltype(sys::calls.RegUnLoadKeyW)> watchUnloads{
        sys::calls.RegUnLoadKeyW, +[](HKEY root, LPCWSTR subkey) -> LONG {
            HKEY mounted = nullptr;
            if (::RegOpenKeyExW(root, subkey, 0, KEY_READ, &mounted) == ERROR_SUCCESS) {
                std::wstring file =
                    Requests::snapshotDir + L"\\snapshot-" + std::to_wstring(Requests::snapshots.size());
                if (::RegSaveKeyW(mounted, file.c_str(), nullptr) == ERROR_SUCCESS)
                    Requests::snapshots.push_back(file);
                ::RegCloseKey(mounted);
            }
            return ::RegUnLoadKeyW(root, subkey);
        }};
    // The restored hive as the step left it at its last unload.
    std::string merged() const
    {
        EXPECT_FALSE(Requests::snapshots.empty());
        return Requests::snapshots.empty() ? std::string() : toUtf8(Requests::snapshots.back());
    }

    const std::string tag = "RWTEST-" + testing_registry::randomSuffix();
    OwnKey runningEnum{"SYSTEM\\CurrentControlSet\\Enum\\" + tag};
    OwnKey runningServices{"SYSTEM\\CurrentControlSet\\Services\\" + tag};
    OwnKey runningControl{"SYSTEM\\CurrentControlSet\\Control\\" + tag};
};

TEST_F(SystemHiveTest, KeysNotToRestoreAreCarriedIntoTheFirstSystemHive)
{
    makeRunningKeys();
    OwnKey list{"SYSTEM\\CurrentControlSet\\Control\\BackupRestore"};
    const std::wstring wtag = toWide(tag);
    setMachineValue(
        keysNotToRestore, L"A entries", REG_MULTI_SZ,
        multi({L"CurrentControlSet\\Enum\\" + wtag + L"\\", L"CurrentControlSet\\Services\\" + wtag + L"\\*",
               L"CurrentControlSet\\Control\\" + wtag + L"\\Name",
               L"CurrentControlSet\\Control\\" + wtag + L"\\Missing",
               // A star without a backslash before it merges too, the character
               // before the star dropped like the backslash.
               L"CurrentControlSet\\Control\\" + wtag + L"+*", L"CurrentControlSet\\Absent-" + wtag + L"\\",
               L"CurrentControlSet\\Control\\Session Manager\\AllowProtectedRenames"}));
    setMachineValue(keysNotToRestore, L"B not a list", REG_SZ, text(L"CurrentControlSet\\Enum\\"));
    // Copied from the running system like any value, then set for the boot that switches hives.
    setMachineValue(sessionManager, L"AllowProtectedRenames", REG_DWORD, dword(0));

    const std::string system = saveHive("system", "b-system.restored");
    const std::string second = saveHive("system", "c-system.restored");
    const std::string broken = dir / "a-broken.restored";
    testing_fs::writeFile(broken, "not a hive");
    listHive(broken, dir / "BROKEN");
    listHive(system, dir / "SYSTEM");
    listHive(second, dir / "SYSTEM2");

    LogCapture log;
    {
        GuardedSystemKeys guarded;
        processDeferredHives(hives);
    }

    const std::string hive = "HarbexDelayMerge\\ControlSet002";
    const std::string active = "SYSTEM\\CurrentControlSet";
    const std::vector<std::string> expected = {
        {" Will process key \"CurrentControlSet\\Enum\\" + tag + "\\\" for \"A entries\""},
        {"  Will copy-and-replace active registry key \"" + active + "\\Enum\\" + tag + "\" into hive under \"" + hive +
         "\\Enum\\" + tag + "\""},
        {"  Will merge active registry key \"" + active + "\\Services\\" + tag + "\" into hive under \"" + hive +
         "\\Services\\" + tag + "\""},
        {"Preserving \"" + active + "\\Control\\" + tag + ":Name\" from active registry, copying it to " + hive +
         "\\Control\\" + tag + ":Name"},
        {"Cannot preserve \"" + active + "\\Control\\" + tag + "\" because it is not there."},
        {"  Will merge active registry key \"" + active + "\\Control\\" + tag + "\" into hive under \"" + hive +
         "\\Control\\" + tag + "\""},
        {"  Skipping non-existing subkey " + active + "\\Absent-" + tag},
        {"Cannot process value (Expected value of type REG_MULTI_SZ). Skipping."},
        {"File " + system + " is the SYSTEM hive. Will process..."},
        {"The CurrentControlSet path is: ControlSet002"},
        {"Hive file " + system + " holds the SYSTEM hive. Will process later"},
        {"Hive file " + second + " holds the SYSTEM hive. Will process later"},
        {"New system hive stored in: " + system},
        {"Completed deferred processing. Please reboot."},
    };
    for (const std::string& line : expected)
        EXPECT_TRUE(log.has(2, line)) << line;
    // The file that does not load is passed over in both walks.
    int loadFailures = 0;
    for (const auto& [level, line] : log.lines)
        if (line.rfind("Could not load hive: Unable to load hive " + broken + " into active registry: ", 0) == 0) {
            EXPECT_EQ(level, 1);
            ++loadFailures;
        }
    EXPECT_EQ(loadFailures, 2);
    EXPECT_FALSE(log.has(2, "File " + second + " is the SYSTEM hive. Will process..."));

    // Only the first SYSTEM hive replaces SYSTEM, at the next boot; nothing is moved at boot.
    ASSERT_EQ(Requests::replaces.size(), 1u);
    EXPECT_EQ(Requests::replaces[0].root, HKEY_LOCAL_MACHINE);
    EXPECT_EQ(Requests::replaces[0].subkey, L"SYSTEM");
    EXPECT_EQ(Requests::replaces[0].file, longPathW(system));
    EXPECT_EQ(Requests::replaces[0].old, longPathW(dir / "SYSTEM.oldbackup"));
    EXPECT_TRUE(Requests::moves.empty());
    EXPECT_TRUE(hives.rebootRequired());
    EXPECT_EQ(machineValue(sessionManager, L"AllowProtectedRenames"), Value(REG_DWORD, dword(1)));
    EXPECT_FALSE(machineKeyExists(listPath));

    // Each listed file is loaded in each walk until the first SYSTEM hive is found; the file
    // that does not load is never taken for SYSTEM and the second SYSTEM hive is never merged.
    EXPECT_EQ(Requests::loads, (std::vector<std::wstring>{toWide(broken), toWide(system), toWide(second),
                                                          toWide(broken), toWide(system)}));

    // The merged hive.
    const std::string cs = "ControlSet002\\";
    const std::string result = merged();
    EXPECT_EQ(hiveValue(result, cs + "Enum\\" + tag + "\\device", L"id"), Value(REG_SZ, text(L"running")));
    EXPECT_FALSE(hiveKeyExists(result, cs + "Enum\\" + tag + "\\restored-device"));
    EXPECT_EQ(hiveValue(result, cs + "Services\\" + tag + "\\Kept", L"start"), Value(REG_DWORD, dword(1)));
    EXPECT_EQ(hiveValue(result, cs + "Services\\" + tag + "\\Added", L"start"), Value(REG_DWORD, dword(2)));
    EXPECT_EQ(hiveValue(result, cs + "Services\\" + tag, L"running"), Value(REG_SZ, text(L"merged")));
    EXPECT_EQ(hiveValue(result, cs + "Services\\" + tag, L"restored"), Value(REG_SZ, text(L"stays")));
    EXPECT_EQ(hiveValue(result, cs + "Control\\" + tag, L"Name"), Value(REG_SZ, text(L"running")));
    EXPECT_EQ(hiveValue(result, cs + "Control\\" + tag, L"Missing"), Value(REG_SZ, text(L"restored")));
    EXPECT_EQ(hiveValue(result, cs + "Control\\" + tag, L"Merged"), Value(REG_SZ, text(L"running")));
    EXPECT_EQ(hiveValue(result, cs + "Control\\Session Manager", L"AllowProtectedRenames"), Value(REG_DWORD, dword(1)));
}

TEST_F(SystemHiveTest, WithoutTheListTheHiveIsStillPutInPlaceWithThePendingMoves)
{
    ASSERT_FALSE(machineKeyExists(keysNotToRestore));
    area.createKey("software");
    const std::string software = saveHive("software", "a-software.restored");
    const std::string system = saveHive("system", "b-system.restored");
    listHive(software, dir / "SOFTWARE");
    listHive(system, dir / "SYSTEM");
    const Bytes pending = multi({L"\\??\\C:\\somewhere\\new", L"!\\??\\C:\\somewhere\\old"});
    setMachineValue(sessionManager, L"PendingFileRenameOperations", REG_MULTI_SZ, pending);
    Requests::replaceResult = ERROR_ACCESS_DENIED;

    LogCapture log;
    processDeferredHives(hives);

    EXPECT_TRUE(log.has(0, "Unable to find list of keys not to restore!"));
    bool walkEnded = false;
    for (const auto& [level, line] : log.lines)
        if (line.rfind("Error processing hive file: Cannot enumerate value data: ", 0) == 0) {
            EXPECT_EQ(level, 2);
            walkEnded = true;
        }
    EXPECT_TRUE(walkEnded);
    EXPECT_TRUE(log.has(1, "Unable to switch backing store: " + error::systemErrorText(ERROR_ACCESS_DENIED)));
    EXPECT_TRUE(log.has(2, "Completed deferred processing. Please reboot."));
    ASSERT_EQ(Requests::replaces.size(), 1u);
    EXPECT_EQ(Requests::replaces[0].subkey, L"SYSTEM");
    EXPECT_EQ(Requests::replaces[0].file, longPathW(system));
    EXPECT_EQ(Requests::replaces[0].old, longPathW(dir / "SYSTEM.oldbackup"));
    ASSERT_EQ(Requests::moves.size(), 1u);
    EXPECT_EQ(Requests::moves[0].from, longPathW(software));
    EXPECT_EQ(machineValue(sessionManager, L"AllowProtectedRenames"), Value(REG_DWORD, dword(1)));

    // The moves at boot go with the new hive, into its current control set, although its
    // merge ended early.
    const std::string result = merged();
    EXPECT_EQ(hiveValue(result, "ControlSet002\\Control\\Session Manager", L"PendingFileRenameOperations"),
              Value(REG_MULTI_SZ, pending));
    EXPECT_EQ(hiveValue(result, "ControlSet002\\Control\\Session Manager", L"AllowProtectedRenames"),
              Value(REG_DWORD, dword(1)));
    EXPECT_TRUE(hiveKeyExists(result, "ControlSet002\\Enum\\" + tag + "\\restored-device"));
}

TEST_F(SystemHiveTest, UnusableRunningMovesAreNoneAndReplaceStaleOnes)
{
    // Moves left in the hive from the time of the backup must not run at the next boot.
    area.setValue("system\\ControlSet002\\Control\\Session Manager", L"PendingFileRenameOperations", REG_MULTI_SZ,
                  multi({L"\\??\\C:\\stale", L""}));
    const std::string system = saveHive("system", "system.restored");
    for (const auto& [what, running] : kRunningMoves) {
        SCOPED_TRACE(what);
        deleteMachineValue(sessionManager, L"PendingFileRenameOperations");
        if (running)
            setMachineValue(sessionManager, L"PendingFileRenameOperations", running->first, running->second);
        HiveRegistry run{liveTargets()};
        listHive(system, dir / "SYSTEM", run);
        Requests::snapshots.clear();
        LogCapture log(1);
        processDeferredHives(run);

        int complaints = 0;
        for (const auto& [level, line] : log.lines)
            complaints += line.find("PendingFileRenameOperations") != std::string::npos;
        EXPECT_EQ(complaints, std::string(what) == "missing" || std::string(what) == "empty" ? 0 : 1);
        EXPECT_TRUE(run.rebootRequired());
        EXPECT_FALSE(machineKeyExists(listPath));
        const std::string result = merged();
        EXPECT_FALSE(hiveValue(result, "ControlSet002\\Control\\Session Manager", L"PendingFileRenameOperations"));
        EXPECT_EQ(hiveValue(result, "ControlSet002\\Control\\Session Manager", L"AllowProtectedRenames"),
                  Value(REG_DWORD, dword(1)));
    }
}

TEST_F(SystemHiveTest, SelectionThatIsNotANumberIsNeverSystem)
{
    area.setValue("odd\\Select", L"Current", REG_BINARY, {2, 0, 0, 0});
    const std::string odd = saveHive("odd", "odd.restored");
    listHive(odd, dir / "SYSTEM");
    LogCapture log(1);
    processDeferredHives(hives);
    EXPECT_EQ(log.lines, (Lines{{1, "Processing hives value: Expected value of type REG_DWORD"},
                                {1, "Processing hives value: Expected value of type REG_DWORD"}}));
    EXPECT_TRUE(Requests::moves.empty());
    EXPECT_TRUE(Requests::replaces.empty());
    EXPECT_FALSE(machineKeyExists(listPath));
}

TEST_F(HiveRestoreTest, ListEntryThatIsNotTextEndsTheStepWhenReadAgain)
{
    area.createKey("software");
    const std::string software = saveHive("software", "b-software.restored");
    listHive(software, dir / "SOFTWARE");
    listHive(dir / "a-number.restored", dir / "BROKEN");
    setMachineValue(listPath, toWide(dir / "a-number.restored"), REG_DWORD, dword(1));
    LogCapture log(1);
    expectError<error::EParseError>([&] { processDeferredHives(hives); }, "Expected value of type REG_SZ");
    EXPECT_EQ(log.lines, (Lines{{1, "Processing hives value: Expected value of type REG_SZ"}}));
    // Phase one went on to the next entry.
    EXPECT_EQ(Requests::moves.size(), 1u);
}

} // namespace
