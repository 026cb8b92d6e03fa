#include "worker_account.h"

#include <algorithm>
#include <string_view>

namespace host {
namespace {

constexpr std::int32_t kRestoring = 2;
constexpr std::int32_t kNoRestore = 3;

bool startsWith(const std::string& text, std::string_view prefix)
{
    return text.rfind(prefix, 0) == 0;
}

} // namespace

void WorkerAccount::report(const proto::UpdateRestoreProgress& report)
{
    restoring_ |= report.state == kRestoring;
    noRestore_ |= report.state == kNoRestore;
    lastReportFinal_ = report.state == kRestoring && report.percentage == 100;
}

void WorkerAccount::log(std::int32_t severity, const std::string& text)
{
    static constexpr std::string_view kFailing = "Failing restore of object \"";
    static constexpr std::string_view kFinishedWith = "Restore finished with ";
    static constexpr std::string_view kDeferred = "Completed deferred processing";
    if (severity == 0 && !fatal_)
        fatal_ = text;
    if (startsWith(text, "Restore completer exiting."))
        saidExiting_ = true;
    if (startsWith(text, kDeferred))
        reboot_ = text.find("Please reboot.", kDeferred.size()) != std::string::npos;
    if (startsWith(text, kFinishedWith)) {
        std::size_t digits = kFinishedWith.size();
        std::uint64_t count = 0;
        while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9' && count < UINT64_MAX / 10)
            count = count * 10 + static_cast<std::uint64_t>(text[digits++] - '0');
        failedTotal_ = std::max(failedTotal_, count);
    }
    if (startsWith(text, kFailing)) {
        const std::size_t end = text.find("\": ", kFailing.size());
        const std::string name =
            text.substr(kFailing.size(), end == std::string::npos ? std::string::npos : end - kFailing.size());
        if (failedSeen_.size() < kMaxNamesKept) {
            if (failedSeen_.insert(name).second)
                failedNames_.push_back(name);
        } else if (failedSeen_.count(name) == 0) {
            ++failedLines_;
        }
    }
}

bool WorkerAccount::finished() const
{
    return lastReportFinal_ && (logLevel_ < 2 || saidExiting_);
}

std::uint64_t WorkerAccount::failedCount() const
{
    return std::max<std::uint64_t>(failedTotal_, failedNames_.size() + failedLines_);
}

bool workerVanished(const WorkerAccount& account, std::uint32_t exitCode, bool hostClosedInput)
{
    if (account.finished())
        return false;
    if (exitCode == 0)
        return true;
    return account.restoring() && !account.fatal() && !hostClosedInput;
}

} // namespace host
