// The packing tool's own rules: the chunk file format, what pack refuses, the names a Windows
// volume holds, the sample tree and the command line. That a packed set restores to its
// source, in every chunk form and metadata kind, is proven by the end-to-end tests.
#include "backupset/chunk_store.h"
#include "backupset/pack.h"
#include "backupset/sample_tree.h"

#include "config/config_store.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace {

using namespace backupset;
using support::ScratchDir;
namespace fs = std::filesystem;

const std::string kKeyHex = "8f3a61c0d2e4b5976a1b2c3d4e5f60718293a4b5c6d7e8f90a1b2c3d4e5f6071";

TEST(BackupSetStore, ChunkFilesHoldTheirCountAndDamagedOnesAreRefused)
{
    ScratchDir dir;
    const std::string path = dir / "chunks";
    {
        ChunkFileWriter writer(path, 2);
        writer.add("CTCNabc");
        EXPECT_THROW(writer.finish(), ChunkStoreError); // one chunk missing
        writer.add("");
        EXPECT_THROW(writer.add("CTCNdef"), ChunkStoreError); // one too many
        writer.finish();
    }
    const std::string whole = support::readFile(path);
    EXPECT_EQ(whole, std::string("BSCH\x02\0\0\0\x07\0\0\0CTCNabc\0\0\0\0", 23));
    ChunkFileReader reader(path);
    std::string first, second, none;
    EXPECT_TRUE(reader.next(first) && reader.next(second));
    EXPECT_FALSE(reader.next(none));
    EXPECT_EQ(first + "|" + second, "CTCNabc|");

    support::writeFile(path, whole.substr(0, 14));
    ChunkFileReader truncated(path);
    EXPECT_THROW(truncated.next(first), ChunkStoreError);
    support::writeFile(path, "BSCX" + whole.substr(4));
    EXPECT_THROW(ChunkFileReader{path}, ChunkStoreError);
    EXPECT_THROW(ChunkStore::open(dir / "missing"), ChunkStoreError);
}

TEST(BackupSetPack, RefusesWhatItCannotUseAndReplacesAnEarlierSet)
{
    ScratchDir source, set;
    support::writeFile(source / "f", "x");
    support::writeFile(set / "old", "y");
    PackOptions options;
    options.key = keyFromHex(kKeyHex);
    auto refusal = [&](const std::string& from, const std::string& to) -> std::string {
        try {
            pack(from, to, options);
            return "";
        } catch (const ArgumentError& e) {
            return e.what();
        }
    };
    EXPECT_EQ(refusal(source.path(), set.path()),
              "The set directory " + set.path() + " holds other things than a backup set");
    EXPECT_EQ(refusal(source / "nothing", set / "new"), "No source directory " + (source / "nothing"));
    EXPECT_EQ(refusal(source / "f", set / "new"), (source / "f") + " is no directory");
    options.restoreRoot = "restored";
    EXPECT_EQ(refusal(source.path(), set / "new"),
              "The restore root must be a full Windows path such as C:\\restore or "
              "\\\\server\\share\\restore, not restored");
    options.restoreRoot = "";
    EXPECT_EQ(refusal(source.path(), set / "new"), "") << "an empty root restores objects where they came from";
    options.key = "short";
    EXPECT_THROW(pack(source.path(), set / "other", options), ChunkStoreError);

    // Packed again, a set holds the new tree's objects and chunk files only.
    options.key = keyFromHex(kKeyHex);
    support::writeFile(source / "g", "z");
    ASSERT_EQ(pack(source.path(), set / "new", options).objects, 2u);
    fs::remove(support::toPath(source / "g"));
    EXPECT_EQ(pack(source.path(), set / "new", options).objects, 1u);
    EXPECT_EQ(ChunkStore::open(set / "new").objectCount(), 1u);
    EXPECT_FALSE(support::exists(chunkFilePath(set / "new", 1)));
}

TEST(BackupSetPack, TheNamesAWindowsVolumeHolds)
{
    for (const char* name : {"a:b", "pipe|x", "q?", "star*", "lt<", "gt>", "quote\"", "dot.", "blank ", "tab\t"})
        EXPECT_FALSE(windowsCanHold(name)) << name;
    for (const char* name : {"con", "aux.txt", "caf\xc3\xa9", ".hidden", "a.b", " lead"})
        EXPECT_TRUE(windowsCanHold(name)) << name;
}

#ifndef _WIN32

std::string keyFromConfig(const std::string& setDirectory)
{
    ConfigStore store(setDirectory + "/harbex");
    store.load();
    return store.getString("DataKey");
}

// Each entry as mode, time and contents (or link target), by path.
std::map<std::string, std::string> snapshot(const std::string& top)
{
    std::map<std::string, std::string> out;
    const fs::path base = support::toPath(top);
    for (const auto& entry : fs::recursive_directory_iterator(base)) {
        struct stat st {};
        lstat(entry.path().c_str(), &st);
        std::string& description = out[support::toText(entry.path().lexically_relative(base))];
        description = std::to_string(st.st_mode) + " ";
        if (entry.is_symlink()) // a link's own time is when it was made
            description += "-> " + support::toText(fs::read_symlink(entry.path()));
        else
            description += std::to_string(st.st_mtim.tv_sec) + " ";
        if (entry.is_regular_file())
            description += support::readFile(support::toText(entry.path()));
    }
    return out;
}

TEST(BackupSetSample, SameSeedSameTreeAndItHoldsWhatARestoreMustHandle)
{
    ScratchDir first, second;
    writeSampleTree(first.path(), 7);
    writeSampleTree(second.path(), 8);
    const std::map<std::string, std::string> a = snapshot(first.path());
    EXPECT_FALSE(a == snapshot(second.path()));
    // Written over another seed's tree (its read-only file and link included): the same tree.
    writeSampleTree(second.path(), 7);
    EXPECT_TRUE(a == snapshot(second.path()));

    const std::vector<SampleEntry> tree = sampleTree(7);
    ASSERT_EQ(a.size(), tree.size());
    std::set<std::string> kinds, parents, directories;
    for (const SampleEntry& e : tree) {
        const std::string name = e.path.substr(e.path.find_last_of('/') + 1);
        // On disk as described.
        struct stat st {};
        ASSERT_EQ(lstat(support::toPath(first / e.path).c_str(), &st), 0) << e.path;
        const bool link = e.kind == SampleEntry::Kind::Link, file = e.kind == SampleEntry::Kind::File;
        EXPECT_TRUE(link ? S_ISLNK(st.st_mode) : file ? S_ISREG(st.st_mode) : S_ISDIR(st.st_mode)) << e.path;
        if (!link) {
            EXPECT_EQ(st.st_mtim.tv_sec, e.modified) << e.path;
        }
        if (file) {
            EXPECT_EQ(std::to_string(st.st_size) + ((st.st_mode & 0200) ? "" : " read-only"),
                      std::to_string(e.content.size()) + (e.readOnly ? " read-only" : ""))
                << e.path;
        }
        if (e.path.find('/') != std::string::npos)
            parents.insert(e.path.substr(0, e.path.find_last_of('/')));
        if (e.kind == SampleEntry::Kind::Directory)
            directories.insert(e.path);
        const std::size_t size = e.content.size();
        const auto has = [&](const char* part) { return name.find(part) != std::string::npos; };
        const std::pair<const char*, bool> traits[] = {
            {"link", link},
            {"read-only", e.readOnly},
            {"one chunk", size == kChunkSize},
            {"ends inside a chunk", size == 3 * kChunkSize + 12345},
            {"empty file", file && size == 0},
            {"random bytes", e.content.find('\0') != std::string::npos},
            {"aux.txt", name == "aux.txt"},
            {"con", name == "con"},
            {"\xe6\x97\xa5\xe6\x9c\xac", name == "\xe6\x97\xa5\xe6\x9c\xac"},
            {":", has(":")},
            {"?", has("?")},
            {"*", has("*")},
            {"|", has("|")},
            {"caf\xc3\xa9", has("caf\xc3\xa9")},
            {"trailing dot", name.back() == '.'},
            {"trailing blank", name.back() == ' '},
        };
        for (const auto& [trait, present] : traits)
            if (present)
                kinds.insert(trait);
    }
    for (const std::string& d : directories)
        if (parents.count(d) == 0)
            kinds.insert("empty directory");
    EXPECT_EQ(kinds, (std::set<std::string>{"link", "read-only", "one chunk", "ends inside a chunk", "empty file",
                                            "random bytes", "aux.txt", "con", "\xe6\x97\xa5\xe6\x9c\xac", ":", "?", "*",
                                            "|", "caf\xc3\xa9", "trailing dot", "trailing blank", "empty directory"}));
}

TEST(BackupSetCommand, PacksTheSampleAndRejectsBadArguments)
{
    ScratchDir dir;
    auto run = [&](const std::string& arguments) {
        const int status = std::system((std::string(BACKUP_SET_PATH) + " " + arguments + " >/dev/null 2>&1").c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    const std::string tree = "'" + (dir / "tree") + "' ", set = "'" + (dir / "set") + "' ";
    EXPECT_EQ(run("sample " + tree + "--seed 5"), 0);
    EXPECT_EQ(run("pack " + tree + set + "--form enz --meta hfs --key " + kKeyHex), 0);
    EXPECT_EQ(ChunkStore::open(dir / "set").objectCount(), sampleTree(5).size());
    EXPECT_EQ(keyFromConfig(dir / "set"), keyFromHex(kKeyHex));
    EXPECT_EQ(run("pack " + tree + set), 0) << "over an earlier set";

    const std::string other = "'" + (dir / "other") + "' ";
    for (const std::string& bad : std::vector<std::string>{
             "", "unpack x y", "pack " + tree + other + "--form zip", "pack " + tree + other + "--key 00",
             "pack " + tree + other + "--root relative", "pack '" + (dir / "none") + "' " + other,
             "pack '" + dir.path() + "' " + tree, "sample '" + (dir / "set") + "/restore.job'", std::string("sample")})
        EXPECT_EQ(run(bad), 2) << bad;
}

#endif

} // namespace
