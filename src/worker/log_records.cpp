#include "worker/log_records.h"

#include "common/format.h"

#include <cstdint>

std::vector<std::string> splitLogText(std::string_view text)
{
    std::vector<std::string> records;
    std::size_t position = 0;
    while (position < text.size()) {
        const std::size_t left = text.size() - position;
        if (left > kLogRecordMaxBytes) {
            std::string piece(text.substr(position, kContinuedPieceBytes));
            piece += kContinuedMarker;
            records.push_back(std::move(piece));
            position += kContinuedPieceBytes;
        } else {
            records.emplace_back(text.substr(position));
            position = text.size();
        }
    }
    return records;
}

std::string localLogLine(std::string_view text, int level, bool forward)
{
    std::string line = formatUnsigned(static_cast<std::uint32_t>(level));
    line += forward ? ",true: " : ",false: ";
    line += text;
    return line;
}
