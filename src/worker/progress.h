#pragma once
// Progress reports to the parent: the stage of the restore, the percentage done and, while
// chunks flow and once enough has arrived to mean something, the download rate and the time
// left.
#include "common/usec_time.h"
#include "proto/messages.h"
#include "worker/restore_totals.h"

#include <cstdint>

// The report for `state` (a Cli_RestoreProgress value) and `percentage` as the totals stand
// at `now`. The percentage is 0 while waiting for the server. Rate (bytes per second) and
// time left (seconds) come only while restoring: the rate from 256 KiB in at least 2 chunks
// over at least 2 seconds, the time left from 2 MiB in at least 3 chunks over at least 5
// seconds.
proto::UpdateRestoreProgress makeProgress(std::int32_t state, std::int32_t percentage, const RestoreTotals& totals,
                                          const UsecTime& now);

#ifdef _WIN32
class ParentLink;
// Sends the report for `totals` and the current time to the parent, bare (no reply is
// expected). Errors of the link reach the caller.
void reportProgress(ParentLink& link, const RestoreTotals& totals, std::int32_t state, std::int32_t percentage);
#endif
