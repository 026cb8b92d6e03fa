// restore-worker.exe itself, started as a child whose standard handles are the test's pipes,
// in a working directory holding restore.job and harbex.cfg.
#include "bignum/base36.h"
#include "io/child_process.h"
#include "proto/messages.h"
#include "sys/handle.h"
#include "worker/link_peer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using link_test::encode;

class WorkerProcess : public io::ChildProcess {
public:
    explicit WorkerProcess(const std::filesystem::path& directory)
        : ChildProcess(io::besideThisProgram(L"restore-worker.exe"), L"ignored arguments", directory.wstring())
    {
    }
    void send(const protocol::BerValue& message) { ASSERT_TRUE(ChildProcess::send(encode(message))); }
    // Every message up to the end of the worker's output.
    std::vector<link_test::Message> receiveRest() { return link_test::decodeAll(receive(SIZE_MAX)); }
};

void writeText(const std::filesystem::path& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out.flush())
        throw std::runtime_error("cannot write " + path.string());
}

// Runs the worker on an empty job with these wrapped replies after the log level 1; returns
// what it wrote, one line a message.
std::vector<std::string> runWorker(const link_test::InTemporaryDirectory& dir,
                                   std::vector<protocol::BerConstructed*> replies, DWORD& exitCode)
{
    proto::ClientRestoreJob job;
    job.restoreRoot = dir.path().string();
    job.hasFiles = true;
    writeText(dir.path() / "restore.job", encode(job));
    writeText(dir.path() / "harbex.cfg", "DataKey=\"" + formatBase36(std::string(32, '\x11')) + "\"\n");

    WorkerProcess worker(dir.path());
    proto::CurrentLogLevel level;
    level.level = 1;
    worker.send(level);
    for (protocol::BerConstructed* reply : replies) {
        proto::MessageExchangeResponse wrapper;
        wrapper.response.reset(reply);
        worker.send(wrapper);
    }
    std::vector<std::string> seen;
    for (const link_test::Message& m : worker.receiveRest()) {
        if (dynamic_cast<const proto::GetLogLevel*>(m.get()))
            seen.push_back("GetLogLevel");
        else if (auto* p = dynamic_cast<const proto::UpdateRestoreProgress*>(m.get()))
            seen.push_back("progress " + std::to_string(p->state) + " " + std::to_string(p->percentage));
        else if (dynamic_cast<const proto::MessageExchangeRequest*>(m.get()))
            seen.push_back("request");
        else
            seen.push_back("other");
    }
    exitCode = worker.exitCode(60000);
    return seen;
}

TEST(RestoreWorkerExe, ServerWithoutRestoreEndsWithExitCode1AndDeletesTheJob)
{
    link_test::InTemporaryDirectory dir;
    DWORD code = 0;
    const std::vector<std::string> seen = runWorker(dir, {new proto::RestoreStatus}, code); // status 0
    EXPECT_EQ(code, 1u);
    EXPECT_EQ(seen,
              (std::vector<std::string>{"GetLogLevel", "progress 0 0", "progress 0 100", "request", "progress 3 0"}));
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "restore.job"));
}

TEST(RestoreWorkerExe, EmptyRestoreRunsTheHiveStepAndEndsWithExitCode0)
{
    link_test::InTemporaryDirectory dir;
    auto* ready = new proto::RestoreStatus;
    ready->status = 2;
    DWORD code = 99;
    const std::vector<std::string> seen = runWorker(dir, {ready, new proto::ChunkNone}, code);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(seen, (std::vector<std::string>{"GetLogLevel", "progress 0 0", "progress 0 100", "request",
                                              "progress 1 0", "progress 2 0", "request", "progress 2 100"}));
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "restore.job"));
}

} // namespace
