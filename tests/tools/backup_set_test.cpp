#include "backupset/chunk_store.h"
#include "backupset/pack.h"
#include "backupset/sample_tree.h"

#include "config/config_store.h"
#include "crypto/chunk_codec.h"
#include "crypto/data_key.h"
#include "io/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

using namespace backupset;
using testing_fs::TempDir;
namespace fs = std::filesystem;

const std::string kKeyHex = "8f3a61c0d2e4b5976a1b2c3d4e5f60718293a4b5c6d7e8f90a1b2c3d4e5f6071";
constexpr std::uint64_t kMiB = kChunkSize;

// A stretch of bytes that differs at every position and from one seed to another.
std::string patterned(std::size_t size, unsigned seed)
{
    std::string bytes(size, '\0');
    std::uint32_t state = seed * 2654435761u + 1;
    for (char& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<char>(state >> 23);
    }
    return bytes;
}

std::string keyFromConfig(const std::string& setDirectory)
{
    ConfigStore store(setDirectory + "/harbex");
    store.load();
    return store.getString("DataKey");
}

ChunkObject chunkObjectOf(const proto::FileMetaData& record)
{
    ChunkObject object;
    object.name = record.name;
    object.size = record.size;
    if (record.osmeta.as<proto::FileMetaNTFS>()) {
        object.kind = MetaKind::Ntfs;
    } else if (auto* posix = record.osmeta.as<proto::FileMetaUNIX>()) {
        object.kind = MetaKind::Unix;
        object.isLink = posix->hasLinkTarget;
    } else if (auto* hfs = record.osmeta.as<proto::FileMetaHFS>()) {
        object.kind = MetaKind::Hfs;
        object.isLink = hfs->hasLinkTarget;
    } else {
        object.kind = MetaKind::Other;
    }
    return object;
}

// One object of a set as a parent would serve it, and what the worker makes of it.
struct Served {
    const proto::FileMetaData* record = nullptr;
    std::vector<std::string> containers;
    std::string plain;
};

// Every object of the set in job order, its chunks decoded with the key that harbex.cfg
// holds; each decoded chunk is checked against the length its position requires.
std::vector<Served> serveAll(const ChunkStore& store)
{
    const DataKey key(keyFromConfig(store.directory()));
    std::vector<Served> served;
    for (std::size_t i = 0; i < store.objectCount(); ++i) {
        Served object;
        object.record = &store.object(i);
        ChunkObject meta = chunkObjectOf(*object.record);
        ChunkFileReader reader = store.chunks(i);
        std::string container, plain;
        for (std::uint32_t index = 0; reader.next(container); ++index) {
            object.containers.push_back(container);
            decodeChunk(container, meta, plain, index, key);
            if (!meta.isLink && meta.size > 0) {
                EXPECT_EQ(plain.size(), expectedChunkLength(meta.size, index)) << meta.name << " chunk " << index;
            }
            object.plain += plain;
        }
        EXPECT_EQ(object.containers.size(), reader.chunkCount()) << meta.name;
        served.push_back(std::move(object));
    }
    return served;
}

PackOptions optionsFor(MetaStyle meta, FormChoice form, const std::string& storedRoot)
{
    PackOptions options;
    options.meta = meta;
    options.form = form;
    options.storedRoot = storedRoot;
    options.key = keyFromHex(kKeyHex);
    options.jobNumber = 77;
    options.restoreRoot = "E:\\restored";
    return options;
}

void writeFile(const std::string& path, const std::string& bytes)
{
    testing_fs::writeFile(path, bytes);
}

// ---- chunk geometry (portable)

TEST(BackupSetChunks, CountAndBytesFollowTheObjectSize)
{
    const struct {
        const char* name;
        std::uint64_t size;
        std::uint32_t chunks;
    } files[] = {
        {"a-empty", 0, 1},
        {"b-one-byte", 1, 1},
        {"c-one-mib", kMiB, 1},
        {"d-one-mib-plus-one", kMiB + 1, 2},
        {"e-three-mib-and-more", 3 * kMiB + 12345, 4},
    };
    TempDir source, sets;
    for (const auto& f : files)
        writeFile(source / f.name, patterned(f.size, static_cast<unsigned>(f.size)));
    for (FormChoice form : {FormChoice::Encrypted, FormChoice::EncryptedCompressed}) {
        std::string set = sets / (form == FormChoice::Encrypted ? "encn" : "enz");
        pack(source.path(), set, optionsFor(MetaStyle::Ntfs, form, "C:\\data"));
        ChunkStore store = ChunkStore::open(set);
        std::vector<Served> served = serveAll(store);
        ASSERT_EQ(served.size(), std::size(files));
        for (std::size_t i = 0; i < served.size(); ++i) {
            const auto& f = files[i];
            EXPECT_EQ(served[i].record->name, std::string("C:\\data\\") + f.name);
            EXPECT_EQ(served[i].record->size, f.size);
            EXPECT_EQ(served[i].containers.size(), f.chunks) << f.name;
            EXPECT_EQ(chunkCountFor(f.size), f.chunks) << f.name;
            EXPECT_TRUE(served[i].plain == patterned(f.size, static_cast<unsigned>(f.size))) << f.name;
        }
        // The empty object's only chunk is empty, not an encoded empty text.
        EXPECT_EQ(served[0].containers[0], "");
    }
}

TEST(BackupSetChunks, FormsRotateByObjectWhenMixed)
{
    EXPECT_EQ(formForObject(FormChoice::Mixed, 0), ChunkForm::Cleartext);
    EXPECT_EQ(formForObject(FormChoice::Mixed, 1), ChunkForm::Encrypted);
    EXPECT_EQ(formForObject(FormChoice::Mixed, 2), ChunkForm::EncryptedCompressed);
    EXPECT_EQ(formForObject(FormChoice::Mixed, 3), ChunkForm::Cleartext);
    EXPECT_EQ(formForObject(FormChoice::EncryptedCompressed, 0), ChunkForm::EncryptedCompressed);
}

// ---- keys and the configuration file

TEST(BackupSetKey, HexKeysAndTheConfigurationReadBack)
{
    std::string key = keyFromHex(kKeyHex);
    ASSERT_EQ(key.size(), 32u);
    EXPECT_EQ(static_cast<unsigned char>(key[0]), 0x8f);
    EXPECT_EQ(static_cast<unsigned char>(key[31]), 0x71);
    EXPECT_EQ(keyFromHex(std::string(64, 'F')), std::string(32, '\xff'));

    for (const std::string& bad : {std::string(63, '0'), std::string(66, '0'), std::string(62, '0') + "0g"})
        EXPECT_THROW(keyFromHex(bad), ChunkStoreError) << bad;

    TempDir dir;
    for (const std::string& k : {key, randomKey(), std::string(32, '\xff')}) {
        writeFile(dir / "harbex.cfg", configText(k));
        EXPECT_EQ(keyFromConfig(dir.path()), k);
    }
    EXPECT_NE(randomKey(), randomKey());
}

// ---- the chunk files and the job

TEST(BackupSetStore, DamagedFilesAreRefused)
{
    TempDir dir;
    std::string path = dir / "chunks";
    {
        ChunkFileWriter writer(path, 2);
        writer.add("CTCNabc");
        EXPECT_THROW(writer.finish(), ChunkStoreError); // one chunk missing
    }
    {
        ChunkFileWriter writer(path, 1);
        writer.add("CTCNabc");
        EXPECT_THROW(writer.add("CTCNdef"), ChunkStoreError); // one too many
    }
    {
        ChunkFileWriter writer(path, 2);
        writer.add("CTCNabc");
        writer.add("");
        writer.finish();
    }
    std::string whole = testing_fs::readFile(path);
    EXPECT_EQ(whole, std::string("BSCH\x02\0\0\0\x07\0\0\0CTCNabc\0\0\0\0", 23));
    ChunkFileReader reader(path);
    std::string container;
    ASSERT_TRUE(reader.next(container));
    EXPECT_EQ(container, "CTCNabc");
    ASSERT_TRUE(reader.next(container));
    EXPECT_EQ(container, "");
    EXPECT_FALSE(reader.next(container));

    writeFile(path, whole.substr(0, 14));
    ChunkFileReader truncated(path);
    EXPECT_THROW(truncated.next(container), ChunkStoreError);
    writeFile(path, "BSCX" + whole.substr(4));
    EXPECT_THROW(ChunkFileReader{path}, ChunkStoreError);

    EXPECT_THROW(ChunkStore::open(dir / "missing"), ChunkStoreError);
    EXPECT_THROW(decodeJob("\x30\x03\x02\x01"), ChunkStoreError);
    proto::ClientRestoreJob job;
    job.restoreRoot = "C:\\r";
    std::string bytes = encodeJob(job);
    EXPECT_EQ(decodeJob(bytes)->restoreRoot, "C:\\r");
    EXPECT_THROW(decodeJob(bytes + bytes), ChunkStoreError);
}

TEST(BackupSetPack, RefusesWhatItCannotUseAndReplacesAnEarlierSet)
{
    TempDir source, set;
    writeFile(source / "f", "x");
    writeFile(set / "old", "y");
    PackOptions options = optionsFor(MetaStyle::Ntfs, FormChoice::Cleartext, "");
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
    writeFile(source / "g", "z");
    ASSERT_EQ(pack(source.path(), set / "new", options).objects, 2u);
    std::filesystem::remove(testing_fs::toPath(source / "g"));
    EXPECT_EQ(pack(source.path(), set / "new", options).objects, 1u);
    EXPECT_EQ(ChunkStore::open(set / "new").objectCount(), 1u);
    EXPECT_FALSE(testing_fs::exists(chunkFilePath(set / "new", 1)));
}

TEST(BackupSetPack, FullWindowsRestoreRoots)
{
    for (const char* root : {"C:\\", "c:\\restore", "\\\\server\\share", "\\\\server\\share\\dir"})
        EXPECT_TRUE(isFullWindowsPath(root)) << root;
    for (const char* root : {"restore", "C:restore", "C:/restore", "\\restore", "\\\\server", "\\\\server\\",
                             "\\\\\\share", "/home/restore", "1:\\x"})
        EXPECT_FALSE(isFullWindowsPath(root)) << root;
}

#ifndef _WIN32

std::string tagOf(ChunkForm form)
{
    switch (form) {
    case ChunkForm::Cleartext: return "CTCN";
    case ChunkForm::Encrypted: return "ENCN";
    case ChunkForm::EncryptedCompressed: return "ENZ";
    }
    return "?";
}

void setTimes(const std::string& path, timespec accessed, timespec modified)
{
    timespec times[2] = {accessed, modified};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

// A small tree with one of each kind of object, sorted here as the job must list it.
class SmallTree : public ::testing::Test {
protected:
    void SetUp() override
    {
        namespace fsp = std::filesystem;
        fsp::create_directory(source / "a");
        writeFile(source / "a/b.txt", text);
        fsp::create_directory(source / "a/c");
        writeFile(source / "big.bin", big);
        writeFile(source / "empty", "");
        fsp::create_symlink("a/b.txt", source / "link");
        writeFile(source / "ro.txt", "read only");
        fsp::create_directory(source / "sticky");
        writeFile(source / "tool", "#!/bin/sh\n");
        chmod((source / "a/b.txt").c_str(), 0640);
        chmod((source / "ro.txt").c_str(), 0444);
        chmod((source / "tool").c_str(), 04755);
        chmod((source / "sticky").c_str(), 01777);
        setTimes(source / "a/b.txt", timespec{1111111111, 7}, timespec{1234567890, 500});
    }

    TempDir source, sets;
    const std::string text = std::string(5000, 't') + "end";
    const std::string big = patterned(kMiB + 1, 9);
};

struct Expected {
    std::string path;
    bool directory;
    std::string content;
    std::string linkTarget; // non-empty for the link
};

TEST_F(SmallTree, EveryKindAndFormServesTheSourceBytes)
{
    const std::vector<Expected> all = {
        {"a", true, "", ""},
        {"a/b.txt", false, text, ""},
        {"a/c", true, "", ""},
        {"big.bin", false, big, ""},
        {"empty", false, "", ""},
        {"link", false, "", "a/b.txt"},
        {"ro.txt", false, "read only", ""},
        {"sticky", true, "", ""},
        {"tool", false, "#!/bin/sh\n", ""},
    };
    const struct {
        MetaStyle meta;
        const char* root;
    } kinds[] = {{MetaStyle::Ntfs, "D:\\src"},
                 {MetaStyle::NtfsWithSddl, "D:\\src\\"},
                 {MetaStyle::Unix, "/home/user/src"},
                 {MetaStyle::Hfs, "/Users/user/src/"}};
    int run = 0;
    for (const auto& kind : kinds) {
        bool windows = kind.meta == MetaStyle::Ntfs || kind.meta == MetaStyle::NtfsWithSddl;
        for (FormChoice form :
             {FormChoice::Cleartext, FormChoice::Encrypted, FormChoice::EncryptedCompressed, FormChoice::Mixed}) {
            SCOPED_TRACE("run " + std::to_string(run));
            std::string set = sets / std::to_string(run++);
            PackResult result = pack(source.path(), set, optionsFor(kind.meta, form, kind.root));
            ChunkStore store = ChunkStore::open(set);
            EXPECT_EQ(store.job().jobNumber, 77u);
            EXPECT_EQ(store.job().restoreRoot, "E:\\restored");
            ASSERT_TRUE(store.job().hasFiles);

            std::vector<Expected> expected;
            for (const Expected& e : all)
                if (!(windows && !e.linkTarget.empty()))
                    expected.push_back(e);
            EXPECT_EQ(result.skipped.size(), windows ? 1u : 0u);

            std::vector<Served> served = serveAll(store);
            ASSERT_EQ(served.size(), expected.size());
            for (std::size_t i = 0; i < served.size(); ++i) {
                const proto::FileMetaData& record = *served[i].record;
                const Expected& e = expected[i];
                std::string below = e.path;
                if (windows)
                    std::replace(below.begin(), below.end(), '/', '\\');
                std::string root = windows ? "D:\\src\\" : std::string(kind.root);
                if (!windows && root.back() != '/')
                    root += '/';
                EXPECT_EQ(record.name, root + below);
                EXPECT_EQ(record.directory, e.directory) << e.path;
                EXPECT_EQ(record.size, e.content.size()) << e.path;
                EXPECT_TRUE(served[i].plain == e.content) << e.path;

                switch (kind.meta) {
                case MetaStyle::Ntfs:
                case MetaStyle::NtfsWithSddl:
                    ASSERT_NE(record.osmeta.as<proto::FileMetaNTFS>(), nullptr) << e.path;
                    break;
                case MetaStyle::Unix: {
                    auto* meta = record.osmeta.as<proto::FileMetaUNIX>();
                    ASSERT_NE(meta, nullptr) << e.path;
                    EXPECT_EQ(meta->hasLinkTarget, !e.linkTarget.empty()) << e.path;
                    EXPECT_EQ(meta->linkTarget, e.linkTarget) << e.path;
                    break;
                }
                case MetaStyle::Hfs: {
                    auto* meta = record.osmeta.as<proto::FileMetaHFS>();
                    ASSERT_NE(meta, nullptr) << e.path;
                    EXPECT_EQ(meta->hasLinkTarget, !e.linkTarget.empty()) << e.path;
                    EXPECT_EQ(meta->linkTarget, e.linkTarget) << e.path;
                    break;
                }
                }

                // Directories, links and empty files have one empty chunk; files are
                // stored in the form of the run, or of their position when mixed.
                if (e.directory || !e.linkTarget.empty() || e.content.empty()) {
                    EXPECT_EQ(served[i].containers, std::vector<std::string>{""}) << e.path;
                } else {
                    for (const std::string& container : served[i].containers)
                        EXPECT_EQ(container.substr(0, tagOf(formForObject(form, i)).size()),
                                  tagOf(formForObject(form, i)))
                            << e.path;
                }
            }
        }
    }
}

TEST_F(SmallTree, MetadataCarriesOwnersModesAndTimes)
{
    std::string owner = getpwuid(getuid())->pw_name;
    auto recordsOf = [&](MetaStyle meta) {
        std::string set = sets / std::to_string(static_cast<int>(meta));
        // Reading the file in an earlier pack may have moved its access time.
        setTimes(source / "a/b.txt", timespec{1111111111, 7}, timespec{1234567890, 500});
        pack(source.path(), set, optionsFor(meta, FormChoice::Cleartext, ""));
        std::map<std::string, proto::FileMetaData> byName;
        ChunkStore store = ChunkStore::open(set);
        for (std::size_t i = 0; i < store.objectCount(); ++i) {
            std::string name = store.object(i).name;
            byName.emplace(name.substr(name.find_last_of("/\\") + 1), store.object(i));
        }
        return byName;
    };

    for (MetaStyle style : {MetaStyle::Ntfs, MetaStyle::NtfsWithSddl}) {
        auto records = recordsOf(style);
        ASSERT_EQ(records.count("b.txt"), 1u);
        EXPECT_EQ(records["b.txt"].name, "C:\\source\\a\\b.txt");
        auto& b = *records["b.txt"].osmeta.as<proto::FileMetaNTFS>();
        EXPECT_EQ(b.owner, "Administrators");
        EXPECT_EQ(b.lastWriteTime, 1234567890u);
        EXPECT_EQ(b.lastAccessTime, 1111111111u);
        EXPECT_FALSE(b.readOnly);
        EXPECT_TRUE(records["ro.txt"].osmeta.as<proto::FileMetaNTFS>()->readOnly);
        EXPECT_EQ(b.hasSddl, style == MetaStyle::NtfsWithSddl);
        EXPECT_EQ(b.sddl, style == MetaStyle::NtfsWithSddl ? "O:BAG:BAD:PAI(A;;FA;;;BA)(A;;FA;;;SY)" : "");
    }

    auto posix = recordsOf(MetaStyle::Unix);
    std::string absolute = testing_fs::toText(fs::absolute(testing_fs::toPath(source.path())).lexically_normal());
    EXPECT_EQ(posix["b.txt"].name, absolute + "/a/b.txt");
    auto& b = *posix["b.txt"].osmeta.as<proto::FileMetaUNIX>();
    EXPECT_EQ(b.owner, owner);
    EXPECT_EQ(b.lastWriteTime, 1234567890);
    EXPECT_EQ(b.lastAccessTime, 1111111111);
    const struct {
        const char* name;
        std::array<bool, 12> bits; // owner rwx, group rwx, other rwx, setuid, setgid, sticky
    } modes[] = {
        {"b.txt", {1, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"ro.txt", {1, 0, 0, 1, 0, 0, 1, 0, 0, 0, 0, 0}},
        {"tool", {1, 1, 1, 1, 0, 1, 1, 0, 1, 1, 0, 0}},
        {"sticky", {1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 1}},
    };
    auto bitsOf = [](const proto::FileAccessMode& m) {
        return std::array<bool, 12>{m.ownerRead,    m.ownerWrite,   m.ownerExecute, m.groupRead,
                                    m.groupWrite,   m.groupExecute, m.otherRead,    m.otherWrite,
                                    m.otherExecute, m.setUserId,    m.setGroupId,   m.sticky};
    };
    for (const auto& m : modes)
        EXPECT_EQ(bitsOf(*posix[m.name].osmeta.as<proto::FileMetaUNIX>()->mode), m.bits) << m.name;

    auto hfs = recordsOf(MetaStyle::Hfs);
    auto& h = *hfs["b.txt"].osmeta.as<proto::FileMetaHFS>();
    EXPECT_EQ(h.owner, owner);
    EXPECT_EQ(h.mtime->seconds, 1234567890);
    EXPECT_EQ(h.mtime->nanoseconds, 500);
    EXPECT_EQ(h.atime->seconds, 1111111111);
    EXPECT_EQ(h.atime->nanoseconds, 7);
    for (const auto& m : modes)
        EXPECT_EQ(bitsOf(*hfs[m.name].osmeta.as<proto::FileMetaHFS>()->mode), m.bits) << m.name;
}

// ---- the sample tree

std::map<std::string, std::string> snapshot(const std::string& top)
{
    std::map<std::string, std::string> out;
    fs::path base = testing_fs::toPath(top);
    for (const auto& entry : fs::recursive_directory_iterator(base)) {
        std::string key = testing_fs::toText(entry.path().lexically_relative(base));
        struct stat st {};
        lstat(entry.path().c_str(), &st);
        // A link's own time is when it was made, not part of the plan.
        std::string description = std::to_string(st.st_mode) + " ";
        if (entry.is_symlink())
            description += "-> " + testing_fs::toText(fs::read_symlink(entry.path()));
        else
            description += std::to_string(st.st_mtim.tv_sec) + " ";
        if (entry.is_regular_file())
            description += testing_fs::readFile(testing_fs::toText(entry.path()));
        out[key] = description;
    }
    return out;
}

TEST(BackupSetSample, SameSeedSameTreeAndItHoldsWhatARestoreMustHandle)
{
    TempDir first, second, third;
    writeSampleTree(first.path(), 7);
    writeSampleTree(second.path(), 7);
    writeSampleTree(third.path(), 8);
    std::map<std::string, std::string> a = snapshot(first.path());
    EXPECT_TRUE(a == snapshot(second.path()));
    EXPECT_FALSE(a == snapshot(third.path()));
    // Written over another seed's tree (its read-only file and link included): the same tree.
    writeSampleTree(third.path(), 7);
    EXPECT_TRUE(a == snapshot(third.path()));

    std::vector<SampleEntry> tree = sampleTree(7);
    ASSERT_EQ(a.size(), tree.size());
    std::set<std::string> names;
    bool oneMiB = false, endsInsideAChunk = false, emptyFile = false, readOnly = false, link = false;
    bool textLike = false, random = false;
    std::set<std::string> directories, parents;
    for (const SampleEntry& e : tree) {
        names.insert(e.path.substr(e.path.find_last_of('/') + 1));
        fs::path path = testing_fs::toPath(first / e.path);
        if (e.path.find('/') != std::string::npos)
            parents.insert(e.path.substr(0, e.path.find_last_of('/')));
        struct stat st {};
        ASSERT_EQ(lstat(path.c_str(), &st), 0) << e.path;
        switch (e.kind) {
        case SampleEntry::Kind::Directory:
            directories.insert(e.path);
            EXPECT_TRUE(S_ISDIR(st.st_mode)) << e.path;
            EXPECT_EQ(st.st_mtim.tv_sec, e.modified) << e.path;
            break;
        case SampleEntry::Kind::Link: link = S_ISLNK(st.st_mode); break;
        case SampleEntry::Kind::File:
            EXPECT_TRUE(S_ISREG(st.st_mode)) << e.path;
            EXPECT_EQ(st.st_mtim.tv_sec, e.modified) << e.path;
            EXPECT_EQ(static_cast<std::uint64_t>(st.st_size), e.content.size()) << e.path;
            EXPECT_EQ((st.st_mode & 0200) == 0, e.readOnly) << e.path;
            oneMiB |= e.content.size() == kMiB;
            endsInsideAChunk |= e.content.size() == 3 * kMiB + 12345;
            emptyFile |= e.content.empty();
            readOnly |= e.readOnly;
            textLike |=
                e.content.size() > 1000 && e.content.find_first_of(std::string("\0\x80\xff", 3)) == std::string::npos;
            random |= e.content.find('\0') != std::string::npos;
            break;
        }
    }
    EXPECT_TRUE(oneMiB && endsInsideAChunk && emptyFile && readOnly && link && textLike && random);
    bool emptyDirectory = false;
    for (const std::string& d : directories)
        emptyDirectory |= parents.count(d) == 0;
    EXPECT_TRUE(emptyDirectory);

    auto anyName = [&](auto predicate) {
        for (const std::string& n : names)
            if (predicate(n))
                return true;
        return false;
    };
    EXPECT_TRUE(names.count("aux.txt") && names.count("con"));
    for (char forbidden : {':', '?', '*', '|'})
        EXPECT_TRUE(anyName([&](const std::string& n) { return n.find(forbidden) != std::string::npos; })) << forbidden;
    EXPECT_TRUE(anyName([](const std::string& n) { return n.back() == '.'; }));
    EXPECT_TRUE(anyName([](const std::string& n) { return n.back() == ' '; }));
    EXPECT_TRUE(anyName([](const std::string& n) { return n.find("café") != std::string::npos; }));
    EXPECT_TRUE(anyName([](const std::string& n) { return n == "日本"; }));
}

TEST(BackupSetSample, PackedSampleServesItsBytesUnderTheNamesWindowsCanHold)
{
    TempDir tree, set;
    writeSampleTree(tree.path(), 3);
    std::string setPath = set / "set";
    pack(tree.path(), setPath, optionsFor(MetaStyle::NtfsWithSddl, FormChoice::Mixed, ""));
    std::map<std::string, std::string> plainByName;
    ChunkStore store = ChunkStore::open(setPath);
    for (const Served& s : serveAll(store))
        plainByName[s.record->name] = s.plain;
    std::size_t files = 0;
    for (const SampleEntry& e : sampleTree(3)) {
        const std::string leaf = e.path.substr(e.path.find_last_of('/') + 1);
        if (e.kind == SampleEntry::Kind::Link || !windowsCanHold(leaf))
            continue;
        std::string name = "C:\\source\\" + e.path;
        std::replace(name.begin(), name.end(), '/', '\\');
        ASSERT_EQ(plainByName.count(name), 1u) << name;
        EXPECT_TRUE(plainByName[name] == e.content) << name;
        ++files;
    }
    EXPECT_EQ(plainByName.size(), files);
}

TEST(BackupSetPack, NtfsRecordsOnlyForNamesWindowsCanHold)
{
    for (const char* name : {"a:b", "pipe|x", "q?", "star*", "lt<", "gt>", "quote\"", "dot.", "blank ", "tab\t"})
        EXPECT_FALSE(windowsCanHold(name)) << name;
    for (const char* name : {"con", "aux.txt", "caf\xc3\xa9", ".hidden", "a.b", " lead"})
        EXPECT_TRUE(windowsCanHold(name)) << name;

    TempDir tree, set;
    fs::create_directories(testing_fs::toPath(tree / "bad:dir/sub"));
    testing_fs::writeFile(tree / "bad:dir/sub/inner.txt", "x");
    testing_fs::writeFile(tree / "fine.txt", "y");
    const PackResult result = pack(tree.path(), set / "set", optionsFor(MetaStyle::Ntfs, FormChoice::Cleartext, ""));
    EXPECT_EQ(result.objects, 1u);
    EXPECT_EQ(result.skipped.size(), 3u) << "the directory and everything below it";
    EXPECT_EQ(ChunkStore::open(set / "set").object(0).name, "C:\\source\\fine.txt");
}

// ---- the command line

TEST(BackupSetCommand, PacksTheSampleAndRejectsBadArguments)
{
    TempDir dir;
    std::string tool = BACKUP_SET_PATH;
    auto run = [&](const std::string& arguments) {
        int status = std::system((tool + " " + arguments + " >/dev/null 2>&1").c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(run("sample '" + (dir / "tree") + "' --seed 5"), 0);
    EXPECT_EQ(run("pack '" + (dir / "tree") + "' '" + (dir / "set") + "' --form enz --meta hfs --key " + kKeyHex), 0);
    ChunkStore store = ChunkStore::open(dir / "set");
    EXPECT_EQ(store.objectCount(), sampleTree(5).size());
    EXPECT_EQ(keyFromConfig(dir / "set"), keyFromHex(kKeyHex));

    EXPECT_EQ(run(""), 2);
    EXPECT_EQ(run("unpack x y"), 2);
    EXPECT_EQ(run("pack '" + (dir / "tree") + "' '" + (dir / "other") + "' --form zip"), 2);
    EXPECT_EQ(run("pack '" + (dir / "tree") + "' '" + (dir / "other") + "' --key 00"), 2);
    EXPECT_EQ(run("pack '" + (dir / "tree") + "' '" + (dir / "other") + "' --root relative"), 2);
    EXPECT_EQ(run("pack '" + (dir / "none") + "' '" + (dir / "other") + "'"), 2);
    EXPECT_EQ(run("pack '" + dir.path() + "' '" + (dir / "tree") + "'"), 2);    // a tree is no set
    EXPECT_EQ(run("pack '" + (dir / "tree") + "' '" + (dir / "set") + "'"), 0); // an earlier set
    EXPECT_EQ(run("sample '" + (dir / "set") + "/restore.job'"), 2);
    EXPECT_EQ(run("sample"), 2);
}

#endif

} // namespace
