#include "hives/hive_lock.h"

#include "common/error.h"
#include "common/log.h"

HiveStepLock::HiveStepLock() : mutex_(sys::calls.CreateMutexW(nullptr, FALSE, kHiveStepLockName))
{
    if (!mutex_)
        error::throwSystemError(GetLastError(), "Cannot open the hive step lock");
    DWORD result = sys::calls.WaitForSingleObject(mutex_.get(), 0);
    if (result == WAIT_TIMEOUT) {
        if (logEnabled(2))
            logMessage("Waiting for the hive step of another restore", 2, false);
        result = sys::calls.WaitForSingleObject(mutex_.get(), INFINITE);
    }
    // WAIT_ABANDONED: the holder ended without releasing the lock, which is ours now.
    if (result != WAIT_OBJECT_0 && result != WAIT_ABANDONED)
        error::throwSystemError(GetLastError(), "Cannot take the hive step lock");
}

HiveStepLock::~HiveStepLock()
{
    sys::calls.ReleaseMutex(mutex_.get());
}
