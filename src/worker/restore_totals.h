#pragma once
// The restore totals: what the driver learns about the job and counts while chunks arrive,
// read by the progress reports. One run owns them.
#include "common/usec_time.h"

#include <cstdint>

struct RestoreTotals {
    std::uint64_t jobFiles = 0;        // records that are not directories
    std::uint64_t jobDirectories = 0;  // records that are directories
    std::uint64_t jobBytes = 0;        // sum of the records' sizes, directories included
    std::uint64_t chunksReceived = 0;  // ChunkResponse messages received
    std::uint64_t downloadedBytes = 0; // encoded chunk data received
    std::uint32_t remainingChunks = 0; // as the latest ChunkResponse says
    // When the chunk phase began; until then, when the run started (made).
    UsecTime restoreStartTime = UsecTime::now();
};
