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

// Beside its target, named by the digest of the target's path as given, in its UTF-8 bytes;
// beside a live hive under the hive's name; never a name that a move at boot starts from.
TEST(WorkFilePath, LiesBesideItsTargetUnderANameNoMoveAtBootUses)
{
    PendingRenamesGuard pending;
    HiveRegistry hives = noHives();
    const std::pair<std::string, std::string> cases[] = {
        {"C:\\data\\x.txt", "C:\\data\\HRDelayed.0a1390fac326e1f2061a310ba20ca610"},
        {"c:\\data\\x.txt", "c:\\data\\HRDelayed.3e72b950fda13a83e86d5423c8746b7a"},
        {"\\\\server\\share\\x.txt", "\\\\server\\share\\HRDelayed.5c4ed2974bd02960ae7aa811a85f8a73"},
        {"C:\\Users\\\xc3\x9cn\xc3\xaf"
         "code\\\xd1\x84.txt",
         "C:\\Users\\\xc3\x9cn\xc3\xaf"
         "code\\HRDelayed.a15f85c8e1cd434f8136b3f2332da575"},
    };
    for (const auto& [target, expected] : cases)
        EXPECT_EQ(workFilePath(target, hives), expected) << target;

    ScratchDir dir;
    HiveRegistry live(std::set<std::wstring>{devicePath(dir / "SOFTWARE")});
    EXPECT_EQ(workFilePath(dir / "SOFTWARE", live), dir / "SOFTWARE.restored");
    EXPECT_EQ(workFilePath(dir / "SOFTWARE.LOG", live), delayedWorkFile(dir / "SOFTWARE.LOG"));

    // An earlier run's moves, as Windows keeps them: the first work file and its ".1" wait.
    const std::string target = dir / "x.txt", work = delayedWorkFile(target);
    setPendingRenames({L"\\??\\" + toWide(work), L"!\\??\\" + toWide(target), L"\\??\\" + toWide(work + ".1"),
                       L"!\\??\\" + toWide(target)});
    HiveRegistry waiting = noHives();
    EXPECT_EQ(workFilePath(target, waiting), work + ".2");
    // Upper case or lower, Windows names the same file.
    setPendingRenames({L"\\??\\" + toWide(toUpper(work)), L""});
    HiveRegistry again = noHives();
    EXPECT_EQ(workFilePath(target, again), work + ".1");
}

LONG seekLow, seekHigh;

// The length is set at creation: a leftover of an earlier run is cut or grown to it, and a
// length of 4 GiB or more reaches Windows in all 64 bits.
TEST(CreateWorkFile, GivesTheFileItsLengthInAll64Bits)
{
    ScratchDir dir;
    writeFile(dir / "work", "0123456789");
    const std::pair<std::uint64_t, std::string> steps[] = {{4, "0123"}, {6, std::string("0123\0\0", 6)}, {0, ""}};
    for (const auto& [size, content] : steps) {
        ASSERT_TRUE(createWorkFile(dir / "work", sized(size)));
        EXPECT_EQ(readFile(dir / "work"), content) << size;
    }
    // Only the request is checked; the file stays small. Opening the existing file leaves
    // ERROR_ALREADY_EXISTS, which must not be taken for a failed seek to 0xFFFFFFFF.
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

// A file that cannot be made, or cannot hold the object, is the system's error; nothing of
// it stays.
TEST(CreateWorkFile, FailuresThrowTheSystemErrorAndLeaveNoFile)
{
    ScratchDir dir;
    const std::string path = dir / "work";
    const std::string opening = "Cannot create file \"" + path + "\" for restore of \"" + path + "\" - giving up: ";
    const std::tuple<std::function<std::shared_ptr<void>()>, const std::type_info*, std::string> cases[] = {
        {[] { return refuse(sys::calls.CreateFileW, ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE); },
         &typeid(error::ESystemError), opening + error::systemErrorText(ERROR_ACCESS_DENIED)},
        {[] { return refuse(sys::calls.SetEndOfFile, ERROR_DISK_FULL); }, &typeid(error::ESystemError),
         "Unable to set end of file: " + error::systemErrorText(ERROR_DISK_FULL)},
    };
    for (const auto& [fail, type, text] : cases) {
        {
            auto refused = fail();
            EXPECT_EQ(thrown([&] { createWorkFile(path, sized(10)); }), std::make_pair(type, text));
        }
        EXPECT_FALSE(exists(path)) << text;
    }
}

std::vector<DWORD> controlCodes;

// Wine refuses compression: the file is made all the same, uncompressed, and that is logged.
TEST(CreateWorkFile, OnlyNtfsCompressedFilesAreCreatedCompressed)
{
    ScratchDir dir;
    sys::Override control(
        sys::calls.DeviceIoControl,
        +[](HANDLE h, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned,
            LPOVERLAPPED overlapped) -> BOOL {
            controlCodes.push_back(inSize == 2 && *static_cast<USHORT*>(in) == COMPRESSION_FORMAT_DEFAULT ? code : 0);
            return ::DeviceIoControl(h, code, in, inSize, out, outSize, returned, overlapped);
        });
    LogCapture log;
    createWorkFile(dir / "1", FileMetaVariant(named(ntfsMeta([](auto& m) { m.compressed = true; }), "C:\\x", 7)));
    createWorkFile(dir / "2", FileMetaVariant(named(hfsMeta([](auto& m) { m.compressed = true; }), "/x", 7)));
    createWorkFile(dir / "3", sized(7));
    EXPECT_EQ(controlCodes, std::vector<DWORD>{FSCTL_SET_COMPRESSION});
    EXPECT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(readFile(dir / "1"), std::string(7, '\0'));
}

std::vector<DWORD> moveFlags;
bool immediateMoveFails, bootMoveFails, targetProtected;

// At once where the target allows it, else at the next boot (with a reboot asked for, also
// when Windows refuses the request); a live hive is left to the hive step.
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
    struct Case {
        const char* name;
        bool liveHive, isProtected, immediateFails, bootFails;
        std::vector<DWORD> calls;
    };
    const Case cases[] = {
        {"plain file", false, false, false, false, {now}},
        {"protected", false, true, false, false, {atBoot}},
        {"target busy", false, false, true, false, {now, atBoot}},
        {"nothing works", false, false, true, true, {now, atBoot}},
        {"protected and refused", false, true, false, true, {atBoot}},
        {"live hive", true, false, false, false, {}},
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

        const bool moved = c.calls == std::vector<DWORD>{now};
        EXPECT_EQ(placeWorkFile(work, target, hives), !moved && !c.liveHive);
        EXPECT_EQ(moveFlags, c.calls);
        EXPECT_EQ(hives.rebootRequired(), !moved && !c.liveHive);
        EXPECT_EQ(readFile(target), moved ? "new" : "old");
        EXPECT_EQ(exists(work), !moved);
        // A granted move at boot is in Windows' list of moves for the next start; a refused
        // one is said at level 0.
        EXPECT_EQ(PendingRenamesGuard::current().find(toWide(work)) != std::wstring::npos,
                  !c.calls.empty() && c.calls.back() == atBoot && !c.bootFails);
        EXPECT_EQ(log.has(0, "Unable to request move of fallback file for " + work + ": " +
                                 error::systemErrorText(ERROR_ACCESS_DENIED)),
                  c.bootFails);
    }
    targetProtected = immediateMoveFails = bootMoveFails = false;
}

} // namespace
