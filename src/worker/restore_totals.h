#pragma once
// The restore totals: what the driver learns about the job and counts while chunks arrive,
// read by the chunk dispatcher and the progress reporter.
#include "common/usec_time.h"
#include "proto/messages.h"

#include <cstdint>

struct RestoreTotals {
    // The job, owned by the driver for the whole run; null until it is loaded.
    proto::ClientRestoreJob* currentJob = nullptr;
    std::uint64_t jobFiles = 0;       // records that are not directories
    std::uint64_t jobDirectories = 0; // records that are directories
    std::uint64_t jobBytes = 0;       // sum of the records' sizes, directories included
    std::uint64_t chunksReceived = 0; // ChunkResponse messages received
    std::uint64_t downloadedBytes = 0; // encoded chunk data received
    std::uint32_t remainingChunks = 0; // as the latest ChunkResponse says
    // When the chunk phase began; until then, when the process started (made).
    UsecTime restoreStartTime = UsecTime::now();

    // Forgets the job and every count; the start time becomes now.
    void reset() { *this = RestoreTotals(); }
};

// The process-wide totals, made on first use: the driver uses them first thing in main, so
// their start time is the process start. (Not a namespace-scope object: reading the clock
// goes through the system-call table, which is not there before static initialisation ends.)
RestoreTotals& restoreTotals();
