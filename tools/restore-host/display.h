#pragma once
// What the user sees while the host runs. On a terminal: one progress line redrawn in place,
// at most ten times a second, with the worker's log records scrolling above it. On output
// that is no terminal: the log records, and a plain progress line when the state changes or
// the restore passes another tenth.
//
// The display only turns events into text; a thread of its own writes that text, so that
// the worker never waits on the screen.
#include "progress_line.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

namespace host {

struct Screen {
    enum class Kind {
        Plain,   // a file or a pipe
        Ansi,    // a terminal that takes ANSI sequences
        Console, // a console that takes only carriage returns
    };
    Kind kind = Kind::Plain;
    std::size_t width = 80; // columns, for Ansi and Console
};

class Display {
public:
    static constexpr double kRedrawInterval = 0.1;        // seconds
    static constexpr std::size_t kMaxWaitingLines = 5000; // beyond them, lines are counted, not kept

    explicit Display(Screen screen) : screen_(screen) {}

    void progress(const Progress& progress);
    void log(const std::string& line);

    // Whether there is something to write, and the earliest time (seconds, on the clock of
    // take()) at which take() writes it.
    bool waiting() const;
    double nextTake() const { return lastDraw_ + kRedrawInterval; }
    // The text to write at `now`; empty when nothing is due yet.
    std::string take(double now);
    // The text that ends the display: the lines still waiting, and the progress line erased,
    // so that what follows starts on a clean line.
    std::string finish();

private:
    bool terminal() const { return screen_.kind != Screen::Kind::Plain; }
    std::string waitingLines();
    std::string erase();
    std::string redraw(const std::string& line);

    Screen screen_;
    std::deque<std::string> lines_;
    std::uint64_t droppedLines_ = 0;
    std::optional<Progress> progress_;
    bool progressChanged_ = false;
    std::string shown_; // the progress line on the screen now
    double lastDraw_ = -1e9;
    // Plain output: the state and the tenth of the last progress line written.
    std::optional<std::int32_t> plainState_;
    std::int32_t plainTenth_ = 0;
};

} // namespace host
