// The native build has no overlapped I/O and no wait handles: the wait is a plain sleep.
#include "io/os_wait.h"

#include "common/assertion.h"

#include <chrono>
#include <thread>

namespace io::os {

std::uint32_t alertableWait(void* const*, std::size_t count, std::uint32_t timeoutMs)
{
    if (count != 0)
        assertion("Wait handles are not supported by the native build");
    if (timeoutMs == kInfinite) {
        // Nothing can end this wait here, as on Windows when no completion routine comes.
        for (;;)
            std::this_thread::sleep_for(std::chrono::hours(1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
    return kWaitTimeout;
}

} // namespace io::os
