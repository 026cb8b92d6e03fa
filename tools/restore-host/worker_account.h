#pragma once
// What the worker said of its run, from its progress reports and log records: whether it
// finished, which objects failed, whether the machine has to reboot. An exit code alone
// cannot tell: under Wine a worker ended from outside exits with 0.
#include "proto/messages.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace host {

class WorkerAccount {
public:
    // Names kept of the failed objects; the rest are counted.
    static constexpr std::size_t kMaxNamesKept = 1000;

    explicit WorkerAccount(std::int32_t logLevel) : logLevel_(logLevel) {}

    void report(const proto::UpdateRestoreProgress& report);
    void log(std::int32_t severity, const std::string& text);

    // The worker said it finished: its last report is "restoring" at 100 % and, at a log
    // level that lets the line through, it said it was exiting after a completed restore.
    bool finished() const;
    // It reported the restoring state at least once.
    bool restoring() const { return restoring_; }
    // The text of its fatal record ("Restore completer dying: ..."), if it sent one.
    const std::optional<std::string>& fatal() const { return fatal_; }
    // It said the server knows of no restore.
    bool noRestore() const { return noRestore_; }

    // The failed objects in the order they failed (at most kMaxNamesKept), and how many failed
    // in all; both need a log level of 1 or more.
    const std::vector<std::string>& failedNames() const { return failedNames_; }
    std::uint64_t failedCount() const;
    // Whether the machine has to reboot; nothing when the worker did not say (log level below
    // 2, or it did not get to the end).
    std::optional<bool> rebootRequired() const { return reboot_; }
    std::int32_t logLevel() const { return logLevel_; }

private:
    std::int32_t logLevel_;
    bool restoring_ = false;
    bool lastReportFinal_ = false;
    bool saidExiting_ = false;
    bool noRestore_ = false;
    std::optional<std::string> fatal_;
    std::vector<std::string> failedNames_;
    std::set<std::string> failedSeen_;
    std::uint64_t failedLines_ = 0;
    std::uint64_t failedTotal_ = 0; // from the line that ends a restore with failed objects
    std::optional<bool> reboot_;
};

// Whether the worker vanished: it ended without finishing and without saying why. A worker
// that exits with 0 must have finished; one that fails once the restore is under way says so
// in a fatal record, unless the host itself closed its input.
bool workerVanished(const WorkerAccount& account, std::uint32_t exitCode, bool hostClosedInput);

} // namespace host
