#include "backupset/chunk_store.h"
#include "backupset/pack.h"
#include "backupset/verify.h"

#include "io/temp_dir.h"

#include <gtest/gtest.h>

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
using testing_fs::TempDir;
namespace fs = std::filesystem;
using Aspect = Difference::Aspect;

constexpr std::int64_t kSecond = 1000000000;

fs::path pathOf(const std::string& utf8)
{
    return testing_fs::toPath(utf8);
}

void setModified(const std::string& path, std::int64_t ns)
{
#ifdef _WIN32
    // The library sets no directory times on Windows; a handle with backup semantics can.
    HANDLE handle = CreateFileW(pathOf(path).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE) << path;
    std::uint64_t units = static_cast<std::uint64_t>(ns / 100 + 116444736000000000LL);
    FILETIME written{static_cast<DWORD>(units), static_cast<DWORD>(units >> 32)};
    BOOL done = SetFileTime(handle, nullptr, nullptr, &written);
    CloseHandle(handle);
    ASSERT_TRUE(done) << path;
#else
    using namespace std::chrono;
    fs::last_write_time(pathOf(path), file_clock::from_sys(sys_time<nanoseconds>(nanoseconds(ns))));
#endif
}

std::int64_t floorTo(std::int64_t ns, std::int64_t precision)
{
    return ns - ns % precision;
}

void makeReadOnly(const std::string& path, bool readOnly)
{
    constexpr fs::perms write = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
    fs::permissions(pathOf(path), readOnly ? write : fs::perms::owner_write,
                    readOnly ? fs::perm_options::remove : fs::perm_options::add);
}

// One object of the source tree, and the name it is restored under for each kind of
// metadata (empty: the same path).
struct Entry {
    enum class Kind { Directory, File, Link } kind;
    std::string path;
    std::string content;
    std::string foreignName; // under UNIX and HFS metadata
    bool readOnly = false;
};

std::vector<Entry> sourceEntries()
{
    using K = Entry::Kind;
    std::vector<Entry> entries = {
        {K::File, "big.bin", std::string(kChunkSize + 17, 'b') + "tail", "", false},
        {K::Directory, "docs", "", "", false},
        {K::File, "docs/empty.dat", "", "", false},
        {K::File, "docs/readme.txt", "read me, then restore me\n", "", false},
        {K::Directory, "empty-dir", "", "", false},
        {K::File, "ro.txt", "read only", "", true},
        {K::File, "stamp.txt", "a time to keep", "", false},
    };
#ifndef _WIN32
    // Names that a restore from another system has to map; Linux holds them as they are.
    std::vector<Entry> foreign = {
        {K::Link, "link", "docs/readme.txt", "", false},
        {K::Directory, "odd", "", "", false},
        {K::File, "odd/a:b.txt", "colon", "odd/a_3ab.txt", false},
        {K::File, "odd/aux.txt", "device", "odd/aux_.txt", false},
        {K::File, "odd/dot.", "dot", "odd/dot_", false},
        {K::File, "odd/x_y", "underscore", "odd/x_5fy", false},
    };
    entries.insert(entries.end(), foreign.begin(), foreign.end());
#endif
    return entries;
}

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
// the mapped names, the bytes, the modification times to the precision of the records,
// read-only files without write permission, and no links.
class VerifyFixture : public ::testing::Test {
protected:
    void build(const Kind& kind)
    {
        kind_ = &kind;
        entries_ = sourceEntries();
        std::int64_t time = 1500000000 * kSecond + 123456789;
        for (const Entry& e : entries_) {
            std::string path = source / e.path;
            time += 86400 * kSecond + 250000000;
            modified_.push_back(time);
            switch (e.kind) {
            case Entry::Kind::Directory: fs::create_directory(pathOf(path)); break;
            case Entry::Kind::File: testing_fs::writeFile(path, e.content); break;
            case Entry::Kind::Link: fs::create_symlink(pathOf(e.content), pathOf(path)); break;
            }
        }
        stampTree(
            source.path(), [&](const Entry& e) { return e.path; }, [](std::int64_t t) { return t; });
        set = sets / "set";
        PackOptions options;
        options.meta = kind.meta;
        options.form = FormChoice::Mixed;
        options.storedRoot = kind.storedRoot;
        options.restoreRoot = "C:\\restore";
        options.key = std::string(32, 'k');
        pack(source.path(), set, options);

        for (const Entry& e : entries_) {
            if (e.kind == Entry::Kind::Link || !inSet(e))
                continue;
            std::string path = restored / restoredName(e);
            if (e.kind == Entry::Kind::Directory)
                fs::create_directories(pathOf(path));
            else {
                fs::create_directories(pathOf(path).parent_path());
                testing_fs::writeFile(path, e.content);
            }
        }
        stampTree(
            restored.path(), [&](const Entry& e) { return restoredName(e); },
            [&](std::int64_t t) { return floorTo(t, kind.precision); }, true);
    }

    // Whether the set has a record of `e`: NTFS records are made for neither links nor names
    // that Windows cannot hold.
    bool inSet(const Entry& e) const
    {
        if (kind_->meta != MetaStyle::Ntfs)
            return true;
        if (e.kind == Entry::Kind::Link)
            return false;
        for (const fs::path& component : pathOf(e.path))
            if (!windowsCanHold(testing_fs::toText(component)))
                return false;
        return true;
    }

    // The copy's path of `e` below the restored directory.
    std::string restoredName(const Entry& e) const
    {
        bool foreign = kind_->meta == MetaStyle::Unix || kind_->meta == MetaStyle::Hfs;
        return std::string(kind_->restoredPrefix) + "/" + (foreign && !e.foreignName.empty() ? e.foreignName : e.path);
    }

    std::string restoredPath(const std::string& sourcePath) const
    {
        for (const Entry& e : entries_)
            if (e.path == sourcePath)
                return restored / restoredName(e);
        ADD_FAILURE() << "no entry " << sourcePath;
        return "";
    }

    std::int64_t modifiedOf(const std::string& sourcePath) const
    {
        for (std::size_t i = 0; i < entries_.size(); ++i)
            if (entries_[i].path == sourcePath)
                return modified_[i];
        ADD_FAILURE() << "no entry " << sourcePath;
        return 0;
    }

    // Files first, then directories deepest first, whose times the files changed.
    template <typename NameOf, typename TimeOf>
    void stampTree(const std::string& top, NameOf nameOf, TimeOf timeOf, bool onlyInSet = false)
    {
        for (std::size_t i = 0; i < entries_.size(); ++i)
            if (entries_[i].kind == Entry::Kind::File && (!onlyInSet || inSet(entries_[i]))) {
                setModified(top + "/" + nameOf(entries_[i]), timeOf(modified_[i]));
                if (entries_[i].readOnly)
                    makeReadOnly(top + "/" + nameOf(entries_[i]), true);
            }
        for (std::size_t i = entries_.size(); i-- > 0;)
            if (entries_[i].kind == Entry::Kind::Directory && (!onlyInSet || inSet(entries_[i])))
                setModified(top + "/" + nameOf(entries_[i]), timeOf(modified_[i]));
    }

    std::set<std::pair<Aspect, std::string>> found(const VerifyResult& result) const
    {
        std::set<std::pair<Aspect, std::string>> out;
        for (const Difference& d : result.differences)
            out.insert({d.aspect, d.object});
        return out;
    }

    TempDir source, sets, restored;
    std::string set;
    const Kind* kind_ = nullptr;
    std::vector<Entry> entries_;
    std::vector<std::int64_t> modified_;
};

class VerifyMatch : public VerifyFixture, public ::testing::WithParamInterface<const Kind*> {};

TEST_P(VerifyMatch, ACopyUnderTheMappedNamesMatches)
{
    build(*GetParam());
    VerifyResult result = verify(source.path(), set, restored.path());
    for (const Difference& d : result.differences)
        ADD_FAILURE() << describe(d);
    EXPECT_TRUE(result.matches());
    EXPECT_EQ(result.differing, 0u);

    // A link or a name Windows cannot hold has no NTFS record; under UNIX and HFS a link has
    // one, and the restore leaves it out.
    std::size_t records = 0;
    std::set<std::string> expectedNotes;
    for (const Entry& e : entries_) {
        records += inSet(e);
        if (!inSet(e))
            expectedNotes.insert(e.path + ": in the source but not in the backup set");
        else if (e.kind == Entry::Kind::Link)
            expectedNotes.insert(e.path + ": a symbolic link, left out by the restore as Windows restores do");
    }
    EXPECT_EQ(result.objects, records);
    EXPECT_EQ(summary(result), "verify: " + std::to_string(result.objects) + " objects match");
    EXPECT_EQ(std::set<std::string>(result.notes.begin(), result.notes.end()), expectedNotes);
}

INSTANTIATE_TEST_SUITE_P(EveryMetadataKind, VerifyMatch, ::testing::Values(&kNtfs, &kUnix, &kHfs),
                         [](const auto& info) {
                             return info.param == &kNtfs ? "Ntfs" : info.param == &kUnix ? "Unix" : "Hfs";
                         });

class VerifyDifferences : public VerifyFixture {};

TEST_F(VerifyDifferences, EachKindOfDifferenceIsReportedOnItsObjectAlone)
{
    build(kUnix);
    fs::remove(pathOf(restoredPath("docs/empty.dat")));
    {
        std::string big = testing_fs::readFile(restoredPath("big.bin"));
        big[kChunkSize] ^= 1;
        testing_fs::writeFile(restoredPath("big.bin"), big);
        setModified(restoredPath("big.bin"), floorTo(modifiedOf("big.bin"), kSecond));
    }
    testing_fs::writeFile(restoredPath("docs/readme.txt"), "read me, then restore me");
    setModified(restoredPath("docs/readme.txt"), floorTo(modifiedOf("docs/readme.txt"), kSecond));
    makeReadOnly(restoredPath("ro.txt"), false);
    setModified(restoredPath("stamp.txt"), floorTo(modifiedOf("stamp.txt"), kSecond) + kSecond);
    fs::remove(pathOf(restoredPath("empty-dir")));
    testing_fs::writeFile(restoredPath("empty-dir"), "");
    testing_fs::writeFile(restored / "home/a_5fb/src/stray.tmp", "left behind");
    // Changing the directory's contents moved its time too.
    setModified(restoredPath("docs"), floorTo(modifiedOf("docs"), kSecond));
    setModified(restored / "home/a_5fb/src", 0);

    std::set<std::pair<Aspect, std::string>> expected = {
        {Aspect::Missing, "docs/empty.dat"},
        {Aspect::Contents, "big.bin"},
        {Aspect::Contents, "docs/readme.txt"},
        {Aspect::ReadOnly, "ro.txt"},
        {Aspect::Modified, "stamp.txt"},
        {Aspect::Kind, "empty-dir"},
        {Aspect::Extra, "home/a_5fb/src/stray.tmp"},
    };
#ifndef _WIN32
    // Something where a link was: Windows restores leave links out.
    testing_fs::writeFile(restored / "home/a_5fb/src/link", "");
    expected.insert({Aspect::Kind, "link"});
    // A source name that was not mapped.
    fs::rename(pathOf(restoredPath("odd/a:b.txt")), pathOf(restored / "home/a_5fb/src/odd/a:b.txt"));
    setModified(restoredPath("odd"), floorTo(modifiedOf("odd"), kSecond));
    expected.insert({Aspect::Missing, "odd/a:b.txt"});
    expected.insert({Aspect::Extra, "home/a_5fb/src/odd/a:b.txt"});
#endif

    VerifyResult result = verify(source.path(), set, restored.path());
    EXPECT_EQ(found(result), expected);
    EXPECT_EQ(result.differences.size(), expected.size());
    std::size_t extra = 0;
    for (const auto& e : expected)
        extra += e.first == Aspect::Extra;
    EXPECT_EQ(result.differing, expected.size() - extra);
    EXPECT_EQ(summary(result), "verify: " + std::to_string(expected.size() - extra) + " of " +
                                   std::to_string(result.objects) + " objects differ, and " + std::to_string(extra) +
                                   (extra == 1 ? " restored entry is" : " restored entries are") +
                                   " not in the backup set");

    auto detailOf = [&](Aspect aspect, const std::string& object) {
        for (const Difference& d : result.differences)
            if (d.aspect == aspect && d.object == object)
                return describe(d);
        return std::string();
    };
    EXPECT_EQ(detailOf(Aspect::Contents, "big.bin"),
              "big.bin: contents differ from byte 1048576 on (1048597 bytes in the source, 1048597 restored)");
    EXPECT_EQ(detailOf(Aspect::Contents, "docs/readme.txt"),
              "docs/readme.txt: contents differ in size (25 bytes in the source, 24 restored)");
    EXPECT_EQ(detailOf(Aspect::ReadOnly, "ro.txt"), "ro.txt: read-only in the source, writable restored");
    std::string kind = detailOf(Aspect::Kind, "empty-dir");
    EXPECT_EQ(kind.rfind("empty-dir: the source is a directory, restored is a file (", 0), 0u) << kind;
    std::string stamp = detailOf(Aspect::Modified, "stamp.txt");
    EXPECT_NE(stamp.find(" in the source, "), std::string::npos) << stamp;
}

TEST_F(VerifyDifferences, TimesCompareAtThePrecisionTheRecordKept)
{
    // NTFS keeps whole seconds: a restored time anywhere in the same second matches, the
    // next second does not; a directory's time is compared like a file's.
    build(kNtfs);
    setModified(restoredPath("stamp.txt"), floorTo(modifiedOf("stamp.txt"), kSecond) + 999999999);
    EXPECT_TRUE(verify(source.path(), set, restored.path()).matches());
    setModified(restoredPath("stamp.txt"), floorTo(modifiedOf("stamp.txt"), kSecond) + kSecond);
    setModified(restoredPath("empty-dir"), floorTo(modifiedOf("empty-dir"), kSecond) - kSecond);
    std::set<std::pair<Aspect, std::string>> expected = {{Aspect::Modified, "stamp.txt"},
                                                         {Aspect::Modified, "empty-dir"}};
    EXPECT_EQ(found(verify(source.path(), set, restored.path())), expected);
}

TEST_F(VerifyDifferences, HfsTimesCompareToTheMicrosecond)
{
    build(kHfs);
    std::int64_t kept = floorTo(modifiedOf("stamp.txt"), 1000);
    setModified(restoredPath("stamp.txt"), kept + 999);
    EXPECT_TRUE(verify(source.path(), set, restored.path()).matches());
    setModified(restoredPath("stamp.txt"), kept + 1000);
    VerifyResult result = verify(source.path(), set, restored.path());
    ASSERT_EQ(result.differences.size(), 1u);
    // The seventh entry: 1500000000.123456789 s (2017-07-14 02:40:00 UTC) and seven times a day
    // and a quarter second.
    EXPECT_EQ(describe(result.differences[0]),
              "stamp.txt: modified 2017-07-21 02:40:01.873456 UTC in the source, 2017-07-21 02:40:01.873457 UTC "
              "restored");
}

#ifndef _WIN32
// Windows has one read-only attribute where Linux has three write permissions.
TEST_F(VerifyDifferences, ReadOnlyFollowsTheRulesOfEachMetadataKind)
{
    // NTFS: the owner's write permission; UNIX: anyone's. A source file that only its
    // group may write is read-only for NTFS and writable for UNIX.
    for (const Kind* kind : {&kNtfs, &kUnix}) {
        SCOPED_TRACE(kind->storedRoot);
        TempDir src, out, sets2;
        testing_fs::writeFile(src / "f", "x");
        fs::permissions(pathOf(src / "f"), fs::perms::owner_read | fs::perms::group_write, fs::perm_options::replace);
        PackOptions options;
        options.meta = kind->meta;
        options.storedRoot = kind->storedRoot;
        options.key = std::string(32, 'k');
        pack(src.path(), sets2 / "set", options);
        std::string copy = out / (std::string(kind->restoredPrefix) + "/f");
        fs::create_directories(pathOf(copy).parent_path());
        testing_fs::writeFile(copy, "x");
        setModified(
            copy,
            floorTo(std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::file_clock::to_sys(fs::last_write_time(pathOf(src / "f"))).time_since_epoch())
                        .count(),
                    kSecond));
        bool readOnly = kind->meta == MetaStyle::Ntfs;
        makeReadOnly(copy, readOnly);
        EXPECT_TRUE(verify(src.path(), sets2 / "set", out.path()).matches());
        makeReadOnly(copy, !readOnly);
        VerifyResult result = verify(src.path(), sets2 / "set", out.path());
        ASSERT_EQ(result.differences.size(), 1u);
        EXPECT_EQ(result.differences[0].aspect, Aspect::ReadOnly);
        EXPECT_EQ(describe(result.differences[0]), readOnly ? "f: read-only in the source, writable restored"
                                                            : "f: writable in the source, read-only restored");
        fs::permissions(pathOf(src / "f"), fs::perms::owner_all, fs::perm_options::replace);
    }
}

#endif

TEST_F(VerifyDifferences, ASourceChangedSincePackingIsReportedAsSuch)
{
    build(kUnix);
    fs::remove(pathOf(source / "stamp.txt"));
    fs::remove(pathOf(source / "empty-dir"));
    testing_fs::writeFile(source / "empty-dir", "");
    std::set<std::pair<Aspect, std::string>> expected = {{Aspect::Source, "stamp.txt"}, {Aspect::Source, "empty-dir"}};
    EXPECT_EQ(found(verify(source.path(), set, restored.path())), expected);
}

TEST_F(VerifyDifferences, TheStoredRootIsFoundOrGivenAndTheSetMustBeReadable)
{
    build(kNtfs);
    // Given as pack was given it, with or without its trailing separator.
    EXPECT_TRUE(verify(source.path(), set, restored.path(), VerifyOptions{"D:\\data"}).matches());
    EXPECT_TRUE(verify(source.path(), set, restored.path(), VerifyOptions{"D:\\data\\"}).matches());
    // A root that is not the one packed places no record below it.
    EXPECT_THROW(verify(source.path(), set, restored.path(), VerifyOptions{"D:\\other"}), ChunkStoreError);
    EXPECT_THROW(verify(source.path(), sets / "nothing", restored.path()), ChunkStoreError);
    EXPECT_THROW(verify(source.path(), set, restored / "nothing"), ChunkStoreError);

    // Records of two roots, and a job that restores to where its objects came from.
    ChunkStore store = ChunkStore::open(set);
    proto::ClientRestoreJob job;
    job.restoreRoot = "C:\\restore";
    job.hasFiles = true;
    for (const char* name : {"D:\\data\\a", "E:\\other\\b"}) {
        auto& record = *job.files.emplace_back(new proto::FileMetaData);
        record.name = name;
        record.directory = true;
        record.osmeta.emplace<proto::FileMetaNTFS>();
    }
    TempDir odd;
    testing_fs::writeFile(odd / kJobFile, encodeJob(job));
    EXPECT_THROW(verify(source.path(), odd.path(), restored.path()), ChunkStoreError);
    job.restoreRoot = "";
    testing_fs::writeFile(odd / kJobFile, encodeJob(job));
    EXPECT_THROW(verify(source.path(), odd.path(), restored.path(), VerifyOptions{"D:\\data"}), ChunkStoreError);
}

#ifndef _WIN32

// The command prints one line per difference and the summary, and says so in its exit code.
TEST_F(VerifyDifferences, TheCommandPrintsEachDifferenceAndTheSummary)
{
    build(kUnix);
    auto run = [&](const std::string& arguments, std::string& output) {
        std::string command = std::string(BACKUP_SET_PATH) + " " + arguments + " 2>&1";
        FILE* pipe = popen(command.c_str(), "r");
        output.clear();
        char buffer[4096];
        while (std::size_t n = fread(buffer, 1, sizeof buffer, pipe))
            output.append(buffer, n);
        int status = pclose(pipe);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    std::string args = "verify '" + source.path() + "' '" + set + "' '" + restored.path() + "'";
    std::string output;
    EXPECT_EQ(run(args, output), 0) << output;
    std::string objects = std::to_string(ChunkStore::open(set).objectCount());
    EXPECT_EQ(output, "verify: note: link: a symbolic link, left out by the restore as Windows restores do\n"
                      "verify: " +
                          objects + " objects match\n");

    makeReadOnly(restoredPath("ro.txt"), false);
    EXPECT_EQ(run(args, output), 1) << output;
    EXPECT_NE(output.find("verify: DIFFERS: ro.txt: read-only in the source, writable restored\n"), std::string::npos)
        << output;
    EXPECT_NE(output.find("verify: 1 of " + objects + " objects differ\n"), std::string::npos) << output;

    EXPECT_EQ(run("verify '" + source.path() + "' '" + set + "'", output), 2) << output;
    EXPECT_EQ(run(args + " --bogus", output), 2) << output;
    EXPECT_EQ(run("verify '" + source.path() + "' '" + (sets / "nothing") + "' '" + restored.path() + "'", output), 2);
    EXPECT_EQ(output, "backup-set: No backup set directory " + (sets / "nothing") + "\n");
    EXPECT_EQ(output.find("objects match"), std::string::npos) << output;
}

#endif

} // namespace
