#include "progress_line.h"

#include <algorithm>
#include <cstdio>

namespace host {

std::string stateName(std::int32_t state)
{
    switch (state) {
    case 0: return "Preparing";
    case 1: return "Waiting for server";
    case 2: return "Restoring";
    case 3: return "No restore";
    default: return "State " + std::to_string(state);
    }
}

std::string logLine(std::int32_t severity, const std::string& text)
{
    static const char* const names[] = {"Fatal", "Error", "Info", "Detail"};
    std::string name = severity >= 0 && severity <= 3 ? names[severity] : "Level " + std::to_string(severity);
    return name + ": " + text;
}

std::string byteCount(std::uint64_t bytes)
{
    if (bytes < 1024)
        return std::to_string(bytes) + " B";
    static const char* const units[] = {"KiB", "MiB", "GiB", "TiB", "PiB"};
    double value = static_cast<double>(bytes) / 1024;
    std::size_t unit = 0;
    while (value >= 1024 && unit + 1 < std::size(units)) {
        value /= 1024;
        ++unit;
    }
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.1f %s", value, units[unit]);
    return buffer;
}

std::string rateText(std::uint64_t bytesPerSecond)
{
    char buffer[32];
    double value = static_cast<double>(bytesPerSecond);
    if (value >= 1e9)
        std::snprintf(buffer, sizeof buffer, "%.2f GB/s", value / 1e9);
    else if (value >= 1e6)
        std::snprintf(buffer, sizeof buffer, "%.1f MB/s", value / 1e6);
    else
        std::snprintf(buffer, sizeof buffer, "%.1f kB/s", value / 1e3);
    return buffer;
}

std::string durationText(std::uint64_t seconds)
{
    char buffer[40];
    const unsigned long long h = seconds / 3600, m = seconds / 60 % 60, s = seconds % 60;
    if (h != 0)
        std::snprintf(buffer, sizeof buffer, "%llu:%02llu:%02llu", h, m, s);
    else
        std::snprintf(buffer, sizeof buffer, "%llu:%02llu", m, s);
    return buffer;
}

std::string progressLine(const proto::UpdateRestoreProgress& report)
{
    constexpr int kBarWidth = 20;
    const int percentage = std::clamp(report.percentage, 0, 100);
    const int filled = percentage * kBarWidth / 100;
    std::string bar = "[" + std::string(filled, '#') + std::string(kBarWidth - filled, '-') + "]";
    char percent[8];
    std::snprintf(percent, sizeof percent, "%3d%%", percentage);

    std::string line = stateName(report.state);
    line.resize(std::max<std::size_t>(line.size(), 18), ' ');
    line += " " + bar + " " + percent;
    line += "  " + (report.hasRate ? rateText(report.rate) : std::string("-- MB/s"));
    line += "  " + (report.hasTimeLeft ? durationText(report.timeLeft) : std::string("--:--")) + " left";
    line += "  " + std::to_string(report.files) + (report.files == 1 ? " file  " : " files  ") + byteCount(report.bytes);
    return line;
}

} // namespace host
