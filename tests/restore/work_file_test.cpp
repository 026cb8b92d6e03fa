#include "restore/work_file.h"

#include "common/error.h"
#include "hives/hive_registry.h"
#include "restore/file_meta.h"
#include "restore/restore_fixture.h"

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

FileMetaVariant sized(std::uint64_t size)
{
    return FileMetaVariant(ntfsRecord("C:\\x", size));
}

// Names and lengths ----------------------------------------------------------------------

TEST(WorkFilePath, LiesBesideItsTargetNamedByTheDigestOfTheTargetOrBesideALiveHive)
{
    PendingRenamesGuard pending;
    HiveRegistry hives = noHives();
    const std::pair<std::string, std::string> cases[] = {
        {"C:\\data\\x.txt", "C:\\data\\HRDelayed.0a1390fac326e1f2061a310ba20ca610"},
        // The digest sees the path as given, in its UTF-8 bytes.
        {"c:\\data\\x.txt", "c:\\data\\HRDelayed.3e72b950fda13a83e86d5423c8746b7a"},
        {"\\\\server\\share\\x.txt", "\\\\server\\share\\HRDelayed.5c4ed2974bd02960ae7aa811a85f8a73"},
        {"C:\\Users\\\xc3\x9cn\xc3\xaf"
         "code\\\xd1\x84.txt",
         "C:\\Users\\\xc3\x9cn\xc3\xaf"
         "code\\HRDelayed.a15f85c8e1cd434f8136b3f2332da575"},
    };
    for (const auto& [target, expected] : cases)
        EXPECT_EQ(workFilePath(target, hives), expected) << target;
    // A live hive is restored beside its target; another file in the same directory is no hive.
    ScratchDir dir;
    HiveRegistry live(std::set<std::wstring>{devicePath(dir / "SOFTWARE")});
    EXPECT_EQ(workFilePath(dir / "SOFTWARE", live), dir / "SOFTWARE.restored");
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

// A leftover of an earlier run is opened, not recreated, and cut or grown to the new length.
TEST(CreateWorkFile, GivesAnExistingWorkFileItsNewLength)
{
    ScratchDir dir;
    const std::string path = dir / "work";
    writeFile(path, "0123456789");
    const std::pair<std::uint64_t, std::string> steps[] = {{4, "0123"}, {6, std::string("0123\0\0", 6)}, {0, ""}};
    for (const auto& [size, content] : steps) {
        ASSERT_TRUE(createWorkFile(path, sized(size)));
        EXPECT_EQ(readFile(path), content) << size;
    }
}

LONG seekLow, seekHigh;

TEST(CreateWorkFile, LengthBeyond4GiBIsSetThroughTheHighPart)
{
    ScratchDir dir;
    // An existing file: opening it leaves ERROR_ALREADY_EXISTS as the thread's last error,
    // which must not be taken for a failed seek to the position 0xFFFFFFFF.
    writeFile(dir / "work", "old");
    // The real file stays small: only the request is checked.
    sys::Override seek(
        sys::calls.SetFilePointer, +[](HANDLE, LONG low, PLONG high, DWORD method) -> DWORD {
            seekLow = low;
            seekHigh = high && method == FILE_BEGIN ? *high : -12345;
            return static_cast<DWORD>(low);
        });
    sys::Override end(
        sys::calls.SetEndOfFile, +[](HANDLE) -> BOOL { return TRUE; });
    const std::tuple<std::uint64_t, LONG, LONG> cases[] = {
        {0x100000005ULL, 5, 1}, {0x1FFFFFFFFULL, -1, 1}, {0x7FFFFFFF00000000ULL, 0, 0x7FFFFFFF}};
    for (const auto& [size, low, high] : cases) {
        EXPECT_NO_THROW(createWorkFile(dir / "work", sized(size))) << size;
        EXPECT_EQ(std::make_pair(seekLow, seekHigh), std::make_pair(low, high)) << size;
    }
}

TEST(CreateWorkFile, FailuresThrowTheSystemErrorAndLeaveNoFileOpen)
{
    ScratchDir dir;
    const std::string path = dir / "work";
    const std::string opening = "Cannot create file \"" + path + "\" for restore of \"" + path + "\" - giving up: ";
    const std::type_info* systemError = &typeid(error::ESystemError);
    const std::tuple<std::function<std::shared_ptr<void>()>, const std::type_info*, std::string> cases[] = {
        {[] { return refuse(sys::calls.CreateFileW, ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE); }, systemError,
         opening + error::systemErrorText(5)},
        {[] { return refuse(sys::calls.CreateFileW, ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE); },
         &typeid(error::EFileNotFoundError), opening + error::systemErrorText(3)},
        {[] { return refuse(sys::calls.SetFilePointer, ERROR_INVALID_PARAMETER, INVALID_SET_FILE_POINTER); },
         systemError, "Unable to seek to new end of file: " + error::systemErrorText(87)},
        {[] { return refuse(sys::calls.SetEndOfFile, ERROR_DISK_FULL); }, systemError,
         "Unable to set end of file: " + error::systemErrorText(112)},
    };
    for (const auto& [fail, type, text] : cases) {
        {
            auto refused = fail();
            EXPECT_EQ(thrown([&] { createWorkFile(path, sized(10)); }), std::make_pair(type, text));
        }
        EXPECT_FALSE(exists(path)) << text;
    }
}

int compressionCalls;

TEST(CreateWorkFile, OnlyNtfsCompressedFilesAreCreatedCompressed)
{
    ScratchDir dir;
    sys::Override control(
        sys::calls.DeviceIoControl,
        +[](HANDLE h, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned,
            LPOVERLAPPED overlapped) -> BOOL {
            ++compressionCalls;
            EXPECT_EQ(code, DWORD(FSCTL_SET_COMPRESSION));
            EXPECT_EQ(inSize == 2 ? *static_cast<USHORT*>(in) : 0, USHORT(COMPRESSION_FORMAT_DEFAULT));
            return ::DeviceIoControl(h, code, in, inSize, out, outSize, returned, overlapped);
        });
    const std::pair<proto::FileMetaData, bool> cases[] = {
        {named(ntfsMeta([](auto& m) { m.compressed = true; }), "C:\\x", 7), true},
        {ntfsRecord("C:\\x", 7), false},
        {named(hfsMeta([](auto& m) { m.compressed = true; }), "/x", 7), false},
    };
    int round = 0;
    for (const auto& [record, compressed] : cases) {
        compressionCalls = 0;
        LogCapture log;
        const std::string path = dir / std::to_string(round++);
        createWorkFile(path, FileMetaVariant(record));
        EXPECT_EQ(compressionCalls, compressed ? 1 : 0);
        // Wine refuses compression: the file is made all the same, uncompressed.
        EXPECT_EQ(log.lines.size(), compressed ? 1u : 0u);
        EXPECT_EQ(readFile(path), std::string(7, '\0'));
    }
}

// Times and attributes -------------------------------------------------------------------

TEST(FileTimes, FileAndDirectoryGetCreationAccessAndWriteTimeOrTheFailureIsLogged)
{
    ScratchDir dir;
    proto::FileMetaData r = ntfsRecord("C:\\x", 0);
    withTimes(ntfsPart(r));
    const FileMetaVariant meta(r);
    TimesRecorder times;
    LogCapture log;

    writeFile(dir / "file", "data");
    sys::UniqueHandle h(
        ::CreateFileW(toWide(dir / "file").c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    setFileTimes(h.get(), dir / "file", meta);
    EXPECT_EQ(TimesRecorder::last, recordTimes());
    ASSERT_TRUE(::CreateDirectoryW(toWide(dir / "d").c_str(), nullptr));
    TimesRecorder::last = {};
    restoreDirectoryTimes(dir / "d", meta);
    EXPECT_EQ(TimesRecorder::last, recordTimes());
    EXPECT_TRUE(log.lines.empty());

    restoreDirectoryTimes(dir / "missing", meta);
    EXPECT_EQ(log.lines.back(), (LogLine{1, "Not setting times on " + dir / "missing"}));
    auto refused = refuse(sys::calls.SetFileTime, ERROR_ACCESS_DENIED);
    restoreDirectoryTimes(dir / "d", meta);
    EXPECT_EQ(log.lines.back(), (LogLine{1, "Unable to restore directory times for '" + dir / "d" +
                                                "': " + error::systemErrorText(ERROR_ACCESS_DENIED)}));
}

TEST(FileAttributes, SetsExactlyTheGivenAttributesOrLogsTheFailure)
{
    ScratchDir dir;
    const std::string path = dir / "file";
    writeFile(path, "x");
    for (DWORD attributes : {DWORD(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM), DWORD(0)}) {
        ASSERT_TRUE(::SetFileAttributesW(toWide(path).c_str(), FILE_ATTRIBUTE_READONLY));
        setFileAttributes(path, attributes);
        EXPECT_EQ(keptAttributes(attributesOf(path)), attributes);
    }
    LogCapture log;
    setFileAttributes(dir / "missing", FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(log.lines, (std::vector<LogLine>{{1, "Unable to restore file attributes for '" + dir / "missing" +
                                                       "': " + error::systemErrorText(ERROR_FILE_NOT_FOUND)}}));
}

// Moving into place ----------------------------------------------------------------------

std::vector<DWORD> moveFlags;
bool immediateMoveFails, bootMoveFails, targetProtected;

TEST(PlaceWorkFile, MovesAtOnceOrAtBootAsTheTargetAllows)
{
    sys::Override move(
        sys::calls.MoveFileExW, +[](LPCWSTR from, LPCWSTR to, DWORD flags) -> BOOL {
            moveFlags.push_back(flags);
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
    const std::string refused = "Unable to request move of fallback file for {w}: " + error::systemErrorText(5);
    struct Case {
        const char* name;
        bool liveHive, isProtected, immediateFails, bootFails;
        std::vector<DWORD> calls;
        bool moved;
        std::string lastLine;
    };
    const Case cases[] = {
        {"plain file", false, false, false, false, {now}, true, "Will attempt immediate move of {w} to {t}"},
        {"protected", false, true, false, false, {atBoot}, false, "Will request move-on-boot of {w} into {t}"},
        {"target busy", false, false, true, false, {now, atBoot}, false, "Will request move-on-boot of {w} into {t}"},
        {"nothing works", false, false, true, true, {now, atBoot}, false, refused},
        {"protected and refused", false, true, false, true, {atBoot}, false, refused},
        {"live hive",
         true,
         false,
         false,
         false,
         {},
         false,
         "Fallback {w} is a hive. Move  on boot will be scheduled later to final destination {t}"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        PendingRenamesGuard pending;
        const std::string target = dir / "target.dll";
        const std::string work = c.liveHive ? target + ".restored" : dir / "work";
        writeFile(target, "old");
        writeFile(work, "new");
        HiveRegistry hives = c.liveHive ? HiveRegistry(std::set<std::wstring>{devicePath(target)}) : noHives();
        moveFlags.clear();
        immediateMoveFails = c.immediateFails;
        bootMoveFails = c.bootFails;
        targetProtected = c.isProtected;

        LogCapture log;
        EXPECT_EQ(placeWorkFile(work, target, hives), !c.moved && !c.liveHive);

        EXPECT_EQ(moveFlags, c.calls);
        EXPECT_EQ(log.lines.back().text, replaceAll(replaceAll(c.lastLine, "{w}", work), "{t}", target));
        EXPECT_EQ(hives.rebootRequired(), !c.moved && !c.liveHive);
        EXPECT_EQ(readFile(target), c.moved ? "new" : "old");
        EXPECT_EQ(exists(work), !c.moved);
        // A granted move at boot is in Windows' list of moves for the next start.
        const bool scheduled = !c.calls.empty() && c.calls.back() == atBoot && !c.bootFails;
        EXPECT_EQ(PendingRenamesGuard::current().find(toWide(work)) != std::wstring::npos, scheduled);
    }
    targetProtected = immediateMoveFails = bootMoveFails = false;
}

} // namespace
