#include "progress_line.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <vector>

namespace host {
namespace {

constexpr double kRateAfterSeconds = 1.0;
constexpr std::size_t kBarMin = 5;
constexpr std::size_t kBarMax = 30;

struct Unit {
    double divisor;
    const char* name;
};

// The unit that shows `bytes` with at most four digits before the point.
Unit unitFor(std::uint64_t bytes)
{
    static const char* const names[] = {"KiB", "MiB", "GiB", "TiB", "PiB"};
    if (bytes < 1024)
        return {1, "B"};
    double divisor = 1024;
    std::size_t unit = 0;
    while (static_cast<double>(bytes) / divisor >= 1024 && unit + 1 < std::size(names)) {
        divisor *= 1024;
        ++unit;
    }
    return {divisor, names[unit]};
}

std::string inUnit(std::uint64_t bytes, const Unit& unit)
{
    if (unit.divisor == 1)
        return std::to_string(bytes);
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.1f", static_cast<double>(bytes) / unit.divisor);
    return buffer;
}

std::string rightAligned(const std::string& text, std::size_t width)
{
    return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

// One field of the line and how readily it goes when the line is too long (highest first).
struct Field {
    std::string text;
    int dropOrder;
};

// The fields after the state, in the order shown. `aligned` pads the numbers to widths that
// hold still while they change, so that the line does not jitter.
std::vector<Field> fieldsOf(const Progress& p, bool aligned)
{
    auto pad = [&](const std::string& text, std::size_t width) { return aligned ? rightAligned(text, width) : text; };
    const int percentage = std::clamp(p.percentage, 0, 100);
    const std::string total = std::to_string(p.objectsTotal);
    const Unit unit = unitFor(p.bytesTotal);
    const std::string bytesTotal = inUnit(p.bytesTotal, unit);
    const auto rate = rateOf(p);
    const auto left = secondsLeft(p);
    return {
        {pad(std::to_string(percentage) + "%", 4), 0},
        {pad(std::to_string(p.objectsDone), total.size()) + "/" + total + " objects", 4},
        {pad(inUnit(p.bytesDone, unit), bytesTotal.size()) + "/" + bytesTotal + " " + unit.name, 1},
        {pad(rate ? rateText(*rate) : "-- MB/s", 10), 3},
        {pad(left ? durationText(*left) : "--:--", 5) + " left", 2},
    };
}

std::string joined(const std::vector<Field>& fields)
{
    std::string line;
    for (const Field& field : fields)
        line += "  " + field.text;
    return line;
}

std::string bar(std::int32_t percentage, std::size_t inner)
{
    const std::size_t filled = static_cast<std::size_t>(std::clamp(percentage, 0, 100)) * inner / 100;
    return "[" + std::string(filled, '#') + std::string(inner - filled, '-') + "]";
}

} // namespace

std::optional<std::uint64_t> rateOf(const Progress& progress)
{
    if (progress.seconds < kRateAfterSeconds)
        return std::nullopt;
    return static_cast<std::uint64_t>(static_cast<double>(progress.bytesDone) / progress.seconds);
}

std::optional<std::uint64_t> secondsLeft(const Progress& progress)
{
    const auto rate = rateOf(progress);
    if (!rate || *rate == 0)
        return std::nullopt;
    const std::uint64_t left = progress.bytesTotal > progress.bytesDone ? progress.bytesTotal - progress.bytesDone : 0;
    return (left + *rate - 1) / *rate;
}

std::string progressLine(const Progress& progress, std::size_t width)
{
    const std::size_t limit = width == 0 ? 0 : width - 1;
    const std::string state = stateName(progress.state);
    std::vector<Field> fields = fieldsOf(progress, true);
    // The percentage stays, whatever the width.
    while (fields.size() > 1 && state.size() + joined(fields).size() > limit)
        fields.erase(std::max_element(fields.begin(), fields.end(),
                                      [](const Field& a, const Field& b) { return a.dropOrder < b.dropOrder; }));
    const std::string rest = joined(fields);
    std::string line = state;
    const std::size_t room = limit > state.size() + rest.size() ? limit - state.size() - rest.size() : 0;
    // " [" and "]" around the bar.
    if (room >= kBarMin + 3)
        line += " " + bar(progress.percentage, std::min(kBarMax, room - 3));
    line += rest;
    if (line.size() > limit)
        line.resize(limit);
    return line;
}

std::string plainProgressLine(const Progress& progress)
{
    const std::vector<Field> fields = fieldsOf(progress, false);
    std::string line = stateName(progress.state) + " " + fields[0].text + ":";
    for (std::size_t i = 1; i < fields.size(); ++i)
        line += (i == 1 ? " " : ", ") + fields[i].text;
    return line;
}

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
    const Unit unit = unitFor(bytes);
    return inUnit(bytes, unit) + " " + unit.name;
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

} // namespace host
