// The hive registry against Wine's registry and devices: the hive list it reads, which paths
// it takes for live hives, what must wait for a reboot, and the worker's list of restored
// hives. Entries that a test adds to the hive list or the worker's list are removed again.
#include "hives/hive_registry.h"

#include "common/error.h"
#include "common/text.h"
#include "io/temp_dir.h"
#include "registry_area.h"
#include "sys/syscalls.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace {

using testing_registry::Bytes;
using testing_registry::expectError;
using testing_registry::expectSystemError;
using testing_registry::Failing;
using testing_registry::Fault;
using testing_registry::KeyBalance;
using testing_registry::machineKeyExists;
using testing_registry::wideBytes;

// The hive registry's own lines are never for the parent.
struct LogCapture : testing_registry::LogCapture {
    explicit LogCapture(int level) : testing_registry::LogCapture(level, false) {}
};

// The device that Windows names for a drive such as "C:"; empty when it has none.
std::wstring deviceOf(const std::wstring& drive)
{
    wchar_t name[MAX_PATH];
    if (::QueryDosDeviceW(drive.c_str(), name, MAX_PATH) == 0)
        return std::wstring();
    return name;
}

// A drive path in the kernel's device form, as the hive list holds it.
std::wstring devicePath(const std::string& drivePath)
{
    std::wstring wide = toWide(drivePath);
    return deviceOf(wide.substr(0, 2)) + wide.substr(2);
}

std::string currentDirectory()
{
    return testing_fs::toText(std::filesystem::current_path());
}

// Deletes the values named from an HKEY_LOCAL_MACHINE key, and the key too when asked and
// nothing is left in it.
void removeValues(const std::string& path, const std::vector<std::wstring>& names, bool removeEmptyKey)
{
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, toWide(path).c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return;
    for (const std::wstring& name : names)
        ::RegDeleteValueW(key, name.c_str());
    DWORD subkeys = 1;
    DWORD values = 1;
    ::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr, nullptr,
                       nullptr);
    ::RegCloseKey(key);
    if (removeEmptyKey && subkeys == 0 && values == 0)
        ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, toWide(path).c_str());
}

const std::string hiveListPath = "System\\CurrentControlSet\\Control\\hivelist";
const std::string restoredHivesPath = "Software\\Harbex\\hives";

// Wine has no hive list of its own: the tests make one (or add to one that is there) with
// entries for files of their own, and take out again what they put in, the worker's list
// of restored hives included.
class HiveRegistryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, toWide(hiveListPath).c_str(), 0, nullptr,
                                    REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &hiveList, nullptr),
                  ERROR_SUCCESS);
    }
    void TearDown() override
    {
        if (hiveList != nullptr)
            ::RegCloseKey(hiveList);
        removeValues(hiveListPath, added, !hiveListExisted);
        removeValues(restoredHivesPath, recorded, !restoredHivesExisted);
        if (!restoredHivesExisted)
            ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"Software\\Harbex"); // fails while not empty
    }

    // Adds an entry to the hive list under a name unique to this run.
    void addHive(const std::string& name, DWORD type, const Bytes& data)
    {
        std::wstring unique = L"\\REGISTRY\\MACHINE\\RWTEST-" + toWide(testing_registry::randomSuffix() + "-" + name);
        ASSERT_EQ(::RegSetValueExW(hiveList, unique.c_str(), 0, type, data.empty() ? nullptr : data.data(),
                                   static_cast<DWORD>(data.size())),
                  ERROR_SUCCESS);
        added.push_back(unique);
    }
    void removeHive(const std::wstring& name)
    {
        ::RegDeleteValueW(hiveList, name.c_str());
        added.erase(std::find(added.begin(), added.end(), name));
    }

    bool hiveListExisted = machineKeyExists(hiveListPath);
    bool restoredHivesExisted = machineKeyExists(restoredHivesPath);
    HKEY hiveList = nullptr;
    std::vector<std::wstring> added;    // hive list entries
    std::vector<std::wstring> recorded; // entries of the worker's list
    testing_fs::TempDir dir;
};

TEST_F(HiveRegistryTest, FilesOfLoadedHivesAreLive)
{
    std::size_t before = 0;
    {
        LogCapture quiet(0);
        before = HiveRegistry().liveHiveCount();
    }
    const std::string file = dir / "software";
    const std::string longPath = "C:\\" + std::string(700, 'x') + "\\system"; // more data than the first buffer
    addHive("file", REG_SZ, wideBytes(devicePath(file) + std::wstring(2, L'\0')));
    addHive("long", REG_SZ, wideBytes(devicePath(longPath) + std::wstring(1, L'\0')));
    addHive("volatile", REG_SZ, {});
    addHive("volatile with NUL", REG_SZ, wideBytes(std::wstring(1, L'\0')));

    struct Case {
        int level;
        std::vector<std::pair<int, std::string>> lines;
    };
    const std::string total = "Total of " + std::to_string(before + 2) + " hives backing active registry";
    const Case cases[] = {{3, {{2, total}}}, {2, {{2, total}}}, {1, {}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.level);
        LogCapture log(c.level);
        KeyBalance keys;
        HiveRegistry hives;
        EXPECT_EQ(hives.liveHiveCount(), before + 2);
        EXPECT_TRUE(hives.isLiveHive(file));
        EXPECT_TRUE(hives.isLiveHive(longPath));
        EXPECT_FALSE(hives.isLiveHive(dir / "system"));
        EXPECT_FALSE(hives.rebootRequired());
        EXPECT_EQ(log.lines, c.lines);
        EXPECT_EQ(keys.open(), 0);
    }
    // The worker's own list is there for recordHive.
    EXPECT_TRUE(machineKeyExists(restoredHivesPath));
}

TEST_F(HiveRegistryTest, EntryThatIsNotTextIsRefused)
{
    const DWORD types[] = {REG_EXPAND_SZ, REG_MULTI_SZ, REG_BINARY, REG_DWORD};
    for (DWORD type : types) {
        SCOPED_TRACE(type);
        addHive("not text", type, type == REG_DWORD ? Bytes{1, 0, 0, 0} : wideBytes(std::wstring(L"\\Device\0\0", 9)));
        KeyBalance keys;
        expectError<error::EParseError>([] { HiveRegistry(); }, "Hive name variable holds non-string data");
        EXPECT_EQ(keys.open(), 0);
        removeHive(added.back());
    }
}

TEST_F(HiveRegistryTest, UnreadableHiveListFails)
{
    {
        Fault::code = ERROR_FILE_NOT_FOUND;
        Failing missing(sys::calls.RegOpenKeyExW);
        expectSystemError([] { HiveRegistry(); }, ERROR_FILE_NOT_FOUND, "Cannot open hive list");
    }
    {
        Fault::code = ERROR_ACCESS_DENIED;
        KeyBalance keys;
        Failing refused(sys::calls.RegEnumValueW);
        expectSystemError([] { HiveRegistry(); }, ERROR_ACCESS_DENIED, "Error enumerating hives");
        EXPECT_EQ(keys.open(), 0);
    }
}

TEST_F(HiveRegistryTest, LivePathsAreComparedAsDevicePathsWithoutRegardToCase)
{
    const std::string software = "C:\\windows\\system32\\config\\SOFTWARE";
    const std::string relative = currentDirectory() + "\\relative.hive";
    HiveRegistry hives({devicePath(software), devicePath(relative)});
    struct Case {
        std::string path;
        bool live;
    };
    std::vector<Case> cases = {
        {software, true},
        {"C:\\WINDOWS\\System32\\config\\software", true},
        {"c:\\windows\\system32\\config\\software", true},
        {"C:\\windows\\system32\\config\\..\\config\\software", true},
        {"C:\\windows\\system32\\.\\config\\software", true},
        {"\\\\?\\C:\\windows\\system32\\config\\software", true},
        {"relative.hive", true},
        {"sub\\..\\RELATIVE.HIVE", true},
        {"C:\\windows\\system32\\config\\software.restored", false},
        {"C:\\windows\\system32\\config\\system", false},
        {"C:\\windows\\system32\\config", false},
        {"C:\\", false},
    };
    // The same file name on another device is another file.
    for (wchar_t letter = L'D'; letter <= L'Z'; ++letter) {
        std::wstring drive = {letter, L':'};
        std::wstring device = deviceOf(drive);
        if (!device.empty() && device != deviceOf(L"C:")) {
            cases.push_back({toUtf8(drive) + "\\windows\\system32\\config\\software", false});
            break;
        }
    }
    for (const Case& c : cases)
        EXPECT_EQ(hives.isLiveHive(c.path), c.live) << c.path;
}

TEST_F(HiveRegistryTest, DriveWithoutDeviceNameHoldsNoLiveHiveAndIsReportedOnce)
{
    // The hive list names C:'s SYSTEM hive; a system that cannot name C:'s device (a half
    // started one) still restores its objects, and says so once.
    HiveRegistry hives(std::set<std::wstring>{deviceOf(L"C:") + L"\\windows\\system32\\config\\system"});
    sys::Override refuse(
        sys::calls.QueryDosDeviceW, +[](LPCWSTR, LPWSTR, DWORD) -> DWORD {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return 0;
        });
    LogCapture log(1);
    EXPECT_FALSE(hives.isLiveHive("C:\\windows\\system32\\config\\system"));
    EXPECT_FALSE(hives.isLiveHive("c:\\x"));
    EXPECT_FALSE(hives.mustReplaceAtBoot("C:\\windows\\system32\\config\\system"));
    const std::string line = "Cannot get device name for \"C:\": " + error::systemErrorText(ERROR_FILE_NOT_FOUND) +
                             " - no live hive on that drive";
    EXPECT_EQ(log.lines, (std::vector<std::pair<int, std::string>>{{1, line}}));
}

TEST_F(HiveRegistryTest, NetworkPathsAreNeverLive)
{
    HiveRegistry hives(std::set<std::wstring>{});
    sys::Override noDevices(
        sys::calls.QueryDosDeviceW, +[](LPCWSTR, LPWSTR, DWORD) -> DWORD {
            ADD_FAILURE() << "a network path has no drive to ask about";
            return 0;
        });
    for (const char* path : {"\\\\server\\share\\config\\SYSTEM", "\\\\?\\UNC\\server\\share\\x"})
        EXPECT_FALSE(hives.isLiveHive(path)) << path;
    EXPECT_FALSE(hives.mustReplaceAtBoot("\\\\server\\share\\x.txt"));
}

struct Protection {
    static inline std::vector<std::wstring> asked;
};

TEST_F(HiveRegistryTest, LiveHivesAndProtectedFilesWaitForTheReboot)
{
    const std::string hive = "C:\\windows\\system32\\config\\software";
    const std::string guarded = "C:\\windows\\system32\\Notepad.exe";
    HiveRegistry hives({devicePath(hive)});
    sys::Override protect(
        sys::calls.SfcIsFileProtected, +[](HANDLE rpc, LPCWSTR path) -> BOOL {
            EXPECT_EQ(rpc, nullptr);
            Protection::asked.emplace_back(path);
            return std::wstring(path) == L"C:\\windows\\system32\\Notepad.exe";
        });
    struct Case {
        std::string path;
        bool atBoot;
        std::vector<std::wstring> asked; // what File Protection is asked
    };
    const Case cases[] = {
        {hive, true, {}},
        {guarded, true, {L"C:\\windows\\system32\\Notepad.exe"}},
        {"C:\\data\\letter.txt", false, {L"C:\\data\\letter.txt"}},
    };
    for (const Case& c : cases) {
        Protection::asked.clear();
        EXPECT_EQ(hives.mustReplaceAtBoot(c.path), c.atBoot) << c.path;
        EXPECT_EQ(Protection::asked, c.asked) << c.path;
    }
}

TEST_F(HiveRegistryTest, RestoredLiveHivesAreListedOnce)
{
    const std::string target = dir / "software";
    const std::string work = dir / "software.restored";
    const std::string quietWork = dir / "quiet.restored";
    const std::string otherWork = dir / "letter.restored";
    recorded = {toWide(work), toWide(quietWork), toWide(otherWork)};
    HiveRegistry hives({devicePath(target)});
    struct Case {
        const char* what;
        std::string target, work;
        int level;
        std::vector<std::pair<int, std::string>> lines;
        bool listed;
    };
    const std::string upperTarget = toUpper(target);
    const Case cases[] = {
        {"first restore", target, work, 3, {{2, "Added hive datafile: " + work}}, true},
        {"again, spelled otherwise",
         upperTarget,
         work,
         3,
         {{1, "Hive file \"" + upperTarget + "\" already listed in registry."}, {2, "Added hive datafile: " + work}},
         true},
        {"quiet log", target, quietWork, 0, {}, true},
        {"not a hive", dir / "letter.txt", otherWork, 3, {}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        {
            LogCapture log(c.level);
            KeyBalance keys;
            hives.recordHive(c.target, c.work);
            EXPECT_EQ(log.lines, c.lines);
            EXPECT_EQ(keys.open(), 0);
        }
        const auto entry = testing_registry::readValue(HKEY_LOCAL_MACHINE, restoredHivesPath, toWide(c.work));
        if (c.listed)
            EXPECT_EQ(entry, testing_registry::Value(REG_SZ, testing_registry::text(toWide(c.target))));
        else
            EXPECT_FALSE(entry);
    }

    {
        Fault::code = ERROR_ACCESS_DENIED;
        Failing refuse(sys::calls.RegSetValueExW);
        LogCapture quiet(0);
        expectSystemError([&] { hives.recordHive(target, work); }, ERROR_ACCESS_DENIED,
                          "Unable to store registry data");
    }
}

} // namespace
