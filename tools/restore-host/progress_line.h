#pragma once
// Where a restore stands, as the host shows it: the worker's state and percentage, and what
// the host has served of the set so far, from which it measures the rate and the time left.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace host {

struct Progress {
    std::int32_t state = 0; // the worker's last report
    std::int32_t percentage = 0;
    std::uint64_t objectsDone = 0; // objects whose chunks were all served
    std::uint64_t objectsTotal = 0;
    std::uint64_t bytesDone = 0; // plain bytes of the chunks served
    std::uint64_t bytesTotal = 0;
    double seconds = 0; // since the first chunk was served

    bool operator==(const Progress&) const = default;
};

// Bytes per second once a second has passed since the first chunk; none before.
std::optional<std::uint64_t> rateOf(const Progress& progress);
// Seconds until every byte is served at the rate so far; none while there is no rate.
std::optional<std::uint64_t> secondsLeft(const Progress& progress);

// The progress line for a terminal `width` columns wide, in at most width - 1 of them so that
// it never wraps: "Restoring [#####-----]  42%  39/92 objects  126.0/300.1 MiB  88.2 MB/s
// 0:02 left". Narrower terminals lose the bar, then the objects, the rate, the time left and
// the bytes; the state and the percentage stay, cut at the edge when even they do not fit.
std::string progressLine(const Progress& progress, std::size_t width);
// The same fields on one line for output that is no terminal (no bar).
std::string plainProgressLine(const Progress& progress);

// The name of a progress state; unknown values show their number.
std::string stateName(std::int32_t state);
// "Error: text" and the like for one log record of the worker.
std::string logLine(std::int32_t severity, const std::string& text);

// 1536 -> "1.5 KiB"; below 1 KiB in bytes.
std::string byteCount(std::uint64_t bytes);
// Bytes per second as "12.3 MB/s" (decimal units, as transfer rates are given).
std::string rateText(std::uint64_t bytesPerSecond);
// Seconds as "0:42", "12:05" or "3:07:00".
std::string durationText(std::uint64_t seconds);

} // namespace host
