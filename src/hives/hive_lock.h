#pragma once
// The machine-wide lock of the hive step. Two restores on one machine share the worker's
// hive list and the SYSTEM hive, so the hive step of one run, and every change that a run
// makes to the list, waits while another run holds the lock.
#include "sys/handle.h"

// The name of the lock, in the global namespace so that every session shares it.
inline constexpr wchar_t kHiveStepLockName[] = L"Global\\HarbexRestoreHiveStep";

class HiveStepLock {
public:
    // Takes the lock, waiting for its holder with a level-2 line. A holder that ended
    // without releasing it leaves it to the next taker. Throws the system error when the
    // lock cannot be opened or waited for.
    HiveStepLock();
    ~HiveStepLock();
    HiveStepLock(const HiveStepLock&) = delete;
    HiveStepLock& operator=(const HiveStepLock&) = delete;

private:
    sys::UniqueHandle mutex_;
};
