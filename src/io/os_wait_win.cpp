#include "io/os_wait.h"

#include "sys/syscalls.h"

namespace io::os {

static_assert(kWaitIoCompletion == WAIT_IO_COMPLETION && kWaitTimeout == WAIT_TIMEOUT && kWaitFailed == WAIT_FAILED &&
              kInfinite == INFINITE && kWaitObject0 == WAIT_OBJECT_0);

std::uint32_t alertableWait(void* const* handles, std::size_t count, std::uint32_t timeoutMs)
{
    if (count == 0) {
        DWORD result = sys::calls.SleepEx(timeoutMs, TRUE);
        return result == 0 ? kWaitTimeout : result;
    }
    return sys::calls.WaitForMultipleObjectsEx(static_cast<DWORD>(count), const_cast<HANDLE*>(handles), FALSE,
                                               timeoutMs, TRUE);
}

} // namespace io::os
