// A restore whose objects include a SYSTEM and a SOFTWARE hive of the running system, run
// through restore-host with the worker build that watches the hive calls (see
// hive_watching_worker.cpp). Afterwards the restored SYSTEM hive must hold the running keys
// that are not to be restored and the running moves at boot, and must be switched in with
// RegReplaceKeyW; the SOFTWARE hive must wait for the next boot; the worker's hive list is
// gone and protected renames are allowed.
#include "e2e/host_run.h"

#include "registry/registry.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using e2e::HostRun;
using support::regDword;
using support::RegistryBytes;
using support::regMultiSz;
using support::regSz;

const std::string kSessionManager = "System\\CurrentControlSet\\Control\\Session Manager";

// The bytes of an HKEY_LOCAL_MACHINE value, if it is there.
std::optional<RegistryBytes> machineValue(const std::string& path, const std::wstring& name)
{
    const auto value = support::readValue(HKEY_LOCAL_MACHINE, path, name);
    return value ? std::optional(value->second) : std::nullopt;
}

std::wstring wideOf(const std::optional<RegistryBytes>& data)
{
    return data ? std::wstring(reinterpret_cast<const wchar_t*>(data->data()), data->size() / sizeof(wchar_t)) : L"";
}

// Values and keys of the running registry that the test adds, removed at the end.
class MachineChanges {
public:
    ~MachineChanges()
    {
        for (const auto& [path, name] : values_)
            ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, toWide(path).c_str(), name.c_str());
        for (const std::string& path : keys_) {
            ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, toWide(path).c_str());
            ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, toWide(path).c_str());
        }
    }
    void value(const std::string& path, const std::wstring& name, DWORD type, const RegistryBytes& data)
    {
        values_.emplace_back(path, name);
        support::setValue(HKEY_LOCAL_MACHINE, path, name, type, data);
    }
    void key(const std::string& path) { keys_.push_back(path); }

private:
    support::SavedValue allowRenames_{kSessionManager, L"AllowProtectedRenames"};
    std::vector<std::pair<std::string, std::wstring>> values_;
    std::vector<std::string> keys_;
};

TEST(RestoreHostHives, SystemAndSoftwareHivesOfTheRunningSystem)
{
    winreg::enableBackupRestorePrivileges();
    HostRun host;
    MachineChanges changes;
    const std::string tag = "RWE2E-" + support::randomSuffix();
    const std::wstring wtag = toWide(tag);

    // The hives as the backup holds them: SYSTEM with control set 1, and a SOFTWARE hive.
    support::RegistryArea area("e2e-hives");
    area.setValue("system\\Select", L"Current", REG_DWORD, regDword(1));
    area.setValue("system\\ControlSet001\\Services\\" + tag + "\\Kept", L"start", REG_DWORD, regDword(1));
    area.setValue("system\\ControlSet001\\Control\\" + tag, L"Name", REG_SZ, regSz(L"restored"));
    area.createKey("system\\ControlSet001\\Control\\Session Manager");
    area.setValue("software\\Vendor", L"Version", REG_SZ, regSz(L"restored"));
    for (const std::string hive : {"system", "software"})
        ASSERT_EQ(::RegSaveKeyW(winreg::Key(area.key(), hive).handle(),
                                toWide(host.source + "\\" + toUpper(hive)).c_str(), nullptr),
                  ERROR_SUCCESS);

    // The running system: its hive list names the targets, and what it keeps.
    const std::string systemTarget = host.restoredPath("SYSTEM");
    const std::string softwareTarget = host.restoredPath("SOFTWARE");
    const std::string hiveList = "System\\CurrentControlSet\\Control\\hivelist";
    changes.value(hiveList, L"\\REGISTRY\\MACHINE\\" + wtag + L"-SYSTEM", REG_SZ,
                  regSz(support::devicePath(systemTarget)));
    changes.value(hiveList, L"\\REGISTRY\\MACHINE\\" + wtag + L"-SOFTWARE", REG_SZ,
                  regSz(support::devicePath(softwareTarget)));
    const std::string services = "SYSTEM\\CurrentControlSet\\Services\\" + tag;
    const std::string control = "SYSTEM\\CurrentControlSet\\Control\\" + tag;
    changes.key(services);
    changes.key(control);
    support::setValue(HKEY_LOCAL_MACHINE, services + "\\Kept", L"start", REG_DWORD, regDword(3));
    support::setValue(HKEY_LOCAL_MACHINE, services + "\\Added", L"start", REG_DWORD, regDword(2));
    support::setValue(HKEY_LOCAL_MACHINE, control, L"Name", REG_SZ, regSz(L"running"));
    const std::string backupRestore = "SYSTEM\\CurrentControlSet\\Control\\BackupRestore";
    if (!support::keyExists(HKEY_LOCAL_MACHINE, backupRestore))
        changes.key(backupRestore);
    changes.value(backupRestore + "\\KeysNotToRestore", wtag, REG_MULTI_SZ,
                  regMultiSz({L"CurrentControlSet\\Services\\" + wtag + L"\\*",
                              L"CurrentControlSet\\Control\\" + wtag + L"\\Name"}));

    host.pack();
    ASSERT_EQ(host.run({"--worker", host.besideTest("hive_watching_worker.exe")}), 0) << host.hostOutput();

    EXPECT_TRUE(host.wrote("log 2: File " + systemTarget + ".restored is the SYSTEM hive. Will process..."));
    EXPECT_TRUE(host.wrote("log 2: Completed deferred processing. Please reboot."));

    // SYSTEM is switched to the restored file, the running one kept as .oldbackup.
    EXPECT_EQ(support::readFile(host.work + "\\replace-calls.txt"),
              "SYSTEM|\\\\?\\" + systemTarget + ".restored|\\\\?\\" + systemTarget + ".oldbackup\n");
    // SOFTWARE waits for the next boot.
    const std::wstring pending = wideOf(machineValue(kSessionManager, L"PendingFileRenameOperations"));
    const std::wstring softwareMove = L"\\??\\" + toWide(softwareTarget) + L".restored";
    EXPECT_NE(pending.find(softwareMove + L'\0' + L"!\\??\\" + toWide(softwareTarget)), std::wstring::npos);
    EXPECT_FALSE(support::keyExists(HKEY_LOCAL_MACHINE, "Software\\Harbex\\hives"));
    EXPECT_EQ(machineValue(kSessionManager, L"AllowProtectedRenames"), regDword(1));

    // The restored SYSTEM hive as the merge left it, loaded under a name of the test's own.
    const std::string mount = "RestoreWorkerE2E-" + support::randomSuffix();
    ASSERT_EQ(::RegLoadKeyW(HKEY_LOCAL_MACHINE, toWide(mount).c_str(),
                            toWide(host.work + "\\SYSTEM.restored.snapshot").c_str()),
              ERROR_SUCCESS);
    const std::string cs = mount + "\\ControlSet001\\";
    EXPECT_EQ(machineValue(cs + "Control\\" + tag, L"Name"), regSz(L"running"));
    EXPECT_EQ(machineValue(cs + "Services\\" + tag + "\\Added", L"start"), regDword(2));
    EXPECT_EQ(machineValue(cs + "Services\\" + tag + "\\Kept", L"start"), regDword(1))
        << "a restored service that starts earlier than the running one keeps its own settings";
    const std::wstring carried = wideOf(machineValue(cs + "Control\\Session Manager", L"PendingFileRenameOperations"));
    ::RegUnLoadKeyW(HKEY_LOCAL_MACHINE, toWide(mount).c_str());
    EXPECT_NE(carried.find(softwareMove), std::wstring::npos) << "the moves at boot must survive the hive switch";
}

// Two restores of a hive each, in one prefix: the second stops before its hive step until
// the first has ended, whose hive step must leave the second's entry of the shared hive
// list alone. Both complete, and both hives wait for the next boot.
TEST(RestoreHostHives, TwoRestoresAtOnceEachKeepTheirOwnHives)
{
    winreg::enableBackupRestorePrivileges();
    MachineChanges changes;
    const std::string tag = "RWE2E-" + support::randomSuffix();
    support::RegistryArea area("e2e-two-runs");
    area.setValue("software\\Vendor", L"Version", REG_SZ, regSz(L"restored"));
    HostRun first;
    HostRun second;
    for (HostRun* host : {&first, &second}) {
        ASSERT_EQ(::RegSaveKeyW(winreg::Key(area.key(), "software").handle(),
                                toWide(host->source + "\\SOFTWARE").c_str(), nullptr),
                  ERROR_SUCCESS);
        const std::wstring name = L"\\REGISTRY\\MACHINE\\" + toWide(tag) + (host == &first ? L"-first" : L"-second");
        changes.value("System\\CurrentControlSet\\Control\\hivelist", name, REG_SZ,
                      regSz(support::devicePath(host->restoredPath("SOFTWARE"))));
        host->pack();
    }

    const std::wstring hold = L"RestoreWorkerE2E-" + toWide(tag);
    sys::UniqueHandle release(::CreateEventW(nullptr, TRUE, FALSE, hold.c_str()));
    sys::UniqueHandle arrived(::CreateEventW(nullptr, TRUE, FALSE, (hold + L"-arrived").c_str()));
    const std::vector<std::string> watching = {"--worker", HostRun::besideTest("hive_watching_worker.exe")};
    ::SetEnvironmentVariableW(L"RW_HOLD_HIVE_STEP", hold.c_str());
    second.start(watching);
    ::SetEnvironmentVariableW(L"RW_HOLD_HIVE_STEP", nullptr);
    ASSERT_EQ(::WaitForSingleObject(arrived.get(), 120000), WAIT_OBJECT_0)
        << "the second run never reached its hive step";
    EXPECT_EQ(first.run(watching), 0) << first.hostOutput();
    ::SetEvent(release.get());
    EXPECT_EQ(second.finish(), 0) << second.hostOutput();

    const std::wstring pending = wideOf(machineValue(kSessionManager, L"PendingFileRenameOperations"));
    for (HostRun* host : {&first, &second}) {
        const std::wstring target = toWide(host->restoredPath("SOFTWARE"));
        const std::wstring move = L"\\??\\" + target + L".restored" + L'\0' + L"!\\??\\" + target;
        const std::size_t at = pending.find(move);
        EXPECT_NE(at, std::wstring::npos) << host->restoredPath("SOFTWARE");
        EXPECT_EQ(pending.find(move, at + 1), std::wstring::npos) << "each run's step moves its own hive alone";
        EXPECT_TRUE(host->wrote("log 2: Completed deferred processing. Please reboot."));
    }
    EXPECT_FALSE(support::keyExists(HKEY_LOCAL_MACHINE, "Software\\Harbex\\hives"));
}

} // namespace
