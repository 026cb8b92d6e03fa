#include "worker/driver.h"

#include "config/config_store.h"
#include "common/crash_handler.h"
#include "common/error.h"
#include "common/format.h"
#include "common/log.h"
#include "common/text.h"
#include "bignum/bignum.h"
#include "crypto/data_key.h"
#include "io/errors.h"
#include "io/fs.h"
#include "io/selector.h"
#include "io/seq_file_reader.h"
#include "proto/messages.h"
#include "proto/protocol_factory.h"
#include "protocol/ber_reader.h"
#include "registry/privileges.h"
#include "restore/file_meta.h"
#include "restore/paths.h"
#include "restore/work_file.h"
#include "restore/writers.h"
#include "sys/handle.h"
#include "sys/syscalls.h"
#include "worker/dispatch.h"
#include "worker/log_records.h"
#include "worker/parent_link.h"
#include "worker/progress.h"
#include "worker/restore_totals.h"
#include "worker/worker_log.h"

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

// Progress states.
constexpr std::int32_t kPreparing = 0;
constexpr std::int32_t kWaitingForServer = 1;
constexpr std::int32_t kRestoring = 2;
constexpr std::int32_t kNoRestore = 3;

// What one run holds from its start to its end; every step is handed what it needs of it.
struct Run {
    ParentLink& link;
    std::unique_ptr<RestoreJob> job{};
    std::string jobPath{}; // absolute, for the deletions after the job is loaded
    RestoreTotals totals{};
};

void report(const Run& run, std::int32_t state, std::int32_t percentage)
{
    reportProgress(run.link, run.totals, state, percentage);
}

std::unique_ptr<RestoreJob> readJob()
{
    auto job = std::make_unique<RestoreJob>();
    SeqFileReader file(kJobFile);
    JobFileProtocol factory(*job);
    protocol::BerReader reader(factory, file);
    std::unique_ptr<protocol::BerConstructed> value;
    while (value == nullptr) {
        io::waitReady(reader);
        value = reader.read();
    }
    if (dynamic_cast<proto::ClientRestoreJob*>(value.get()) == nullptr)
        throw error::EFatal("Cannot parse file");
    return job;
}

// Loads the job and its totals. False when the job file cannot be read: it is deleted and
// the run ends with 1.
bool loadJob(Run& run)
{
    try {
        run.job = readJob();
        const JobRecords& records = run.job->records;
        run.totals.jobBytes = records.bytes();
        run.totals.jobDirectories = records.directories();
        run.totals.jobFiles = records.size() - records.directories();
    } catch (const error::Exception& e) {
        // The end of the job file too: a broken job, not the parent's departure.
        logAt(2, "Unable to open and parse restore job file: " + e.fullText() + " - exiting");
        deleteFile(kJobFile);
        return false;
    }
    run.jobPath = absolutePath(kJobFile);
    return true;
}

DataKey loadDataKey()
{
    logAt(3, "loading data_key from config");
    try {
        ConfigStore config(kConfigBaseName);
        config.load();
        const std::string keyBytes = config.getString("DataKey", kMaxDataKeyText);
        if (logEnabled(3))
            logAt(3, "Will decrypt restored files with key: " + BigNum::fromBytesLE(keyBytes).toHex(0));
        return DataKey(keyBytes);
    } catch (const EConfig& e) {
        throw error::EFatal("No usable data key: " + e.fullText());
    }
}

// Asks until the server is ready. False when it knows no restore.
bool awaitServer(const Run& run, const RestoreSteps& steps)
{
    for (;;) {
        pfreply_t<proto::RestoreStatus> reply{run.link, proto::RestoreInquiry()};
        switch (reply->status) {
        case proto::RestoreStatusType::NoRestore: return false;
        case proto::RestoreStatusType::NotReady:
            report(run, kWaitingForServer, 0);
            logAt(3, " will wait " + formatInt(steps.notReadyPause.seconds()) + " seconds before re-asking.");
            io::sleep(steps.notReadyPause);
            continue;
        case proto::RestoreStatusType::Ready: report(run, kWaitingForServer, 0); return true;
        default: throw error::EFatal("Unknown status from server");
        }
    }
}

void receiveChunks(Run& run, ChunkDispatcher& dispatcher)
{
    RestoreTotals& totals = run.totals;
    std::uint64_t processed = 0;
    std::uint8_t lastPercentage = 0;
    for (;;) {
        run.link.request(proto::ChunkRequest());
        std::unique_ptr<protocol::BerConstructed> reply = run.link.read();
        if (auto* chunk = dynamic_cast<proto::ChunkResponse*>(reply.get())) {
            ++totals.chunksReceived;
            totals.remainingChunks = chunk->remainingChunks;
            totals.downloadedBytes += chunk->data.size();
            dispatcher.dispatch(*chunk);
            ++processed;
            if (logEnabled(3))
                logAt(3, "Total dl bytes now: " + formatUnsigned64(totals.downloadedBytes) +
                             " processed chunks: " + formatUnsigned64(processed) +
                             ", remaining chunks: " + formatUnsigned64(totals.remainingChunks));
            const std::uint32_t announced = static_cast<std::uint32_t>(totals.remainingChunks + processed);
            const double p = (100.0 / announced) * static_cast<double>(processed);
            // A count that wraps to 0 gives no number; nothing sensible to report then but 0.
            // One that wraps to less than the chunks processed gives more than 100: held
            // there, since no report may say more.
            const std::uint64_t whole = p >= 0.0 && p < 18446744073709551616.0 ? static_cast<std::uint64_t>(p) : 0;
            const auto percentage = static_cast<std::uint8_t>(std::min<std::uint64_t>(whole, 100));
            if (percentage != lastPercentage) {
                report(run, kRestoring, percentage);
                lastPercentage = percentage;
                if (logEnabled(3))
                    logAt(3, "Progress now: " + formatUnsigned(percentage) + "%");
            }
            continue;
        }
        if (dynamic_cast<proto::ChunkNone*>(reply.get()) != nullptr) {
            logAt(2, "Received ChunkNone. Server has no more chunks for us.");
            return;
        }
        throw error::EFatal("Got unexpected message");
    }
}

// Sets the time stamps of every restored directory again, deepest first: objects moved
// into a directory after its completion changed its last-write time. Only the first record
// of a name is restored, so only it is ever completed.
void restoreDirectoryTimesAgain(const RestoreJob& job)
{
    const JobRecords& records = job.records;
    std::vector<std::pair<std::string, std::size_t>> directories;
    for (std::size_t r = 0; r < records.size(); ++r) {
        if (!records.isDirectory(r) || records.state(r) != JobRecords::State::Completed)
            continue;
        try {
            directories.emplace_back(mapPath(FileMetaVariant(*records.record(r)), job.restoreRoot), r);
        } catch (const error::Exception& e) {
            logAt(1,
                  "Cannot set the times of directory \"" + std::string(records.name(r)) + "\" again: " + e.fullText());
        }
    }
    auto depth = [](const std::string& path) { return std::count(path.begin(), path.end(), '\\'); };
    std::stable_sort(directories.begin(), directories.end(),
                     [&](const auto& a, const auto& b) { return depth(a.first) > depth(b.first); });
    for (const auto& [path, r] : directories) {
        try {
            restoreDirectoryTimes(path, FileMetaVariant(*records.record(r)));
        } catch (const error::Exception& e) {
            logAt(1,
                  "Cannot set the times of directory \"" + std::string(records.name(r)) + "\" again: " + e.fullText());
        }
    }
}

// One line that counts and names the failed objects, cut to fit one log record.
void logFailedObjects(const std::set<std::string>& failed)
{
    if (failed.empty())
        return;
    std::string text = "Restore finished with " + formatUnsigned64(failed.size()) + " failed object" +
                       (failed.size() == 1 ? "" : "s") + ":";
    const char* separator = " ";
    for (const std::string& name : failed) {
        text += separator + ("\"" + name + "\"");
        separator = ", ";
        if (text.size() > kLogRecordMaxBytes)
            break;
    }
    if (text.size() > kLogRecordMaxBytes) {
        constexpr std::string_view kCut = "...";
        text.resize(kLogRecordMaxBytes - kCut.size());
        text += kCut;
    }
    logAt(1, text);
}

int restore(const RestoreSteps& steps, ParentLink& link)
{
    if (steps.crashHandlers)
        installCrashHandlers(reportCrash);
    setupLogLevel(link);
    logAt(2, "Restore completer spawned");
    Run run{link};
    report(run, kPreparing, 0);
    if (!loadJob(run))
        return 1;
    const DataKey key = loadDataKey();
    logAt(2, "Have key, we're good to go...");
    report(run, kPreparing, 100);

    if (!awaitServer(run, steps)) {
        logAt(2, "Server does not know of any restore... Exiting.");
        deleteFile(run.jobPath);
        report(run, kNoRestore, 0);
        return 1;
    }
    logAt(2, "Server says it's ready to give us chunks!");

    const RestorePrivileges privileges = enableRestorePrivileges();
    WriterContext writers{steps.placement(), privileges.security};
    ChunkDispatcher dispatcher(*run.job, key, writers);

    run.totals.restoreStartTime = UsecTime::now();
    report(run, kRestoring, 0);
    receiveChunks(run, dispatcher);

    dispatcher.finishActiveWriter();
    restoreDirectoryTimesAgain(*run.job);
    logFailedObjects(dispatcher.failedObjects());

    steps.hiveStep();
    deleteFile(run.jobPath);
    report(run, kRestoring, 100);
    logAt(2, "Restore completer exiting. Restore completed successfully.");
    return 0;
}

} // namespace

void reportCrash(const wchar_t* text)
{
    fatalCrashReport(text);
}

RestorePrivileges enableRestorePrivileges()
{
    const std::vector<bool> held =
        enablePrivileges({{L"SeSecurityPrivilege", "Cannot look up SE_SECURITY_NAME privilege value",
                           "Cannot add security privilege to process"},
                          {L"SeRestorePrivilege", "Cannot look up SE_RESTORE_NAME privilege value",
                           "Cannot add restore privilege to process"}});
    if (!held[0])
        logAt(1, "Restoring without SeSecurityPrivilege: the SACLs of restored objects cannot be set");
    return {held[0], held[1]};
}

int runRestore(const RestoreSteps& steps)
{
    std::unique_ptr<ParentLink> standard;
    ParentLink& link = steps.link != nullptr ? *steps.link : *(standard = makeStandardParentLink());
    LogToParent logToParent(link);
    try {
        return restore(steps, link);
    } catch (const io::EEndOfStream&) {
        return 1; // the parent is gone: nobody to tell
    } catch (const error::Exception& e) {
        try {
            logAt(0, "Restore completer dying: " + e.fullText());
        } catch (const error::Exception&) {
            // The parent went away while hearing it; the run ends the same.
        }
        return 1;
    }
}
