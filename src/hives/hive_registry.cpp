#include "hives/hive_registry.h"

#include "common/error.h"
#include "common/log.h"
#include "common/text.h"
#include "hives/hive_lock.h"
#include "io/fs.h"
#include "registry/registry.h"
#include "sys/handle.h"
#include "sys/syscalls.h"

#include <algorithm>
#include <vector>

namespace {

std::set<std::wstring> readHiveList()
{
    HKEY opened = nullptr;
    LONG result = sys::calls.RegOpenKeyExW(HKEY_LOCAL_MACHINE, toWide(HiveRegistry::hiveListKey).c_str(), 0,
                                           KEY_ALL_ACCESS, &opened);
    if (result != ERROR_SUCCESS)
        error::throwSystemError(static_cast<unsigned long>(result), "Cannot open hive list");
    sys::UniqueKey list(opened);

    const DWORD nameCapacity = 16384;
    std::vector<wchar_t> name(nameCapacity);
    std::vector<BYTE> data(1024);
    std::set<std::wstring> hives;
    for (DWORD index = 0;; ++index) {
        DWORD type = REG_NONE;
        DWORD size = 0;
        for (;;) {
            DWORD nameLength = nameCapacity;
            size = static_cast<DWORD>(data.size());
            result = sys::calls.RegEnumValueW(list.get(), index, name.data(), &nameLength, nullptr, &type, data.data(),
                                              &size);
            if (result != ERROR_MORE_DATA || data.size() > MAXDWORD / 2)
                break;
            data.resize(data.size() * 2);
        }
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        if (result != ERROR_SUCCESS)
            error::throwSystemError(static_cast<unsigned long>(result), "Error enumerating hives");
        if (type != REG_SZ)
            throw error::EParseError("Hive name variable holds non-string data");
        std::wstring path(std::min<std::size_t>(size, data.size()) / sizeof(wchar_t), L'\0');
        std::copy_n(data.data(), path.size() * sizeof(wchar_t), reinterpret_cast<BYTE*>(path.data()));
        while (!path.empty() && path.back() == L'\0')
            path.pop_back();
        // A volatile hive has no file.
        if (!path.empty())
            hives.insert(upperCasedPath(path));
    }
    return hives;
}

void ensureRestoredHivesKey()
{
    winreg::Key list(HKEY_LOCAL_MACHINE, HiveRegistry::restoredHivesKey);
    list.create();
}

} // namespace

HiveRegistry::HiveRegistry() : liveHives_(readHiveList())
{
    if (logEnabled(2))
        logMessage("Total of " + std::to_string(liveHives_.size()) + " hives backing active registry", 2, false);
    ensureRestoredHivesKey();
}

HiveRegistry::HiveRegistry(std::set<std::wstring> liveHives)
{
    for (const std::wstring& path : liveHives)
        liveHives_.insert(upperCasedPath(path));
    ensureRestoredHivesKey();
}

bool HiveRegistry::isLiveHive(const std::string& path) const
{
    if (!answered_ || path != lastPath_) {
        lastAnswer_ = backsLiveHive(path);
        lastPath_ = path;
        answered_ = true;
    }
    return lastAnswer_;
}

bool HiveRegistry::backsLiveHive(const std::string& path) const
{
    std::string absolute = path;
    try {
        absolute = absolutePath(path);
    } catch (const error::ESystemError&) {
        // Compared as given.
    }
    std::wstring wide = toWide(absolute);
    // The long-path form keeps its prefix through the absolute path; the drive follows it.
    const std::wstring longPrefix = L"\\\\?\\";
    if (wide.compare(0, longPrefix.size(), longPrefix) == 0)
        wide.erase(0, longPrefix.size());
    // A network path (\\server\share, or UNC\ after the long prefix) has no drive and
    // never backs a loaded hive.
    if (wide.compare(0, 2, L"\\\\") == 0 || wide.compare(0, 4, L"UNC\\") == 0)
        return false;

    if (wide.size() < 2 || wide[1] != L':')
        return false; // no drive: nothing the hive list can name
    const std::wstring& device = deviceOf(wide.substr(0, 2));
    if (device.empty())
        return false;
    return liveHives_.count(upperCasedPath(device + wide.substr(2))) != 0;
}

const std::wstring& HiveRegistry::deviceOf(const std::wstring& drive) const
{
    const std::wstring key = upperCasedPath(drive);
    auto known = devices_.find(key);
    if (known != devices_.end())
        return known->second;
    std::wstring device;
    wchar_t name[MAX_PATH];
    if (sys::calls.QueryDosDeviceW(drive.c_str(), name, MAX_PATH) != 0) {
        device = name; // the first of the names; it ends at its NUL
    } else if (logEnabled(1)) {
        logMessage("Cannot get device name for \"" + toUtf8(drive) + "\": " + error::lastErrorText() +
                       " - no live hive on that drive",
                   1, false);
    }
    return devices_.emplace(key, std::move(device)).first->second;
}

bool HiveRegistry::mustReplaceAtBoot(const std::string& path) const
{
    if (isLiveHive(path))
        return true;
    return sys::calls.SfcIsFileProtected(nullptr, toWide(path).c_str()) != FALSE;
}

void HiveRegistry::recordHive(const std::string& target, const std::string& workPath)
{
    if (!isLiveHive(target))
        return;
    HiveStepLock lock;
    ensureRestoredHivesKey();
    winreg::String entry(HKEY_LOCAL_MACHINE, restoredHivesKey, workPath);
    if (entry.valueExists() && logEnabled(1))
        logMessage("Hive file \"" + target + "\" already listed in registry.", 1, false);
    entry.data() = target;
    entry.store();
    listed_.insert(workPath);
    if (logEnabled(2))
        logMessage("Added hive datafile: " + workPath, 2, false);
}
