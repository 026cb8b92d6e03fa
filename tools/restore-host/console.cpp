#include "console.h"

namespace host {

void Console::progress(const std::string& line)
{
    if (quiet_ || line == shown_)
        return;
    std::string padded = line;
    if (padded.size() < shown_.size())
        padded.append(shown_.size() - padded.size(), ' ');
    std::fprintf(out_, "\r%s", padded.c_str());
    std::fflush(out_);
    shown_ = line;
}

void Console::log(const std::string& line)
{
    if (quiet_)
        return;
    std::string redraw = shown_;
    eraseProgress();
    std::fprintf(out_, "%s\n", line.c_str());
    progress(redraw);
    std::fflush(out_);
}

void Console::result(const std::string& line)
{
    endProgress();
    std::fprintf(out_, "%s\n", line.c_str());
    std::fflush(out_);
}

void Console::eraseProgress()
{
    if (shown_.empty())
        return;
    std::fprintf(out_, "\r%s\r", std::string(shown_.size(), ' ').c_str());
    shown_.clear();
}

void Console::endProgress()
{
    if (shown_.empty())
        return;
    std::fprintf(out_, "\n");
    std::fflush(out_);
    shown_.clear();
}

} // namespace host
