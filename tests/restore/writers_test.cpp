#include "restore/writers.h"

#include "common/error.h"
#include "hives/hive_registry.h"
#include "io/errors.h"
#include "restore/restore_fixture.h"
#include "sys/syscalls.h"
#include "windows_strict.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>

namespace {

using namespace restore_test;

HiveRegistry noHives()
{
    return HiveRegistry(std::set<std::wstring>{});
}

std::size_t indexOf(const LogCapture& log, const LogLine& line)
{
    return static_cast<std::size_t>(std::find(log.lines.begin(), log.lines.end(), line) - log.lines.begin());
}

// A UNIX or HFS record made a symbolic link to `target`.
proto::FileMetaData linked(proto::FileMetaData record, const std::string& target)
{
    if (auto* unix = record.osmeta.as<proto::FileMetaUNIX>()) {
        unix->linkTarget = target;
        unix->hasLinkTarget = true;
    } else {
        hfsPart(record).linkTarget = target;
        hfsPart(record).hasLinkTarget = true;
    }
    return record;
}

// A scratch root to restore into, no live hives, and the clean-up of the work files in the
// drive root.
class Writer : public ::testing::Test {
protected:
    // Where an NTFS object named C:\<rest> lands below the root; its work file goes at the end.
    std::string target(const std::string& rest)
    {
        const std::string path = dir_ / ("Drive_C\\" + rest);
        works_.push_back(std::make_unique<RemoveAtEnd>(delayedWorkFile(path)));
        return path;
    }
    // The target of C:\<rest> as it exists before the restore, with `bytes`.
    std::string existing(const std::string& rest, const std::string& bytes)
    {
        const std::string path = target(rest);
        for (std::size_t at = path.find('\\', dir_.path().size() + 1); at != std::string::npos;
             at = path.find('\\', at + 1))
            ::CreateDirectoryW(toWide(path.substr(0, at)).c_str(), nullptr);
        writeFile(path, bytes);
        return path;
    }
    std::unique_ptr<RestoreWriter> open(const proto::FileMetaData& record)
    {
        return createWriter(dir_.path(), record, context_);
    }
    std::string workOf(const std::string& target) const { return delayedWorkFile(target); }

    // Every writer test meets Windows' refusals, with the privileges the driver enabled.
    windows_strict::WindowsStrict strict_{true, true};
    ScratchDir dir_;
    PendingRenamesGuard pending_;
    HiveRegistry hives_ = noHives();
    WriterContext context_{hives_};
    std::vector<std::unique_ptr<RemoveAtEnd>> works_;
};

// The factory ----------------------------------------------------------------------------

TEST_F(Writer, ChoosesTheWriterByKindAndLogsTheMappedName)
{
    struct Case {
        const char* name;
        proto::FileMetaData record;
        std::string mapped, kind;
        bool symlinkWriter;
    };
    const Case cases[] = {
        {"NTFS file", ntfsRecord("C:\\a\\f.txt", 0), target("a\\f.txt"), "(FILE)", false},
        {"NTFS directory", ntfsRecord("C:\\a\\d", 0, true), target("a\\d"), "(DIR)", false},
        {"UNIX file", unixRecord("/u/f", 0), dir_ / "u\\f", "(FILE)", false},
        {"UNIX link", linked(unixRecord("/l", 0), "t"), dir_ / "l", "(SYMLINK)", true},
        {"HFS link", linked(hfsRecord("/h", 0), "t"), dir_ / "h", "(SYMLINK)", true},
        // The log names a directory first; the link decides the writer.
        {"linked directory", linked(unixRecord("/d", 0, true), "t"), dir_ / "d", "(DIR)", true},
    };
    RemoveAtEnd unixWork(delayedWorkFile(dir_ / "u\\f"));
    for (const Case& c : cases) {
        for (int level : {3, 2}) {
            LogCapture log(level);
            std::unique_ptr<RestoreWriter> writer = open(c.record);
            ASSERT_TRUE(writer) << c.name;
            EXPECT_EQ(dynamic_cast<RestoreSymlinkWriter*>(writer.get()) != nullptr, c.symlinkWriter) << c.name;
            EXPECT_EQ(dynamic_cast<RestoreFileWriter*>(writer.get()) != nullptr, !c.symlinkWriter) << c.name;
            const LogLine named{3, "Restoring absolute name '" + c.mapped + "' " + c.kind};
            EXPECT_EQ(log.has(named.level, named.text), level >= 3) << c.name;
            if (level >= 3) {
                EXPECT_EQ(log.lines.front(), named) << c.name;
            }
        }
    }
}

TEST_F(Writer, RefusesMetadataOfNoKnownKindOrWithoutDirectory)
{
    proto::FileMetaData none = record("C:\\a\\f", 1, false);
    proto::FileMetaData other = record("C:\\a\\f", 1, false);
    other.osmeta.reset(new proto::FileAccessMode);
    for (const proto::FileMetaData* r : {&none, &other}) {
        LogCapture log;
        expectThrows<error::EParseError>([&] { open(*r); },
                                         "Attempted to construct FileMetaVariant from invalid source metadata");
        EXPECT_TRUE(log.lines.empty());
    }
    EXPECT_FALSE(exists(dir_ / "Drive_C"));
    LogCapture log;
    expectThrows<error::EInvariant>([&] { createWriter("", ntfsRecord("lonely.txt", 3), context_); },
                                    "No backslash in full path name");
}

// Files ----------------------------------------------------------------------------------

TEST_F(Writer, RestoresAFileWithItsBytesTimesAndAttributes)
{
    proto::FileMetaData ntfs = ntfsRecord("C:\\data\\sub\\f.txt", 10);
    withTimes(ntfsPart(ntfs));
    ntfsPart(ntfs).hidden = true;
    ntfsPart(ntfs).archive = true;
    proto::FileMetaData unixFile = unixRecord("/data/sub/f.txt", 10, false, true);
    withTimes(unixPart(unixFile));
    struct Case {
        const char* name;
        const proto::FileMetaData& record;
        std::string target;
        DWORD attributes;
    };
    const Case cases[] = {
        {"NTFS", ntfs, target("data\\sub\\f.txt"), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE},
        {"UNIX", unixFile, dir_ / "data\\sub\\f.txt", FILE_ATTRIBUTE_READONLY},
    };
    for (const Case& c : cases) {
        const std::string work = workOf(c.target);
        RemoveAtEnd removeWork(work);
        LogCapture log;

        std::unique_ptr<RestoreWriter> writer = open(c.record);
        EXPECT_EQ(writer->restorePath(), work) << c.name;
        // The directories above the target exist before any data arrives.
        EXPECT_TRUE(attributesOf(c.target.substr(0, c.target.rfind('\\'))) & FILE_ATTRIBUTE_DIRECTORY);
        writer->writeChunk("world", 5);
        writer->writeChunk("hello", 0);
        CreationTimeRecorder creation;
        writer->complete();
        writer.reset();

        // Before the file is read, which would change its access time.
        EXPECT_EQ(restoredTimesOf(c.target), recordTimes()) << c.name;
        EXPECT_EQ(readFile(c.target), "helloworld") << c.name;
        EXPECT_EQ(keptAttributes(attributesOf(c.target)), keptAttributes(c.attributes)) << c.name;
        EXPECT_FALSE(exists(work)) << c.name;
        EXPECT_FALSE(hives_.rebootRequired()) << c.name;
        const std::size_t start = indexOf(log, {2, "Will start restore of file " + c.target});
        const std::size_t move = indexOf(log, {2, "Will attempt immediate move of " + work + " to " + c.target});
        EXPECT_LT(start, move) << c.name;
        EXPECT_LT(move, log.lines.size()) << c.name;
    }
}

DWORD sourceAttributesAtMove;

TEST_F(Writer, ReadOnlyFileIsMarkedBeforeTheMoveAndReplacesTheTarget)
{
    const std::string path = existing("app\\settings.ini", "the old settings, longer than the new");
    proto::FileMetaData r = ntfsRecord("C:\\app\\settings.ini", 3);
    ntfsPart(r).readOnly = true;
    sys::Override move(
        sys::calls.MoveFileExW, +[](LPCWSTR from, LPCWSTR to, DWORD flags) -> BOOL {
            sourceAttributesAtMove = ::GetFileAttributesW(from);
            return ::MoveFileExW(from, to, flags);
        });
    sourceAttributesAtMove = INVALID_FILE_ATTRIBUTES;

    std::unique_ptr<RestoreWriter> writer = open(r);
    writer->writeChunk("new", 0);
    writer->complete();

    EXPECT_EQ(keptAttributes(sourceAttributesAtMove), DWORD(FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(readFile(path), "new");
    EXPECT_EQ(keptAttributes(attributesOf(path)), DWORD(FILE_ATTRIBUTE_READONLY));
    EXPECT_FALSE(hives_.rebootRequired());
}

int movesSeen; // immediate moves that reached the fake below

// Windows refuses to replace a read-only target and to reopen a read-only leftover for
// writing: the writer clears the bit just before, and gives it back when the move fails.
TEST_F(Writer, ReadOnlyTargetAndLeftoverAreReplacedOnWindowsTerms)
{
    const std::string path = existing("app\\locked.ini", "old");
    ::SetFileAttributesW(toWide(path).c_str(), FILE_ATTRIBUTE_READONLY);
    writeFile(workOf(path), "a leftover of a killed run");
    ::SetFileAttributesW(toWide(workOf(path)).c_str(), FILE_ATTRIBUTE_READONLY);

    std::unique_ptr<RestoreWriter> writer = open(ntfsRecord("C:\\app\\locked.ini", 3));
    writer->writeChunk("new", 0);
    writer->complete();
    EXPECT_EQ(readFile(path), "new");
    EXPECT_FALSE(exists(workOf(path)));
    EXPECT_FALSE(hives_.rebootRequired());

    // Still refused once the bit is clear (the file is in use): the bit comes back and the
    // move waits for the next boot.
    ::SetFileAttributesW(toWide(path).c_str(), FILE_ATTRIBUTE_READONLY);
    movesSeen = 0;
    sys::Override busy(
        sys::calls.MoveFileExW, +[](LPCWSTR from, LPCWSTR to, DWORD flags) -> BOOL {
            if (flags & MOVEFILE_DELAY_UNTIL_REBOOT)
                return ::MoveFileExW(from, to, flags);
            if (++movesSeen == 1)
                return windows_strict::moveFile(from, to, flags);
            ::SetLastError(ERROR_SHARING_VIOLATION);
            return FALSE;
        });
    writer = open(ntfsRecord("C:\\app\\locked.ini", 5));
    writer->writeChunk("newer", 0);
    writer->complete();
    EXPECT_EQ(movesSeen, 2);
    EXPECT_EQ(readFile(path), "new");
    EXPECT_EQ(keptAttributes(attributesOf(path)), DWORD(FILE_ATTRIBUTE_READONLY));
    EXPECT_TRUE(hives_.rebootRequired());
    EXPECT_NE(PendingRenamesGuard::current().find(toWide(workOf(path))), std::wstring::npos);
}

bool protectedTarget;

// An earlier run left a move at boot to the same target: whether the new version is placed
// at once or at boot, the older move goes, with its work file, so the newest version wins.
// Other pending moves stay as they were.
TEST_F(Writer, EarlierMoveAtBootToTheSameTargetIsSuperseded)
{
    sys::Override sfc(
        sys::calls.SfcIsFileProtected, +[](HANDLE, LPCWSTR) -> BOOL { return protectedTarget; });
    for (bool atBoot : {false, true}) {
        SCOPED_TRACE(atBoot ? "placed at boot" : "placed at once");
        protectedTarget = atBoot;
        const std::string rest = atBoot ? "sys\\a.dll" : "app\\a.dll";
        const std::string path = existing(rest, "old");
        const std::string earlier = workOf(path) + ".7";
        writeFile(earlier, "an older version");
        const std::wstring other = L"\\??\\C:\\elsewhere\\HRDelayed.1";
        const std::wstring otherTarget = L"!\\??\\C:\\elsewhere\\b.dll";
        setPendingRenames({L"\\??\\" + toWide(earlier), L"!\\??\\" + toWide(path), other, otherTarget});
        HiveRegistry hives = noHives();
        WriterContext context{hives};

        std::unique_ptr<RestoreWriter> writer = createWriter(dir_.path(), ntfsRecord("C:\\" + rest, 3), context);
        writer->writeChunk("new", 0);
        writer->complete();

        EXPECT_FALSE(exists(earlier));
        std::wstring expected = other + L'\0' + otherTarget + L'\0';
        if (atBoot)
            expected += L"\\??\\" + toWide(workOf(path)) + L'\0' + L"!\\??\\" + toWide(path) + L'\0';
        EXPECT_EQ(PendingRenamesGuard::current(), expected + L'\0');
        EXPECT_EQ(readFile(path), atBoot ? "old" : "new");
    }
    protectedTarget = false;
}

TEST_F(Writer, VolumeRootRestoredAsADirectoryKeepsItsMetadata)
{
    proto::FileMetaData root = ntfsRecord("", 0, true);
    ntfsPart(root).sddl = "O:BAD:(A;;FA;;;WD)";
    ntfsPart(root).hasSddl = true;
    ntfsPart(root).readOnly = true;
    sys::Override attributes(
        sys::calls.SetFileAttributesW, +[](LPCWSTR path, DWORD) -> BOOL {
            ADD_FAILURE() << "attributes set on " << toUtf8(path);
            return FALSE;
        });
    sys::Override security(
        sys::calls.SetNamedSecurityInfoW,
        +[](LPWSTR path, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID, PSID, PACL, PACL) -> DWORD {
            ADD_FAILURE() << "security set on " << toUtf8(path);
            return ERROR_ACCESS_DENIED;
        });
    for (const char* given : {"C:\\", "C:"}) {
        LogCapture log;
        std::unique_ptr<RestoreWriter> writer = createWriter(given, root, context_);
        writer->complete();
        EXPECT_TRUE(log.has(2, "Leaving the metadata of volume root C:\\ as it is")) << given;
    }
}

TEST_F(Writer, SameTargetTwiceReusesItsWorkFile)
{
    const std::string work = workOf(target("f.bin"));
    {
        std::unique_ptr<RestoreWriter> first = open(ntfsRecord("C:\\f.bin", 10));
        EXPECT_EQ(first->restorePath(), work);
        first->writeChunk("0123456789", 0);
    }
    EXPECT_EQ(open(ntfsRecord("C:\\f.bin", 4))->restorePath(), work);
    // The second writer opened the first one's file and cut it to its own length.
    EXPECT_EQ(readFile(work), "0123");
}

int seekCalls;
int writeCalls;

TEST_F(Writer, EmptyFileGetsAnEmptyWorkFileAndEmptyChunksWriteNothing)
{
    const std::string path = target("empty");
    std::unique_ptr<RestoreWriter> writer = open(ntfsRecord("C:\\empty", 0));
    EXPECT_TRUE(exists(workOf(path)));
    {
        sys::Override seek(
            sys::calls.SetFilePointer, +[](HANDLE, LONG, PLONG, DWORD) -> DWORD {
                ++seekCalls;
                return INVALID_SET_FILE_POINTER;
            });
        sys::Override write(
            sys::calls.WriteFile, +[](HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) -> BOOL {
                ++writeCalls;
                return FALSE;
            });
        seekCalls = writeCalls = 0;
        writer->writeChunk("", 0);
        writer->writeChunk("", 1048576);
        EXPECT_EQ(seekCalls, 0);
        EXPECT_EQ(writeCalls, 0);
    }
    writer->complete();
    EXPECT_EQ(readFile(path), "");
}

LONG chunkLow;
LONG chunkHigh;

TEST_F(Writer, ChunkOffsetIsPositionedWithItsHighPart)
{
    target("big.vhd");
    // A file of 5000 MiB and more, whose length is only asked for.
    sys::Override sized(
        sys::calls.SetEndOfFile, +[](HANDLE) -> BOOL { return TRUE; });
    std::unique_ptr<RestoreWriter> writer = open(ntfsRecord("C:\\big.vhd", 5001 * 1048576ULL));
    // Only the request is checked; the byte lands at 0 of the small real file.
    sys::Override seek(
        sys::calls.SetFilePointer, +[](HANDLE h, LONG low, PLONG high, DWORD method) -> DWORD {
            chunkLow = low;
            chunkHigh = high ? *high : -12345;
            return method == FILE_BEGIN ? ::SetFilePointer(h, 0, nullptr, FILE_BEGIN) : INVALID_SET_FILE_POINTER;
        });
    struct Case {
        std::uint64_t offset;
        LONG low, high;
    };
    const Case cases[] = {
        {0, 0, 0},
        {3 * 1048576ULL, 3 * 1048576, 0},
        {0xFFFFFFFFULL, -1, 0},
        {0x100000005ULL, 5, 1},
        {5000 * 1048576ULL, 947912704, 1},
    };
    for (const Case& c : cases) {
        chunkLow = chunkHigh = 777;
        writer->writeChunk("x", c.offset);
        EXPECT_EQ(chunkLow, c.low) << c.offset;
        EXPECT_EQ(chunkHigh, c.high) << c.offset;
    }
}

DWORD seekError; // what a seek that answers INVALID_SET_FILE_POINTER leaves as last error

TEST_F(Writer, SeekFailsOnlyWithAnErrorCode)
{
    const std::string work = workOf(target("f"));
    std::unique_ptr<RestoreWriter> writer = open(ntfsRecord("C:\\f", 8));
    sys::Override seek(
        sys::calls.SetFilePointer, +[](HANDLE h, LONG low, PLONG high, DWORD method) -> DWORD {
            ::SetFilePointer(h, low, high, method);
            if (seekError != 0)
                ::SetLastError(seekError);
            return INVALID_SET_FILE_POINTER;
        });
    // A stale error from before the chunk must not count: the writer clears it first.
    seekError = 0;
    ::SetLastError(ERROR_ALREADY_EXISTS);
    EXPECT_NO_THROW(writer->writeChunk("ab", 2));

    seekError = ERROR_NEGATIVE_SEEK;
    expectThrows<io::EInputOutput>([&] { writer->writeChunk("cd", 4); },
                                   "Unable to seek to chunk write position: " +
                                       error::systemErrorText(ERROR_NEGATIVE_SEEK));
    seekError = 0;
    writer.reset();
    EXPECT_EQ(readFile(work), std::string("\0\0ab\0\0\0\0", 8));
}

int writeMode; // 0 three bytes at a time, 1 refused, 2 no progress

TEST_F(Writer, WritesUntilAllBytesAreWrittenAndReportsFailures)
{
    const std::string work = workOf(target("f"));
    std::unique_ptr<RestoreWriter> writer = open(ntfsRecord("C:\\f", 10));
    sys::Override write(
        sys::calls.WriteFile,
        +[](HANDLE h, LPCVOID bytes, DWORD count, LPDWORD written, LPOVERLAPPED overlapped) -> BOOL {
            ++writeCalls;
            if (writeMode == 1) {
                ::SetLastError(ERROR_DISK_FULL);
                return FALSE;
            }
            if (writeMode == 2) {
                *written = 0;
                return TRUE;
            }
            return ::WriteFile(h, bytes, std::min<DWORD>(count, 3), written, overlapped);
        });
    writeMode = writeCalls = 0;
    writer->writeChunk("abcdefgh", 1);
    EXPECT_EQ(writeCalls, 3);

    writeMode = 1;
    writeCalls = 0;
    expectThrows<io::EInputOutput>([&] { writer->writeChunk("x", 0); },
                                   "Unable to write chunk in file: " + error::systemErrorText(ERROR_DISK_FULL));
    EXPECT_EQ(writeCalls, 1); // nothing is retried

    writeMode = 2;
    writeCalls = 0;
    EXPECT_THROW(writer->writeChunk("x", 0), io::EInputOutput);
    EXPECT_EQ(writeCalls, 1);
    writeMode = 0;

    writer.reset();
    EXPECT_EQ(readFile(work), std::string("\0abcdefgh\0", 10));
}

TEST_F(Writer, FailedObjectLeavesTheExistingTargetUntouched)
{
    const std::string path = existing("precious.doc", "precious");
    const std::string work = workOf(path);
    const proto::FileMetaData r = ntfsRecord("C:\\precious.doc", 100);

    // The work file cannot be made: no writer.
    {
        auto refused = refuse(sys::calls.CreateFileW, ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
        EXPECT_THROW(open(r), error::ESystemError);
    }
    EXPECT_EQ(readFile(path), "precious");

    // A chunk cannot be written: the writer is dropped without completion.
    {
        std::unique_ptr<RestoreWriter> writer = open(r);
        writer->writeChunk("half", 0);
        {
            auto full = refuse(sys::calls.WriteFile, ERROR_DISK_FULL);
            EXPECT_THROW(writer->writeChunk("rest", 4), io::EInputOutput);
        }
        // Still the writer's own.
        EXPECT_FALSE(::DeleteFileW(toWide(work).c_str()));
    }
    EXPECT_EQ(readFile(path), "precious");
    EXPECT_FALSE(hives_.rebootRequired());
    // The work file stays, and nothing holds it any more.
    EXPECT_EQ(readFile(work).substr(0, 4), "half");
    EXPECT_TRUE(::DeleteFileW(toWide(work).c_str()));
}

// The order of the steps of completion, as the system calls see it.
std::vector<std::string> steps;
bool recording;
HANDLE timedHandle;
bool timesFail;

TEST_F(Writer, CompletionSetsTimesSecurityAttributesAndOwnerThenMoves)
{
    sys::Override times(
        sys::calls.SetFileTime, +[](HANDLE h, const FILETIME* c, const FILETIME* a, const FILETIME* w) -> BOOL {
            if (recording)
                steps.push_back("times");
            timedHandle = h;
            if (timesFail) {
                ::SetLastError(ERROR_ACCESS_DENIED);
                return FALSE;
            }
            return ::SetFileTime(h, c, a, w);
        });
    sys::Override close(
        sys::calls.CloseHandle, +[](HANDLE h) -> BOOL {
            if (recording && h == timedHandle)
                steps.push_back("close");
            return ::CloseHandle(h);
        });
    sys::Override security(
        sys::calls.SetNamedSecurityInfoW,
        +[](LPWSTR name, SE_OBJECT_TYPE type, SECURITY_INFORMATION info, PSID owner, PSID group, PACL dacl,
            PACL sacl) -> DWORD {
            if (recording)
                steps.push_back("security");
            return ::SetNamedSecurityInfoW(name, type, info, owner, group, dacl, sacl);
        });
    sys::Override owner(
        sys::calls.LookupAccountNameW,
        +[](LPCWSTR system, LPCWSTR account, PSID sid, LPDWORD sidSize, LPWSTR domain, LPDWORD domainSize,
            PSID_NAME_USE use) -> BOOL {
            if (recording)
                steps.push_back("owner");
            return ::LookupAccountNameW(system, account, sid, sidSize, domain, domainSize, use);
        });
    sys::Override attributes(
        sys::calls.SetFileAttributesW, +[](LPCWSTR name, DWORD value) -> BOOL {
            if (recording)
                steps.push_back("attributes");
            return ::SetFileAttributesW(name, value);
        });
    sys::Override move(
        sys::calls.MoveFileExW, +[](LPCWSTR from, LPCWSTR to, DWORD flags) -> BOOL {
            if (recording)
                steps.push_back("move");
            return ::MoveFileExW(from, to, flags);
        });

    proto::FileMetaData withSddl = ntfsRecord("C:\\s.txt", 2);
    ntfsPart(withSddl).sddl = "O:BAG:BAD:(A;;FA;;;WD)";
    ntfsPart(withSddl).hasSddl = true;
    ntfsPart(withSddl).owner = "Administrator";
    proto::FileMetaData withoutSddl = ntfsRecord("C:\\o.txt", 2);
    ntfsPart(withoutSddl).owner = "Administrator";
    proto::FileMetaData directory = ntfsRecord("C:\\dir", 0, true);
    struct Case {
        const char* name;
        const proto::FileMetaData& record;
        bool failingTimes;
        std::vector<std::string> steps;
    };
    const Case cases[] = {
        {"security descriptor", withSddl, false, {"times", "close", "security", "attributes", "move"}},
        {"owner only", withoutSddl, false, {"times", "close", "attributes", "owner", "move"}},
        {"times refused", withoutSddl, true, {"times", "close", "attributes", "owner", "move"}},
        {"directory", directory, false, {"times", "close", "attributes", "owner"}},
    };
    for (const Case& c : cases) {
        const std::string path = target(c.record.name.substr(3));
        std::unique_ptr<RestoreWriter> writer = open(c.record);
        if (!c.record.directory)
            writer->writeChunk("ok", 0);
        steps.clear();
        timedHandle = nullptr;
        timesFail = c.failingTimes;
        LogCapture log;
        recording = true;
        writer->complete();
        recording = false;
        timesFail = false;
        EXPECT_EQ(steps, c.steps) << c.name;
        const std::string restored = writer->restorePath();
        EXPECT_EQ(log.has(1, "Unable to restore directory times for '" + restored +
                                 "': " + error::systemErrorText(ERROR_ACCESS_DENIED)),
                  c.failingTimes)
            << c.name;
        if (!c.record.directory) {
            EXPECT_EQ(readFile(path), "ok") << c.name;
        }
    }
}

// Directories ----------------------------------------------------------------------------

TEST_F(Writer, DirectoryIsCreatedAndCompletedWithTimesAndAttributes)
{
    proto::FileMetaData r = ntfsRecord("C:\\a\\b\\dir", 0, true);
    withTimes(ntfsPart(r));
    ntfsPart(r).hidden = true;
    const std::string path = target("a\\b\\dir");
    LogCapture log;

    std::unique_ptr<RestoreWriter> writer = open(r);
    EXPECT_EQ(writer->restorePath(), path);
    EXPECT_TRUE(attributesOf(path) & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_TRUE(log.has(2, "Will start restore of directory " + path));
    writer->writeChunk("", 0);
    writer->writeChunk("", 1048576);
    expectThrows<io::EInputOutput>([&] { writer->writeChunk("x", 0); },
                                   "RestoreFileWriter: file not open cannot write.");
    CreationTimeRecorder creation;
    writer->complete();

    EXPECT_EQ(restoredTimesOf(path), recordTimes());
    EXPECT_EQ(attributesOf(path), DWORD(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN));
    EXPECT_FALSE(exists(workOf(path)));
    EXPECT_FALSE(hives_.rebootRequired());
}

TEST_F(Writer, DirectoryThatCannotBeOpenedStillGetsItsAttributes)
{
    proto::FileMetaData r = ntfsRecord("C:\\locked", 0, true);
    ntfsPart(r).hidden = true;
    const std::string path = target("locked");
    std::unique_ptr<RestoreWriter> writer = open(r);
    auto refused = refuse(sys::calls.CreateFileW, ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    LogCapture log;
    writer->complete();
    const LogLine cannotOpen{2, "Cannot open directory '" + path +
                                    "', not setting time stamps: " + error::systemErrorText(ERROR_ACCESS_DENIED)};
    const LogLine notSetting{1, "Not setting times on " + path};
    EXPECT_LT(indexOf(log, cannotOpen), indexOf(log, notSetting));
    EXPECT_LT(indexOf(log, notSetting), log.lines.size());
    EXPECT_EQ(attributesOf(path), DWORD(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN));
}

// Where the target cannot simply be replaced ---------------------------------------------

TEST_F(Writer, LiveHiveStaysBesideItsTargetAndIsListed)
{
    HiveListGuard list;
    const std::string path = existing("config\\SOFTWARE", "live hive");
    hives_ = HiveRegistry(std::set<std::wstring>{devicePath(path)});
    LogCapture log;

    std::unique_ptr<RestoreWriter> writer = open(ntfsRecord("C:\\config\\SOFTWARE", 8));
    const std::string work = path + ".restored";
    list.removeAtEnd(work);
    EXPECT_EQ(writer->restorePath(), work);
    writer->writeChunk("restored", 0);
    writer->complete();

    EXPECT_EQ(readFile(path), "live hive");
    EXPECT_EQ(readFile(work), "restored");
    EXPECT_TRUE(log.has(2, "Fallback " + work +
                               " is a hive. Move  on boot will be scheduled later to final destination " + path));
    EXPECT_FALSE(log.mentions("immediate move"));
    EXPECT_FALSE(hives_.rebootRequired());
    EXPECT_EQ(HiveListGuard::entry(work), toWide(path));
}

TEST_F(Writer, ProtectedTargetIsMovedAtBootAndAsksForAReboot)
{
    PendingRenamesGuard pending;
    const std::string path = existing("system32\\kernel.dll", "running");
    const std::string work = workOf(path);
    sys::Override sfc(
        sys::calls.SfcIsFileProtected, +[](HANDLE, LPCWSTR) -> BOOL { return TRUE; });
    LogCapture log;

    std::unique_ptr<RestoreWriter> writer = open(ntfsRecord("C:\\system32\\kernel.dll", 8));
    writer->writeChunk("restored", 0);
    writer->complete();

    EXPECT_TRUE(hives_.rebootRequired());
    EXPECT_FALSE(log.mentions("immediate move"));
    EXPECT_TRUE(log.has(2, "Will request move-on-boot of " + work + " into " + path));
    EXPECT_EQ(readFile(path), "running");
    EXPECT_EQ(readFile(work), "restored");
    const std::wstring scheduled = PendingRenamesGuard::current();
    EXPECT_NE(scheduled.find(toWide(work)), std::wstring::npos);
    EXPECT_NE(scheduled.find(toWide(path)), std::wstring::npos);
}

// Symbolic links -------------------------------------------------------------------------

TEST_F(Writer, IgnoredLinkIsLoggedAndLeavesNothingOnDisk)
{
    LogCapture log(2);
    std::unique_ptr<RestoreWriter> writer = open(linked(unixRecord("/home/u/link", 0), "../target"));
    EXPECT_EQ(log.lines, (std::vector<LogLine>{{2, "Restoring symbolic links on Windows is not currently supported. "
                                                   "Link with name '/home/u/link' and target '../target' ignored."}}));
    EXPECT_EQ(writer->restorePath(), dir_ / "home\\u\\link");

    struct Case {
        std::string bytes;
        std::uint64_t offset;
        bool accepted;
    };
    const Case cases[] = {
        {"", 0, true}, {"", 1, false}, {"", 1048576, false}, {"x", 0, false}, {"data", 1048576, false},
    };
    for (const Case& c : cases) {
        if (c.accepted) {
            EXPECT_NO_THROW(writer->writeChunk(c.bytes, c.offset)) << c.offset;
        } else {
            expectThrows<io::EInputOutput>([&] { writer->writeChunk(c.bytes, c.offset); },
                                           "Got a non-empty chunk for a symlink");
        }
    }
    writer->complete();
    writer.reset();
    EXPECT_FALSE(exists(dir_ / "home"));
    EXPECT_FALSE(hives_.rebootRequired());
}

// Leading directories --------------------------------------------------------------------

TEST_F(Writer, CreateLeadingPathMakesEveryDirectoryAboveTheName)
{
    RestoreSymlinkWriter writer(std::make_unique<FileMetaVariant>(linked(unixRecord("/l", 0), "t")), dir_.path());
    writeFile(dir_ / "file", "in the way");

    struct Case {
        std::string path;
        std::vector<std::string> directories; // exist afterwards
        std::string error;                    // empty: no exception
    };
    const Case cases[] = {
        {dir_ / "a\\b\\c\\name", {"a", "a\\b", "a\\b\\c"}, ""},
        {dir_ / "a\\b\\c\\name", {"a", "a\\b", "a\\b\\c"}, ""}, // all there already
        {dir_ / "a\\x\\name", {"a\\x"}, ""},
        {dir_ / "file\\x\\name", {}, "Cannot create directory \"" + dir_ / "file\\x" + "\""},
    };
    for (const Case& c : cases) {
        try {
            writer.createLeadingPath(c.path);
            EXPECT_EQ(c.error, "") << "no exception for " << c.path;
        } catch (const error::ESystemError& e) {
            EXPECT_NE(c.error, "") << e.fullText();
            EXPECT_EQ(e.fullText().substr(0, c.error.size()), c.error);
        }
        for (const std::string& d : c.directories)
            EXPECT_EQ(attributesOf(dir_ / d), DWORD(FILE_ATTRIBUTE_DIRECTORY)) << d;
        EXPECT_FALSE(exists(c.path)) << c.path;
    }
}

} // namespace
