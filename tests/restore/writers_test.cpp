#include "restore/writers.h"

#include "common/error.h"
#include "hives/hive_registry.h"
#include "io/errors.h"
#include "restore/restore_fixture.h"
#include "sys/syscalls.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>

namespace {

using namespace restore_test;

HiveRegistry noHives()
{
    return HiveRegistry(std::set<std::wstring>{});
}

// Runs `action`, which must throw an exception of class E (or a subclass) with `text`.
template <class E>
void expectThrows(const std::function<void()>& action, const std::string& text)
{
    try {
        action();
        ADD_FAILURE() << "no exception, expected: " << text;
    } catch (const E& e) {
        EXPECT_EQ(e.fullText(), text);
    } catch (const error::Exception& e) {
        ADD_FAILURE() << "unexpected exception class: " << e.fullText();
    }
}

// Where an NTFS object named C:\<rest> lands below `root`.
std::string restoredBelow(const ScratchDir& root, const std::string& rest)
{
    return root / ("Drive_C\\" + rest);
}

std::size_t indexOf(const LogCapture& log, const LogLine& line)
{
    return static_cast<std::size_t>(std::find(log.lines.begin(), log.lines.end(), line) - log.lines.begin());
}

// The factory ----------------------------------------------------------------------------

TEST(CreateWriter, ChoosesTheWriterByKindAndLogsTheMappedName)
{
    ScratchDir dir;
    HiveRegistry hives = noHives();
    proto::FileMetaData unixLink = unixRecord("/l", 0);
    unixPart(unixLink).linkTarget = "t";
    unixPart(unixLink).hasLinkTarget = true;
    proto::FileMetaData hfsLink = hfsRecord("/h", 0);
    hfsPart(hfsLink).linkTarget = "t";
    hfsPart(hfsLink).hasLinkTarget = true;
    proto::FileMetaData linkedDirectory = unixRecord("/d", 0, true);
    unixPart(linkedDirectory).linkTarget = "t";
    unixPart(linkedDirectory).hasLinkTarget = true;

    struct Case {
        const char* name;
        proto::FileMetaData record;
        std::string mapped, kind;
        bool symlinkWriter;
    };
    const Case cases[] = {
        {"NTFS file", ntfsRecord("C:\\a\\f.txt", 0), restoredBelow(dir, "a\\f.txt"), "(FILE)", false},
        {"NTFS directory", ntfsRecord("C:\\a\\d", 0, true), restoredBelow(dir, "a\\d"), "(DIR)", false},
        {"UNIX file", unixRecord("/u/f", 0), dir / "u\\f", "(FILE)", false},
        {"UNIX link", unixLink, dir / "l", "(SYMLINK)", true},
        {"HFS link", hfsLink, dir / "h", "(SYMLINK)", true},
        // The log names a directory first; the link decides the writer.
        {"linked directory", linkedDirectory, dir / "d", "(DIR)", true},
    };
    for (const Case& c : cases) {
        RemoveAtEnd work(delayedWorkFile(c.mapped));
        for (int level : {3, 2}) {
            LogCapture log(level);
            std::unique_ptr<RestoreWriter> writer = createWriter(dir.path(), c.record, hives);
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

TEST(CreateWriter, RefusesMetadataOfNoKnownKind)
{
    ScratchDir dir;
    HiveRegistry hives = noHives();
    proto::FileMetaData none = record("C:\\a\\f", 1, false);
    proto::FileMetaData other = record("C:\\a\\f", 1, false);
    other.osmeta.reset(new proto::FileAccessMode);
    for (const proto::FileMetaData* r : {&none, &other}) {
        LogCapture log;
        expectThrows<error::EParseError>([&] { createWriter(dir.path(), *r, hives); },
                                         "Attempted to construct FileMetaVariant from invalid source metadata");
        EXPECT_TRUE(log.lines.empty());
    }
    EXPECT_FALSE(exists(dir / "Drive_C"));
}

// Files ----------------------------------------------------------------------------------

TEST(RestoreFileWriter, RestoresAFileWithItsBytesTimesAndAttributes)
{
    proto::FileMetaData ntfs = ntfsRecord("C:\\data\\sub\\f.txt", 10);
    ntfsPart(ntfs).creationTime = 1000000000;
    ntfsPart(ntfs).lastAccessTime = 1500000000;
    ntfsPart(ntfs).lastWriteTime = 1234567890;
    ntfsPart(ntfs).hidden = true;
    ntfsPart(ntfs).archive = true;

    proto::FileMetaData unixFile = unixRecord("/data/sub/f.txt", 10, false, true);
    unixPart(unixFile).creationTime = 1000000000;
    unixPart(unixFile).lastAccessTime = 1500000000;
    unixPart(unixFile).lastWriteTime = 1234567890;

    const FileTimes times{fileTimeOf(2001, 9, 9, 1, 46, 40), fileTimeOf(2017, 7, 14, 2, 40, 0),
                          fileTimeOf(2009, 2, 13, 23, 31, 30)};
    struct Case {
        const char* name;
        const proto::FileMetaData& record;
        std::string relative;
        DWORD attributes;
    };
    const Case cases[] = {
        {"NTFS", ntfs, "Drive_C\\data\\sub\\f.txt", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE},
        {"UNIX", unixFile, "data\\sub\\f.txt", FILE_ATTRIBUTE_READONLY},
    };
    for (const Case& c : cases) {
        ScratchDir dir;
        HiveRegistry hives = noHives();
        const std::string target = dir / c.relative;
        RemoveAtEnd work(delayedWorkFile(target));
        LogCapture log;

        std::unique_ptr<RestoreWriter> writer = createWriter(dir.path(), c.record, hives);
        EXPECT_EQ(writer->restorePath(), work.path()) << c.name;
        // The directories above the target exist before any data arrives.
        EXPECT_TRUE(attributesOf(dir / c.relative.substr(0, c.relative.rfind('\\'))) & FILE_ATTRIBUTE_DIRECTORY);
        writer->writeChunk("world", 5);
        writer->writeChunk("hello", 0);
        CreationTimeRecorder creation;
        writer->complete();
        writer.reset();

        // Before the file is read, which would change its access time.
        EXPECT_EQ(restoredTimesOf(target), times) << c.name;
        EXPECT_EQ(readFile(target), "helloworld") << c.name;
        EXPECT_EQ(keptAttributes(attributesOf(target)), keptAttributes(c.attributes)) << c.name;
        EXPECT_FALSE(exists(work.path())) << c.name;
        EXPECT_FALSE(hives.rebootRequired()) << c.name;
        const std::size_t start = indexOf(log, {2, "Will start restore of file " + target});
        const std::size_t move = indexOf(log, {2, "Will attempt immediate move of " + work.path() + " to " + target});
        EXPECT_LT(start, move) << c.name;
        EXPECT_LT(move, log.lines.size()) << c.name;
    }
}

DWORD sourceAttributesAtMove;

TEST(RestoreFileWriter, ReadOnlyFileIsMarkedBeforeTheMoveAndReplacesTheTarget)
{
    ScratchDir dir;
    HiveRegistry hives = noHives();
    const std::string target = restoredBelow(dir, "app\\settings.ini");
    RemoveAtEnd work(delayedWorkFile(target));
    ::CreateDirectoryW(toWide(dir / "Drive_C").c_str(), nullptr);
    ::CreateDirectoryW(toWide(dir / "Drive_C\\app").c_str(), nullptr);
    writeFile(target, "the old settings, longer than the new");
    proto::FileMetaData r = ntfsRecord("C:\\app\\settings.ini", 3);
    ntfsPart(r).readOnly = true;
    sys::Override move(sys::calls.MoveFileExW, +[](LPCWSTR from, LPCWSTR to, DWORD flags) -> BOOL {
        sourceAttributesAtMove = ::GetFileAttributesW(from);
        return ::MoveFileExW(from, to, flags);
    });
    sourceAttributesAtMove = INVALID_FILE_ATTRIBUTES;

    std::unique_ptr<RestoreWriter> writer = createWriter(dir.path(), r, hives);
    writer->writeChunk("new", 0);
    writer->complete();

    EXPECT_EQ(keptAttributes(sourceAttributesAtMove), DWORD(FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(readFile(target), "new");
    EXPECT_EQ(keptAttributes(attributesOf(target)), DWORD(FILE_ATTRIBUTE_READONLY));
    EXPECT_FALSE(hives.rebootRequired());
}

TEST(RestoreFileWriter, SameTargetTwiceReusesItsWorkFile)
{
    ScratchDir dir;
    HiveRegistry hives = noHives();
    const std::string target = restoredBelow(dir, "f.bin");
    RemoveAtEnd work(delayedWorkFile(target));
    {
        std::unique_ptr<RestoreWriter> first = createWriter(dir.path(), ntfsRecord("C:\\f.bin", 10), hives);
        EXPECT_EQ(first->restorePath(), work.path());
        first->writeChunk("0123456789", 0);
    }
    {
        std::unique_ptr<RestoreWriter> second = createWriter(dir.path(), ntfsRecord("C:\\f.bin", 4), hives);
        EXPECT_EQ(second->restorePath(), work.path());
    }
    // The second writer opened the first one's file and cut it to its own length.
    EXPECT_EQ(readFile(work.path()), "0123");
}

int seekCalls;
int writeCalls;

TEST(RestoreFileWriter, EmptyFileGetsAnEmptyWorkFileAndEmptyChunksWriteNothing)
{
    ScratchDir dir;
    HiveRegistry hives = noHives();
    const std::string target = restoredBelow(dir, "empty");
    RemoveAtEnd work(delayedWorkFile(target));
    std::unique_ptr<RestoreWriter> writer = createWriter(dir.path(), ntfsRecord("C:\\empty", 0), hives);
    WIN32_FILE_ATTRIBUTE_DATA data{};
    ASSERT_TRUE(::GetFileAttributesExW(toWide(work.path()).c_str(), GetFileExInfoStandard, &data));
    EXPECT_EQ(data.nFileSizeLow, 0u);
    EXPECT_EQ(data.nFileSizeHigh, 0u);
    {
        sys::Override seek(sys::calls.SetFilePointer, +[](HANDLE, LONG, PLONG, DWORD) -> DWORD {
            ++seekCalls;
            return INVALID_SET_FILE_POINTER;
        });
        sys::Override write(sys::calls.WriteFile, +[](HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) -> BOOL {
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
    EXPECT_TRUE(exists(target));
    EXPECT_EQ(readFile(target), "");
}

LONG chunkLow;
LONG chunkHigh;

TEST(RestoreFileWriter, ChunkOffsetIsPositionedWithItsHighPart)
{
    ScratchDir dir;
    HiveRegistry hives = noHives();
    const std::string target = restoredBelow(dir, "big.vhd");
    RemoveAtEnd work(delayedWorkFile(target));
    std::unique_ptr<RestoreWriter> writer = createWriter(dir.path(), ntfsRecord("C:\\big.vhd", 16), hives);
    // Only the request is checked; the byte lands at 0 of the small real file.
    sys::Override seek(sys::calls.SetFilePointer, +[](HANDLE h, LONG low, PLONG high, DWORD method) -> DWORD {
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

TEST(RestoreFileWriter, SeekFailsOnlyWithAnErrorCode)
{
    ScratchDir dir;
    HiveRegistry hives = noHives();
    const std::string target = restoredBelow(dir, "f");
    RemoveAtEnd work(delayedWorkFile(target));
    std::unique_ptr<RestoreWriter> writer = createWriter(dir.path(), ntfsRecord("C:\\f", 8), hives);
    sys::Override seek(sys::calls.SetFilePointer, +[](HANDLE h, LONG low, PLONG high, DWORD method) -> DWORD {
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
    EXPECT_EQ(readFile(work.path()), std::string("\0\0ab\0\0\0\0", 8));
}

int writeMode; // 0 three bytes at a time, 1 refused, 2 no progress

TEST(RestoreFileWriter, WritesUntilAllBytesAreWrittenAndReportsFailures)
{
    ScratchDir dir;
    HiveRegistry hives = noHives();
    const std::string target = restoredBelow(dir, "f");
    RemoveAtEnd work(delayedWorkFile(target));
    std::unique_ptr<RestoreWriter> writer = createWriter(dir.path(), ntfsRecord("C:\\f", 10), hives);
    sys::Override write(sys::calls.WriteFile,
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
    writeMode = 0;
    writeCalls = 0;
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
    EXPECT_EQ(readFile(work.path()), std::string("\0abcdefgh\0", 10));
}

bool writesFail;
bool workFileRefused;

TEST(RestoreFileWriter, FailedObjectLeavesTheExistingTargetUntouched)
{
    ScratchDir dir;
    HiveRegistry hives = noHives();
    const std::string target = restoredBelow(dir, "precious.doc");
    RemoveAtEnd work(delayedWorkFile(target));
    ::CreateDirectoryW(toWide(dir / "Drive_C").c_str(), nullptr);
    writeFile(target, "precious");
    const proto::FileMetaData r = ntfsRecord("C:\\precious.doc", 100);

    // The work file cannot be made: no writer.
    {
        sys::Override open(sys::calls.CreateFileW,
                           +[](LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                               DWORD disposition, DWORD flags, HANDLE model) -> HANDLE {
                               if (workFileRefused) {
                                   ::SetLastError(ERROR_ACCESS_DENIED);
                                   return INVALID_HANDLE_VALUE;
                               }
                               return ::CreateFileW(name, access, share, security, disposition, flags, model);
                           });
        workFileRefused = true;
        EXPECT_THROW(createWriter(dir.path(), r, hives), error::ESystemError);
        workFileRefused = false;
    }
    EXPECT_EQ(readFile(target), "precious");

    // A chunk cannot be written: the writer is dropped without completion.
    {
        sys::Override write(sys::calls.WriteFile, +[](HANDLE h, LPCVOID bytes, DWORD count, LPDWORD written,
                                                      LPOVERLAPPED overlapped) -> BOOL {
            if (writesFail) {
                ::SetLastError(ERROR_DISK_FULL);
                return FALSE;
            }
            return ::WriteFile(h, bytes, count, written, overlapped);
        });
        std::unique_ptr<RestoreWriter> writer = createWriter(dir.path(), r, hives);
        writer->writeChunk("half", 0);
        writesFail = true;
        EXPECT_THROW(writer->writeChunk("rest", 4), io::EInputOutput);
        writesFail = false;
        // Still the writer's own.
        EXPECT_FALSE(::DeleteFileW(toWide(work.path()).c_str()));
    }
    EXPECT_EQ(readFile(target), "precious");
    EXPECT_FALSE(hives.rebootRequired());
    // The work file stays, and nothing holds it any more.
    EXPECT_EQ(readFile(work.path()).substr(0, 4), "half");
    EXPECT_TRUE(::DeleteFileW(toWide(work.path()).c_str()));
}

TEST(RestoreFileWriter, FileWithoutDirectoryIsRefused)
{
    HiveRegistry hives = noHives();
    LogCapture log;
    expectThrows<error::EInvariant>([&] { createWriter("", ntfsRecord("lonely.txt", 3), hives); },
                                    "No backslash in full path name");
}

// The order of the steps of completion, as the system calls see it.
std::vector<std::string> steps;
bool recording;
HANDLE timedHandle;
bool timesFail;

TEST(RestoreFileWriter, CompletionSetsTimesSecurityAttributesAndOwnerThenMoves)
{
    sys::Override times(sys::calls.SetFileTime,
                        +[](HANDLE h, const FILETIME* c, const FILETIME* a, const FILETIME* w) -> BOOL {
                            if (recording)
                                steps.push_back("times");
                            timedHandle = h;
                            if (timesFail) {
                                ::SetLastError(ERROR_ACCESS_DENIED);
                                return FALSE;
                            }
                            return ::SetFileTime(h, c, a, w);
                        });
    sys::Override close(sys::calls.CloseHandle, +[](HANDLE h) -> BOOL {
        if (recording && h == timedHandle)
            steps.push_back("close");
        return ::CloseHandle(h);
    });
    sys::Override security(sys::calls.SetNamedSecurityInfoW,
                           +[](LPWSTR name, SE_OBJECT_TYPE type, SECURITY_INFORMATION info, PSID owner, PSID group,
                               PACL dacl, PACL sacl) -> DWORD {
                               if (recording)
                                   steps.push_back("security");
                               return ::SetNamedSecurityInfoW(name, type, info, owner, group, dacl, sacl);
                           });
    sys::Override owner(sys::calls.LookupAccountNameW,
                        +[](LPCWSTR system, LPCWSTR account, PSID sid, LPDWORD sidSize, LPWSTR domain,
                            LPDWORD domainSize, PSID_NAME_USE use) -> BOOL {
                            if (recording)
                                steps.push_back("owner");
                            return ::LookupAccountNameW(system, account, sid, sidSize, domain, domainSize, use);
                        });
    sys::Override attributes(sys::calls.SetFileAttributesW, +[](LPCWSTR name, DWORD value) -> BOOL {
        if (recording)
            steps.push_back("attributes");
        return ::SetFileAttributesW(name, value);
    });
    sys::Override move(sys::calls.MoveFileExW, +[](LPCWSTR from, LPCWSTR to, DWORD flags) -> BOOL {
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
        ScratchDir dir;
        HiveRegistry hives = noHives();
        const std::string target = restoredBelow(dir, c.record.name.substr(3));
        RemoveAtEnd work(delayedWorkFile(target));
        std::unique_ptr<RestoreWriter> writer = createWriter(dir.path(), c.record, hives);
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
            EXPECT_EQ(readFile(target), "ok") << c.name;
        }
    }
}

// Directories ----------------------------------------------------------------------------

TEST(RestoreFileWriter, DirectoryIsCreatedAndCompletedWithTimesAndAttributes)
{
    ScratchDir dir;
    HiveRegistry hives = noHives();
    proto::FileMetaData r = ntfsRecord("C:\\a\\b\\dir", 0, true);
    ntfsPart(r).creationTime = 1000000000;
    ntfsPart(r).lastAccessTime = 1500000000;
    ntfsPart(r).lastWriteTime = 1234567890;
    ntfsPart(r).hidden = true;
    const std::string target = restoredBelow(dir, "a\\b\\dir");
    LogCapture log;

    std::unique_ptr<RestoreWriter> writer = createWriter(dir.path(), r, hives);
    EXPECT_EQ(writer->restorePath(), target);
    EXPECT_TRUE(attributesOf(target) & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_TRUE(log.has(2, "Will start restore of directory " + target));
    writer->writeChunk("", 0);
    writer->writeChunk("", 1048576);
    expectThrows<io::EInputOutput>([&] { writer->writeChunk("x", 0); },
                                   "RestoreFileWriter: file not open cannot write.");
    CreationTimeRecorder creation;
    writer->complete();

    EXPECT_EQ(restoredTimesOf(target), (FileTimes{fileTimeOf(2001, 9, 9, 1, 46, 40), fileTimeOf(2017, 7, 14, 2, 40, 0),
                                          fileTimeOf(2009, 2, 13, 23, 31, 30)}));
    EXPECT_EQ(attributesOf(target), DWORD(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN));
    EXPECT_FALSE(exists(delayedWorkFile(target)));
    EXPECT_FALSE(hives.rebootRequired());
}

TEST(RestoreFileWriter, DirectoryThatCannotBeOpenedStillGetsItsAttributes)
{
    ScratchDir dir;
    HiveRegistry hives = noHives();
    proto::FileMetaData r = ntfsRecord("C:\\locked", 0, true);
    ntfsPart(r).hidden = true;
    const std::string target = restoredBelow(dir, "locked");
    std::unique_ptr<RestoreWriter> writer = createWriter(dir.path(), r, hives);
    sys::Override open(sys::calls.CreateFileW,
                       +[](LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                           DWORD flags, HANDLE model) -> HANDLE {
                           if (flags & FILE_FLAG_BACKUP_SEMANTICS) {
                               ::SetLastError(ERROR_ACCESS_DENIED);
                               return INVALID_HANDLE_VALUE;
                           }
                           return ::CreateFileW(name, access, share, security, disposition, flags, model);
                       });
    LogCapture log;
    writer->complete();
    const LogLine cannotOpen{2, "Cannot open directory '" + target +
                                    "', not setting time stamps: " + error::systemErrorText(ERROR_ACCESS_DENIED)};
    const LogLine notSetting{1, "Not setting times on " + target};
    EXPECT_LT(indexOf(log, cannotOpen), indexOf(log, notSetting));
    EXPECT_LT(indexOf(log, notSetting), log.lines.size());
    EXPECT_EQ(attributesOf(target), DWORD(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN));
}

// Where the target cannot simply be replaced ---------------------------------------------

TEST(RestoreFileWriter, LiveHiveStaysBesideItsTargetAndIsListed)
{
    ScratchDir dir;
    HiveListGuard list;
    const std::string target = restoredBelow(dir, "config\\SOFTWARE");
    ::CreateDirectoryW(toWide(dir / "Drive_C").c_str(), nullptr);
    ::CreateDirectoryW(toWide(dir / "Drive_C\\config").c_str(), nullptr);
    writeFile(target, "live hive");
    HiveRegistry hives(std::set<std::wstring>{devicePath(target)});
    LogCapture log;

    std::unique_ptr<RestoreWriter> writer =
        createWriter(dir.path(), ntfsRecord("C:\\config\\SOFTWARE", 8), hives);
    const std::string work = target + ".restored";
    list.removeAtEnd(work);
    EXPECT_EQ(writer->restorePath(), work);
    writer->writeChunk("restored", 0);
    writer->complete();

    EXPECT_EQ(readFile(target), "live hive");
    EXPECT_EQ(readFile(work), "restored");
    EXPECT_TRUE(log.has(2, "Fallback " + work +
                               " is a hive. Move  on boot will be scheduled later to final destination " + target));
    EXPECT_FALSE(log.mentions("immediate move"));
    EXPECT_FALSE(hives.rebootRequired());
    EXPECT_EQ(HiveListGuard::entry(work), toWide(target));
}

TEST(RestoreFileWriter, ProtectedTargetIsMovedAtBootAndAsksForAReboot)
{
    ScratchDir dir;
    PendingRenamesGuard pending;
    HiveRegistry hives = noHives();
    const std::string target = restoredBelow(dir, "system32\\kernel.dll");
    RemoveAtEnd work(delayedWorkFile(target));
    ::CreateDirectoryW(toWide(dir / "Drive_C").c_str(), nullptr);
    ::CreateDirectoryW(toWide(dir / "Drive_C\\system32").c_str(), nullptr);
    writeFile(target, "running");
    sys::Override sfc(sys::calls.SfcIsFileProtected, +[](HANDLE, LPCWSTR) -> BOOL { return TRUE; });
    LogCapture log;

    std::unique_ptr<RestoreWriter> writer =
        createWriter(dir.path(), ntfsRecord("C:\\system32\\kernel.dll", 8), hives);
    writer->writeChunk("restored", 0);
    writer->complete();

    EXPECT_TRUE(hives.rebootRequired());
    EXPECT_FALSE(log.mentions("immediate move"));
    EXPECT_TRUE(log.has(2, "Will request move-on-boot of " + work.path() + " into " + target));
    EXPECT_EQ(readFile(target), "running");
    EXPECT_EQ(readFile(work.path()), "restored");
    const std::wstring scheduled = PendingRenamesGuard::current();
    EXPECT_NE(scheduled.find(toWide(work.path())), std::wstring::npos);
    EXPECT_NE(scheduled.find(toWide(target)), std::wstring::npos);
}

// Symbolic links -------------------------------------------------------------------------

TEST(RestoreSymlinkWriter, LogsTheIgnoredLinkAndLeavesNothingOnDisk)
{
    ScratchDir dir;
    HiveRegistry hives = noHives();
    proto::FileMetaData r = unixRecord("/home/u/link", 0);
    unixPart(r).linkTarget = "../target";
    unixPart(r).hasLinkTarget = true;
    LogCapture log(2);

    std::unique_ptr<RestoreWriter> writer = createWriter(dir.path(), r, hives);
    EXPECT_EQ(log.lines, (std::vector<LogLine>{{2, "Restoring symbolic links on Windows is not currently supported. "
                                                   "Link with name '/home/u/link' and target '../target' ignored."}}));
    EXPECT_EQ(writer->restorePath(), dir / "home\\u\\link");

    struct Case {
        std::string bytes;
        std::uint64_t offset;
        bool accepted;
    };
    const Case cases[] = {
        {"", 0, true},
        {"", 1, false},
        {"", 1048576, false},
        {"x", 0, false},
        {"data", 1048576, false},
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
    EXPECT_FALSE(exists(dir / "home"));
    EXPECT_FALSE(hives.rebootRequired());
}

// Leading directories --------------------------------------------------------------------

TEST(RestoreWriter, CreateLeadingPathMakesEveryDirectoryAboveTheName)
{
    ScratchDir dir;
    proto::FileMetaData link = unixRecord("/l", 0);
    unixPart(link).linkTarget = "t";
    unixPart(link).hasLinkTarget = true;
    RestoreSymlinkWriter writer(std::make_unique<FileMetaVariant>(link), dir.path());
    writeFile(dir / "file", "in the way");

    struct Case {
        std::string path;
        std::vector<std::string> directories; // exist afterwards
        std::string error;                    // empty: no exception
    };
    const Case cases[] = {
        {dir / "a\\b\\c\\name", {"a", "a\\b", "a\\b\\c"}, ""},
        {dir / "a\\b\\c\\name", {"a", "a\\b", "a\\b\\c"}, ""}, // all there already
        {dir / "a\\x\\name", {"a\\x"}, ""},
        {dir / "file\\x\\name", {}, "Cannot create directory \"" + dir / "file\\x" + "\""},
    };
    for (const Case& c : cases) {
        if (c.error.empty()) {
            EXPECT_NO_THROW(writer.createLeadingPath(c.path)) << c.path;
        } else {
            try {
                writer.createLeadingPath(c.path);
                ADD_FAILURE() << "no exception for " << c.path;
            } catch (const error::ESystemError& e) {
                EXPECT_EQ(e.fullText().substr(0, c.error.size()), c.error);
            }
        }
        for (const std::string& d : c.directories)
            EXPECT_EQ(attributesOf(dir / d), DWORD(FILE_ATTRIBUTE_DIRECTORY)) << d;
        EXPECT_FALSE(exists(c.path)) << c.path;
    }
}

} // namespace
