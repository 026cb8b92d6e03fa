#pragma once
// The one blocking call of the selectors: an alertable wait for any of a set of handles or
// for a timeout. On Windows it is SleepEx (no handles) or WaitForMultipleObjectsEx, both
// alertable, so the completion routines of overlapped I/O run inside it. The native build
// of the portable core has no handles and no completion routines: it just sleeps.
#include <cstddef>
#include <cstdint>

namespace io::os {

constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;
constexpr std::uint32_t kWaitObject0 = 0;
constexpr std::uint32_t kWaitIoCompletion = 192;
constexpr std::uint32_t kWaitTimeout = 258;
constexpr std::uint32_t kWaitFailed = 0xFFFFFFFFu;

// Waits up to `timeoutMs` (kInfinite: no limit). Returns kWaitTimeout, kWaitIoCompletion
// (completion routines ran), kWaitFailed (the reason is the thread's last error), or
// kWaitObject0 + i when handle i was signalled.
std::uint32_t alertableWait(void* const* handles, std::size_t count, std::uint32_t timeoutMs);

} // namespace io::os
