#pragma once
// What the user sees while the host runs: one progress line redrawn in place, and the
// worker's log records on lines of their own above it.
#include <cstdio>
#include <string>

namespace host {

class Console {
public:
    // A quiet console shows nothing but what `result` prints.
    explicit Console(bool quiet, std::FILE* out = stdout) : quiet_(quiet), out_(out) {}
    ~Console() { endProgress(); }
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    void progress(const std::string& line);
    void log(const std::string& line);
    // Shown even when quiet, on a line of its own.
    void result(const std::string& line);

private:
    void endProgress();
    void eraseProgress();

    bool quiet_;
    std::FILE* out_;
    std::string shown_; // the progress line on the screen now
};

} // namespace host
