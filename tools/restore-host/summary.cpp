#include "summary.h"

#include "progress_line.h"

#include <algorithm>
#include <cstdio>

namespace host {
namespace {

std::string verdict(const WorkerAccount& account, const RunResult& result)
{
    if (result.vanished)
        return "Restore FAILED: the worker ended without finishing the restore (exit code " +
               std::to_string(result.workerExitCode) + "): it was ended from outside, or it crashed";
    if (result.exitCode == 0)
        return account.failedCount() == 0 ? "Restore complete" : "Restore complete, with failed objects";
    if (account.noRestore())
        return "No restore: the server knows of none for this job";
    if (account.fatal())
        return "Restore FAILED: " + *account.fatal();
    return "Restore FAILED: the worker exited with code " + std::to_string(result.workerExitCode) +
           (result.hostClosedInput ? " after restore-host closed its input" : "");
}

std::string objectsLine(const WorkerAccount& account, const RunResult& result)
{
    const std::string ofTotal = " of " + std::to_string(result.objectsTotal);
    if (result.exitCode != 0)
        return std::to_string(result.objectsServed) + ofTotal + " served";
    const std::uint64_t restored = result.objectsServed - std::min(result.failedServed, result.objectsServed);
    std::string line = std::to_string(restored) + ofTotal + " restored";
    if (account.logLevel() < 1)
        return line + " (failed objects are named at log level 1 and above)";
    const std::uint64_t failed = account.failedCount();
    if (failed == 0)
        return line;
    line += "; " + std::to_string(failed) + " failed:";
    const auto& names = account.failedNames();
    for (std::size_t i = 0; i < names.size() && i < kNamesShown; ++i)
        line += (i == 0 ? " \"" : ", \"") + names[i] + "\"";
    const std::uint64_t shown = std::min<std::uint64_t>(names.size(), kNamesShown);
    if (failed > shown)
        line += (shown == 0 ? " " : " and ") + std::to_string(failed - shown) + (shown == 0 ? " unnamed" : " more");
    return line;
}

std::string dataLine(const RunResult& result)
{
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f s", result.seconds);
    std::string line = byteCount(result.bytesServed) + " in " + seconds;
    if (result.seconds > 0)
        line += ", " + rateText(static_cast<std::uint64_t>(static_cast<double>(result.bytesServed) / result.seconds)) +
                " on average";
    return line;
}

std::string rebootLine(const WorkerAccount& account)
{
    if (const auto reboot = account.rebootRequired())
        return *reboot ? "REQUIRED: restart Windows to finish the restore" : "not needed";
    return account.logLevel() < 2 ? "not known (the worker tells it at log level 2 and above)" : "not known";
}

} // namespace

std::string summaryText(const WorkerAccount& account, const RunResult& result)
{
    std::string text = "== " + verdict(account, result) + "\n";
    text += "   objects  " + objectsLine(account, result) + "\n";
    text += "   data     " + dataLine(result) + "\n";
    if (result.exitCode == 0)
        text += "   reboot   " + rebootLine(account) + "\n";
    return text;
}

std::string resultLine(const RunResult& result)
{
    char line[256];
    std::snprintf(line, sizeof line,
                  "restore-host: exit=%d objects=%llu bytes=%llu seconds=%.3f peak_working_set=%llu "
                  "transfer_seconds=%.3f",
                  result.exitCode, static_cast<unsigned long long>(result.objectsServed),
                  static_cast<unsigned long long>(result.bytesServed), result.seconds,
                  static_cast<unsigned long long>(result.peakWorkingSet), result.transferSeconds);
    return line;
}

std::string vanishedLine(std::uint32_t workerExitCode)
{
    return "restore-host: the worker ended without finishing the restore (exit code " + std::to_string(workerExitCode) +
           ", no final report): it was ended from outside, or it crashed";
}

} // namespace host
