#include "host_session.h"

#include "conversation.h"
#include "display_thread.h"
#include "progress_line.h"
#include "slim_lock.h"
#include "summary.h"
#include "transcript.h"
#include "worker_account.h"
#include "worker_process.h"

#include "backupset/chunk_store.h"
#include "backupset/path_text.h"
#include "common/error.h"
#include "common/text.h"
#include "io/child_process.h"
#include "proto/messages.h"
#include "proto/protocol_factory.h"
#include "protocol/ber_decoder.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <optional>
#include <thread>
#include <unordered_set>
#include <vector>

namespace host {
namespace {

namespace fs = std::filesystem;
using backupset::toPath;

// What the reading thread hands over: a message, the end of the worker's output, or why
// its output could not be read.
struct FromWorker {
    std::unique_ptr<protocol::BerConstructed> message;
    bool end = false;
    std::string problem;
};

class Inbox {
public:
    void push(FromWorker item)
    {
        {
            std::lock_guard<SlimLock> lock(lock_);
            items_.push_back(std::move(item));
        }
        ready_.notifyOne();
    }
    FromWorker pop()
    {
        std::unique_lock<SlimLock> lock(lock_);
        ready_.wait(lock, [this] { return !items_.empty(); });
        FromWorker item = std::move(items_.front());
        items_.pop_front();
        return item;
    }

private:
    SlimLock lock_;
    SlimCondition ready_;
    std::deque<FromWorker> items_;
};

// Decodes the worker's output until it ends. Output that is no message of the protocol is
// reported once and the rest is drained, so the worker never blocks on a full pipe.
void readWorker(WorkerProcess& worker, Inbox& inbox)
{
    proto::Protocol factory;
    protocol::BerDecoder decoder(factory);
    std::vector<char> buffer(1 << 16);
    bool readable = true;
    try {
        for (;;) {
            const std::size_t n = worker.read(buffer.data(), buffer.size());
            if (n == 0)
                break;
            const auto* data = reinterpret_cast<const unsigned char*>(buffer.data());
            std::size_t left = n;
            while (readable && left != 0) {
                try {
                    const std::size_t used = decoder.process(data, left);
                    data += used;
                    left -= used;
                    if (decoder.hasMessage())
                        inbox.push({decoder.take(), false, {}});
                } catch (const error::Exception& e) {
                    inbox.push({nullptr, false, e.fullText()});
                    readable = false;
                }
            }
        }
    } catch (const error::Exception& e) {
        inbox.push({nullptr, false, e.fullText()});
    }
    inbox.push({nullptr, true, {}});
}

// Puts `from` at `to`, or removes `to` when it is not wanted.
void placeFile(const fs::path& from, const fs::path& to, bool wanted)
{
    if (!wanted) {
        fs::remove(to);
        return;
    }
    // CopyFileW: the runtime's copy_file refuses to overwrite here.
    if (!CopyFileW(from.c_str(), to.c_str(), FALSE))
        error::throwSystemError(GetLastError(), "cannot copy " + toUtf8(from.wstring()));
}

// The worker's working directory with the job and the configuration it is to find.
fs::path prepareWorkDirectory(const Options& options)
{
    const fs::path set = toPath(options.setDirectory);
    const fs::path work = options.workDirectory.empty() ? set / "work" : toPath(options.workDirectory);
    fs::create_directories(work);
    placeFile(options.jobFile.empty() ? set / backupset::kJobFile : toPath(options.jobFile), work / backupset::kJobFile,
              true);
    placeFile(options.configFile.empty() ? set / backupset::kConfigFile : toPath(options.configFile),
              work / backupset::kConfigFile, !options.noConfig);
    return fs::absolute(work);
}

// The bytes of `message` in `bytes`, whose storage is reused from one message to the next.
const std::string& encodeInto(std::string& bytes, const protocol::BerValue& message)
{
    bytes.clear();
    protocol::StringIo io(bytes);
    message.write(io, false);
    return bytes;
}

// The sum of the recorded sizes of the job's objects.
std::uint64_t jobBytes(const backupset::ChunkStore& store)
{
    std::uint64_t bytes = 0;
    for (std::size_t i = 0; i < store.objectCount(); ++i)
        bytes += store.object(i).size;
    return bytes;
}

class Session {
public:
    Session(const Options& options, const backupset::ChunkStore& store, Conversation& conversation,
            WorkerProcess& worker, DisplayThread* display)
        : store_(store),
          transcript_(options.transcriptPath),
          conversation_(conversation),
          worker_(worker),
          display_(display),
          account_(options.logLevel),
          bytesTotal_(jobBytes(store))
    {
    }

    // Answers the worker until its output ends. The display only hears of it: answering
    // comes first.
    void serve(Inbox& inbox)
    {
        for (;;) {
            FromWorker item = inbox.pop();
            if (item.end)
                return;
            if (!item.problem.empty()) {
                transcript_.event("unreadable-output", "\"text\":" + jsonString(item.problem));
                show("restore-host: the worker's output is unreadable: " + item.problem);
                worker_.closeInput();
                hostClosedInput_ = true;
                continue;
            }
            const protocol::BerConstructed& message = *item.message;
            transcript_.message("worker", message);
            hear(message);
            // Sampled while the worker runs: its memory is its own once it is gone. A report
            // may be its last word, so it is always sampled.
            const auto* request = dynamic_cast<const proto::MessageExchangeRequest*>(&message);
            const bool chunkRequest =
                request != nullptr && dynamic_cast<const proto::ChunkRequest*>(request->request.get());
            const bool report = dynamic_cast<const proto::UpdateRestoreProgress*>(&message) != nullptr;
            if (request != nullptr || report)
                worker_.samplePeakWorkingSet(report);
            std::vector<Outgoing> replies = conversation_.answer(message);
            if (chunkRequest)
                markTransfer(replies);
            // The fault closes the input instead of answering, so the worker is left waiting.
            if (conversation_.inputShouldClose() && !worker_.inputClosed()) {
                worker_.closeInput();
                hostClosedInput_ = true;
                transcript_.event("close-input");
            }
            for (const Outgoing& out : replies)
                send(out);
            if (display_ != nullptr && reported_)
                display_->progress(progress());
        }
    }

    // How the run went, once the worker exited with `workerExitCode`.
    RunResult finish(DWORD workerExitCode)
    {
        RunResult result;
        result.workerExitCode = workerExitCode;
        result.hostClosedInput = hostClosedInput_;
        result.vanished = workerVanished(account_, workerExitCode, hostClosedInput_);
        result.exitCode = result.vanished ? 3 : static_cast<int>(workerExitCode);
        result.objectsTotal = store_.objectCount();
        result.objectsServed = conversation_.objectsServed();
        result.failedServed = failedServed();
        result.bytesServed = conversation_.bytesServed();
        result.seconds = worker_.seconds();
        result.peakWorkingSet = worker_.peakWorkingSet();
        if (transferEnd_)
            result.transferSeconds = std::chrono::duration<double>(*transferEnd_ - *firstChunk_).count();
        if (result.vanished)
            transcript_.event("worker-vanished", "\"code\":" + std::to_string(workerExitCode));
        transcript_.event("exit", "\"code\":" + std::to_string(result.exitCode));
        return result;
    }

    const WorkerAccount& account() const { return account_; }

private:
    // What the worker says goes to its account and to the display.
    void hear(const protocol::BerConstructed& message)
    {
        if (auto* report = dynamic_cast<const proto::UpdateRestoreProgress*>(&message)) {
            account_.report(*report);
            reported_ = true;
            state_ = report->state;
            percentage_ = report->percentage;
        } else if (auto* log = dynamic_cast<const proto::ClientWorkerLog*>(&message)) {
            account_.log(log->severity, log->text);
            show(logLine(log->severity, log->text));
        } else if (auto* forwarded = dynamic_cast<const proto::ClientLogMessage*>(&message)) {
            show(logLine(forwarded->severity, forwarded->text));
        }
    }

    // The transfer runs from the first chunk request to the one answered with ChunkNone.
    void markTransfer(const std::vector<Outgoing>& replies)
    {
        const bool first = !firstChunk_;
        const bool last = std::any_of(replies.begin(), replies.end(), [](const Outgoing& out) {
            const auto* wrapper = dynamic_cast<const proto::MessageExchangeResponse*>(out.message.get());
            return wrapper != nullptr && dynamic_cast<const proto::ChunkNone*>(wrapper->response.get()) != nullptr;
        });
        if (!first && !last)
            return;
        const auto now = std::chrono::steady_clock::now();
        if (first)
            firstChunk_ = now;
        if (last)
            transferEnd_ = now;
    }

    void show(const std::string& line)
    {
        if (display_ != nullptr)
            display_->log(line);
    }

    Progress progress() const
    {
        Progress p;
        p.state = state_;
        p.percentage = percentage_;
        p.objectsDone = conversation_.objectsServed();
        p.objectsTotal = store_.objectCount();
        p.bytesDone = conversation_.bytesServed();
        p.bytesTotal = bytesTotal_;
        if (firstChunk_)
            p.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - *firstChunk_).count();
        return p;
    }

    // The failed objects the worker named that are among those served (served in job order);
    // the failures it counted without naming them are taken to be among them too.
    std::uint64_t failedServed() const
    {
        const std::vector<std::string>& names = account_.failedNames();
        if (names.empty())
            return account_.failedCount();
        std::unordered_set<std::string> served;
        for (std::uint64_t i = 0; i < conversation_.objectsServed(); ++i)
            served.insert(store_.object(i).name);
        std::uint64_t count = account_.failedCount() - names.size();
        for (const std::string& name : names)
            count += served.count(name);
        return count;
    }

    void send(const Outgoing& out)
    {
        if (worker_.inputClosed())
            return;
        if (out.message)
            transcript_.message("host", *out.message);
        else
            transcript_.rawBytes("host", out.raw);
        if (!worker_.send(out.message ? encodeInto(wire_, *out.message) : out.raw)) {
            transcript_.event("send-failed", "\"text\":" + jsonString(error::lastErrorText()));
            worker_.closeInput();
        }
    }

    const backupset::ChunkStore& store_;
    Transcript transcript_;
    Conversation& conversation_;
    WorkerProcess& worker_;
    DisplayThread* display_;
    WorkerAccount account_;
    const std::uint64_t bytesTotal_;
    bool reported_ = false; // the worker said where it stands
    std::int32_t state_ = 0;
    std::int32_t percentage_ = 0;
    std::optional<std::chrono::steady_clock::time_point> firstChunk_;
    std::optional<std::chrono::steady_clock::time_point> transferEnd_;
    bool hostClosedInput_ = false;
    std::string wire_; // the message being sent
};

// Joins the reading thread on every path; when the host gives up early the worker is ended
// first, so that its output ends and the thread with it.
class ReaderThread {
public:
    ReaderThread(WorkerProcess& worker, Inbox& inbox) : worker_(worker), thread_([&] { readWorker(worker, inbox); }) {}
    ~ReaderThread()
    {
        if (thread_.joinable()) {
            worker_.terminate();
            thread_.join();
        }
    }
    void join() { thread_.join(); }

private:
    WorkerProcess& worker_;
    std::thread thread_;
};

void writeOut(const std::string& text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

} // namespace

int runHost(const Options& options, const Screen& screen)
{
    checkPaths(options);
    const backupset::ChunkStore store = backupset::ChunkStore::open(options.setDirectory);
    // Reads every chunk file's head (and keeps the chunks of small objects), so that a damaged set
    // fails before the worker starts.
    Conversation conversation(store, options.logLevel, options.faults, options.servedObjects.value_or(SIZE_MAX));
    const fs::path work = prepareWorkDirectory(options);
    const std::wstring program =
        options.workerProgram.empty() ? io::besideThisProgram(L"restore-worker.exe") : toWide(options.workerProgram);

    std::optional<DisplayThread> display;
    if (!options.quiet)
        display.emplace(screen, writeOut);
    WorkerProcess worker(program, work.wstring());
    Session session(options, store, conversation, worker, display ? &*display : nullptr);
    Inbox inbox;
    {
        ReaderThread reader(worker, inbox);
        session.serve(inbox);
        reader.join();
    }
    const RunResult result = session.finish(worker.wait());
    if (display) {
        display->finish();
        writeOut(summaryText(session.account(), result));
    }
    if (result.vanished)
        writeOut(vanishedLine(result.workerExitCode) + "\n");
    writeOut(resultLine(result) + "\n");
    return result.exitCode;
}

} // namespace host
