// Whole restores run in the test's process against a parent at the other end of real
// overlapped pipes, in a temporary working directory holding restore.job and harbex.cfg.
// The parent's replies are sent before the run; what the worker wrote is read afterwards.
// The start, the inquiry's answers, the job file, the key and whole restores are proven
// end to end; here is what only a run in the test's process shows.
#include "worker/driver.h"

#include "bignum/base36.h"
#include "common/error.h"
#include "common/log.h"
#include "hives/hive_registry.h"
#include "proto/messages.h"
#include "restore/restore_fixture.h"
#include "windows_strict.h"
#include "worker/link_peer.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace {

using namespace restore_test;
using Transcript = std::vector<std::string>;

proto::ChunkResponse* chunk(const std::string& name, std::uint32_t remaining, const std::string& data = "")
{
    auto* reply = new proto::ChunkResponse;
    reply->name = name;
    reply->remainingChunks = remaining;
    reply->data = data;
    return reply;
}

class DriverTest : public ::testing::Test, protected link_test::LinkedToPeer {
protected:
    ~DriverTest() override { logLevel = 3; }

    // A job of these records restoring below `root`, the key, the log level and a server
    // ready to give chunks: the replies wait, then these chunk replies and ChunkNone.
    void prepare(const std::vector<proto::FileMetaData>& records, std::int32_t level,
                 const std::vector<proto::ChunkResponse*>& chunks, const std::string& root = "")
    {
        proto::ClientRestoreJob job;
        job.restoreRoot = root.empty() ? root_.path() : root;
        job.hasFiles = true;
        for (const proto::FileMetaData& r : records)
            job.files.emplace_back(new proto::FileMetaData(r));
        writeFile(dir_ / "restore.job", link_test::encode(job));
        writeFile(dir_ / "harbex.cfg", "DataKey=\"" + formatBase36(std::string(32, '\x11')) + "\"\n");
        proto::CurrentLogLevel current;
        current.level = level;
        peer.send(current);
        auto* ready = new proto::RestoreStatus;
        ready->status = 2;
        reply(ready);
        for (proto::ChunkResponse* c : chunks)
            reply(c);
        reply(new proto::ChunkNone);
    }
    void reply(protocol::BerConstructed* message)
    {
        proto::MessageExchangeResponse wrapper;
        wrapper.response.reset(message);
        peer.send(wrapper);
    }

    // Runs a restore that must succeed; of what the worker wrote, "progress <state>
    // <percentage>" and "log <level>: <text>", the lines that start with `prefix`.
    Transcript run(const std::string& prefix)
    {
        RestoreSteps steps;
        HiveRegistry hives(std::set<std::wstring>{});
        steps.placement = [&]() -> Placement& { return hives; };
        steps.hiveStep = [&] { ++hiveSteps; };
        steps.link = link.get();
        steps.crashHandlers = false; // the test process keeps its own
        EXPECT_EQ(runRestore(steps), 0);
        Transcript lines;
        for (const link_test::Message& message : peer.takeMessages()) {
            std::string line;
            if (auto* log = dynamic_cast<const proto::ClientWorkerLog*>(message.get()))
                line = "log " + std::to_string(log->severity) + ": " + log->text;
            if (auto* progress = dynamic_cast<const proto::UpdateRestoreProgress*>(message.get())) {
                line = "progress " + std::to_string(progress->state) + " " + std::to_string(progress->percentage);
                lastProgress = *progress;
            }
            if (!line.empty() && line.rfind(prefix, 0) == 0)
                lines.push_back(line);
        }
        return lines;
    }

    link_test::InTemporaryDirectory dir_;
    ScratchDir root_;
    int hiveSteps = 0;
    proto::UpdateRestoreProgress lastProgress; // the job's totals as the parent last heard them
};

// The job's totals count files, directories and all sizes; a percentage is reported when it
// changes, never above 100, also when the announced count wraps.
TEST_F(DriverTest, ProgressCountsTheJobAndReportsEachNewPercentageOnce)
{
    struct Case {
        std::vector<std::uint32_t> remaining; // of each chunk of the directory /d1
        Transcript reports;
    };
    const Case cases[] = {
        // 1, 2 and 3 chunks of 200: 0.5, 1 and 1.5 % truncated, 0 (as at the start), 1, 1.
        {{199, 198, 197}, {"progress 2 0", "progress 2 1", "progress 2 100"}},
        // 0xFFFFFFFF remaining + 1 processed is 0 in 32 bits: no percentage; + 2 is 200 %.
        {{0xFFFFFFFFu, 0xFFFFFFFFu}, {"progress 2 0", "progress 2 100", "progress 2 100"}},
    };
    for (const Case& c : cases) {
        std::vector<proto::ChunkResponse*> chunks;
        for (std::uint32_t remaining : c.remaining)
            chunks.push_back(chunk("/d1", remaining));
        prepare({unixRecord("/f1", 10), unixRecord("/d1", 0, true), unixRecord("/f2", 20), unixRecord("/d2", 4, true),
                 unixRecord("/f3", 30)},
                2, chunks);
        EXPECT_EQ(run("progress 2"), c.reports);
        EXPECT_EQ(lastProgress.files, 3u);
        EXPECT_EQ(lastProgress.bytes, 64u);
    }
}

// The failed objects are counted and named, in byte order, in one record of at most 1024
// bytes, before the hive step.
TEST_F(DriverTest, FailedObjectsAreNamedInOneRecordBeforeTheHiveStep)
{
    prepare({unixRecord("/a", 0, true)}, 1, {chunk("/a", 2), chunk("/unknown", 1), chunk("/other", 0)});
    EXPECT_EQ(run("log 1: Restore finished"),
              Transcript{"log 1: Restore finished with 2 failed objects: \"/other\", \"/unknown\""});
    EXPECT_EQ(hiveSteps, 1);

    std::vector<proto::ChunkResponse*> chunks;
    for (int i = 0; i < 200; ++i)
        chunks.push_back(chunk("/missing-" + std::string(20, 'x') + std::to_string(1000 + i), 199 - i));
    prepare({}, 1, chunks);
    const Transcript lines = run("log 1: Restore finished with 200 failed objects: \"/missing-");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].size(), std::string("log 1: ").size() + 1024);
    EXPECT_TRUE(lines[0].ends_with("...")) << lines[0];
}

// An unelevated run as Windows answers it: the token holds neither the security nor the
// restore privilege, and a read-only target refuses to be replaced. Every object restores;
// the SACL is left out rather than failing the whole descriptor.
TEST_F(DriverTest, UnelevatedRunOnWindowsTermsRestoresEveryObject)
{
    windows_strict::WindowsStrict strict(false);
    PendingRenamesGuard pending;
    proto::FileMetaData file = ntfsRecord("C:\\docs\\locked.txt", 3);
    ntfsPart(file).sddl = "O:BAD:(A;;FA;;;WD)S:(AU;FA;FA;;;WD)";
    ntfsPart(file).hasSddl = true;
    const std::string target = root_ / "Drive_C\\docs\\locked.txt";
    ::CreateDirectoryW(toWide(root_ / "Drive_C").c_str(), nullptr);
    ::CreateDirectoryW(toWide(root_ / "Drive_C\\docs").c_str(), nullptr);
    writeFile(target, "old");
    ::SetFileAttributesW(toWide(target).c_str(), FILE_ATTRIBUTE_READONLY);
    // A root with its trailing backslash maps as without it.
    prepare({ntfsRecord("C:\\docs", 0, true), file}, 2,
            {chunk("C:\\docs", 1), chunk("C:\\docs\\locked.txt", 0, "CTCNnew")}, root_.path() + "\\");

    EXPECT_EQ(run("log 1: Restoring without"),
              Transcript{"log 1: Restoring without SeSecurityPrivilege: the SACLs of restored objects cannot be set"});
    EXPECT_EQ(readFile(target), "new");
}

// Both privileges are enabled, or the failing step is thrown; the token is closed either way.
HANDLE openToken = nullptr;
int tokenClosings, adjustmentsLeft;

TEST(RestorePrivileges, AreEnabledOrTheFailingStepThrownWithTheTokenClosed)
{
    sys::Override open(
        sys::calls.OpenProcessToken, +[](HANDLE process, DWORD access, PHANDLE token) -> BOOL {
            const BOOL ok = ::OpenProcessToken(process, access, token);
            openToken = ok ? *token : nullptr;
            return ok;
        });
    sys::Override close(
        sys::calls.CloseHandle, +[](HANDLE h) -> BOOL {
            tokenClosings += h != nullptr && h == openToken;
            return ::CloseHandle(h);
        });
    sys::Override adjust(
        sys::calls.AdjustTokenPrivileges,
        +[](HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES state, DWORD length, PTOKEN_PRIVILEGES previous,
            PDWORD returned) -> BOOL {
            if (adjustmentsLeft-- > 0)
                return ::AdjustTokenPrivileges(token, disableAll, state, length, previous, returned);
            ::SetLastError(ERROR_NOT_ALL_ASSIGNED);
            return FALSE;
        });
    const std::string notAll = ": " + error::systemErrorText(ERROR_NOT_ALL_ASSIGNED);
    const std::pair<int, std::string> cases[] = {
        {2, ""},
        {0, "Cannot add security privilege to process" + notAll},
        {1, "Cannot add restore privilege to process" + notAll},
    };
    for (const auto& [adjustments, text] : cases) {
        tokenClosings = 0;
        adjustmentsLeft = adjustments;
        EXPECT_EQ(thrown([] { enableRestorePrivileges(); }),
                  std::make_pair(text.empty() ? nullptr : &typeid(error::ESystemError), text));
        EXPECT_EQ(tokenClosings, 1) << text;
        EXPECT_EQ(adjustmentsLeft, text.empty() ? 0 : -1) << "each privilege enabled once";
    }
}

} // namespace
