#include "restore/work_file.h"

#include "common/error.h"
#include "hives/hive_registry.h"
#include "restore/file_meta.h"
#include "restore/restore_fixture.h"
#include "sys/syscalls.h"

#include <gtest/gtest.h>

#include <winioctl.h>

#include <functional>
#include <set>
#include <typeinfo>

namespace {

using namespace restore_test;

HiveRegistry noHives()
{
    return HiveRegistry(std::set<std::wstring>{});
}

std::uint64_t lengthOf(HANDLE h)
{
    LARGE_INTEGER size{};
    EXPECT_TRUE(::GetFileSizeEx(h, &size));
    return static_cast<std::uint64_t>(size.QuadPart);
}

// Work-file names ------------------------------------------------------------------------

TEST(WorkFilePath, LiesBesideItsTargetNamedByTheDigestOfTheTargetOrBesideALiveHive)
{
    PendingRenamesGuard pending;
    HiveRegistry hives = noHives();
    struct Case {
        std::string target, expected;
    };
    const Case cases[] = {
        {"C:\\data\\x.txt", "C:\\data\\HRDelayed.0a1390fac326e1f2061a310ba20ca610"},
        // The digest sees the path as given.
        {"c:\\data\\x.txt", "c:\\data\\HRDelayed.3e72b950fda13a83e86d5423c8746b7a"},
        {"z:\\Restore\\Drive_C\\Windows\\notepad.exe",
         "z:\\Restore\\Drive_C\\Windows\\HRDelayed.c5076332331c9d168a1864b8532df001"},
        {"\\\\server\\share\\x.txt", "\\\\server\\share\\HRDelayed.5c4ed2974bd02960ae7aa811a85f8a73"},
        // The digest is taken over the UTF-8 bytes.
        {"C:\\Users\\\xc3\x9cn\xc3\xaf"
         "code\\\xd1\x84.txt",
         "C:\\Users\\\xc3\x9cn\xc3\xaf"
         "code\\HRDelayed.a15f85c8e1cd434f8136b3f2332da575"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(workFilePath(c.target, hives), c.expected) << c.target;
        EXPECT_EQ(workFilePath(c.target, hives), c.expected) << c.target << " asked again";
    }
    // A live hive is restored beside its target; another file in the same directory is no hive.
    ScratchDir dir;
    const std::string hive = dir / "SOFTWARE";
    HiveRegistry live(std::set<std::wstring>{devicePath(hive)});
    EXPECT_EQ(workFilePath(hive, live), hive + ".restored");
    EXPECT_EQ(workFilePath(dir / "SOFTWARE.LOG", live), delayedWorkFile(dir / "SOFTWARE.LOG"));
}

TEST(WorkFilePath, NameThatAMoveAtBootStartsFromIsNeverReopened)
{
    PendingRenamesGuard pending;
    ScratchDir dir;
    const std::string target = dir / "x.txt";
    const std::string work = delayedWorkFile(target);
    // An earlier run's moves, as Windows keeps them: the first work file and its ".1" wait.
    setPendingRenames({L"\\??\\" + toWide(work), L"!\\??\\" + toWide(target), L"\\??\\" + toWide(work + ".1"),
                       L"!\\??\\" + toWide(target)});
    HiveRegistry hives = noHives();
    EXPECT_EQ(workFilePath(target, hives), work + ".2");
    // Upper case or lower, Windows names the same file.
    setPendingRenames({L"\\??\\" + toWide(toUpper(work)), L""});
    HiveRegistry again = noHives();
    EXPECT_EQ(workFilePath(target, again), work + ".1");
}

// Creation -------------------------------------------------------------------------------

TEST(CreateWorkFile, GivesTheFileItsFinalLength)
{
    ScratchDir dir;
    for (std::uint64_t size : {std::uint64_t(0), std::uint64_t(1), std::uint64_t(5000), std::uint64_t(1048576 + 3)}) {
        FileMetaVariant meta(ntfsRecord("C:\\x", size));
        const std::string path = dir / ("work" + std::to_string(size));
        sys::UniqueHandle h = createWorkFile(path, meta);
        ASSERT_TRUE(h) << size;
        EXPECT_EQ(lengthOf(h.get()), size);
    }
}

TEST(CreateWorkFile, ReopensAnExistingWorkFileAndSetsItsLengthAnew)
{
    ScratchDir dir;
    const std::string path = dir / "work";
    writeFile(path, "0123456789");
    struct Step {
        std::uint64_t size;
        std::string content;
    };
    // Opened, not recreated: what was there before the new length stays.
    const Step steps[] = {{4, "0123"}, {6, std::string("0123\0\0", 6)}, {0, ""}};
    for (const Step& step : steps) {
        {
            sys::UniqueHandle h = createWorkFile(path, FileMetaVariant(ntfsRecord("C:\\x", step.size)));
            ASSERT_TRUE(h);
        }
        EXPECT_EQ(readFile(path), step.content) << step.size;
    }
}

TEST(CreateWorkFile, KeepsTheFileToItselfUntilClosed)
{
    ScratchDir dir;
    const std::string path = dir / "work";
    sys::UniqueHandle h = createWorkFile(path, FileMetaVariant(ntfsRecord("C:\\x", 3)));
    const DWORD anyShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    sys::UniqueHandle other(
        ::CreateFileW(toWide(path).c_str(), GENERIC_READ, anyShare, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(other);
    EXPECT_EQ(::GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    h.reset();
    other.reset(::CreateFileW(toWide(path).c_str(), GENERIC_READ, anyShare, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_TRUE(other);
}

LONG seekLow;
LONG seekHigh;
DWORD seekMethod;

TEST(CreateWorkFile, LengthBeyond4GiBIsSetThroughTheHighPart)
{
    ScratchDir dir;
    const std::string path = dir / "work";
    // An existing file: opening it leaves ERROR_ALREADY_EXISTS as the thread's last error,
    // which must not be taken for a failed seek to the position 0xFFFFFFFF.
    writeFile(path, "old");
    struct Case {
        std::uint64_t size;
        LONG low, high;
    };
    const Case cases[] = {
        {0x100000005ULL, 5, 1},
        {0x1FFFFFFFFULL, -1, 1},
        {0x7FFFFFFF00000000ULL, 0, 0x7FFFFFFF},
    };
    // The real file stays small: only the request is checked.
    sys::Override seek(
        sys::calls.SetFilePointer, +[](HANDLE, LONG low, PLONG high, DWORD method) -> DWORD {
            seekLow = low;
            seekHigh = high ? *high : -12345;
            seekMethod = method;
            return static_cast<DWORD>(low);
        });
    sys::Override end(
        sys::calls.SetEndOfFile, +[](HANDLE) -> BOOL { return TRUE; });
    for (const Case& c : cases) {
        seekLow = seekHigh = 0;
        seekMethod = 99;
        EXPECT_NO_THROW(createWorkFile(path, FileMetaVariant(ntfsRecord("C:\\x", c.size)))) << c.size;
        EXPECT_EQ(seekLow, c.low) << c.size;
        EXPECT_EQ(seekHigh, c.high) << c.size;
        EXPECT_EQ(seekMethod, DWORD(FILE_BEGIN)) << c.size;
    }
}

TEST(CreateWorkFile, FailuresThrowTheSystemErrorAndCloseTheFile)
{
    ScratchDir dir;
    const std::string path = dir / "work";
    const std::string opening = "Cannot create file \"" + path + "\" for restore of \"" + path + "\" - giving up: ";
    struct Case {
        std::function<std::shared_ptr<void>()> fail;
        const std::type_info* type;
        std::string text;
    };
    const std::type_info* systemError = &typeid(error::ESystemError);
    const Case cases[] = {
        {[] { return refuse(sys::calls.CreateFileW, ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE); }, systemError,
         opening + error::systemErrorText(5)},
        {[] { return refuse(sys::calls.CreateFileW, ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE); },
         &typeid(error::EFileNotFoundError), opening + error::systemErrorText(3)},
        {[] { return refuse(sys::calls.SetFilePointer, ERROR_INVALID_PARAMETER, INVALID_SET_FILE_POINTER); },
         systemError, "Unable to seek to new end of file: " + error::systemErrorText(87)},
        {[] { return refuse(sys::calls.SetEndOfFile, ERROR_DISK_FULL); }, systemError,
         "Unable to set end of file: " + error::systemErrorText(112)},
    };
    for (const Case& c : cases) {
        {
            auto refused = c.fail();
            EXPECT_EQ(thrown([&] { createWorkFile(path, FileMetaVariant(ntfsRecord("C:\\x", 10))); }),
                      std::make_pair(c.type, c.text));
        }
        // Nothing holds the file any more.
        if (exists(path)) {
            EXPECT_TRUE(::DeleteFileW(toWide(path).c_str())) << c.text;
        }
    }
}

int compressionCalls;
DWORD compressionCode;
USHORT compressionFormat;
DWORD compressionInputSize;
bool compressionHasOutput;

TEST(CreateWorkFile, OnlyNtfsCompressedFilesAreCreatedCompressed)
{
    ScratchDir dir;
    sys::Override control(
        sys::calls.DeviceIoControl,
        +[](HANDLE h, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned,
            LPOVERLAPPED overlapped) -> BOOL {
            ++compressionCalls;
            compressionCode = code;
            compressionFormat = inSize == 2 ? *static_cast<USHORT*>(in) : 0;
            compressionInputSize = inSize;
            compressionHasOutput = out != nullptr || outSize != 0;
            return ::DeviceIoControl(h, code, in, inSize, out, outSize, returned, overlapped);
        });
    proto::FileMetaData compressedNtfs = ntfsRecord("C:\\x", 7);
    ntfsPart(compressedNtfs).compressed = true;
    proto::FileMetaData compressedHfs = hfsRecord("/x", 7);
    hfsPart(compressedHfs).compressed = true;
    struct Case {
        const char* name;
        proto::FileMetaData record;
        bool compressed;
    };
    const Case cases[] = {
        {"NTFS compressed", compressedNtfs, true},
        {"NTFS", ntfsRecord("C:\\x", 7), false},
        {"HFS compressed", compressedHfs, false},
        {"UNIX", unixRecord("/x", 7), false},
    };
    for (const Case& c : cases) {
        compressionCalls = 0;
        LogCapture log;
        const std::string path = dir / c.name;
        sys::UniqueHandle h = createWorkFile(path, FileMetaVariant(c.record));
        EXPECT_EQ(compressionCalls, c.compressed ? 1 : 0) << c.name;
        if (c.compressed) {
            EXPECT_EQ(compressionCode, DWORD(FSCTL_SET_COMPRESSION));
            EXPECT_EQ(compressionFormat, USHORT(COMPRESSION_FORMAT_DEFAULT));
            EXPECT_EQ(compressionInputSize, DWORD(2));
            EXPECT_FALSE(compressionHasOutput);
            // Wine refuses compression: the file is made all the same, uncompressed.
            EXPECT_EQ(log.lines, (std::vector<LogLine>{
                                     {2, "File '" + path +
                                             "' was originally a NTFS compressed file, but re-creating the file as "
                                             "compressed failed: '" +
                                             error::systemErrorText(ERROR_NOT_SUPPORTED) +
                                             "'. Will restore as non-compressed file instead."}}));
        } else {
            EXPECT_TRUE(log.lines.empty()) << c.name;
        }
        EXPECT_EQ(lengthOf(h.get()), 7u) << c.name;
    }
}

// Time stamps ----------------------------------------------------------------------------

TEST(SetFileTimes, SetsCreationAccessAndWriteTimeFromEachKindOfMetadata)
{
    ScratchDir dir;
    proto::FileMetaData ntfs = ntfsRecord("C:\\x", 0);
    withTimes(ntfsPart(ntfs));

    proto::FileMetaData unixFile = unixRecord("/x", 0);
    unixPart(unixFile).creationTime = 0;
    unixPart(unixFile).lastAccessTime = 951782400;
    unixPart(unixFile).lastWriteTime = 0x100000000LL + 86400; // only the low 32 bits count

    proto::FileMetaData hfs = hfsRecord("/x", 0);
    hfsPart(hfs).btime->seconds = 1000000000;
    hfsPart(hfs).btime->nanoseconds = 999999999; // microseconds, rounded down
    hfsPart(hfs).mtime->seconds = 86400;
    hfsPart(hfs).mtime->nanoseconds = 1000;
    hfsPart(hfs).atime->seconds = 951782400;

    struct Case {
        const char* name;
        const proto::FileMetaData& record;
        FileTimes expected;
    };
    const Case cases[] = {
        {"NTFS", ntfs, recordTimes()},
        {"UNIX",
         unixFile,
         {fileTimeOf(1970, 1, 1, 0, 0, 0), fileTimeOf(2000, 2, 29, 0, 0, 0), fileTimeOf(1970, 1, 2, 0, 0, 0)}},
        {"HFS",
         hfs,
         {fileTimeOf(2001, 9, 9, 1, 46, 40) + 9999990, fileTimeOf(2000, 2, 29, 0, 0, 0),
          fileTimeOf(1970, 1, 2, 0, 0, 0) + 10}},
    };
    CreationTimeRecorder creation;
    for (const Case& c : cases) {
        const std::string path = dir / c.name;
        writeFile(path, "data");
        {
            sys::UniqueHandle h(
                ::CreateFileW(toWide(path).c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr));
            ASSERT_TRUE(h);
            LogCapture log;
            setFileTimes(h.get(), path, FileMetaVariant(c.record));
            EXPECT_TRUE(log.lines.empty()) << c.name;
        }
        EXPECT_EQ(restoredTimesOf(path), c.expected) << c.name;
    }
}

TEST(SetFileTimes, RefusalIsLoggedAtLevel1)
{
    ScratchDir dir;
    const std::string path = dir / "file";
    writeFile(path, "");
    auto refused = refuse(sys::calls.SetFileTime, ERROR_ACCESS_DENIED);
    sys::UniqueHandle h(
        ::CreateFileW(toWide(path).c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    for (int level : {1, 0}) {
        LogCapture log(level);
        setFileTimes(h.get(), path, FileMetaVariant(ntfsRecord("C:\\x", 0)));
        std::vector<LogLine> expected;
        if (level >= 1)
            expected.push_back(
                {1, "Unable to restore directory times for '" + path + "': " + error::systemErrorText(5)});
        EXPECT_EQ(log.lines, expected) << "log level " << level;
    }
}

TEST(RestoreDirectoryTimes, SetsTheTimesAgainOrLogsWhyNot)
{
    ScratchDir dir;
    proto::FileMetaData r = ntfsRecord("C:\\d", 0, true);
    withTimes(ntfsPart(r));
    const FileMetaVariant meta(r);
    const std::string present = dir / "present";
    ASSERT_TRUE(::CreateDirectoryW(toWide(present).c_str(), nullptr));
    // A file written into it afterwards moves its last-write time on.
    writeFile(present + "\\late", "x");
    const std::string missing = dir / "missing";

    struct Case {
        std::string path;
        std::vector<LogLine> log;
    };
    const Case cases[] = {
        {present, {}},
        {missing,
         {{2, "Cannot open directory '" + missing +
                  "', not setting time stamps: " + error::systemErrorText(ERROR_FILE_NOT_FOUND)},
          {1, "Not setting times on " + missing}}},
    };
    CreationTimeRecorder creation;
    for (const Case& c : cases) {
        LogCapture log;
        restoreDirectoryTimes(c.path, meta);
        EXPECT_EQ(log.lines, c.log) << c.path;
    }
    EXPECT_EQ(restoredTimesOf(present), recordTimes());
}

// Attributes -----------------------------------------------------------------------------

TEST(FileAttributes, SetsExactlyTheGivenAttributesOrLogsTheFailure)
{
    ScratchDir dir;
    const std::string path = dir / "file";
    writeFile(path, "x");
    struct Case {
        DWORD attributes, expected;
    };
    const Case cases[] = {
        {FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_READONLY},
        {FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM},
        {FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_READONLY},
        // 0 is set too: whatever the file had is cleared.
        {0, 0},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(::SetFileAttributesW(toWide(path).c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY));
        LogCapture log;
        setFileAttributes(path, c.attributes);
        EXPECT_TRUE(log.lines.empty());
        EXPECT_EQ(keptAttributes(attributesOf(path)), c.expected) << c.attributes;
    }
    // A failure is logged at level 1.
    const std::string missing = dir / "missing";
    LogCapture log;
    setFileAttributes(missing, FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(log.lines, (std::vector<LogLine>{{1, "Unable to restore file attributes for '" + missing +
                                                       "': " + error::systemErrorText(ERROR_FILE_NOT_FOUND)}}));
}

// Moving into place ----------------------------------------------------------------------

struct MoveCall {
    std::wstring from, to;
    DWORD flags;
    bool operator==(const MoveCall&) const = default;
};
std::vector<MoveCall> moves;
bool immediateMoveFails;
bool bootMoveFails;
bool targetProtected;

TEST(PlaceWorkFile, MovesAtOnceOrAtBootAsTheTargetAllows)
{
    sys::Override move(
        sys::calls.MoveFileExW, +[](LPCWSTR from, LPCWSTR to, DWORD flags) -> BOOL {
            moves.push_back({from, to, flags});
            const bool atBoot = (flags & MOVEFILE_DELAY_UNTIL_REBOOT) != 0;
            if (atBoot ? bootMoveFails : immediateMoveFails) {
                ::SetLastError(atBoot ? ERROR_ACCESS_DENIED : ERROR_SHARING_VIOLATION);
                return FALSE;
            }
            return ::MoveFileExW(from, to, flags);
        });
    sys::Override sfc(
        sys::calls.SfcIsFileProtected, +[](HANDLE, LPCWSTR) -> BOOL { return targetProtected; });

    const DWORD now = MOVEFILE_REPLACE_EXISTING;
    const DWORD atBoot = MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT;
    const std::string attempt = "Will attempt immediate move of {w} to {t}";
    const std::string defer =
        "Immediate move failed (" + error::systemErrorText(ERROR_SHARING_VIOLATION) + ") - deferring move operation";
    const std::string request = "Will request move-on-boot of {w} into {t}";
    const std::string refused = "Unable to request move of fallback file for {w}: " + error::systemErrorText(5);
    struct Case {
        const char* name;
        bool liveHive, isProtected, immediateFails, bootFails;
        std::vector<DWORD> calls;
        bool moved, reboot;
        std::vector<LogLine> log;
    };
    const Case cases[] = {
        {"plain file", false, false, false, false, {now}, true, false, {{2, attempt}}},
        {"protected", false, true, false, false, {atBoot}, false, true, {{2, request}}},
        {"target busy",
         false,
         false,
         true,
         false,
         {now, atBoot},
         false,
         true,
         {{2, attempt}, {2, defer}, {2, request}}},
        {"nothing works",
         false,
         false,
         true,
         true,
         {now, atBoot},
         false,
         true,
         {{2, attempt}, {2, defer}, {2, request}, {0, refused}}},
        {"protected and refused", false, true, false, true, {atBoot}, false, true, {{2, request}, {0, refused}}},
        {"live hive",
         true,
         false,
         false,
         false,
         {},
         false,
         false,
         {{2, "Fallback {w} is a hive. Move  on boot will be scheduled later to final destination {t}"}}},
    };
    for (const Case& c : cases) {
        ScratchDir dir;
        PendingRenamesGuard pending;
        const std::string target = dir / "target.dll";
        const std::string work = c.liveHive ? target + ".restored" : dir / "work";
        writeFile(target, "old");
        writeFile(work, "new");
        HiveRegistry hives = c.liveHive ? HiveRegistry(std::set<std::wstring>{devicePath(target)}) : noHives();
        moves.clear();
        immediateMoveFails = c.immediateFails;
        bootMoveFails = c.bootFails;
        targetProtected = c.isProtected;

        LogCapture log;
        placeWorkFile(work, target, hives);

        std::vector<MoveCall> expectedMoves;
        for (DWORD flags : c.calls)
            expectedMoves.push_back({L"\\\\?\\" + toWide(work), L"\\\\?\\" + toWide(target), flags});
        EXPECT_EQ(moves, expectedMoves) << c.name;
        std::vector<LogLine> expectedLog;
        for (const LogLine& line : c.log)
            expectedLog.push_back({line.level, replaceAll(replaceAll(line.text, "{w}", work), "{t}", target)});
        EXPECT_EQ(log.lines, expectedLog) << c.name;
        EXPECT_EQ(hives.rebootRequired(), c.reboot) << c.name;
        EXPECT_EQ(readFile(target), c.moved ? "new" : "old") << c.name;
        EXPECT_EQ(exists(work), !c.moved) << c.name;
        // A granted move at boot is in Windows' list of moves for the next start.
        const bool scheduled = !c.calls.empty() && c.calls.back() == atBoot && !c.bootFails;
        EXPECT_EQ(PendingRenamesGuard::current().find(toWide(work)) != std::wstring::npos, scheduled) << c.name;
    }
    targetProtected = immediateMoveFails = bootMoveFails = false;
}

} // namespace
