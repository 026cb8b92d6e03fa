// The hive registry against Wine's registry and devices: the hive list it reads, which paths
// it takes for live hives, what must wait for a reboot, and the worker's list of restored
// hives. Entries that a test adds to the hive list or the worker's list are removed again.
#include "hives/hive_registry.h"

#include "common/error.h"
#include "common/text.h"
#include "support.h"
#include "sys/syscalls.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace {

using support::devicePath;
using support::wideBytes;
using Lines = std::vector<support::LogLine>;

const std::string hiveListPath = HiveRegistry::hiveListKey;
const std::string restoredHivesPath = HiveRegistry::restoredHivesKey;

// Wine has no hive list of its own: the tests add entries for files of their own, and take
// out again what they put in, the worker's list of restored hives included.
class HiveRegistryTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        for (const std::wstring& name : added)
            ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, toWide(hiveListPath).c_str(), name.c_str());
        if (!hiveListExisted)
            ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, toWide(hiveListPath).c_str());
        for (const std::string& work : recorded)
            ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, toWide(restoredHivesPath).c_str(), toWide(work).c_str());
        if (!restoredHivesExisted)
            ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, toWide(restoredHivesPath).c_str()); // fails while not empty
    }

    // Adds an entry to the hive list under a name unique to this run.
    void addHive(DWORD type, const support::RegistryBytes& data)
    {
        added.push_back(L"\\REGISTRY\\MACHINE\\RWTEST-" + toWide(support::randomSuffix()));
        support::setValue(HKEY_LOCAL_MACHINE, hiveListPath, added.back(), type, data);
    }

    bool hiveListExisted = support::keyExists(HKEY_LOCAL_MACHINE, hiveListPath);
    bool restoredHivesExisted = support::keyExists(HKEY_LOCAL_MACHINE, restoredHivesPath);
    std::vector<std::wstring> added;   // hive list entries
    std::vector<std::string> recorded; // work files in the worker's list
    support::ScratchDir dir;
};

TEST_F(HiveRegistryTest, FilesOfLoadedHivesAreLive)
{
    std::size_t before = 0;
    {
        support::LogCapture quiet(0);
        before = HiveRegistry().liveHiveCount();
    }
    const std::string file = dir / "software";
    const std::string longPath = "C:\\" + std::string(700, 'x') + "\\system"; // more data than the first buffer
    addHive(REG_SZ, wideBytes(devicePath(file) + std::wstring(2, L'\0')));
    addHive(REG_SZ, wideBytes(devicePath(longPath)));
    addHive(REG_SZ, {}); // volatile hives have no file
    addHive(REG_SZ, wideBytes(std::wstring(1, L'\0')));

    support::LogCapture log(2);
    HiveRegistry hives;
    EXPECT_EQ(hives.liveHiveCount(), before + 2);
    EXPECT_TRUE(hives.isLiveHive(file));
    EXPECT_TRUE(hives.isLiveHive(longPath));
    EXPECT_FALSE(hives.isLiveHive(dir / "system"));
    EXPECT_EQ(log.lines, Lines({{2, "Total of " + std::to_string(before + 2) + " hives backing active registry"}}));
    // The worker's own list is there for recordHive.
    EXPECT_TRUE(support::keyExists(HKEY_LOCAL_MACHINE, restoredHivesPath));
}

TEST_F(HiveRegistryTest, UnreadableHiveListFails)
{
    addHive(REG_EXPAND_SZ, wideBytes(std::wstring(L"\\Device\0\0", 9)));
    support::expectThrows<error::EParseError>([] { HiveRegistry(); }, "Hive name variable holds non-string data");
    {
        auto missing = support::refuse(sys::calls.RegOpenKeyExW, ERROR_FILE_NOT_FOUND, ERROR_FILE_NOT_FOUND);
        support::expectThrows<error::EFileNotFoundError>(
            [] { HiveRegistry(); }, "Cannot open hive list: " + error::systemErrorText(ERROR_FILE_NOT_FOUND));
    }
    auto refused = support::refuse(sys::calls.RegEnumValueW, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED);
    support::expectThrows<error::ESystemError>([] { HiveRegistry(); }, "Error enumerating hives: " +
                                                                           error::systemErrorText(ERROR_ACCESS_DENIED));
}

TEST_F(HiveRegistryTest, LivePathsAreComparedAsDevicePathsWithoutRegardToCase)
{
    const std::string software = "C:\\windows\\system32\\config\\SOFTWARE";
    const std::string cwd = support::toText(std::filesystem::current_path());
    HiveRegistry hives({devicePath(software), devicePath(cwd + "\\relative.hive")});
    std::vector<std::pair<std::string, bool>> cases = {
        {"C:\\WINDOWS\\System32\\config\\software", true},
        {"C:\\windows\\system32\\config\\..\\config\\.\\software", true},
        {"\\\\?\\C:\\windows\\system32\\config\\software", true},
        {"sub\\..\\RELATIVE.HIVE", true},
        {"C:\\windows\\system32\\config\\software.restored", false},
        {"C:\\windows\\system32\\config", false},
        {"\\\\server\\share\\windows\\system32\\config\\software", false},
        {"\\\\?\\UNC\\server\\share\\x", false},
    };
    // The same file name on another device is another file.
    for (wchar_t letter = L'D'; letter <= L'Z'; ++letter) {
        const std::string drive = {static_cast<char>(letter), ':'};
        wchar_t device[MAX_PATH];
        if (::QueryDosDeviceW(toWide(drive).c_str(), device, MAX_PATH) != 0 && device != devicePath("C:")) {
            cases.push_back({drive + "\\windows\\system32\\config\\software", false});
            break;
        }
    }
    for (const auto& [path, live] : cases)
        EXPECT_EQ(hives.isLiveHive(path), live) << path;
}

TEST_F(HiveRegistryTest, DriveWithoutDeviceNameHoldsNoLiveHiveAndIsReportedOnce)
{
    // A system that cannot name C:'s device (a half started one) still restores its objects,
    // and says so once.
    HiveRegistry hives({devicePath("C:\\windows\\system32\\config\\system")});
    auto refused = support::refuse(sys::calls.QueryDosDeviceW, ERROR_FILE_NOT_FOUND, 0);
    support::LogCapture log(1);
    EXPECT_FALSE(hives.isLiveHive("C:\\windows\\system32\\config\\system"));
    EXPECT_FALSE(hives.mustReplaceAtBoot("c:\\windows\\system32\\config\\system"));
    EXPECT_EQ(log.lines,
              (Lines{{1, "Cannot get device name for \"C:\": " + error::systemErrorText(ERROR_FILE_NOT_FOUND) +
                             " - no live hive on that drive"}}));
}

std::vector<std::wstring> protectionAsked;

TEST_F(HiveRegistryTest, LiveHivesAndProtectedFilesWaitForTheReboot)
{
    const std::string hive = "C:\\windows\\system32\\config\\software";
    HiveRegistry hives({devicePath(hive)});
    auto protect = support::replaced(
        sys::calls.SfcIsFileProtected, +[](HANDLE rpc, LPCWSTR path) -> BOOL {
            protectionAsked.emplace_back(rpc == nullptr ? path : L"(a server given)");
            return std::wstring(path) == L"C:\\windows\\system32\\Notepad.exe";
        });
    const std::pair<std::string, bool> cases[] = {
        {hive, true}, {"C:\\windows\\system32\\Notepad.exe", true}, {"C:\\data\\letter.txt", false}};
    for (const auto& [path, atBoot] : cases)
        EXPECT_EQ(hives.mustReplaceAtBoot(path), atBoot) << path;
    EXPECT_EQ(protectionAsked,
              (std::vector<std::wstring>{L"C:\\windows\\system32\\Notepad.exe", L"C:\\data\\letter.txt"}))
        << "a live hive needs no File Protection";
}

TEST_F(HiveRegistryTest, RestoredLiveHivesAreListedOnce)
{
    const std::string target = dir / "software";
    const std::string work = dir / "software.restored";
    recorded = {work, dir / "letter.restored"};
    HiveRegistry hives({devicePath(target)});
    struct Case {
        std::string target, work;
        int level;
        Lines lines;
    };
    const std::string upper = toUpper(target);
    const Case cases[] = {
        {target, work, 3, {{2, "Added hive datafile: " + work}}},
        {upper,
         work,
         3,
         {{1, "Hive file \"" + upper + "\" already listed in registry."}, {2, "Added hive datafile: " + work}}},
        {target, work, 0, {}},
        {dir / "letter.txt", dir / "letter.restored", 3, {}}, // not a hive
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        support::LogCapture log(c.level);
        hives.recordHive(c.target, c.work);
        EXPECT_EQ(log.lines, c.lines);
        const auto entry = support::readValue(HKEY_LOCAL_MACHINE, restoredHivesPath, toWide(c.work));
        EXPECT_EQ(entry, c.work == work
                             ? std::optional(support::RegistryValue(REG_SZ, support::regSz(toWide(c.target))))
                             : std::nullopt);
        EXPECT_EQ(hives.listedHere(c.work), c.work == work);
    }
    auto refused = support::refuse(sys::calls.RegSetValueExW, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED);
    support::LogCapture quiet(0);
    support::expectThrows<error::ESystemError>([&] { hives.recordHive(target, work); },
                                               "Unable to store registry data: " +
                                                   error::systemErrorText(ERROR_ACCESS_DENIED));
}

} // namespace
