// The end-of-restore hive step against Wine's registry: hive files saved from key trees of a
// private area are listed as the writers list them and run through the step. Moves at boot and
// the switch of SYSTEM's backing file are watched through the system-call table; a restored
// SYSTEM hive is read back by loading its file again.
#include "hives/hive_restore.h"

#include "hives/hive_lock.h"

#include "common/error.h"
#include "common/text.h"
#include "io/fs.h"
#include "registry/registry.h"
#include "support.h"
#include "sys/syscalls.h"

#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using support::regDword;
using support::RegistryArea;
using support::RegistryValue;
using support::regMultiSz;
using support::regSz;
using Lines = std::vector<support::LogLine>;

const std::string listPath = HiveRegistry::restoredHivesKey;
const std::string sessionManager = "System\\CurrentControlSet\\Control\\Session Manager";
const std::string keysNotToRestore = "SYSTEM\\CurrentControlSet\\Control\\BackupRestore\\KeysNotToRestore";

std::optional<RegistryValue> machineValue(const std::string& path, const std::wstring& name)
{
    return support::readValue(HKEY_LOCAL_MACHINE, path, name);
}

void setMachineValue(const std::string& path, const std::wstring& name, const RegistryValue& value)
{
    support::setValue(HKEY_LOCAL_MACHINE, path, name, value.first, value.second);
}

void deleteMachineValue(const std::string& path, const std::wstring& name)
{
    ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, toWide(path).c_str(), name.c_str());
}

// An HKEY_LOCAL_MACHINE key that must not exist before the test: removed with its tree.
class OwnKey {
public:
    explicit OwnKey(std::string path) : path(std::move(path))
    {
        EXPECT_FALSE(support::keyExists(HKEY_LOCAL_MACHINE, this->path)) << this->path;
    }
    ~OwnKey()
    {
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, toWide(path).c_str());
        ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, toWide(path).c_str());
    }
    const std::string path;
};

// What the step asked of MoveFileExW and RegReplaceKeyW, and the files it loaded.
struct Requests {
    struct Move {
        std::wstring from, to;
        DWORD flags;
    };
    static inline std::vector<Move> moves;
    static inline std::vector<std::wstring> replaces; // "subkey|file|old"
    static inline DWORD moveError = 0;                // 0: the move is accepted
    static inline LONG replaceResult = 0;
    static inline std::vector<std::wstring> loads;
    static inline std::vector<std::wstring> snapshots; // copies of the mounted hive at each unload
    static inline std::wstring snapshotDir;
};

class HiveRestoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        winreg::enableBackupRestorePrivileges();
        Requests::moves.clear();
        Requests::replaces.clear();
        Requests::loads.clear();
        Requests::snapshots.clear();
        Requests::snapshotDir = toWide(dir.path());
        Requests::moveError = 0;
        Requests::replaceResult = ERROR_SUCCESS;
    }
    void TearDown() override
    {
        EXPECT_FALSE(support::keyExists(HKEY_LOCAL_MACHINE, "HarbexDelayMerge")) << "a hive was left loaded";
        ::RegUnLoadKeyW(HKEY_LOCAL_MACHINE, L"HarbexDelayMerge");
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, toWide(listPath).c_str());
        ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, toWide(listPath).c_str());
        ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"Software\\Harbex"); // fails while not empty
    }

    // Saves area\sub as a hive file in the test directory.
    std::string saveHive(const std::string& sub, const std::string& name)
    {
        const std::string file = dir / name;
        winreg::Key key(area.key(), sub);
        EXPECT_EQ(::RegSaveKeyW(key.handle(), toWide(file).c_str(), nullptr), ERROR_SUCCESS);
        return file;
    }
    // Lists a restored hive as the writers do: work file -> target, a live hive of the test
    // directory (SOFTWARE, SYSTEM, SYSTEM2, BROKEN).
    static void listHive(const std::string& work, const std::string& target, HiveRegistry& run)
    {
        support::LogCapture quiet(0);
        run.recordHive(target, work);
    }
    void listHive(const std::string& work, const std::string& target) { listHive(work, target, hives); }
    HiveRegistry newRun() const
    {
        std::set<std::wstring> live;
        for (const char* name : {"SOFTWARE", "SYSTEM", "SYSTEM2", "BROKEN"})
            live.insert(support::devicePath(dir / name));
        return HiveRegistry(live);
    }

    // What `read` finds below a hive file loaded under a name of the test's own.
    template <class Read>
    static auto inHive(const std::string& file, Read read)
    {
        const std::string mount = "RestoreWorkerTests-" + support::randomSuffix();
        EXPECT_EQ(::RegLoadKeyW(HKEY_LOCAL_MACHINE, toWide(mount).c_str(), toWide(file).c_str()), ERROR_SUCCESS);
        auto found = read(mount + "\\");
        ::RegUnLoadKeyW(HKEY_LOCAL_MACHINE, toWide(mount).c_str());
        return found;
    }
    static std::optional<RegistryValue> hiveValue(const std::string& file, const std::string& path,
                                                  const std::wstring& name)
    {
        return inHive(file, [&](const std::string& mount) { return machineValue(mount + path, name); });
    }
    static bool hiveKeyExists(const std::string& file, const std::string& path)
    {
        return inHive(file,
                      [&](const std::string& mount) { return support::keyExists(HKEY_LOCAL_MACHINE, mount + path); });
    }

    support::ScratchDir dir;
    RegistryArea area{"hive-restore"};
    HiveRegistry hives = newRun();
    support::SavedValue allowRenames{sessionManager, L"AllowProtectedRenames"};
    support::SavedValue pendingRenames{sessionManager, L"PendingFileRenameOperations"};
    std::shared_ptr<void> watchMoves = support::replaced(
        sys::calls.MoveFileExW, +[](LPCWSTR from, LPCWSTR to, DWORD flags) -> BOOL {
            Requests::moves.push_back({from, to, flags});
            ::SetLastError(Requests::moveError);
            return Requests::moveError == 0;
        });
    std::shared_ptr<void> watchReplaces = support::replaced(
        sys::calls.RegReplaceKeyW, +[](HKEY root, LPCWSTR subkey, LPCWSTR file, LPCWSTR old) -> LONG {
            EXPECT_EQ(root, HKEY_LOCAL_MACHINE);
            Requests::replaces.push_back(std::wstring(subkey) + L"|" + file + L"|" + old);
            return Requests::replaceResult;
        });
    // Wine does not write a loaded hive's changes back to its file, so what the step leaves
    // in a hive is saved to a file of its own just before each unload.
    std::shared_ptr<void> watchLoads = support::replaced(
        sys::calls.RegLoadKeyW, +[](HKEY root, LPCWSTR subkey, LPCWSTR file) -> LONG {
            Requests::loads.emplace_back(file);
            return ::RegLoadKeyW(root, subkey, file);
        });
    std::shared_ptr<void> watchUnloads = support::replaced(
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
        });
    // The restored hive as the step left it at its last unload.
    static std::string merged()
    {
        EXPECT_FALSE(Requests::snapshots.empty());
        return Requests::snapshots.empty() ? std::string() : toUtf8(Requests::snapshots.back());
    }
};

TEST(HiveMerge, StartValuesDecideWhichSubkeysAreReplaced)
{
    RegistryArea area("merge");
    struct Case {
        const char* name;
        std::optional<DWORD> running, restored; // "start" of the subkey on either side
        bool replaced;
    };
    const Case cases[] = {
        {"lower start", 1, 3, true},   {"restored without start", 2, std::nullopt, true}, {"equal start", 2, 2, false},
        {"higher start", 4, 3, false}, {"running without start", std::nullopt, 3, false},
    };
    for (const Case& c : cases) {
        const std::string from = std::string("from\\") + c.name, to = std::string("to\\") + c.name;
        area.createKey(from + "\\child");
        area.createKey(to + "\\own");
        area.setValue(from, L"marker", REG_SZ, regSz(L"running"));
        area.setValue(to, L"marker", REG_SZ, regSz(L"restored"));
        if (c.running)
            area.setValue(from, L"start", REG_DWORD, regDword(*c.running));
        if (c.restored)
            area.setValue(to, L"start", REG_DWORD, regDword(*c.restored));
    }
    // Missing subkeys are merged in, deeply; the running key's values win, the others stay.
    area.setValue("from\\added\\inner", L"v", REG_DWORD, regDword(5));
    area.setValue("from", L"shared", REG_SZ, regSz(L"running"));
    area.setValue("to", L"shared", REG_BINARY, {9});
    area.setValue("to", L"own", REG_SZ, regSz(L"restored"));

    mergeKey(area.root(), area.path("from"), area.root(), area.path("to"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string to = std::string("to\\") + c.name;
        EXPECT_EQ(area.value(to, L"marker"), RegistryValue(REG_SZ, regSz(c.replaced ? L"running" : L"restored")));
        EXPECT_EQ(area.keyExists(to + "\\child"), c.replaced);
        EXPECT_EQ(area.keyExists(to + "\\own"), !c.replaced);
    }
    EXPECT_EQ(area.value("to\\added\\inner", L"v"), RegistryValue(REG_DWORD, regDword(5)));
    EXPECT_EQ(area.value("to", L"shared"), RegistryValue(REG_SZ, regSz(L"running")));
    EXPECT_TRUE(area.value("to", L"own"));

    area.setValue("bad-from\\s", L"start", REG_SZ, regSz(L"1"));
    area.createKey("bad-to\\s");
    support::expectThrows<error::EParseError>(
        [&] { mergeKey(area.root(), area.path("bad-from"), area.root(), area.path("bad-to")); },
        "Expected value of type REG_DWORD");
}

// The running moves at boot, whatever they hold: none of the step's business when it
// restored no SYSTEM hive, and no moves at all when it did.
const std::pair<const char*, std::optional<RegistryValue>> kRunningMoves[] = {
    {"missing", std::nullopt},
    {"empty", RegistryValue(REG_MULTI_SZ, {})},
    {"odd byte count", RegistryValue(REG_MULTI_SZ, {0x41, 0, 0})},
    {"no double zero", RegistryValue(REG_MULTI_SZ, support::wideBytes(std::wstring(L"\\??\\C:\\a\0!\\??\\C:\\b", 15)))},
    {"of another type", RegistryValue(REG_SZ, regSz(L"\\??\\C:\\a"))},
};

TEST_F(HiveRestoreTest, WithoutRestoredHivesOnlyTheListGoes)
{
    const auto allowBefore = machineValue(sessionManager, L"AllowProtectedRenames");
    for (const auto& [what, running] : kRunningMoves) {
        SCOPED_TRACE(what);
        deleteMachineValue(sessionManager, L"PendingFileRenameOperations");
        if (running)
            setMachineValue(sessionManager, L"PendingFileRenameOperations", *running);
        HiveRegistry run = newRun();
        support::LogCapture log;
        processDeferredHives(run);
        EXPECT_EQ(log.lines, (Lines{{2, "Will schedule moves of non-SYSTEM hives"},
                                    {2, "Will run hive merge on the SYSTEM hive"},
                                    {2, "Completed deferred processing"}}));
        EXPECT_FALSE(support::keyExists(HKEY_LOCAL_MACHINE, listPath));
        EXPECT_TRUE(Requests::moves.empty() && Requests::replaces.empty());
        EXPECT_EQ(machineValue(sessionManager, L"AllowProtectedRenames"), allowBefore);
    }
}

TEST_F(HiveRestoreTest, OtherHivesMoveAtBootInTheLongFormAndAMoveRefusedIsLogged)
{
    area.setValue("software\\Microsoft", L"x", REG_DWORD, regDword(1));
    const std::string work = saveHive("software", "software.restored");
    listHive(work, dir / "SOFTWARE");
    deleteMachineValue(sessionManager, L"AllowProtectedRenames");
    Requests::moveError = ERROR_ACCESS_DENIED;
    support::LogCapture log(1);
    processDeferredHives(hives);
    EXPECT_EQ(log.lines, Lines({{1, "Cannot request move of hive! " + error::systemErrorText(ERROR_ACCESS_DENIED)}}));
    EXPECT_TRUE(hives.rebootRequired());
    ASSERT_EQ(Requests::moves.size(), 1u);
    EXPECT_EQ(Requests::moves[0].from, L"\\\\?\\" + toWide(work));
    EXPECT_EQ(Requests::moves[0].to, L"\\\\?\\" + toWide(dir / "SOFTWARE"));
    EXPECT_EQ(Requests::moves[0].flags, DWORD{MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT});
    EXPECT_TRUE(Requests::replaces.empty());
    EXPECT_EQ(machineValue(sessionManager, L"AllowProtectedRenames"), RegistryValue(REG_DWORD, regDword(1)));
}

TEST(HiveStepLock, WaitsForItsHolderAndTakesOverFromOneThatEnded)
{
    sys::UniqueHandle held(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    sys::UniqueHandle waiting(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    support::LogCapture log(2);
    // The line that says the taker waits lets the holder go.
    const LogSink capture = setLogSink([&](const std::string& text, int level, bool) {
        log.lines.push_back({level, text});
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
    EXPECT_EQ(log.lines, (Lines{{2, "Waiting for the hive step of another restore"}}));

    // A holder that ends without releasing the lock leaves it to the next taker at once.
    HiveStepLock* left = nullptr;
    std::thread([&] { left = new HiveStepLock; }).join();
    log.lines.clear();
    EXPECT_NO_THROW(HiveStepLock());
    EXPECT_TRUE(log.lines.empty());
    delete left;
    setLogSink(capture);
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

    std::shared_ptr<void> adjust = support::replaced(
        sys::calls.AdjustTokenPrivileges,
        +[](HANDLE token, BOOL none, PTOKEN_PRIVILEGES wanted, DWORD size, PTOKEN_PRIVILEGES before, PDWORD n) -> BOOL {
            privilegesEnabled = true;
            return ::AdjustTokenPrivileges(token, none, wanted, size, before, n);
        });
    std::shared_ptr<void> open = support::replaced(
        sys::calls.RegOpenKeyExW, +[](HKEY parent, LPCWSTR path, DWORD options, REGSAM access, PHKEY key) -> LONG {
            const LONG refused = refusal(path, options);
            return refused != ERROR_SUCCESS ? refused : ::RegOpenKeyExW(parent, path, options, access, key);
        });
    std::shared_ptr<void> create = support::replaced(
        sys::calls.RegCreateKeyExW,
        +[](HKEY parent, LPCWSTR path, DWORD reserved, LPWSTR cls, DWORD options, REGSAM access,
            LPSECURITY_ATTRIBUTES security, PHKEY key, LPDWORD disposition) -> LONG {
            const LONG refused = refusal(path, options);
            return refused != ERROR_SUCCESS
                       ? refused
                       : ::RegCreateKeyExW(parent, path, reserved, cls, options, access, security, key, disposition);
        });
};

// A restored SYSTEM hive with Current = 2, and the running keys that are not to be restored.
class SystemHiveTest : public HiveRestoreTest {
protected:
    void SetUp() override
    {
        HiveRestoreTest::SetUp();
        const std::string cs = "system\\ControlSet002\\";
        area.setValue("system\\Select", L"Current", REG_DWORD, regDword(2));
        area.createKey(cs + "Enum\\" + tag + "\\restored-device");
        area.setValue(cs + "Services\\" + tag + "\\Kept", L"start", REG_DWORD, regDword(1));
        area.setValue(cs + "Services\\" + tag, L"restored", REG_SZ, regSz(L"stays"));
        area.setValue(cs + "Control\\" + tag, L"Name", REG_SZ, regSz(L"restored"));
        area.setValue(cs + "Control\\" + tag, L"Missing", REG_SZ, regSz(L"restored"));
        area.createKey(cs + "Control\\Session Manager");
    }

    const std::string tag = "RWTEST-" + support::randomSuffix();
    OwnKey runningEnum{"SYSTEM\\CurrentControlSet\\Enum\\" + tag};
    OwnKey runningServices{"SYSTEM\\CurrentControlSet\\Services\\" + tag};
    OwnKey runningControl{"SYSTEM\\CurrentControlSet\\Control\\" + tag};
};

TEST_F(SystemHiveTest, KeysNotToRestoreAreCarriedIntoTheFirstSystemHive)
{
    setMachineValue(runningEnum.path + "\\device", L"id", {REG_SZ, regSz(L"running")});
    setMachineValue(runningServices.path + "\\Kept", L"start", {REG_DWORD, regDword(3)});
    setMachineValue(runningServices.path + "\\Added", L"start", {REG_DWORD, regDword(2)});
    setMachineValue(runningServices.path, L"running", {REG_SZ, regSz(L"merged")});
    setMachineValue(runningControl.path, L"Name", {REG_SZ, regSz(L"running")});
    setMachineValue(runningControl.path, L"Merged", {REG_SZ, regSz(L"running")});
    OwnKey list{"SYSTEM\\CurrentControlSet\\Control\\BackupRestore"};
    const std::wstring wtag = toWide(tag);
    setMachineValue(
        keysNotToRestore, L"A entries",
        {REG_MULTI_SZ,
         regMultiSz({L"CurrentControlSet\\Enum\\" + wtag + L"\\", L"CurrentControlSet\\Services\\" + wtag + L"\\*",
                     L"CurrentControlSet\\Control\\" + wtag + L"\\Name",
                     L"CurrentControlSet\\Control\\" + wtag + L"\\Missing",
                     // A star without a backslash before it merges too, the character
                     // before the star dropped like the backslash.
                     L"CurrentControlSet\\Control\\" + wtag + L"+*", L"CurrentControlSet\\Absent-" + wtag + L"\\",
                     L"CurrentControlSet\\Control\\Session Manager\\AllowProtectedRenames"})});
    setMachineValue(keysNotToRestore, L"B not a list", {REG_SZ, regSz(L"CurrentControlSet\\Enum\\")});
    // Copied from the running system like any value, then set for the boot that switches hives.
    setMachineValue(sessionManager, L"AllowProtectedRenames", {REG_DWORD, regDword(0)});

    const std::string system = saveHive("system", "b-system.restored");
    const std::string second = saveHive("system", "c-system.restored");
    const std::string broken = dir / "a-broken.restored";
    support::writeFile(broken, "not a hive");
    listHive(broken, dir / "BROKEN");
    listHive(system, dir / "SYSTEM");
    listHive(second, dir / "SYSTEM2");

    support::LogCapture log;
    {
        GuardedSystemKeys guarded;
        processDeferredHives(hives);
    }
    EXPECT_TRUE(log.has(2, "Cannot process value (Expected value of type REG_MULTI_SZ). Skipping."));
    EXPECT_TRUE(log.has(2, "  Skipping non-existing subkey SYSTEM\\CurrentControlSet\\Absent-" + tag));

    // Each listed file is loaded in each walk until the first SYSTEM hive is found: the file
    // that does not load is passed over, and the second SYSTEM hive is never merged. Only the
    // first replaces SYSTEM, at the next boot; nothing is moved at boot.
    EXPECT_EQ(Requests::loads, (std::vector<std::wstring>{toWide(broken), toWide(system), toWide(second),
                                                          toWide(broken), toWide(system)}));
    EXPECT_EQ(Requests::replaces,
              std::vector<std::wstring>{L"SYSTEM|" + longPathW(system) + L"|" + longPathW(dir / "SYSTEM.oldbackup")});
    EXPECT_TRUE(Requests::moves.empty());
    EXPECT_TRUE(hives.rebootRequired());
    EXPECT_EQ(machineValue(sessionManager, L"AllowProtectedRenames"), RegistryValue(REG_DWORD, regDword(1)));
    EXPECT_FALSE(support::keyExists(HKEY_LOCAL_MACHINE, listPath));

    const std::string cs = "ControlSet002\\";
    const std::string result = merged();
    const auto sz = [](const wchar_t* text) { return RegistryValue(REG_SZ, regSz(text)); };
    EXPECT_EQ(hiveValue(result, cs + "Enum\\" + tag + "\\device", L"id"), sz(L"running"));
    EXPECT_FALSE(hiveKeyExists(result, cs + "Enum\\" + tag + "\\restored-device"));
    EXPECT_EQ(hiveValue(result, cs + "Services\\" + tag + "\\Kept", L"start"), RegistryValue(REG_DWORD, regDword(1)));
    EXPECT_EQ(hiveValue(result, cs + "Services\\" + tag + "\\Added", L"start"), RegistryValue(REG_DWORD, regDword(2)));
    EXPECT_EQ(hiveValue(result, cs + "Services\\" + tag, L"running"), sz(L"merged"));
    EXPECT_EQ(hiveValue(result, cs + "Services\\" + tag, L"restored"), sz(L"stays"));
    EXPECT_EQ(hiveValue(result, cs + "Control\\" + tag, L"Name"), sz(L"running"));
    EXPECT_EQ(hiveValue(result, cs + "Control\\" + tag, L"Missing"), sz(L"restored"));
    EXPECT_EQ(hiveValue(result, cs + "Control\\" + tag, L"Merged"), sz(L"running"));
    EXPECT_EQ(hiveValue(result, cs + "Control\\Session Manager", L"AllowProtectedRenames"),
              RegistryValue(REG_DWORD, regDword(1)));
}

TEST_F(SystemHiveTest, WithoutTheListTheHiveIsStillPutInPlaceWithThePendingMoves)
{
    ASSERT_FALSE(support::keyExists(HKEY_LOCAL_MACHINE, keysNotToRestore));
    area.createKey("software");
    const std::string software = saveHive("software", "a-software.restored");
    const std::string system = saveHive("system", "b-system.restored");
    listHive(software, dir / "SOFTWARE");
    listHive(system, dir / "SYSTEM");
    const RegistryValue pending(REG_MULTI_SZ, regMultiSz({L"\\??\\C:\\somewhere\\new", L"!\\??\\C:\\somewhere\\old"}));
    setMachineValue(sessionManager, L"PendingFileRenameOperations", pending);
    Requests::replaceResult = ERROR_ACCESS_DENIED;

    support::LogCapture log;
    processDeferredHives(hives);
    EXPECT_TRUE(log.has(0, "Unable to find list of keys not to restore!"));
    EXPECT_TRUE(log.mentions("Error processing hive file: Cannot enumerate value data: "));
    EXPECT_TRUE(log.has(1, "Unable to switch backing store: " + error::systemErrorText(ERROR_ACCESS_DENIED)));
    EXPECT_EQ(Requests::replaces.size(), 1u);
    ASSERT_EQ(Requests::moves.size(), 1u);
    EXPECT_EQ(Requests::moves[0].from, longPathW(software));

    // The moves at boot go with the new hive, into its current control set, although its
    // merge ended early.
    const std::string result = merged();
    EXPECT_EQ(hiveValue(result, "ControlSet002\\Control\\Session Manager", L"PendingFileRenameOperations"), pending);
    EXPECT_EQ(hiveValue(result, "ControlSet002\\Control\\Session Manager", L"AllowProtectedRenames"),
              RegistryValue(REG_DWORD, regDword(1)));
    EXPECT_TRUE(hiveKeyExists(result, "ControlSet002\\Enum\\" + tag + "\\restored-device"));
}

TEST_F(SystemHiveTest, UnusableRunningMovesAreNoneAndReplaceStaleOnes)
{
    // Moves left in the hive from the time of the backup must not run at the next boot.
    area.setValue("system\\ControlSet002\\Control\\Session Manager", L"PendingFileRenameOperations", REG_MULTI_SZ,
                  regMultiSz({L"\\??\\C:\\stale", L""}));
    const std::string system = saveHive("system", "system.restored");
    for (const auto& [what, running] : kRunningMoves) {
        SCOPED_TRACE(what);
        deleteMachineValue(sessionManager, L"PendingFileRenameOperations");
        if (running)
            setMachineValue(sessionManager, L"PendingFileRenameOperations", *running);
        HiveRegistry run = newRun();
        listHive(system, dir / "SYSTEM", run);
        support::LogCapture log(1);
        processDeferredHives(run);
        EXPECT_EQ(log.mentions("PendingFileRenameOperations"),
                  std::string(what) != "missing" && std::string(what) != "empty");
        const std::string result = merged();
        EXPECT_FALSE(hiveValue(result, "ControlSet002\\Control\\Session Manager", L"PendingFileRenameOperations"));
    }
}

TEST_F(SystemHiveTest, SelectionThatIsNotANumberIsNeverSystem)
{
    area.setValue("odd\\Select", L"Current", REG_BINARY, {2, 0, 0, 0});
    listHive(saveHive("odd", "odd.restored"), dir / "SYSTEM");
    support::LogCapture log(1);
    processDeferredHives(hives);
    EXPECT_EQ(log.lines, (Lines{{1, "Processing hives value: Expected value of type REG_DWORD"},
                                {1, "Processing hives value: Expected value of type REG_DWORD"}}));
    EXPECT_TRUE(Requests::moves.empty() && Requests::replaces.empty());
    EXPECT_FALSE(support::keyExists(HKEY_LOCAL_MACHINE, listPath));
}

TEST_F(HiveRestoreTest, ListEntryThatIsNotTextEndsTheStepWhenReadAgain)
{
    area.createKey("software");
    listHive(saveHive("software", "b-software.restored"), dir / "SOFTWARE");
    listHive(dir / "a-number.restored", dir / "BROKEN");
    setMachineValue(listPath, toWide(dir / "a-number.restored"), {REG_DWORD, regDword(1)});
    support::LogCapture log(1);
    support::expectThrows<error::EParseError>([&] { processDeferredHives(hives); }, "Expected value of type REG_SZ");
    EXPECT_EQ(log.lines, (Lines{{1, "Processing hives value: Expected value of type REG_SZ"}}));
    EXPECT_EQ(Requests::moves.size(), 1u) << "the first walk went on to the next entry";
}

} // namespace
