// restore-worker.exe as shipped, with two watches through the system-call table for the
// hive tests under Wine, which neither writes a loaded hive's changes back to its file nor
// replaces a hive: each hive is saved to "<loaded file name>.snapshot" in the working
// directory just before it is unloaded, and every RegReplaceKeyW call is written as one
// line "subkey|file|old" to "replace-calls.txt" before the call goes on.
#include "common/text.h"
#include "hives/hive_registry.h"
#include "hives/hive_restore.h"
#include "sys/syscalls.h"
#include "worker/driver.h"

#include <fstream>
#include <memory>
#include <string>

namespace {

std::wstring lastLoaded;

LONG WINAPI loadWatched(HKEY root, LPCWSTR subkey, LPCWSTR file)
{
    lastLoaded = file;
    return ::RegLoadKeyW(root, subkey, file);
}

LONG WINAPI unloadWatched(HKEY root, LPCWSTR subkey)
{
    HKEY mounted = nullptr;
    if (::RegOpenKeyExW(root, subkey, 0, KEY_READ, &mounted) == ERROR_SUCCESS) {
        const std::wstring name = lastLoaded.substr(lastLoaded.find_last_of(L"\\/") + 1);
        const std::wstring snapshot = name + L".snapshot";
        ::DeleteFileW(snapshot.c_str());
        ::RegSaveKeyW(mounted, snapshot.c_str(), nullptr);
        ::RegCloseKey(mounted);
    }
    return ::RegUnLoadKeyW(root, subkey);
}

LONG WINAPI replaceWatched(HKEY root, LPCWSTR subkey, LPCWSTR file, LPCWSTR old)
{
    std::ofstream calls("replace-calls.txt", std::ios::binary | std::ios::app);
    calls << toUtf8(subkey) << '|' << toUtf8(file) << '|' << toUtf8(old) << '\n';
    return ::RegReplaceKeyW(root, subkey, file, old);
}

} // namespace

int main()
{
    sys::calls.RegLoadKeyW = loadWatched;
    sys::calls.RegUnLoadKeyW = unloadWatched;
    sys::calls.RegReplaceKeyW = replaceWatched;
    std::unique_ptr<HiveRegistry> hives;
    RestoreSteps steps;
    steps.placement = [&]() -> Placement& {
        hives = std::make_unique<HiveRegistry>();
        return *hives;
    };
    steps.hiveStep = [&] { processDeferredHives(*hives); };
    return runRestore(steps);
}
