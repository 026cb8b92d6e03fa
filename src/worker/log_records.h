#pragma once
// How a log line becomes records for the parent, and how it is kept locally when the
// parent cannot take it. Portable: no Windows here.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// The most bytes the text field of one log record holds.
constexpr std::size_t kLogRecordMaxBytes = 1024;
// Ends every record that the next one continues.
constexpr std::string_view kContinuedMarker = "[to be continued..]";
// The bytes of the text that a continued record carries before its marker.
constexpr std::size_t kContinuedPieceBytes = kLogRecordMaxBytes - kContinuedMarker.size();

// The records of `text`, in order: while more than kLogRecordMaxBytes bytes remain, the next
// kContinuedPieceBytes bytes followed by the marker; then the rest as it is. An empty text
// gives no record. Bytes are cut where the count falls, even inside a UTF-8 sequence.
std::vector<std::string> splitLogText(std::string_view text);

// The line that keeps an unsent log text in the local diagnostics file, without its line
// end: the level in decimal (as unsigned), a comma, "true" or "false" for `forward`, a colon,
// a blank and the whole text.
std::string localLogLine(std::string_view text, int level, bool forward);
