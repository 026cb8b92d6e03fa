#include "hives/hive_restore.h"

#include "common/error.h"
#include "common/log.h"
#include "common/text.h"
#include "hives/hive_lock.h"
#include "io/fs.h"
#include "registry/pending_moves.h"
#include "registry/registry.h"
#include "sys/syscalls.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

// Where a restored hive file is loaded while it is examined or merged.
const std::string mergeMount = "HarbexDelayMerge";
const std::string keysNotToRestorePath = "SYSTEM\\CurrentControlSet\\Control\\BackupRestore\\KeysNotToRestore";
const std::string sessionManagerPath = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const std::string currentControlSet = "CurrentControlSet";
const std::string pendingRenamesName = "PendingFileRenameOperations";
const std::string allowRenamesName = "AllowProtectedRenames";

// Keys of the running and of the restored SYSTEM hive: administrators may only read some
// of them (such as Enum), so they are opened for backup and restore.
constexpr winreg::Access kSystemKeys = winreg::Access::backupRestore;

std::string inQuotes(const std::string& text)
{
    return "\"" + text + "\"";
}

// Gives `destination` the type and bytes of `source` and writes it.
void copyValue(HKEY sourceRoot, const std::string& sourcePath, HKEY destinationRoot, const std::string& destinationPath,
               const std::string& name)
{
    winreg::GenericValue destination(destinationRoot, destinationPath, name, kSystemKeys);
    winreg::GenericValue source(sourceRoot, sourcePath, name, kSystemKeys);
    destination.data() = source.data();
    destination.store();
}

void copyValues(const winreg::Key& source, HKEY sourceRoot, const std::string& sourcePath, HKEY destinationRoot,
                const std::string& destinationPath)
{
    for (const winreg::GenericValue& value : source.values())
        copyValue(sourceRoot, sourcePath, destinationRoot, destinationPath, value.valueName());
}

// Whether the loaded hive is a SYSTEM hive, and its "Current" control set when it is.
struct Selection {
    bool isSystem = false;
    unsigned current = 0;
};

// A load that fails can leave the mount point behind (Wine does), which would make every
// later load fail: it is unloaded again.
void clearFailedLoad()
{
    sys::calls.RegUnLoadKeyW(HKEY_LOCAL_MACHINE, L"HarbexDelayMerge");
}

Selection readSelection()
{
    winreg::DoubleWord current(HKEY_LOCAL_MACHINE, mergeMount + "\\Select", "Current", kSystemKeys);
    return {current.valueExists(), current.data()};
}

// The opens for backup and restore need both privileges; without them those opens fail
// one by one, each where it is handled.
void enablePrivileges()
{
    try {
        winreg::enableBackupRestorePrivileges();
    } catch (const error::Exception& e) {
        logAt(1, "Cannot enable the backup and restore privileges: " + e.fullText());
    }
}

// Phase 1: every restored hive that is not SYSTEM replaces its target at the next boot.
void scheduleOtherHives(HiveRegistry& hives)
{
    logAt(2, "Will schedule moves of non-SYSTEM hives");
    winreg::Key list(HKEY_LOCAL_MACHINE, HiveRegistry::restoredHivesKey);
    if (!list.exists())
        return; // nothing listed here: another run removed the list
    for (const winreg::GenericValue& value : list.values()) {
        if (!hives.listedHere(value.valueName()))
            continue; // another run's
        std::unique_ptr<winreg::LoadedHive> hive;
        bool loading = false;
        try {
            const std::string fallback = value.valueName();
            const std::string target = winreg::String(value).data();
            loading = true;
            hive = std::make_unique<winreg::LoadedHive>(HKEY_LOCAL_MACHINE, mergeMount, fallback);
            if (readSelection().isSystem) {
                logAt(2, "Hive file " + fallback + " holds the SYSTEM hive. Will process later");
                continue;
            }
            logAt(2, "Hive file " + fallback + " is NOT the SYSTEM hive. Will schedule move of fallback " + fallback +
                         " for original hive " + target);
            if (!sys::calls.MoveFileExW(longPathW(fallback).c_str(), longPathW(target).c_str(),
                                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT))
                logAt(1, "Cannot request move of hive! " + error::lastErrorText());
            hives.requestReboot();
        } catch (const error::ESystemError& e) {
            logAt(1, "Could not load hive: " + e.fullText());
            if (loading && !hive)
                clearFailedLoad();
        } catch (const error::EParseError& e) {
            logAt(1, "Processing hives value: " + e.fullText());
        }
    }
}

// The restored SYSTEM hive, left loaded under the merge mount by findSystemHive.
struct SystemHive {
    std::unique_ptr<winreg::LoadedHive> loaded;
    std::string fallback;
    std::string target;
    unsigned current = 0;
};

// The first hive listed by this run that has Select\Current. Hives that cannot be loaded or whose
// selection cannot be read are logged and passed over: they are never taken for SYSTEM.
SystemHive findSystemHive(const HiveRegistry& hives)
{
    SystemHive found;
    winreg::Key list(HKEY_LOCAL_MACHINE, HiveRegistry::restoredHivesKey);
    if (!list.exists())
        return found;
    for (const winreg::GenericValue& value : list.values()) {
        if (!hives.listedHere(value.valueName()))
            continue;
        const std::string fallback = value.valueName();
        const std::string target = winreg::String(value).data();
        std::unique_ptr<winreg::LoadedHive> hive;
        Selection selection;
        try {
            hive = std::make_unique<winreg::LoadedHive>(HKEY_LOCAL_MACHINE, mergeMount, fallback);
            selection = readSelection();
        } catch (const error::ESystemError& e) {
            logAt(1, "Could not load hive: " + e.fullText());
            if (!hive)
                clearFailedLoad();
            continue;
        } catch (const error::EParseError& e) {
            logAt(1, "Processing hives value: " + e.fullText());
            continue;
        }
        if (!selection.isSystem)
            continue;
        found.loaded = std::move(hive);
        found.fallback = fallback;
        found.target = target;
        found.current = selection.current;
        return found;
    }
    return found;
}

// The paths of one KeysNotToRestore key path: in the running registry and in the hive.
struct EntryPaths {
    std::string active;
    std::string hive;
};

EntryPaths entryPaths(const std::string& keyPath, const std::string& controlSet)
{
    std::string hivePath = keyPath;
    if (hivePath.compare(0, currentControlSet.size(), currentControlSet) == 0)
        hivePath = controlSet + hivePath.substr(currentControlSet.size());
    return {"SYSTEM\\" + keyPath, mergeMount + "\\" + hivePath};
}

void preserveEntry(const std::string& entry, const std::string& controlSet)
{
    const bool isTree = !entry.empty() && entry.back() == '\\';
    // The last character alone makes a merge; its key path drops the last two characters
    // (normally a backslash and the star) whatever stands before the star.
    const bool isMerge = !entry.empty() && entry.back() == '*';
    if (isTree || isMerge) {
        const std::size_t cut = std::min<std::size_t>(entry.size(), isMerge ? 2 : 1);
        const EntryPaths paths = entryPaths(entry.substr(0, entry.size() - cut), controlSet);
        if (!winreg::Key(HKEY_LOCAL_MACHINE, paths.active, kSystemKeys).exists()) {
            logAt(2, "  Skipping non-existing subkey " + paths.active);
            return;
        }
        logAt(2, std::string(isMerge ? "  Will merge" : "  Will copy-and-replace") + " active registry key " +
                     inQuotes(paths.active) + " into hive under " + inQuotes(paths.hive));
        if (isMerge)
            mergeKey(HKEY_LOCAL_MACHINE, paths.active, HKEY_LOCAL_MACHINE, paths.hive);
        else
            copyAndReplace(HKEY_LOCAL_MACHINE, paths.active, HKEY_LOCAL_MACHINE, paths.hive);
        return;
    }

    const std::size_t slash = entry.rfind('\\');
    const std::string keyPath = slash == std::string::npos ? std::string() : entry.substr(0, slash);
    const std::string valueName = slash == std::string::npos ? entry : entry.substr(slash + 1);
    const EntryPaths paths = entryPaths(keyPath, controlSet);
    winreg::GenericValue active(HKEY_LOCAL_MACHINE, paths.active, valueName, kSystemKeys);
    if (!active.valueExists()) {
        logAt(2, "Cannot preserve " + inQuotes(paths.active) + " because it is not there.");
        return;
    }
    logAt(2, "Preserving " + inQuotes(paths.active + ":" + valueName) + " from active registry, copying it to " +
                 paths.hive + ":" + valueName);
    winreg::GenericValue preserved(HKEY_LOCAL_MACHINE, paths.hive, valueName, kSystemKeys);
    preserved.data() = active.data();
    preserved.store();
}

// Copies the running system's keys and values that are not to be restored into the hive.
void preserveKeysNotToRestore(const std::string& controlSet)
{
    winreg::Key keys(HKEY_LOCAL_MACHINE, keysNotToRestorePath, kSystemKeys);
    if (!keys.exists())
        logAt(0, "Unable to find list of keys not to restore!");
    // Enumerating a missing key fails, which ends the merge with a system error.
    for (const winreg::GenericValue& value : keys.values()) {
        try {
            const winreg::MultiString entries(value);
            for (const std::string& entry : entries.data()) {
                logAt(2, " Will process key " + inQuotes(entry) + " for " + inQuotes(value.valueName()));
                preserveEntry(entry, controlSet);
            }
        } catch (const error::EParseError& e) {
            logAt(2, "Cannot process value (" + e.fullText() + "). Skipping.");
        }
    }
}

// What the next boot needs of this restore lives in the running SYSTEM hive, which the
// restored one replaces at that boot: the moves at boot requested so far (this restore's
// among them) and the permission to replace protected files. Both go into the restored
// hive's current control set as well, after the keys not to restore, so that nothing
// copied from the running hive overwrites them. The running moves are read only here; a
// value that is empty, missing or malformed is no moves (said once at level 1), and the
// restored hive then keeps none either: moves left from the time of the backup are stale.
void carryBootState(PendingMoves& pending, const std::string& controlSet)
{
    const std::string path = mergeMount + "\\" + controlSet + "\\Control\\Session Manager";
    logAt(2, "Carrying the moves at boot and " + allowRenamesName + " into " + path);
    winreg::Key sessionManager(HKEY_LOCAL_MACHINE, path, kSystemKeys);
    if (!sessionManager.exists())
        sessionManager.create();
    sessionManager.close();
    const std::vector<PendingMove> running = pending.readRunning();
    winreg::GenericValue carried(HKEY_LOCAL_MACHINE, path, pendingRenamesName, kSystemKeys);
    if (!running.empty()) {
        carried.data() = {REG_MULTI_SZ, encodePendingMoves(running)};
        carried.store();
    } else if (carried.valueExists()) {
        carried.erase();
    }
    // Whatever the restored hive held there.
    winreg::GenericValue allow(HKEY_LOCAL_MACHINE, path, allowRenamesName, kSystemKeys);
    allow.data() = {REG_DWORD, winreg::Bytes{1, 0, 0, 0}};
    allow.store();
}

// Merges the running system's keys that are not to be restored and the boot state into the
// loaded SYSTEM hive, then unloads it. A system error ends that part of the work, logged;
// the hive is put in place all the same.
void mergeSystemHive(SystemHive& system, PendingMoves& pending)
{
    const std::string controlSet = controlSetName(system.current);
    try {
        logAt(2, "File " + system.fallback + " is the SYSTEM hive. Will process...");
        logAt(2, "The CurrentControlSet path is: " + controlSet);
        preserveKeysNotToRestore(controlSet);
    } catch (const error::ESystemError& e) {
        logAt(2, "Error processing hive file: " + e.fullText());
    }
    try {
        carryBootState(pending, controlSet);
        winreg::flushRegistry();
    } catch (const error::ESystemError& e) {
        logAt(2, "Error processing hive file: " + e.fullText());
    }
    system.loaded->unload();
}

// Phase 2: the first restored SYSTEM hive receives what is not to be restored and becomes
// the backing file of SYSTEM at the next boot, which makes the reboot necessary.
void replaceSystemHive(HiveRegistry& hives)
{
    logAt(2, "Will run hive merge on the SYSTEM hive");
    SystemHive system = findSystemHive(hives);
    if (!system.loaded)
        return;
    mergeSystemHive(system, hives.pendingMoves());

    logAt(2, "New system hive stored in: " + system.fallback);
    LONG result = sys::calls.RegReplaceKeyW(HKEY_LOCAL_MACHINE, L"SYSTEM", longPathW(system.fallback).c_str(),
                                            longPathW(system.target + ".oldbackup").c_str());
    if (result == ERROR_SUCCESS)
        hives.requestReboot();
    else
        logAt(1, "Unable to switch backing store: " + error::systemErrorText(static_cast<unsigned long>(result)));
    result = sys::calls.RegFlushKey(HKEY_LOCAL_MACHINE);
    if (result != ERROR_SUCCESS)
        logAt(1, "Cannot flush registry: " + error::systemErrorText(static_cast<unsigned long>(result)));
}

// Removes this run's entries from the worker's hive list, and the list once it is empty;
// another run's entries stay for its own hive step.
void removeListedHives(const HiveRegistry& hives)
{
    winreg::Key list(HKEY_LOCAL_MACHINE, HiveRegistry::restoredHivesKey);
    if (!list.exists())
        return;
    for (const std::string& workPath : hives.listedHives()) {
        winreg::GenericValue entry(HKEY_LOCAL_MACHINE, HiveRegistry::restoredHivesKey, workPath);
        if (entry.valueExists())
            entry.erase();
    }
    if (!winreg::GenericValue(list.handle(), DWORD{0}).valueExists() && !winreg::Key(list.handle(), DWORD{0}).exists())
        list.deleteTree();
}

} // namespace

std::string controlSetName(unsigned current)
{
    char digits[16];
    std::snprintf(digits, sizeof digits, "%03u", current);
    return "ControlSet" + std::string(digits);
}

void copyAndReplace(HKEY sourceRoot, const std::string& sourcePath, HKEY destinationRoot,
                    const std::string& destinationPath)
{
    winreg::Key source(sourceRoot, sourcePath, kSystemKeys);
    if (!source.exists())
        error::throwSystemError(ERROR_FILE_NOT_FOUND, "No source key " + inQuotes(sourcePath));
    {
        winreg::Key destination(destinationRoot, destinationPath, kSystemKeys);
        if (destination.exists()) {
            try {
                destination.deleteTree();
            } catch (const error::ESystemError& e) {
                logAt(1, "During copy-and-replace, unable to erase destination " + inQuotes(destinationPath) + ": " +
                             e.fullText());
            }
        }
    }
    winreg::Key destination(destinationRoot, destinationPath, kSystemKeys);
    if (!destination.exists())
        destination.create();
    for (const winreg::Key& subkey : source.subkeys())
        copyAndReplace(sourceRoot, sourcePath + "\\" + subkey.path(), destinationRoot,
                       destinationPath + "\\" + subkey.path());
    copyValues(source, sourceRoot, sourcePath, destinationRoot, destinationPath);
}

void mergeKey(HKEY sourceRoot, const std::string& sourcePath, HKEY destinationRoot, const std::string& destinationPath)
{
    winreg::Key source(sourceRoot, sourcePath, kSystemKeys);
    if (!source.exists())
        error::throwSystemError(ERROR_FILE_NOT_FOUND, "Cannot merge non-existing source key " + inQuotes(sourcePath));
    winreg::Key destination(destinationRoot, destinationPath, kSystemKeys);
    if (!destination.exists())
        destination.create();
    for (const winreg::Key& subkey : source.subkeys()) {
        const std::string sourceSub = sourcePath + "\\" + subkey.path();
        const std::string destinationSub = destinationPath + "\\" + subkey.path();
        if (!winreg::Key(destinationRoot, destinationSub, kSystemKeys).exists()) {
            mergeKey(sourceRoot, sourceSub, destinationRoot, destinationSub);
            continue;
        }
        const winreg::DoubleWord sourceStart(sourceRoot, sourceSub, "start", kSystemKeys);
        const winreg::DoubleWord destinationStart(destinationRoot, destinationSub, "start", kSystemKeys);
        if (sourceStart.valueExists() &&
            (!destinationStart.valueExists() || sourceStart.data() < destinationStart.data()))
            copyAndReplace(sourceRoot, sourceSub, destinationRoot, destinationSub);
    }
    copyValues(source, sourceRoot, sourcePath, destinationRoot, destinationPath);
}

void processDeferredHives(HiveRegistry& hives)
{
    HiveStepLock lock;
    enablePrivileges();
    scheduleOtherHives(hives);
    replaceSystemHive(hives);

    removeListedHives(hives);
    if (hives.rebootRequired()) {
        logAt(2, "Instructing system to allow WFP protected files to move on boot");
        winreg::DoubleWord allow(HKEY_LOCAL_MACHINE, sessionManagerPath, allowRenamesName, kSystemKeys);
        allow.data() = 1;
        allow.store();
    }
    logAt(2, std::string("Completed deferred processing") + (hives.rebootRequired() ? ". Please reboot." : ""));
}
