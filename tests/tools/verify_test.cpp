// The check of a restored tree against its source, which the end-to-end tests and the demo
// rely on: a faithful copy under the mapped names matches, and each kind of difference is
// found on its object alone, at the precision of the times the records kept.
#include "backupset/chunk_store.h"
#include "backupset/pack.h"
#include "backupset/verify.h"

#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

using namespace backupset;
using support::ScratchDir;
using support::toPath;
namespace fs = std::filesystem;
using Aspect = Difference::Aspect;
using Found = std::set<std::pair<Aspect, std::string>>;

constexpr std::int64_t kSecond = 1000000000;

void setModified(const std::string& path, std::int64_t ns)
{
#ifdef _WIN32
    // The library sets no directory times on Windows; a handle with backup semantics can.
    HANDLE handle = CreateFileW(toPath(path).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    const std::uint64_t units = static_cast<std::uint64_t>(ns / 100 + 116444736000000000LL);
    FILETIME written{static_cast<DWORD>(units), static_cast<DWORD>(units >> 32)};
    EXPECT_TRUE(SetFileTime(handle, nullptr, nullptr, &written)) << path;
    CloseHandle(handle);
#else
    using namespace std::chrono;
    fs::last_write_time(toPath(path), file_clock::from_sys(sys_time<nanoseconds>(nanoseconds(ns))));
#endif
}

std::int64_t floorTo(std::int64_t ns, std::int64_t precision)
{
    return ns - ns % precision;
}

void makeReadOnly(const std::string& path, bool readOnly)
{
    constexpr fs::perms write = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
    fs::permissions(toPath(path), readOnly ? write : fs::perms::owner_write,
                    readOnly ? fs::perm_options::remove : fs::perm_options::add);
}

// One object of the source tree. (The names a restore from another system maps are the
// worker's own mapping, which verify applies; a fault in it fails the end-to-end runs.)
struct Entry {
    bool directory = false;
    std::string path, content = "";
    bool readOnly = false;
};

const std::vector<Entry> kEntries = {
    {false, "big.bin", std::string(kChunkSize + 17, 'b') + "tail"},
    {true, "docs"},
    {false, "docs/empty.dat"},
    {false, "docs/readme.txt", "read me, then restore me\n"},
    {true, "empty-dir"},
    {false, "ro.txt", "read only", true},
    {false, "stamp.txt", "a time to keep"},
};

struct Kind {
    MetaStyle meta;
    const char* storedRoot;
    const char* restoredPrefix; // where the stored root lands below the restore root
    std::int64_t precision;     // of the modification times the records keep
};

const Kind kNtfs{MetaStyle::Ntfs, "D:\\data\\", "Drive_D/data", kSecond};
const Kind kUnix{MetaStyle::Unix, "/home/a_b/src", "home/a_5fb/src", kSecond};
const Kind kHfs{MetaStyle::Hfs, "/Users/a_b/src/", "Users/a_5fb/src", 1000};

// A packed source tree and a restored copy that the test makes the way the worker would:
// the mapped names, the bytes, the modification times to the precision of the records and
// read-only files without write permission.
class Verify : public ::testing::Test {
protected:
    void build(const Kind& kind)
    {
        kind_ = &kind;
        std::int64_t time = 1500000000 * kSecond + 123456789;
        for (const Entry& e : entries_) {
            time += 86400 * kSecond + 250000000;
            modified_.push_back(time);
            if (e.directory)
                fs::create_directory(toPath(source / e.path));
            else
                support::writeFile(source / e.path, e.content);
            if (e.directory)
                continue;
            fs::create_directories(toPath(restoredPath(e.path)).parent_path());
            support::writeFile(restoredPath(e.path), e.content);
        }
        for (const Entry& e : entries_)
            if (e.directory)
                fs::create_directories(toPath(restoredPath(e.path)));
        // Files first, then directories deepest first, whose times the files changed.
        for (int directories = 0; directories < 2; ++directories)
            for (std::size_t i = entries_.size(); i-- > 0;) {
                const Entry& e = entries_[i];
                if (e.directory != (directories == 1))
                    continue;
                setModified(source / e.path, modified_[i]);
                makeReadOnly(source / e.path, e.readOnly);
                if (fs::exists(toPath(restoredPath(e.path)))) {
                    setModified(restoredPath(e.path), floorTo(modified_[i], kind.precision));
                    makeReadOnly(restoredPath(e.path), e.readOnly);
                }
            }
        PackOptions options;
        options.meta = kind.meta;
        options.form = FormChoice::Mixed;
        options.storedRoot = kind.storedRoot;
        options.key = std::string(32, 'k');
        pack(source.path(), set, options);
    }

    // The copy's path of `sourcePath` below the restored directory.
    std::string restoredPath(const std::string& sourcePath) const
    {
        return restored / (std::string(kind_->restoredPrefix) + "/" + sourcePath);
    }
    // Its modification time in the source, cut to whole seconds.
    std::int64_t second(const std::string& sourcePath) const
    {
        for (std::size_t i = 0; i < entries_.size(); ++i)
            if (entries_[i].path == sourcePath)
                return floorTo(modified_[i], kSecond);
        ADD_FAILURE() << "no entry " << sourcePath;
        return 0;
    }
    VerifyResult check(const VerifyOptions& options = {}) const
    {
        return verify(source.path(), set, restored.path(), options);
    }
    static Found found(const VerifyResult& result)
    {
        Found out;
        for (const Difference& d : result.differences)
            out.insert({d.aspect, d.object});
        return out;
    }

    ScratchDir source, sets, restored;
    const std::string set = sets / "set";
    const Kind* kind_ = nullptr;
    const std::vector<Entry>& entries_ = kEntries;
    std::vector<std::int64_t> modified_;
};

TEST_F(Verify, EachKindOfDifferenceIsReportedOnItsObjectAlone)
{
    build(kUnix);
    EXPECT_TRUE(check().matches());

    fs::remove(toPath(restoredPath("docs/empty.dat")));
    std::string big = support::readFile(restoredPath("big.bin"));
    big[kChunkSize] ^= 1;
    support::writeFile(restoredPath("big.bin"), big);
    support::writeFile(restoredPath("docs/readme.txt"), "read me, then restore me");
    makeReadOnly(restoredPath("ro.txt"), false);
    setModified(restoredPath("stamp.txt"), second("stamp.txt") + kSecond);
    fs::remove(toPath(restoredPath("empty-dir")));
    support::writeFile(restoredPath("empty-dir"), "");
    support::writeFile(restored / "home/a_5fb/src/stray.tmp", "left behind");
    // Changing the files and directories moved these times too.
    for (const char* moved : {"big.bin", "docs/readme.txt", "docs"})
        setModified(restoredPath(moved), second(moved));
    const Found expected = {
        {Aspect::Missing, "docs/empty.dat"},
        {Aspect::Contents, "big.bin"},
        {Aspect::Contents, "docs/readme.txt"},
        {Aspect::ReadOnly, "ro.txt"},
        {Aspect::Modified, "stamp.txt"},
        {Aspect::Kind, "empty-dir"},
        {Aspect::Extra, "home/a_5fb/src/stray.tmp"},
    };
    const VerifyResult result = check();
    EXPECT_EQ(found(result), expected);
    EXPECT_EQ(result.differences.size(), expected.size());
    const std::size_t extra = expected.size() - result.differing;
    EXPECT_EQ(summary(result), "verify: " + std::to_string(result.differing) + " of " +
                                   std::to_string(entries_.size()) + " objects differ, and " + std::to_string(extra) +
                                   (extra == 1 ? " restored entry is" : " restored entries are") +
                                   " not in the backup set");
    const auto described = [&](const std::string& start) {
        return std::count_if(result.differences.begin(), result.differences.end(),
                             [&](const Difference& d) { return describe(d).rfind(start, 0) == 0; });
    };
    for (const char* detail :
         {"big.bin: contents differ from byte 1048576 on (1048597 bytes in the source, 1048597 restored)",
          "docs/readme.txt: contents differ in size (25 bytes in the source, 24 restored)",
          "ro.txt: read-only in the source, writable restored",
          "empty-dir: the source is a directory, restored is a file ("})
        EXPECT_EQ(described(detail), 1) << detail;
}

TEST_F(Verify, TimesCompareAtThePrecisionTheRecordKept)
{
    // NTFS keeps whole seconds: a restored time anywhere in the same second matches, the
    // next second does not; a directory's time is compared like a file's.
    build(kNtfs);
    setModified(restoredPath("stamp.txt"), second("stamp.txt") + 999999999);
    EXPECT_TRUE(check().matches());
    setModified(restoredPath("stamp.txt"), second("stamp.txt") + kSecond);
    setModified(restoredPath("empty-dir"), second("empty-dir") - kSecond);
    EXPECT_EQ(found(check()), (Found{{Aspect::Modified, "stamp.txt"}, {Aspect::Modified, "empty-dir"}}));
}

TEST_F(Verify, HfsTimesCompareToTheMicrosecond)
{
    build(kHfs);
    // stamp.txt, the seventh entry: 1500000000.123456789 s and seven times a day and a quarter second.
    const std::int64_t kept = floorTo(modified_[6], 1000);
    setModified(restoredPath("stamp.txt"), kept + 999);
    EXPECT_TRUE(check().matches());
    setModified(restoredPath("stamp.txt"), kept + 1000);
    const VerifyResult result = check();
    ASSERT_EQ(result.differences.size(), 1u);
    EXPECT_EQ(describe(result.differences[0]),
              "stamp.txt: modified 2017-07-21 02:40:01.873456 UTC in the source, 2017-07-21 02:40:01.873457 UTC "
              "restored");
}

#ifndef _WIN32

// An NTFS record carries the read-only attribute when the owner may not write, whatever the
// others may; the worker's copy of such a file is writable by no one. (Windows has only the
// attribute, so the mixed permissions exist only here.)
TEST_F(Verify, NtfsReadOnlyFollowsTheOwnersWritePermissionAlone)
{
    build(kNtfs);
    fs::permissions(toPath(source / "stamp.txt"), fs::perms::owner_write, fs::perm_options::remove);
    fs::permissions(toPath(source / "stamp.txt"), fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::add);
    makeReadOnly(restoredPath("stamp.txt"), true);
    EXPECT_TRUE(check().matches());
    makeReadOnly(restoredPath("stamp.txt"), false);
    EXPECT_EQ(found(check()), (Found{{Aspect::ReadOnly, "stamp.txt"}}));
}

// The command prints one line per difference and the summary, and says so in its exit code.
TEST_F(Verify, TheCommandPrintsEachDifferenceAndTheSummary)
{
    build(kUnix);
    auto run = [&](const std::string& arguments, std::string& output) {
        FILE* pipe = popen((std::string(BACKUP_SET_PATH) + " " + arguments + " 2>&1").c_str(), "r");
        output.clear();
        char buffer[4096];
        while (std::size_t n = fread(buffer, 1, sizeof buffer, pipe))
            output.append(buffer, n);
        const int status = pclose(pipe);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    const std::string args = "verify '" + source.path() + "' '" + set + "' '" + restored.path() + "'";
    const std::string objects = std::to_string(entries_.size());
    std::string output;
    EXPECT_EQ(run(args, output), 0) << output;
    EXPECT_EQ(output, "verify: " + objects + " objects match\n");
    makeReadOnly(restoredPath("ro.txt"), false);
    EXPECT_EQ(run(args, output), 1) << output;
    EXPECT_EQ(output, "verify: DIFFERS: ro.txt: read-only in the source, writable restored\nverify: 1 of " + objects +
                          " objects differ\n");
    EXPECT_EQ(run("verify '" + source.path() + "' '" + set + "'", output), 2) << output;
    EXPECT_EQ(run(args + " --bogus", output), 2) << output;
    EXPECT_EQ(run("verify '" + source.path() + "' '" + (sets / "nothing") + "' '" + restored.path() + "'", output), 2);
    EXPECT_EQ(output, "backup-set: No backup set directory " + (sets / "nothing") + "\n");
}

#endif

} // namespace
