#pragma once
// The display on a thread of its own: the host hands it events and goes back to answering the
// worker at once, whatever the screen costs.
#include "display.h"
#include "slim_lock.h"

#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace host {

class DisplayThread {
public:
    // `write` is called on the display's thread with text to put on the screen as it stands.
    DisplayThread(Screen screen, std::function<void(const std::string&)> write);
    // Finishes the display (see finish) if that was not done.
    ~DisplayThread();
    DisplayThread(const DisplayThread&) = delete;
    DisplayThread& operator=(const DisplayThread&) = delete;

    void progress(const Progress& progress);
    void log(const std::string& line);
    // Writes what still waits, erases the progress line and ends the thread.
    void finish();

private:
    void run();
    // Wakes the thread when it waits for events and has something to write now (not when it
    // waits for its next redraw).
    void changed();

    // Slim: every hand-over of an event would otherwise be a request to Wine's server.
    SlimLock mutex_;
    SlimCondition wake_;
    Display display_;
    bool stopping_ = false;
    bool idle_ = false;
    std::function<void(const std::string&)> write_;
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::thread thread_;
};

} // namespace host
