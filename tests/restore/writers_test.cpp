#include "restore/writers.h"

#include "common/error.h"
#include "hives/hive_registry.h"
#include "io/errors.h"
#include "restore/restore_fixture.h"
#include "windows_strict.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <set>

namespace {

using namespace restore_test;

HiveRegistry noHives()
{
    return HiveRegistry(std::set<std::wstring>{});
}

// A scratch root to restore into, no live hives, Windows' refusals with the privileges the
// driver enabled, and the moves at boot kept as they were.
class Writer : public ::testing::Test {
protected:
    // Where an NTFS object named C:\<rest> lands below the root.
    std::string target(const std::string& rest) { return dir_ / ("Drive_C\\" + rest); }
    // The target of C:\<rest> as it exists before the restore, with `bytes`.
    std::string existing(const std::string& rest, const std::string& bytes)
    {
        const std::string path = target(rest);
        std::filesystem::create_directories(toPath(path).parent_path());
        writeFile(path, bytes);
        return path;
    }
    std::unique_ptr<RestoreWriter> open(const proto::FileMetaData& record)
    {
        return createWriter(dir_.path(), record, context_);
    }

    windows_strict::WindowsStrict strict_{true, true};
    ScratchDir dir_;
    PendingRenamesGuard pending_;
    HiveRegistry hives_ = noHives();
    WriterContext context_{hives_};
};

// A file's chunks, in any order, go to its work file beside the target, which is moved into
// place on completion with its times and attributes; a directory is made at once.
TEST_F(Writer, RestoresAFileOrADirectoryWithItsTimesAndAttributes)
{
    for (bool directory : {false, true}) {
        SCOPED_TRACE(directory ? "directory" : "file");
        proto::FileMetaData r = ntfsRecord("C:\\data\\sub\\x", directory ? 0 : 10, directory);
        ntfsPart(r).creationTime = 1000000000;
        ntfsPart(r).lastAccessTime = 1500000000;
        ntfsPart(r).lastWriteTime = 1234567890;
        ntfsPart(r).hidden = true;
        const std::string path = target("data\\sub\\x");
        removeTree(dir_ / "Drive_C");

        std::unique_ptr<RestoreWriter> writer = open(r);
        EXPECT_EQ(writer->restorePath(), directory ? path : delayedWorkFile(path));
        EXPECT_EQ(attributesOf(dir_ / "Drive_C\\data\\sub"), DWORD(FILE_ATTRIBUTE_DIRECTORY));
        if (directory) {
            writer->writeChunk("", 0);
            expectThrows<io::EInputOutput>([&] { writer->writeChunk("x", 0); },
                                           "RestoreFileWriter: file not open cannot write.");
        } else {
            writer->writeChunk("world", 5);
            writer->writeChunk("hello", 0);
        }
        TimesRecorder times;
        writer->complete();
        writer.reset();

        EXPECT_EQ(TimesRecorder::last, recordTimes());
        EXPECT_EQ(keptAttributes(attributesOf(path)),
                  DWORD(FILE_ATTRIBUTE_HIDDEN) | (directory ? FILE_ATTRIBUTE_DIRECTORY : 0));
        if (!directory) {
            EXPECT_EQ(readFile(path), "helloworld");
        }
        EXPECT_FALSE(exists(delayedWorkFile(path)));
        EXPECT_FALSE(hives_.rebootRequired());
    }
    expectThrows<error::EInvariant>([&] { createWriter("", ntfsRecord("lonely.txt", 3), context_); },
                                    "No backslash in full path name");
}

// Windows refuses to replace a read-only target and to reopen a read-only leftover for
// writing: the writer clears the bit just before.
TEST_F(Writer, ReadOnlyTargetAndLeftoverAreReplacedOnWindowsTerms)
{
    const std::string path = existing("app\\locked.ini", "old");
    ::SetFileAttributesW(toWide(path).c_str(), FILE_ATTRIBUTE_READONLY);
    writeFile(delayedWorkFile(path), "a leftover of a killed run");
    ::SetFileAttributesW(toWide(delayedWorkFile(path)).c_str(), FILE_ATTRIBUTE_READONLY);

    std::unique_ptr<RestoreWriter> writer = open(ntfsRecord("C:\\app\\locked.ini", 3));
    writer->writeChunk("new", 0);
    writer->complete();
    EXPECT_EQ(readFile(path), "new");
    EXPECT_FALSE(exists(delayedWorkFile(path)));
    EXPECT_FALSE(hives_.rebootRequired());
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
        const std::string earlier = delayedWorkFile(path) + ".7";
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
            expected += L"\\??\\" + toWide(delayedWorkFile(path)) + L'\0' + L"!\\??\\" + toWide(path) + L'\0';
        EXPECT_EQ(PendingRenamesGuard::current(), expected + L'\0');
        EXPECT_EQ(readFile(path), atBoot ? "old" : "new");
    }
    protectedTarget = false;
}

// Its times, attributes and access list belong to everything on the volume.
TEST_F(Writer, VolumeRootRestoredAsADirectoryKeepsItsMetadata)
{
    proto::FileMetaData root = ntfsRecord("", 0, true);
    ntfsPart(root).sddl = "O:BAD:(A;;FA;;;WD)";
    ntfsPart(root).hasSddl = true;
    ntfsPart(root).readOnly = true;
    sys::Override attributes(
        sys::calls.SetFileAttributesW, +[](LPCWSTR, DWORD) -> BOOL {
            ADD_FAILURE() << "attributes set on the volume root";
            return FALSE;
        });
    sys::Override security(
        sys::calls.SetNamedSecurityInfoW,
        +[](LPWSTR, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID, PSID, PACL, PACL) -> DWORD {
            ADD_FAILURE() << "security set on the volume root";
            return ERROR_ACCESS_DENIED;
        });
    for (const char* given : {"C:\\", "C:"})
        createWriter(given, root, context_)->complete();
}

// Chunks --------------------------------------------------------------------------------

int writeMode; // 0 three bytes at a time, 1 refused, 2 no progress
int writeCalls;

TEST_F(Writer, WritesUntilAllBytesAreWrittenAndReportsFailures)
{
    std::unique_ptr<RestoreWriter> writer = open(ntfsRecord("C:\\f", 10));
    sys::Override write(
        sys::calls.WriteFile,
        +[](HANDLE h, LPCVOID bytes, DWORD count, LPDWORD written, LPOVERLAPPED overlapped) -> BOOL {
            ++writeCalls;
            *written = 0;
            ::SetLastError(ERROR_DISK_FULL);
            return writeMode == 0 ? ::WriteFile(h, bytes, std::min<DWORD>(count, 3), written, overlapped)
                                  : writeMode == 2;
        });
    const std::tuple<int, int, std::string> cases[] = {
        {0, 3, ""},
        {1, 1, "Unable to write chunk in file: " + error::systemErrorText(ERROR_DISK_FULL)},
        {2, 1, "Unable to write chunk in file: " + error::systemErrorText(ERROR_WRITE_FAULT)},
    };
    for (const auto& [mode, calls, text] : cases) {
        writeMode = mode;
        writeCalls = 0;
        EXPECT_EQ(thrown([&] { writer->writeChunk(mode == 0 ? "abcdefgh" : "x", mode == 0 ? 1 : 0); }).second, text);
        EXPECT_EQ(writeCalls, calls) << "nothing is retried";
    }
    writer.reset();
    EXPECT_EQ(readFile(delayedWorkFile(target("f"))), std::string("\0abcdefgh\0", 10));
}

// Completion ---------------------------------------------------------------------------------

// The order of the steps of completion, as the system calls see it: everything is set on the
// work file before it moves, which may be only at the next boot.
std::vector<std::string> steps;

TEST_F(Writer, CompletionSetsSecurityAttributesAndOwnerThenMoves)
{
    sys::Override security(
        sys::calls.SetNamedSecurityInfoW,
        +[](LPWSTR, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID, PSID, PACL, PACL) -> DWORD {
            return steps.push_back("security"), ERROR_SUCCESS;
        });
    sys::Override owner(
        sys::calls.SetFileSecurityW,
        +[](LPCWSTR, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR) -> BOOL { return steps.push_back("owner"), TRUE; });
    sys::Override attributes(
        sys::calls.SetFileAttributesW, +[](LPCWSTR name, DWORD value) -> BOOL {
            return steps.push_back("attributes"), ::SetFileAttributesW(name, value);
        });
    sys::Override move(
        sys::calls.MoveFileExW, +[](LPCWSTR from, LPCWSTR to, DWORD flags) -> BOOL {
            return steps.push_back("move"), ::MoveFileExW(from, to, flags);
        });
    proto::FileMetaData withSddl = ntfsRecord("C:\\s.txt", 2);
    ntfsPart(withSddl).sddl = "O:BAG:BAD:(A;;FA;;;WD)";
    ntfsPart(withSddl).hasSddl = true;
    proto::FileMetaData withoutSddl = ntfsRecord("C:\\o.txt", 2);
    ntfsPart(withoutSddl).owner = "Administrators";
    const std::pair<proto::FileMetaData, std::vector<std::string>> cases[] = {
        {withSddl, {"security", "attributes", "move"}},
        {withoutSddl, {"attributes", "owner", "move"}},
        {named(ntfsMeta([](auto& m) { m.owner = "Administrators"; }), "C:\\dir", 0, true), {"attributes", "owner"}},
    };
    for (const auto& [record, expected] : cases) {
        std::unique_ptr<RestoreWriter> writer = open(record);
        writer->writeChunk(record.directory ? "" : "ok", 0);
        steps.clear();
        writer->complete();
        EXPECT_EQ(steps, expected) << record.name;
    }
}

// Symbolic links are logged and leave nothing on disk; a link decides the writer even when
// the record says directory. Only the empty chunk at 0 is accepted.
TEST_F(Writer, IgnoredLinkIsLoggedAndLeavesNothingOnDisk)
{
    for (bool directory : {false, true}) {
        proto::FileMetaData link = named(unixMeta([](auto& m) {
                                             m.linkTarget = "../target";
                                             m.hasLinkTarget = true;
                                         }),
                                         "/home/u/link", 0, directory);
        LogCapture log(2);
        std::unique_ptr<RestoreWriter> writer = open(link);
        EXPECT_EQ(log.lines, (std::vector<LogLine>{{2, "Restoring symbolic links on Windows is not currently "
                                                       "supported. Link with name '/home/u/link' and target "
                                                       "'../target' ignored."}}));
        writer->writeChunk("", 0);
        for (const auto& [bytes, offset] : {std::pair("", 1), std::pair("x", 0)})
            expectThrows<io::EInputOutput>([&] { writer->writeChunk(bytes, offset); },
                                           "Got a non-empty chunk for a symlink");
        writer->complete();
        EXPECT_FALSE(exists(dir_ / "home"));
    }
}

} // namespace
