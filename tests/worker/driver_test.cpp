// Whole restores run in the test's process against a parent at the other end of real
// overlapped pipes, in a temporary working directory holding restore.job and harbex.cfg.
// The parent's replies are sent before the run; what the worker wrote is read afterwards.
#include "worker/driver.h"

#include "common/error.h"
#include "common/log.h"
#include "bignum/base36.h"
#include "crypto/data_key.h"
#include "hives/hive_registry.h"
#include "proto/messages.h"
#include "restore/restore_fixture.h"
#include "sys/syscalls.h"
#include "worker/link_peer.h"
#include "windows_strict.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace {

using link_test::encode;
using link_test::InTemporaryDirectory;
using link_test::LinkedToPeer;
using restore_test::exists;
using restore_test::ScratchDir;
using restore_test::unixPart;
using restore_test::unixRecord;
using Transcript = std::vector<std::string>;

proto::MessageExchangeResponse wrapped(protocol::BerConstructed* response)
{
    proto::MessageExchangeResponse wrapper;
    wrapper.response.reset(response);
    return wrapper;
}

proto::RestoreStatus* status(std::int32_t value)
{
    auto* reply = new proto::RestoreStatus;
    reply->status = value;
    return reply;
}

proto::ChunkResponse* chunk(const std::string& name, std::uint32_t remaining, const std::string& data = "")
{
    auto* reply = new proto::ChunkResponse;
    reply->name = name;
    reply->remainingChunks = remaining;
    reply->data = data;
    return reply;
}

// One line per message that the worker wrote; requests are shown without their wrapper.
std::string describe(const protocol::BerConstructed& message)
{
    if (dynamic_cast<const proto::GetLogLevel*>(&message))
        return "GetLogLevel";
    if (auto* log = dynamic_cast<const proto::ClientWorkerLog*>(&message))
        return "log " + std::to_string(log->severity) + ": " + log->text;
    if (auto* progress = dynamic_cast<const proto::UpdateRestoreProgress*>(&message))
        return "progress " + std::to_string(progress->state) + " " + std::to_string(progress->percentage);
    if (auto* request = dynamic_cast<const proto::MessageExchangeRequest*>(&message)) {
        if (dynamic_cast<const proto::RestoreInquiry*>(request->request.get()))
            return "RestoreInquiry";
        if (dynamic_cast<const proto::ChunkRequest*>(request->request.get()))
            return "ChunkRequest";
        return "other request";
    }
    return "other message";
}

// The bytes of a 256-bit key, least significant first, whose number is 0x2020...0201.
std::string keyBytes()
{
    std::string key;
    for (int i = 1; i <= 32; ++i)
        key.push_back(static_cast<char>(i));
    return key;
}
const std::string kKeyHex = "201f1e1d1c1b1a191817161514131211100f0e0d0c0b0a090807060504030201";

// FILETIME of a UNIX time in seconds.
std::uint64_t fileTimeOfUnix(std::int64_t seconds)
{
    return static_cast<std::uint64_t>(seconds + 11644473600LL) * 10000000ULL;
}

std::uint64_t lastWriteTimeOf(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(toWide(path).c_str(), GetFileExInfoStandard, &data))
        return 0;
    return (std::uint64_t(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
}

class DriverTest : public ::testing::Test, protected LinkedToPeer {
protected:
    DriverTest() : savedLevel_(logLevel) {}
    ~DriverTest() override { logLevel = savedLevel_; }

    // A job restoring below the scratch directory (or `root`); without a record list when
    // `withList` is false.
    void writeJob(const std::vector<proto::FileMetaData>& records, bool withList = true, const std::string& root = "")
    {
        proto::ClientRestoreJob job;
        job.jobNumber = 17;
        job.restoreRoot = root.empty() ? root_.path() : root;
        job.hasFiles = withList;
        for (const proto::FileMetaData& r : records)
            job.files.emplace_back(new proto::FileMetaData(r));
        writeJobBytes(encode(job));
    }
    void writeJobBytes(const std::string& bytes) { writeText("restore.job", bytes); }
    void writeConfig(const std::string& text) { writeText("harbex.cfg", text); }
    void writeKey() { writeConfig("# test key\nDataKey=\"" + formatBase36(keyBytes()) + "\"\n"); }

    // The parent's answer to GetLogLevel, sent bare.
    void answerLogLevel(std::int32_t level)
    {
        proto::CurrentLogLevel reply;
        reply.level = level;
        peer.send(reply);
    }
    void reply(protocol::BerConstructed* message) { peer.send(wrapped(message)); }

    // A worker whose job and key are in place, at log level 2, with these replies waiting.
    void prepare(std::int32_t level = 2)
    {
        writeJob({});
        writeKey();
        answerLogLevel(level);
    }

    int run(UsecTime pause = UsecTime(0, 0))
    {
        RestoreSteps steps;
        HiveRegistry hives(std::set<std::wstring>{});
        steps.placement = [&]() -> Placement& { return hives; };
        steps.hiveStep = [&] { hiveStepsOn.push_back(&hives); };
        steps.notReadyPause = pause;
        steps.link = link.get();
        steps.crashHandlers = false; // the test process keeps its own
        const int code = runRestore(steps);
        for (const link_test::Message& message : peer.takeMessages()) {
            transcript.push_back(describe(*message));
            if (auto* progress = dynamic_cast<const proto::UpdateRestoreProgress*>(message.get()))
                lastProgress = *progress;
        }
        return code;
    }

    bool wrote(const std::string& line) const
    {
        return std::find(transcript.begin(), transcript.end(), line) != transcript.end();
    }
    std::size_t count(const std::string& line) const { return std::count(transcript.begin(), transcript.end(), line); }
    // The lines that start with `prefix`, in order.
    Transcript startingWith(const std::string& prefix) const
    {
        Transcript lines;
        for (const std::string& line : transcript)
            if (line.rfind(prefix, 0) == 0)
                lines.push_back(line);
        return lines;
    }
    bool jobFileExists() const { return std::filesystem::exists(dir_.path() / "restore.job"); }

    InTemporaryDirectory dir_;
    ScratchDir root_;
    Transcript transcript;
    std::vector<HiveRegistry*> hiveStepsOn;
    proto::UpdateRestoreProgress lastProgress; // the job's totals as the parent last heard them

private:
    static void writeText(const char* name, const std::string& bytes)
    {
        std::ofstream out(name, std::ios::binary | std::ios::trunc);
        out << bytes;
        if (!out.flush())
            throw std::runtime_error(std::string("cannot write ") + name);
    }
    int savedLevel_;
};

// The start and the inquiry -----------------------------------------------------------------

TEST_F(DriverTest, ServerWithoutRestoreEndsTheRunAfterTheStartSequence)
{
    prepare(3);
    reply(status(0));
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(transcript, (Transcript{"GetLogLevel", "log 2: Restore completer spawned", "progress 0 0",
                                      "log 3: loading data_key from config",
                                      "log 3: Will decrypt restored files with key: " + kKeyHex,
                                      "log 2: Have key, we're good to go...", "progress 0 100", "RestoreInquiry",
                                      "log 2: Server does not know of any restore... Exiting.", "progress 3 0"}));
    EXPECT_FALSE(jobFileExists());
    EXPECT_TRUE(hiveStepsOn.empty());
}

TEST_F(DriverTest, LinesAboveTheParentsLevelAreNotSent)
{
    prepare(1);
    reply(status(0));
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(transcript,
              (Transcript{"GetLogLevel", "progress 0 0", "progress 0 100", "RestoreInquiry", "progress 3 0"}));
}

TEST_F(DriverTest, RepliesOutsideTheProtocolEndTheRun)
{
    struct Case {
        const char* name;
        protocol::BerConstructed* inquiryReply;
        std::string dying;
    };
    const Case cases[] = {
        {"unknown status", status(7), "Unknown status from server"},
        {"negative status", status(-1), "Unknown status from server"},
        {"chunk none for an inquiry", new proto::ChunkNone, "Bad reply in pfreply_t"},
        {"chunk for an inquiry", chunk("/a", 0), "Bad reply in pfreply_t"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        transcript.clear();
        prepare();
        reply(c.inquiryReply);
        EXPECT_EQ(run(), 1);
        EXPECT_EQ(transcript.back(), "log 0: Restore completer dying: " + c.dying);
        EXPECT_FALSE(wrote("ChunkRequest"));
        EXPECT_TRUE(jobFileExists());
    }
}

// The job file ------------------------------------------------------------------------------

TEST_F(DriverTest, UnreadableJobIsDeletedAndEndsTheRun)
{
    struct Case {
        const char* name;
        std::string bytes; // empty: no file
        std::string text;  // the beginning of the reason, or all of it
        bool whole;
    };
    proto::GetLogLevel other;
    const Case cases[] = {
        {"another message", encode(other), "Cannot parse file", true},
        {"empty file", std::string("\0", 0), "", false},
        {"cut short", encode(other).substr(0, 3), "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        transcript.clear();
        writeJobBytes(c.bytes);
        writeKey();
        answerLogLevel(2);
        EXPECT_EQ(run(), 1);
        const std::string prefix = "log 2: Unable to open and parse restore job file: ";
        if (c.whole) {
            EXPECT_EQ(transcript.back(), prefix + c.text + " - exiting");
        } else {
            EXPECT_EQ(transcript.back().rfind(prefix, 0), 0u) << transcript.back();
            EXPECT_TRUE(transcript.back().ends_with(" - exiting")) << transcript.back();
        }
        EXPECT_FALSE(wrote("RestoreInquiry"));
        EXPECT_FALSE(jobFileExists());
    }
}

TEST_F(DriverTest, MissingJobFileEndsTheRun)
{
    writeKey();
    answerLogLevel(2);
    EXPECT_EQ(run(), 1);
    ASSERT_FALSE(transcript.empty());
    EXPECT_EQ(transcript.back().rfind("log 2: Unable to open and parse restore job file: ", 0), 0u)
        << transcript.back();
    EXPECT_FALSE(wrote("RestoreInquiry"));
}

TEST_F(DriverTest, JobTotalsCountFilesDirectoriesAndAllSizes)
{
    writeJob({unixRecord("/f1", 10), unixRecord("/d1", 0, true), unixRecord("/f2", 20), unixRecord("/d2", 4, true),
              unixRecord("/f3", 30)});
    writeKey();
    answerLogLevel(2);
    reply(status(2));
    reply(new proto::ChunkNone);
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(lastProgress.files, 3u);
    EXPECT_EQ(lastProgress.bytes, 64u);
}

TEST_F(DriverTest, JobWithoutRecordListIsAnEmptyRestore)
{
    writeJob({}, false);
    writeKey();
    answerLogLevel(2);
    reply(status(2));
    reply(new proto::ChunkNone);
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(lastProgress.files + lastProgress.bytes, 0u);
    EXPECT_FALSE(jobFileExists());
}

// The data key ------------------------------------------------------------------------------

TEST_F(DriverTest, MissingOrBadDataKeyEndsTheRun)
{
    struct Case {
        const char* name;
        const char* config; // null: no configuration file
        std::string dyingPrefix;
    };
    const Case cases[] = {
        {"no configuration file", nullptr, "No usable data key: "},
        {"no DataKey", "Other=\"1\"\n", "No usable data key: "},
        {"DataKey not base-36 text", "DataKey=\"!!\"\n", "No usable data key: "},
        {"line without an equals sign", "DataKey\n", "Couldn't find = sign in config line"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        transcript.clear();
        std::filesystem::remove("harbex.cfg");
        std::filesystem::remove("harbex.cfo");
        writeJob({});
        if (c.config)
            writeConfig(c.config);
        answerLogLevel(2);
        EXPECT_EQ(run(), 1);
        ASSERT_FALSE(transcript.empty());
        const std::string prefix = "log 0: Restore completer dying: " + c.dyingPrefix;
        EXPECT_EQ(transcript.back().rfind(prefix, 0), 0u) << transcript.back();
        EXPECT_FALSE(wrote("log 2: Have key, we're good to go..."));
        EXPECT_FALSE(wrote("RestoreInquiry"));
        EXPECT_TRUE(jobFileExists());
    }
}

TEST_F(DriverTest, DataKeyTextLongerThanAnyKeyIsRefusedUndecoded)
{
    writeJob({});
    writeConfig("DataKey=\"" + std::string(kMaxDataKeyText + 1, 'B') + "\"\n");
    answerLogLevel(2);
    reply(status(0)); // heard only by a run that took the key
    EXPECT_EQ(run(), 1);
    ASSERT_FALSE(transcript.empty());
    EXPECT_EQ(transcript.back(), "log 0: Restore completer dying: No usable data key: Configuration value too long: "
                                 "DataKey holds 51 characters, at most 50");
}

// Chunks ------------------------------------------------------------------------------------

TEST_F(DriverTest, ChunkNoneFirstStillRunsTheHiveStep)
{
    prepare();
    reply(status(2));
    reply(new proto::ChunkNone);
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(transcript,
              (Transcript{"GetLogLevel", "log 2: Restore completer spawned", "progress 0 0",
                          "log 2: Have key, we're good to go...", "progress 0 100", "RestoreInquiry", "progress 1 0",
                          "log 2: Server says it's ready to give us chunks!", "progress 2 0", "ChunkRequest",
                          "log 2: Received ChunkNone. Server has no more chunks for us.", "progress 2 100",
                          "log 2: Restore completer exiting. Restore completed successfully."}));
    EXPECT_EQ(hiveStepsOn.size(), 1u);
    EXPECT_FALSE(jobFileExists());
}

TEST_F(DriverTest, FourChunksReportEachQuarterOnce)
{
    writeJob(
        {unixRecord("/a", 0, true), unixRecord("/b", 0, true), unixRecord("/c", 0, true), unixRecord("/d", 0, true)});
    writeKey();
    answerLogLevel(3);
    reply(status(2));
    reply(chunk("/a", 3));
    reply(chunk("/b", 2));
    reply(chunk("/c", 1));
    reply(chunk("/d", 0));
    reply(new proto::ChunkNone);
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(startingWith("progress 2"), (Transcript{"progress 2 0", "progress 2 25", "progress 2 50", "progress 2 75",
                                                      "progress 2 100", "progress 2 100"}));
    EXPECT_EQ(startingWith("log 3: Progress now: "),
              (Transcript{"log 3: Progress now: 25%", "log 3: Progress now: 50%", "log 3: Progress now: 75%",
                          "log 3: Progress now: 100%"}));
    EXPECT_TRUE(wrote("log 3: Total dl bytes now: 0 processed chunks: 2, remaining chunks: 2"));
    EXPECT_EQ(count("ChunkRequest"), 5u);
    for (const char* name : {"a", "b", "c", "d"})
        EXPECT_TRUE(restore_test::attributesOf(root_ / name) & FILE_ATTRIBUTE_DIRECTORY) << name;
}

TEST_F(DriverTest, SamePercentageIsNotReportedAgain)
{
    writeJob({unixRecord("/a", 0, true)});
    writeKey();
    answerLogLevel(2);
    reply(status(2));
    // 1, 2 and 3 chunks of 200 give 0.5, 1 and 1.5 %: truncated, 0 (as at the start), 1, 1.
    reply(chunk("/a", 199));
    reply(chunk("/a", 198));
    reply(chunk("/a", 197));
    reply(new proto::ChunkNone);
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(startingWith("progress 2"), (Transcript{"progress 2 0", "progress 2 1", "progress 2 100"}));
}

TEST_F(DriverTest, AnnouncedCountThatWrapsKeepsThePercentageWithinItsRange)
{
    writeJob({unixRecord("/a", 0, true)});
    writeKey();
    answerLogLevel(2);
    reply(status(2));
    // 0xFFFFFFFF remaining + 1 processed is 0 in 32 bits: no percentage.
    reply(chunk("/a", 0xFFFFFFFFu));
    // + 2 processed is 1: 200 %, held to 100.
    reply(chunk("/a", 0xFFFFFFFFu));
    reply(new proto::ChunkNone);
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(startingWith("progress 2"), (Transcript{"progress 2 0", "progress 2 100", "progress 2 100"}));
}

TEST_F(DriverTest, FailedObjectsAreCountedAndNamedBeforeTheHiveStep)
{
    writeJob({unixRecord("/a", 0, true)});
    writeKey();
    answerLogLevel(1);
    reply(status(2));
    reply(chunk("/a", 2));
    reply(chunk("/unknown", 1));
    reply(chunk("/other", 0));
    reply(new proto::ChunkNone);
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(startingWith("log 1: Restore finished"),
              (Transcript{"log 1: Restore finished with 2 failed objects: \"/other\", \"/unknown\""}));
    EXPECT_EQ(hiveStepsOn.size(), 1u);
}

TEST_F(DriverTest, LongListOfFailedObjectsIsCutToOneRecord)
{
    writeJob({});
    writeKey();
    answerLogLevel(1);
    reply(status(2));
    for (int i = 0; i < 200; ++i)
        reply(chunk("/missing-" + std::string(20, 'x') + std::to_string(1000 + i), 199 - i));
    reply(new proto::ChunkNone);
    EXPECT_EQ(run(), 0);
    const Transcript lines = startingWith("log 1: Restore finished with 200 failed objects: \"/missing-");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].size(), std::string("log 1: ").size() + 1024);
    EXPECT_TRUE(lines[0].ends_with("...")) << lines[0];
}

TEST_F(DriverTest, DirectoryTimesAreSetAgainAfterLaterObjectsMovedIn)
{
    proto::FileMetaData directory = unixRecord("/d", 0, true);
    unixPart(directory).lastWriteTime = 1234567890;
    writeJob({directory, unixRecord("/d/f", 5)});
    const std::string file = root_ / "d\\f";
    restore_test::RemoveAtEnd workFile(restore_test::delayedWorkFile(file));
    writeKey();
    answerLogLevel(2);
    reply(status(2));
    reply(chunk("/d", 1));
    reply(chunk("/d/f", 0, "CTCNhello"));
    reply(new proto::ChunkNone);
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(restore_test::readFile(file), "hello");
    EXPECT_EQ(lastWriteTimeOf(root_ / "d"), fileTimeOfUnix(1234567890));
}

// An unelevated run as Windows answers it: the token holds neither the security nor the
// restore privilege, and a read-only target refuses to be replaced. Every object restores;
// the SACL is left out rather than failing the whole descriptor.
TEST_F(DriverTest, UnelevatedRunOnWindowsTermsRestoresEveryObject)
{
    windows_strict::WindowsStrict strict(false);
    restore_test::PendingRenamesGuard pending;
    proto::FileMetaData file = restore_test::ntfsRecord("C:\\docs\\locked.txt", 3);
    restore_test::ntfsPart(file).sddl = "O:BAD:(A;;FA;;;WD)S:(AU;FA;FA;;;WD)";
    restore_test::ntfsPart(file).hasSddl = true;
    // A root with its trailing backslash maps as without it.
    writeJob({restore_test::ntfsRecord("C:\\docs", 0, true), file}, true, root_.path() + "\\");
    const std::string target = root_ / "Drive_C\\docs\\locked.txt";
    ::CreateDirectoryW(toWide(root_ / "Drive_C").c_str(), nullptr);
    ::CreateDirectoryW(toWide(root_ / "Drive_C\\docs").c_str(), nullptr);
    restore_test::writeFile(target, "old");
    ::SetFileAttributesW(toWide(target).c_str(), FILE_ATTRIBUTE_READONLY);
    writeKey();
    answerLogLevel(2);
    reply(status(2));
    reply(chunk("C:\\docs", 1));
    reply(chunk("C:\\docs\\locked.txt", 0, "CTCNnew"));
    reply(new proto::ChunkNone);

    EXPECT_EQ(run(), 0);
    EXPECT_EQ(restore_test::readFile(target), "new");
    EXPECT_EQ(
        startingWith("log 1:"),
        (Transcript{"log 1: The process token does not hold SeSecurityPrivilege: it is not enabled",
                    "log 1: The process token does not hold SeRestorePrivilege: it is not enabled",
                    "log 1: Restoring without SeSecurityPrivilege: the SACLs of restored objects cannot be set"}));
}

// The parent's departure and the privileges --------------------------------------------------

namespace faults {

// The token while it is open; its closings (its value may be reused by later handles).
inline HANDLE openedToken = nullptr;
inline HANDLE openToken_ = nullptr;
inline int tokenClosings = 0;
inline int lookUpsLeft = 0;
inline int adjustmentsLeft = 0;

BOOL WINAPI openToken(HANDLE process, DWORD access, PHANDLE token)
{
    const BOOL ok = ::OpenProcessToken(process, access, token);
    openedToken = openToken_ = ok ? *token : nullptr;
    return ok;
}
BOOL WINAPI refuseToken(HANDLE, DWORD, PHANDLE)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}
BOOL WINAPI closeHandle(HANDLE h)
{
    if (h != nullptr && h == openToken_) {
        ++tokenClosings;
        openToken_ = nullptr;
    }
    return ::CloseHandle(h);
}
BOOL WINAPI lookUp(LPCWSTR system, LPCWSTR name, PLUID luid)
{
    if (lookUpsLeft-- > 0)
        return ::LookupPrivilegeValueW(system, name, luid);
    SetLastError(ERROR_NO_SUCH_PRIVILEGE);
    return FALSE;
}
BOOL WINAPI adjust(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES state, DWORD length, PTOKEN_PRIVILEGES previous,
                   PDWORD returned)
{
    if (adjustmentsLeft-- > 0)
        return ::AdjustTokenPrivileges(token, disableAll, state, length, previous, returned);
    SetLastError(ERROR_NOT_ALL_ASSIGNED);
    return FALSE;
}

} // namespace faults

TEST_F(DriverTest, PrivilegeFailuresEndTheRunAndCloseTheToken)
{
    struct Case {
        const char* name;
        bool tokenRefused;
        int lookUps, adjustments;
        std::string dying;
    };
    const Case cases[] = {
        {"no token", true, 9, 9, "Cannot get current process token: " + error::systemErrorText(ERROR_ACCESS_DENIED)},
        {"security name", false, 0, 9,
         "Cannot look up SE_SECURITY_NAME privilege value: " + error::systemErrorText(ERROR_NO_SUCH_PRIVILEGE)},
        {"security enabling", false, 9, 0,
         "Cannot add security privilege to process: " + error::systemErrorText(ERROR_NOT_ALL_ASSIGNED)},
        {"restore name", false, 1, 9,
         "Cannot look up SE_RESTORE_NAME privilege value: " + error::systemErrorText(ERROR_NO_SUCH_PRIVILEGE)},
        {"restore enabling", false, 9, 1,
         "Cannot add restore privilege to process: " + error::systemErrorText(ERROR_NOT_ALL_ASSIGNED)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        transcript.clear();
        prepare();
        reply(status(2));
        faults::openedToken = nullptr;
        faults::tokenClosings = 0;
        faults::lookUpsLeft = c.lookUps;
        faults::adjustmentsLeft = c.adjustments;
        int code = 0;
        {
            sys::Override open(sys::calls.OpenProcessToken, c.tokenRefused ? faults::refuseToken : faults::openToken);
            sys::Override close(sys::calls.CloseHandle, faults::closeHandle);
            sys::Override lookUp(sys::calls.LookupPrivilegeValueW, faults::lookUp);
            sys::Override adjust(sys::calls.AdjustTokenPrivileges, faults::adjust);
            code = run();
        }
        EXPECT_EQ(code, 1);
        EXPECT_EQ(transcript.back(), "log 0: Restore completer dying: " + c.dying);
        EXPECT_FALSE(wrote("ChunkRequest"));
        if (!c.tokenRefused) {
            ASSERT_NE(faults::openedToken, nullptr);
            EXPECT_EQ(faults::tokenClosings, 1);
        }
    }
}

TEST_F(DriverTest, PrivilegesAreEnabledWithTheTokenClosedAfterwards)
{
    faults::openedToken = nullptr;
    faults::tokenClosings = 0;
    faults::lookUpsLeft = faults::adjustmentsLeft = 2;
    sys::Override open(sys::calls.OpenProcessToken, faults::openToken);
    sys::Override close(sys::calls.CloseHandle, faults::closeHandle);
    sys::Override lookUp(sys::calls.LookupPrivilegeValueW, faults::lookUp);
    sys::Override adjust(sys::calls.AdjustTokenPrivileges, faults::adjust);
    enableRestorePrivileges();
    EXPECT_EQ(faults::lookUpsLeft, 0);
    EXPECT_EQ(faults::adjustmentsLeft, 0);
    ASSERT_NE(faults::openedToken, nullptr);
    EXPECT_EQ(faults::tokenClosings, 1);
}

} // namespace
