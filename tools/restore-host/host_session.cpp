#include "host_session.h"

#include "chunk_store.h"
#include "console.h"
#include "conversation.h"
#include "path_text.h"
#include "progress_line.h"
#include "transcript.h"
#include "worker_process.h"

#include "common/error.h"
#include "common/text.h"
#include "proto/messages.h"
#include "proto/protocol_factory.h"
#include "protocol/ber_decoder.h"

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <mutex>
#include <thread>
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
            std::lock_guard<std::mutex> lock(mutex_);
            items_.push_back(std::move(item));
        }
        ready_.notify_one();
    }
    FromWorker pop()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait(lock, [this] { return !items_.empty(); });
        FromWorker item = std::move(items_.front());
        items_.pop_front();
        return item;
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
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

std::wstring besideHost(const wchar_t* program)
{
    std::wstring self(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
        if (n == 0)
            error::throwSystemError(GetLastError(), "cannot find restore-host's own path");
        if (n < self.size()) {
            self.resize(n);
            break;
        }
        self.resize(self.size() * 2);
    }
    return self.substr(0, self.find_last_of(L"\\/") + 1) + program;
}

// Puts `from` at `to`, or removes `to` when there is nothing to put there.
void placeFile(const fs::path& from, const fs::path& to, bool wanted)
{
    if (!wanted || !fs::exists(from)) {
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

std::string encoded(const protocol::BerValue& message)
{
    std::string bytes;
    protocol::StringIo io(bytes);
    message.write(io, false);
    return bytes;
}

// Shows one message from the worker on the console.
void show(Console& console, const protocol::BerConstructed& message)
{
    if (auto* report = dynamic_cast<const proto::UpdateRestoreProgress*>(&message))
        console.progress(progressLine(*report));
    else if (auto* log = dynamic_cast<const proto::ClientWorkerLog*>(&message))
        console.log(logLine(log->severity, log->text));
    else if (auto* forwarded = dynamic_cast<const proto::ClientLogMessage*>(&message))
        console.log(logLine(forwarded->severity, forwarded->text));
}

class Session {
public:
    Session(const Options& options, const backupset::ChunkStore& store, WorkerProcess& worker)
        : options_(options), transcript_(options.transcriptPath), console_(options.quiet),
          conversation_(store, options.logLevel, options.faults), worker_(worker)
    {
    }

    // Answers the worker until its output ends.
    void serve(Inbox& inbox)
    {
        for (;;) {
            FromWorker item = inbox.pop();
            if (item.end)
                return;
            if (!item.problem.empty()) {
                transcript_.event("unreadable-output", "\"text\":" + jsonString(item.problem));
                console_.log("restore-host: the worker's output is unreadable: " + item.problem);
                worker_.closeInput();
                continue;
            }
            transcript_.message("worker", *item.message);
            show(console_, *item.message);
            // Sampled while the worker runs: its memory is its own once it is gone.
            if (dynamic_cast<const proto::MessageExchangeRequest*>(item.message.get()))
                worker_.samplePeakWorkingSet();
            std::vector<Outgoing> replies = conversation_.answer(*item.message);
            // The fault closes the input instead of answering, so the worker is left waiting.
            if (conversation_.inputShouldClose() && !worker_.inputClosed()) {
                worker_.closeInput();
                transcript_.event("close-input");
            }
            for (const Outgoing& out : replies)
                send(out);
        }
    }

    void finish(int exitCode, const backupset::ChunkStore& store)
    {
        transcript_.event("exit", "\"code\":" + std::to_string(exitCode));
        std::uint64_t bytes = 0;
        for (std::size_t i = 0; i < store.objectCount(); ++i)
            bytes += store.object(i).size;
        char line[256];
        std::snprintf(line, sizeof line, "restore-host: exit=%d objects=%zu bytes=%llu seconds=%.3f peak_working_set=%llu",
                      exitCode, store.objectCount(), static_cast<unsigned long long>(bytes), worker_.seconds(),
                      static_cast<unsigned long long>(worker_.peakWorkingSet()));
        console_.result(line);
    }

private:
    void send(const Outgoing& out)
    {
        if (worker_.inputClosed())
            return;
        if (out.message)
            transcript_.message("host", *out.message);
        else
            transcript_.rawBytes("host", out.raw);
        if (!worker_.send(out.message ? encoded(*out.message) : out.raw)) {
            transcript_.event("send-failed", "\"text\":" + jsonString(error::lastErrorText()));
            worker_.closeInput();
        }
    }

    const Options& options_;
    Transcript transcript_;
    Console console_;
    Conversation conversation_;
    WorkerProcess& worker_;
};

// Joins the reading thread on every path; when the host gives up early the worker is ended
// first, so that its output ends and the thread with it.
class ReaderThread {
public:
    ReaderThread(WorkerProcess& worker, Inbox& inbox) : worker_(worker), thread_([&] { readWorker(worker, inbox); })
    {
    }
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

} // namespace

int runHost(const Options& options)
{
    const backupset::ChunkStore store = backupset::ChunkStore::open(options.setDirectory);
    const fs::path work = prepareWorkDirectory(options);
    const std::wstring program =
        options.workerProgram.empty() ? besideHost(L"restore-worker.exe") : toWide(options.workerProgram);

    WorkerProcess worker(program, work.wstring());
    Session session(options, store, worker);
    Inbox inbox;
    ReaderThread reader(worker, inbox);
    session.serve(inbox);
    reader.join();
    const int exitCode = static_cast<int>(worker.wait());
    session.finish(exitCode, store);
    return exitCode;
}

} // namespace host
