#include "display.h"

namespace host {

void Display::progress(const Progress& progress)
{
    if (!terminal()) {
        const std::int32_t tenth = progress.percentage / 10;
        if (plainState_ != progress.state || (progress.state == 2 && tenth > plainTenth_))
            log(plainProgressLine(progress));
        plainState_ = progress.state;
        plainTenth_ = tenth;
        return;
    }
    if (progress_ == progress)
        return;
    progress_ = progress;
    progressChanged_ = true;
}

void Display::log(const std::string& line)
{
    if (lines_.size() >= kMaxWaitingLines) {
        ++droppedLines_;
        return;
    }
    lines_.push_back(line);
}

bool Display::waiting() const
{
    return !lines_.empty() || droppedLines_ != 0 || progressChanged_;
}

std::string Display::take(double now)
{
    if (!waiting() || (terminal() && now < nextTake()))
        return {};
    progressChanged_ = false;
    if (!terminal())
        return waitingLines();
    const std::string line = progress_ ? progressLine(*progress_, screen_.width) : std::string();
    if (lines_.empty() && droppedLines_ == 0 && line == shown_)
        return {};
    lastDraw_ = now;
    std::string out;
    if (!lines_.empty() || droppedLines_ != 0)
        out = erase() + waitingLines();
    return out + redraw(line);
}

std::string Display::finish()
{
    if (!terminal())
        return waitingLines();
    return erase() + waitingLines();
}

std::string Display::waitingLines()
{
    std::string out;
    for (const std::string& line : lines_)
        out += line + "\n";
    lines_.clear();
    if (droppedLines_ != 0)
        out += "restore-host: " + std::to_string(droppedLines_) +
               " log lines not shown: they came faster than the screen took them\n";
    droppedLines_ = 0;
    return out;
}

std::string Display::erase()
{
    if (shown_.empty())
        return {};
    std::string out = screen_.kind == Screen::Kind::Ansi ? "\r\x1b[K" : "\r" + std::string(shown_.size(), ' ') + "\r";
    shown_.clear();
    return out;
}

std::string Display::redraw(const std::string& line)
{
    if (line == shown_)
        return {};
    std::string out = "\r" + line;
    if (screen_.kind == Screen::Kind::Ansi)
        out += "\x1b[K";
    else if (shown_.size() > line.size())
        out += std::string(shown_.size() - line.size(), ' ');
    shown_ = line;
    return out;
}

} // namespace host
