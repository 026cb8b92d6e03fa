// restore-worker.exe as shipped, with two watches through the system-call table for the
// hive tests under Wine, which neither writes a loaded hive's changes back to its file nor
// replaces a hive: each hive is saved to "<loaded file name>.snapshot" in the working
// directory just before it is unloaded, and every RegReplaceKeyW call is written as one
// line "subkey|file|old" to "replace-calls.txt" before the call goes on.
//
// With RW_HOLD_HIVE_STEP naming an event, the run stops before its hive step: it sets the
// event of that name + "-arrived" and waits (at most a minute) for the named one, so that a
// test can run another restore meanwhile.
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

void holdBeforeHiveStep()
{
    wchar_t name[256];
    const DWORD length = ::GetEnvironmentVariableW(L"RW_HOLD_HIVE_STEP", name, 256);
    if (length == 0 || length >= 256)
        return;
    const std::wstring hold(name, length);
    HANDLE arrived = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, (hold + L"-arrived").c_str());
    HANDLE release = ::OpenEventW(SYNCHRONIZE, FALSE, hold.c_str());
    if (arrived != nullptr)
        ::SetEvent(arrived);
    if (release != nullptr)
        ::WaitForSingleObject(release, 60000);
    for (HANDLE handle : {arrived, release})
        if (handle != nullptr)
            ::CloseHandle(handle);
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
    steps.hiveStep = [&] {
        holdBeforeHiveStep();
        processDeferredHives(*hives);
    };
    return runRestore(steps);
}
