#include "display_thread.h"

namespace host {

DisplayThread::DisplayThread(Screen screen, std::function<void(const std::string&)> write)
    : display_(screen), write_(std::move(write)), thread_([this] { run(); })
{
}

DisplayThread::~DisplayThread()
{
    finish();
}

void DisplayThread::progress(const Progress& progress)
{
    std::lock_guard<SlimLock> lock(mutex_);
    display_.progress(progress);
    changed();
}

void DisplayThread::log(const std::string& line)
{
    std::lock_guard<SlimLock> lock(mutex_);
    display_.log(line);
    changed();
}

void DisplayThread::changed()
{
    // An event that changes nothing on the screen (a plain progress line between two tenths)
    // leaves the thread asleep.
    if (idle_ && display_.waiting()) {
        idle_ = false;
        wake_.notifyOne();
    }
}

void DisplayThread::finish()
{
    if (!thread_.joinable())
        return;
    {
        std::lock_guard<SlimLock> lock(mutex_);
        stopping_ = true;
        wake_.notifyOne();
    }
    thread_.join();
}

void DisplayThread::run()
{
    std::unique_lock<SlimLock> lock(mutex_);
    while (!stopping_) {
        const double now = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        const std::string text = display_.take(now);
        if (!text.empty()) {
            lock.unlock();
            write_(text);
            lock.lock();
        } else if (display_.waiting()) {
            wake_.waitUntil(lock, start_ + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                               std::chrono::duration<double>(display_.nextTake())));
        } else {
            idle_ = true;
            wake_.wait(lock, [this] { return stopping_ || !idle_; });
        }
    }
    const std::string rest = display_.finish();
    lock.unlock();
    write_(rest);
}

} // namespace host
