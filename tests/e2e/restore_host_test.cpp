// Whole restores through the parent program and the worker, each in its own process on
// overlapped pipes, as the backup client runs them. The tests look at the transcript, the
// exit code, the restored files, the job file and the worker's local diagnostics.
#include "e2e/host_run.h"
#include "backupset/chunk_store.h"
#include "backupset/sample_tree.h"
#include "backupset/verify.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <tlhelp32.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using e2e::HostRun;
using Lines = std::vector<std::string>;
using restore_test::exists;
using restore_test::readFile;
using restore_test::replaceAll;
using restore_test::writeFile;

constexpr std::size_t kChunk = 1048576;

// Bytes that differ from chunk to chunk, so that a chunk written at the wrong place shows.
std::string patterned(std::size_t size, unsigned seed)
{
    std::string bytes(size, '\0');
    std::uint32_t state = seed * 2654435761u + 1;
    for (char& c : bytes) {
        state = state * 1664525u + 1013904223u;
        c = static_cast<char>(state >> 24);
    }
    return bytes;
}

// The source holds a directory "docs" with two files, then "large.bin" of four chunks:
// job order docs, docs\a.txt, docs\b.txt, large.bin.
void writeSmallTree(HostRun& host)
{
    fs::create_directories(fs::path(toWide(host.source + "\\docs")));
    writeFile(host.source + "\\docs\\a.txt", "first file\r\n");
    writeFile(host.source + "\\docs\\b.txt", "second file\r\n");
    writeFile(host.source + "\\large.bin", patterned(3 * kChunk + 1000, 7));
}

// The source holds one file, "a.txt" holding "a".
void packOneFile(HostRun& host)
{
    writeFile(host.source + "\\a.txt", "a");
    host.pack();
}

// The start of every run, at log level 2.
const Lines kStart = {"GetLogLevel", "> CurrentLogLevel 2", "log 2: Restore completer spawned", "progress 0 0"};

TEST(RestoreHost, WholeRestoreInOrderWithEveryObjectInPlace)
{
    HostRun host;
    writeSmallTree(host);
    host.pack();
    host.quiet = false;
    ASSERT_EQ(host.run(), 0) << host.hostOutput();

    const Lines lines = host.lines();
    ASSERT_GE(lines.size(), kStart.size());
    EXPECT_EQ(Lines(lines.begin(), lines.begin() + kStart.size()), kStart);
    EXPECT_EQ(host.linesStartingWith("> ChunkResponse"),
              (Lines{"> ChunkResponse C:\\source\\docs 0 6", "> ChunkResponse C:\\source\\docs\\a.txt 0 5",
                     "> ChunkResponse C:\\source\\docs\\b.txt 0 4", "> ChunkResponse C:\\source\\large.bin 0 3",
                     "> ChunkResponse C:\\source\\large.bin 1 2", "> ChunkResponse C:\\source\\large.bin 2 1",
                     "> ChunkResponse C:\\source\\large.bin 3 0"}));
    EXPECT_TRUE(host.wrote("> ChunkNone"));
    // The percentage runs over the whole restore: each chunk says how many remain in it.
    EXPECT_EQ(host.linesStartingWith("progress 2"),
              (Lines{"progress 2 0", "progress 2 14", "progress 2 28", "progress 2 42", "progress 2 57",
                     "progress 2 71", "progress 2 85", "progress 2 100", "progress 2 100"}));
    EXPECT_EQ(lines.back(), "! exit 0");
    EXPECT_TRUE(host.wrote("log 2: Restore completer exiting. Restore completed successfully."));
    EXPECT_FALSE(host.jobFileLeft());
    EXPECT_EQ(readFile(host.restoredPath("docs\\a.txt")), "first file\r\n");
    EXPECT_EQ(readFile(host.restoredPath("large.bin")), patterned(3 * kChunk + 1000, 7));
    // Output that is no terminal: plain lines, no redraws; the summary, then the result line last.
    const std::string output = host.hostOutput();
    EXPECT_EQ(output.find('\x1b'), std::string::npos);
    for (std::size_t r = output.find('\r'); r != std::string::npos; r = output.find('\r', r + 1))
        ASSERT_EQ(output[r + 1], '\n') << output;
    EXPECT_NE(output.find("\r\nRestoring 100%: 4/4 objects, 3.0/3.0 MiB, "), std::string::npos) << output;
    EXPECT_NE(output.find("\r\nInfo: Restore completer exiting. Restore completed successfully.\r\n"
                          "== Restore complete\r\n   objects  4 of 4 restored\r\n   data     3.0 MiB in "),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("\r\nrestore-host: exit=0 objects=4 bytes=3146753 seconds="), std::string::npos) << output;
    EXPECT_TRUE(output.ends_with("\r\n") && output.find('\n', output.find("restore-host: exit=")) == output.size() - 1);
}

TEST(RestoreHost, FourChunksReportEachQuarterAndLevelOneSilencesInformation)
{
    HostRun host;
    writeFile(host.source + "\\large.bin", patterned(3 * kChunk + 1, 3));
    host.pack();
    ASSERT_EQ(host.run({"--log-level", "1"}), 0);
    EXPECT_EQ(host.linesStartingWith("progress 2"), (Lines{"progress 2 0", "progress 2 25", "progress 2 50",
                                                           "progress 2 75", "progress 2 100", "progress 2 100"}));
    EXPECT_EQ(host.linesStartingWith("log"), Lines{}) << "only level 0 and 1 lines may pass, and none is due";
    EXPECT_TRUE(host.wrote("> CurrentLogLevel 1"));
}

TEST(RestoreHost, NotReadyServerIsAskedAgainAfterTheWait)
{
    HostRun host;
    packOneFile(host);
    ASSERT_EQ(host.run({"--fault", "not-ready=1", "--log-level", "3"}), 0);
    EXPECT_TRUE(host.wrote("log 3:  will wait 9 seconds before re-asking."));
    // The second status reply comes before the first chunk request.
    const Lines lines = host.lines();
    const auto secondStatus = std::find(lines.begin(), lines.end(), "> RestoreStatus 2");
    EXPECT_LT(secondStatus - lines.begin(), std::find(lines.begin(), lines.end(), "ChunkRequest") - lines.begin());
    EXPECT_EQ(host.linesStartingWith("progress"),
              (Lines{"progress 0 0", "progress 0 100", "progress 1 0", "progress 1 0", "progress 2 0", "progress 2 100",
                     "progress 2 100"}));
    EXPECT_EQ(host.linesStartingWith("> RestoreStatus"), (Lines{"> RestoreStatus 1", "> RestoreStatus 2"}));
    EXPECT_EQ(readFile(host.restoredPath("a.txt")), "a");
}

TEST(RestoreHost, InquiryAnswersThatEndTheRun)
{
    struct Case {
        const char* fault;
        std::string lastLog;
        bool jobDeleted;
    };
    const Case cases[] = {
        {"status=0", "log 2: Server does not know of any restore... Exiting.", true},
        {"status=7", "log 0: Restore completer dying: Unknown status from server", false},
        {"status=-1", "log 0: Restore completer dying: Unknown status from server", false},
        {"wrong-reply", "log 0: Restore completer dying: Bad reply in pfreply_t", false},
        {"bare-status", "log 0: Restore completer dying: Unknown tag 69", false},
        {"malformed", "log 0: Restore completer dying: Unknown tag 4294967291", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        HostRun host;
        packOneFile(host);
        EXPECT_EQ(host.run({"--fault", c.fault}), 1);
        const Lines logs = host.linesStartingWith("log");
        ASSERT_FALSE(logs.empty());
        EXPECT_EQ(logs.back(), c.lastLog);
        EXPECT_FALSE(host.wrote("ChunkRequest"));
        EXPECT_EQ(host.jobFileLeft(), !c.jobDeleted);
        EXPECT_FALSE(exists(host.restoredPath("a.txt")));
        EXPECT_NE(host.hostOutput().find("restore-host: exit=1 objects=0 bytes=0 "), std::string::npos)
            << "nothing served";
    }
}

// The id of the process named `program` that `parent` started.
DWORD childNamed(DWORD parent, const wchar_t* program)
{
    sys::UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry))
        if (entry.th32ParentProcessID == parent && _wcsicmp(entry.szExeFile, program) == 0)
            return entry.th32ProcessID;
    return 0;
}

TEST(RestoreHost, WorkerEndedFromOutsideIsNoSuccess)
{
    HostRun host;
    packOneFile(host);
    // "Not ready" makes the worker wait nine seconds before it asks again: it is ended then,
    // with the exit code 0 that Wine gives a process killed from outside.
    bool ended = false;
    const int code = host.run({"--fault", "not-ready=1"}, [&](DWORD hostId) {
        for (int i = 0; i < 160 && !ended; ++i) {
            Sleep(50);
            if (!exists(host.transcriptPath) ||
                readFile(host.transcriptPath).find("\"class\":\"RestoreStatus\",\"status\":1") == std::string::npos)
                continue;
            sys::UniqueHandle worker(OpenProcess(PROCESS_TERMINATE, FALSE, childNamed(hostId, L"restore-worker.exe")));
            ended = worker && TerminateProcess(worker.get(), 0);
        }
    });
    ASSERT_TRUE(ended);
    EXPECT_EQ(code, 3);
    const Lines lines = host.lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(Lines(lines.end() - 2, lines.end()), (Lines{"! worker-vanished 0", "! exit 3"}));
    const std::string output = host.hostOutput();
    EXPECT_NE(
        output.find("restore-host: the worker ended without finishing the restore (exit code 0, no final "
                    "report): it was ended from outside, or it crashed\r\nrestore-host: exit=3 objects=0 bytes=0 "),
        std::string::npos)
        << output;
}

TEST(RestoreHost, WhatCannotBeServedStopsTheHostBeforeTheWorker)
{
    struct Case {
        const char* what;
        std::vector<std::string> args;
        int exitCode;
        std::string says;
    };
    HostRun host;
    writeSmallTree(host);
    host.pack();
    fs::remove(fs::path(toWide(backupset::chunkFilePath(host.set, 2))));
    const Case cases[] = {
        {"missing configuration",
         {"--config", host.set + "\\none.cfg"},
         2,
         "restore-host: no configuration file " + host.set + "\\none.cfg\r\n"},
        {"missing chunk file",
         {},
         3,
         "restore-host: Missing chunk file " + backupset::chunkFilePath(host.set, 2) +
             " (the chunks of object 2, \"C:\\source\\docs\\b.txt\")\r\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(host.run(c.args), c.exitCode) << c.what;
        EXPECT_EQ(host.hostOutput(), c.says) << c.what;
        EXPECT_FALSE(exists(host.transcriptPath)) << c.what << ": no worker was started";
    }
}

TEST(RestoreHost, ChunkRepliesOutsideTheRestore)
{
    HostRun none;
    packOneFile(none);
    EXPECT_EQ(none.run({"--fault", "chunk-none-first"}), 0);
    EXPECT_EQ(none.linesStartingWith("> Chunk"), Lines{"> ChunkNone"});
    EXPECT_TRUE(none.wrote("log 2: Restore completer exiting. Restore completed successfully."));
    EXPECT_FALSE(exists(none.restoredPath("a.txt")));
    EXPECT_FALSE(none.jobFileLeft());

    HostRun unexpected;
    packOneFile(unexpected);
    EXPECT_EQ(unexpected.run({"--fault", "unexpected-reply"}), 1);
    EXPECT_EQ(unexpected.linesStartingWith("ChunkRequest").size(), 1u);
    EXPECT_EQ(unexpected.linesStartingWith("log").back(), "log 0: Restore completer dying: Got unexpected message");
    EXPECT_TRUE(unexpected.jobFileLeft());
    EXPECT_FALSE(exists(unexpected.restoredPath("a.txt")));

    // A reply that can never complete ends the run at once instead of stalling it.
    HostRun overrun;
    packOneFile(overrun);
    EXPECT_EQ(overrun.run({"--fault", "overrun"}, 30000), 1);
    EXPECT_EQ(overrun.linesStartingWith("log").back(),
              "log 0: Restore completer dying: Length 3 of tag 32 overruns its definite-length parent");
    EXPECT_TRUE(overrun.jobFileLeft());
}

TEST(RestoreHost, ParentClosingTheInputWhileTheWorkerWaitsEndsItSilently)
{
    HostRun host;
    packOneFile(host);
    // GetLogLevel, two log lines and two progress reports come before the inquiry.
    EXPECT_EQ(host.run({"--fault", "close-input=6"}), 1);
    const Lines lines = host.lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[lines.size() - 3], "RestoreInquiry");
    EXPECT_EQ(lines[lines.size() - 2], "! close-input");
    EXPECT_EQ(lines.back(), "! exit 1");
    EXPECT_EQ(host.wdiag(), "");
    EXPECT_TRUE(host.jobFileLeft());
}

TEST(RestoreHost, UnreadableJobIsDeleted)
{
    HostRun host;
    packOneFile(host);
    EXPECT_EQ(host.run({"--job", host.scratchFile("broken.job", "\x30\x80 not a job")}), 1);
    const Lines logs = host.linesStartingWith("log 2: Unable to open and parse restore job file: ");
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_TRUE(logs[0].ends_with(" - exiting")) << logs[0];
    EXPECT_FALSE(host.wrote("RestoreInquiry"));
    EXPECT_FALSE(host.jobFileLeft());
}

TEST(RestoreHost, MissingOrBadDataKeyEndsTheRunBeforeTheInquiry)
{
    for (int bad = 0; bad < 2; ++bad) {
        SCOPED_TRACE(bad ? "DataKey not base 36" : "no harbex.cfg");
        HostRun host;
        packOneFile(host);
        std::vector<std::string> args = {"--no-config"};
        if (bad)
            args = {"--config", host.scratchFile("bad.cfg", "DataKey=\"!!\"\n")};
        EXPECT_EQ(host.run(args), 1);
        bool found = false;
        for (const std::string& line : host.lines())
            found |= line.find("No usable data key: ") != std::string::npos;
        EXPECT_TRUE(found);
        EXPECT_FALSE(host.wrote("RestoreInquiry"));
    }
}

TEST(RestoreHost, DispatcherFailsOnlyTheObjectsThatChunksDoNotFit)
{
    // Job order: docs, docs\a.txt, docs\b.txt, large.bin.
    struct Case {
        const char* fault;
        std::string failed; // the object named by the failed-objects line
        bool aRestored;     // docs\a.txt in place afterwards
    };
    const Case cases[] = {
        {"foreign-chunk", "C:\\not-in-this-job\\object.bin", true},
        {"chunk-after-complete=1", "C:\\source\\docs\\a.txt", true},
        {"corrupt=1", "C:\\source\\docs\\a.txt", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        HostRun host;
        writeSmallTree(host);
        host.pack();
        EXPECT_EQ(host.run({"--fault", c.fault}), 0);
        EXPECT_EQ(host.linesStartingWith("log 1: Restore finished"),
                  Lines{"log 1: Restore finished with 1 failed object: \"" + c.failed + "\""});
        EXPECT_EQ(exists(host.restoredPath("docs\\a.txt")), c.aRestored);
        EXPECT_EQ(readFile(host.restoredPath("docs\\b.txt")), "second file\r\n");
        EXPECT_EQ(readFile(host.restoredPath("large.bin")), patterned(3 * kChunk + 1000, 7));
    }
}

TEST(RestoreHost, DamagedObjectLeavesItsExistingTargetUntouched)
{
    HostRun host;
    writeSmallTree(host);
    host.pack();
    fs::create_directories(fs::path(toWide(host.restoredPath("docs"))));
    writeFile(host.restoredPath("large.bin"), "the copy the user had");
    EXPECT_EQ(host.run({"--fault", "corrupt=3"}), 0);
    EXPECT_EQ(readFile(host.restoredPath("large.bin")), "the copy the user had");
    EXPECT_EQ(readFile(host.restoredPath("docs\\a.txt")), "first file\r\n");
    EXPECT_EQ(host.linesStartingWith("log 1: Failing restore of object \"C:\\source\\large.bin\": ").size(), 1u);
}

TEST(RestoreHost, ShortObjectFailsAndIsNeverPlaced)
{
    HostRun host;
    writeSmallTree(host);
    host.pack();
    EXPECT_EQ(host.run({"--fault", "short=3"}), 0);
    EXPECT_EQ(host.linesStartingWith("> ChunkResponse C:\\source\\large.bin"),
              (Lines{"> ChunkResponse C:\\source\\large.bin 0 1", "> ChunkResponse C:\\source\\large.bin 1 0"}));
    // Two of its four chunks came: a zero-filled tail is never placed, and the run says so.
    EXPECT_EQ(host.linesStartingWith("log 1: Failing restore of object \"C:\\source\\large.bin\": Only ").size(), 1u);
    EXPECT_EQ(host.linesStartingWith("log 1: Restore finished with 1 failed object"),
              Lines{"log 1: Restore finished with 1 failed object: \"C:\\source\\large.bin\""});
    EXPECT_FALSE(exists(host.restoredPath("large.bin")));
    EXPECT_EQ(readFile(host.restoredPath("docs\\a.txt")), "first file\r\n");
}

// Wine reaches \\server\share through the directory dosdevices\unc\server\share of its
// prefix, which the test makes through drive Z: (the Linux root).
TEST(RestoreHost, UncRestoreRootRestoresItsObjectsWithOrWithoutATrailingBackslash)
{
    const char* prefix = std::getenv("WINEPREFIX");
    ASSERT_NE(prefix, nullptr) << "tests run in a Wine prefix";
    const std::string server = "rwtest" + std::to_string(GetCurrentProcessId());
    const std::string unc = "Z:" + replaceAll(prefix, "/", "\\") + "\\dosdevices\\unc\\" + server;
    fs::create_directories(fs::path(toWide(unc + "\\share")));
    for (const std::string base : {"r1", "r2"}) {
        const std::string root = "\\\\" + server + "\\share\\" + base;
        HostRun host;
        writeSmallTree(host);
        const std::string given = base == "r1" ? root : root + "\\";
        host.pack({}, given);
        EXPECT_EQ(host.run(), 0) << given;
        EXPECT_TRUE(host.linesStartingWith("log 1:").empty()) << given;
        const std::string restored = root + "\\Drive_C\\source\\";
        EXPECT_EQ(readFile(restored + "docs\\a.txt"), "first file\r\n") << given;
        EXPECT_EQ(readFile(restored + "large.bin"), patterned(3 * kChunk + 1000, 7)) << given;
    }
    fs::remove_all(fs::path(toWide(unc)));
}

TEST(RestoreHost, EmptyMovesAtBootValueNeverFailsTheRun)
{
    HostRun host; // puts the running moves at boot back at the end
    packOneFile(host);
    ASSERT_EQ(::RegSetKeyValueW(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Control\\Session Manager",
                                L"PendingFileRenameOperations", REG_MULTI_SZ, nullptr, 0),
              ERROR_SUCCESS);
    EXPECT_EQ(host.run(), 0) << host.hostOutput();
    EXPECT_FALSE(host.jobFileLeft());
    EXPECT_EQ(readFile(host.restoredPath("a.txt")), "a");
}

TEST(RestoreHost, DuplicateNamesUseTheFirstRecord)
{
    HostRun host;
    writeSmallTree(host);
    host.pack();
    // The job lists docs\a.txt twice; the second record claims another size.
    std::unique_ptr<proto::ClientRestoreJob> job = backupset::decodeJob(readFile(host.set + "\\restore.job"));
    auto duplicate = std::make_unique<proto::FileMetaData>(*job->files.at(1));
    duplicate->size = 999;
    job->files.emplace_back(duplicate.release());
    const std::string jobFile = host.scratchFile("duplicate.job", backupset::encodeJob(*job));
    EXPECT_EQ(host.run({"--job", jobFile}), 0);
    EXPECT_EQ(readFile(host.restoredPath("docs\\a.txt")), "first file\r\n");
}

TEST(RestoreHost, SampleTreeIsReproducedInEveryChunkFormAndMetadataKind)
{
    using backupset::FormChoice;
    using backupset::MetaStyle;
    const std::pair<FormChoice, const char*> forms[] = {{FormChoice::Cleartext, "ctcn"},
                                                        {FormChoice::Encrypted, "encn"},
                                                        {FormChoice::EncryptedCompressed, "enz"},
                                                        {FormChoice::Mixed, "mixed"}};
    const std::pair<MetaStyle, const char*> metas[] = {{MetaStyle::Ntfs, "ntfs"},
                                                       {MetaStyle::NtfsWithSddl, "ntfs-sddl"},
                                                       {MetaStyle::Unix, "unix"},
                                                       {MetaStyle::Hfs, "hfs"}};
    for (const auto& [meta, metaName] : metas) {
        for (const auto& [form, formName] : forms) {
            SCOPED_TRACE(std::string(formName) + " " + metaName);
            HostRun host;
            backupset::writeSampleTree(host.source, 1);
            backupset::PackOptions options;
            options.form = form;
            options.meta = meta;
            const bool windows = meta == MetaStyle::Ntfs || meta == MetaStyle::NtfsWithSddl;
            options.storedRoot = windows ? "C:\\source" : "/home/user/source";
            host.pack(options);
            ASSERT_EQ(host.run(), 0) << host.hostOutput();
            EXPECT_EQ(host.linesStartingWith("log 1:"), Lines{});
            backupset::VerifyOptions verifyOptions;
            verifyOptions.storedRoot = options.storedRoot;
            const backupset::VerifyResult result = backupset::verify(host.source, host.set, host.root, verifyOptions);
            EXPECT_GT(result.objects, 10u);
            for (const backupset::Difference& d : result.differences)
                ADD_FAILURE() << backupset::describe(d);
        }
    }
}

} // namespace
