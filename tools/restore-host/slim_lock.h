#pragma once
// A lock and a condition that wait without Wine's server: Windows' slim reader/writer lock and
// condition variable, which Wine builds on the kernel's futexes. The runtime's std::mutex and
// std::condition_variable wait on semaphores, and every wait and wake is a request to Wine's
// server, several for each message that one thread of the host hands to another. The portable
// build (the display's tests) has the standard ones under the same names.
#include <chrono>
#include <mutex>

#ifdef _WIN32
#include <windows.h>

namespace host {

// A BasicLockable for std::lock_guard and std::unique_lock. Needs no cleanup.
class SlimLock {
public:
    SlimLock() = default;
    SlimLock(const SlimLock&) = delete;
    SlimLock& operator=(const SlimLock&) = delete;
    void lock() { AcquireSRWLockExclusive(&lock_); }
    void unlock() { ReleaseSRWLockExclusive(&lock_); }
    SRWLOCK* native() { return &lock_; }

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
};

class SlimCondition {
public:
    SlimCondition() = default;
    SlimCondition(const SlimCondition&) = delete;
    SlimCondition& operator=(const SlimCondition&) = delete;

    // Waits until `ready()` holds; `lock` is held on return.
    template <class Predicate>
    void wait(std::unique_lock<SlimLock>& lock, Predicate ready)
    {
        while (!ready())
            SleepConditionVariableSRW(&condition_, lock.mutex()->native(), INFINITE, 0);
    }
    // Waits for a wake or until `deadline`, whichever comes first (a wake may also come early).
    void waitUntil(std::unique_lock<SlimLock>& lock, std::chrono::steady_clock::time_point deadline)
    {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() > 0)
            SleepConditionVariableSRW(&condition_, lock.mutex()->native(), static_cast<DWORD>(left.count()), 0);
    }
    void notifyOne() { WakeConditionVariable(&condition_); }

private:
    CONDITION_VARIABLE condition_ = CONDITION_VARIABLE_INIT;
};

} // namespace host

#else
#include <condition_variable>

namespace host {

class SlimLock {
public:
    void lock() { mutex_.lock(); }
    void unlock() { mutex_.unlock(); }

private:
    std::mutex mutex_;
};

class SlimCondition {
public:
    template <class Predicate>
    void wait(std::unique_lock<SlimLock>& lock, Predicate ready)
    {
        condition_.wait(lock, ready);
    }
    void waitUntil(std::unique_lock<SlimLock>& lock, std::chrono::steady_clock::time_point deadline)
    {
        condition_.wait_until(lock, deadline);
    }
    void notifyOne() { condition_.notify_one(); }

private:
    std::condition_variable_any condition_;
};

} // namespace host
#endif
