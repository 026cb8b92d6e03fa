#include "restore/file_meta.h"

#include "common/error.h"
#include "proto/protocol_factory.h"
#include "protocol/ber_decoder.h"
#include "restore/meta_records.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <typeinfo>

namespace {

using namespace restore_test;

// The exception `action` throws, as its class and full text.
template <class F>
std::pair<std::string, std::string> thrown(F&& action)
{
    try {
        action();
    } catch (const error::Exception& e) {
        return {typeid(e).name(), e.fullText()};
    }
    return {"(nothing)", ""};
}

const std::string kInvalid = "Attempted to construct FileMetaVariant from invalid source metadata";

TEST(FileMetaVariant, QueriesOfEachKind)
{
    struct Case {
        const char* what;
        proto::FileMetaData record;
        MetaKind kind;
        bool directory, link, compressed;
        std::string owner, sddl, target;
    };
    auto named = [](proto::FileMetaData record, const char* name, std::uint64_t size, std::optional<bool> directory) {
        record.name = name;
        record.size = size;
        if (directory)
            record.directory = *directory;
        return record;
    };
    const Case cases[] = {
        {"NTFS file with SDDL, compressed",
         named(ntfsMeta([](auto& m) {
                   m.owner = "BUILTIN\\Administrators";
                   m.compressed = true;
                   m.hasSddl = true;
                   m.sddl = "O:BAD:(A;;FA;;;WD)";
               }),
               "C:\\data\\a.txt", 12345678901ull, false),
         MetaKind::Ntfs, false, false, true, "BUILTIN\\Administrators", "O:BAD:(A;;FA;;;WD)", ""},
        {"NTFS directory without SDDL (ten fields)",
         named(ntfsMeta([](auto& m) {
                   m.owner = "alice";
                   m.sddl = "O:BA"; // not present: never read
               }),
               "C:\\data", 0, true),
         MetaKind::Ntfs, true, false, false, "alice", "", ""},
        {"UNIX plain file, directory flag absent",
         named(unixMeta([](auto& m) { m.owner = "bob"; }), "/home/bob/f", 7, std::nullopt), MetaKind::Unix, false,
         false, false, "bob", "", ""},
        {"UNIX symbolic link",
         named(unixMeta([](auto& m) {
                   m.owner = "root";
                   m.hasLinkTarget = true;
                   m.linkTarget = "../target";
               }),
               "/l", 0, false),
         MetaKind::Unix, false, true, false, "root", "", "../target"},
        {"UNIX link with an empty target is still a link",
         named(unixMeta([](auto& m) { m.hasLinkTarget = true; }), "/e", 0, false), MetaKind::Unix, false, true, false,
         "", "", ""},
        {"HFS directory, compressed flag of its own not used",
         named(hfsMeta([](auto& m) {
                   m.owner = "carol";
                   m.compressed = true;
               }),
               "/Users/carol", 0, true),
         MetaKind::Hfs, true, false, false, "carol", "", ""},
        {"HFS symbolic link",
         named(hfsMeta([](auto& m) {
                   m.owner = "dave";
                   m.hasLinkTarget = true;
                   m.linkTarget = "/Volumes/x";
               }),
               "/Users/dave/x", 3, false),
         MetaKind::Hfs, false, true, false, "dave", "", "/Volumes/x"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FileMetaVariant meta(c.record);
        EXPECT_EQ(meta.storedName(), c.record.name);
        EXPECT_EQ(meta.storedSize(), c.record.size);
        EXPECT_EQ(meta.isDirectory(), c.directory);
        EXPECT_EQ(meta.isSymlink(), c.link);
        EXPECT_EQ(meta.isCompressed(), c.compressed);
        EXPECT_EQ(meta.ownerName(), c.owner);
        EXPECT_EQ(meta.securityDescriptor(), c.sddl);
        EXPECT_EQ(meta.ntfs() != nullptr, c.kind == MetaKind::Ntfs);
        EXPECT_EQ(meta.hfs() != nullptr, c.kind == MetaKind::Hfs);
        EXPECT_EQ(meta.unix() != nullptr, c.kind == MetaKind::Unix);
        if (c.link)
            EXPECT_EQ(meta.linkTarget(), c.target);
        else
            EXPECT_EQ(thrown([&] { meta.linkTarget(); }),
                      std::make_pair(std::string(typeid(error::EInvariant).name()),
                                     std::string("getLinkTarget attempted on metadata object not representing a "
                                                 "symbolic link.")));
        const ChunkObject object = meta.chunkObject();
        EXPECT_EQ(object.name, c.record.name);
        EXPECT_EQ(object.size, c.record.size);
        EXPECT_EQ(object.kind, c.kind);
        EXPECT_EQ(object.isLink, c.link);
    }
}

TEST(FileMetaVariant, RefusesMetadataItCannotDescribe)
{
    struct Case {
        const char* what;
        std::function<proto::FileMetaData()> make;
    };
    const Case cases[] = {
        {"no osmeta part", [] { return proto::FileMetaData(); }},
        {"osmeta of another class",
         [] {
             proto::FileMetaData record;
             record.osmeta.emplace<proto::Timespec>();
             return record;
         }},
        {"UNIX part without its access mode", [] { return unixMeta([](auto& m) { m.mode.reset(); }); }},
        {"HFS part without its access mode", [] { return hfsMeta([](auto& m) { m.mode.reset(); }); }},
        {"HFS part without its creation time", [] { return hfsMeta([](auto& m) { m.btime.reset(); }); }},
        {"HFS part without its change time", [] { return hfsMeta([](auto& m) { m.ctime.reset(); }); }},
        {"HFS nanoseconds below zero", [] { return hfsMeta([](auto& m) { m.atime->nanoseconds = -1; }); }},
        {"HFS nanoseconds of a whole second",
         [] { return hfsMeta([](auto& m) { m.mtime->nanoseconds = 1000000000; }); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const proto::FileMetaData record = c.make();
        EXPECT_EQ(thrown([&] { FileMetaVariant meta(record); }),
                  std::make_pair(std::string(typeid(error::EParseError).name()), kInvalid));
    }
}

TEST(FileMetaVariant, CopiesOwnTheirRecord)
{
    auto original = std::make_unique<FileMetaVariant>(unixMeta([](auto& m) {
        m.owner = "erin";
        m.hasLinkTarget = true;
        m.linkTarget = "there";
    }));
    FileMetaVariant copy(*original);
    const proto::FileMetaUNIX* originalView = original->unix();
    original.reset();
    ASSERT_NE(copy.unix(), nullptr);
    EXPECT_NE(copy.unix(), originalView);
    EXPECT_EQ(copy.unix(), copy.record().osmeta.get());
    EXPECT_EQ(copy.ownerName(), "erin");
    EXPECT_EQ(copy.linkTarget(), "there");
}

TEST(FileMetaVariant, AttributesFromFlagsAndWritePermissions)
{
    struct Case {
        const char* what;
        proto::FileMetaData record;
        std::uint32_t attributes;
    };
    auto unixMode = [](const std::function<void(proto::FileAccessMode&)>& set) {
        return unixMeta([&](auto& m) { set(*m.mode); });
    };
    auto hfsMode = [](const std::function<void(proto::FileAccessMode&)>& set) {
        return hfsMeta([&](auto& m) { set(*m.mode); });
    };
    auto everythingButWrite = [](proto::FileAccessMode& m) {
        m.ownerRead = m.ownerExecute = m.groupRead = m.groupExecute = m.otherRead = m.otherExecute = true;
        m.setUserId = m.setGroupId = m.sticky = true;
    };
    const Case cases[] = {
        {"NTFS nothing set", ntfsMeta(), 0},
        {"NTFS archive", ntfsMeta([](auto& m) { m.archive = true; }), 0x20},
        {"NTFS encrypted", ntfsMeta([](auto& m) { m.encrypted = true; }), 0x4000},
        {"NTFS hidden", ntfsMeta([](auto& m) { m.hidden = true; }), 0x2},
        {"NTFS read-only", ntfsMeta([](auto& m) { m.readOnly = true; }), 0x1},
        {"NTFS system", ntfsMeta([](auto& m) { m.system = true; }), 0x4},
        {"NTFS compressed is no attribute", ntfsMeta([](auto& m) { m.compressed = true; }), 0},
        {"NTFS every flag",
         ntfsMeta([](auto& m) { m.archive = m.compressed = m.encrypted = m.hidden = m.readOnly = m.system = true; }),
         0x4027},
        {"UNIX nobody may write", unixMeta(), 0x1},
        {"UNIX read and execute only", unixMode(everythingButWrite), 0x1},
        {"UNIX owner may write", unixMode([](auto& m) { m.ownerWrite = true; }), 0},
        {"UNIX group may write", unixMode([](auto& m) { m.groupWrite = true; }), 0},
        {"UNIX others may write", unixMode([](auto& m) { m.otherWrite = true; }), 0},
        {"HFS nobody may write", hfsMode(everythingButWrite), 0x1},
        {"HFS owner may write", hfsMode([](auto& m) { m.ownerWrite = true; }), 0},
        {"HFS group may write", hfsMode([](auto& m) { m.groupWrite = true; }), 0},
        {"HFS others may write", hfsMode([](auto& m) { m.otherWrite = true; }), 0},
        {"HFS hidden flag is no attribute", hfsMeta([](auto& m) {
             m.hidden = true;
             m.mode->ownerWrite = true;
         }),
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(FileMetaVariant(c.record).windowsAttributes(), c.attributes);
    }
}

struct Stamps {
    std::int32_t creation, creationUsec, access, accessUsec, write, writeUsec;
    bool operator==(const Stamps&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Stamps& s)
{
    return out << "creation " << s.creation << "." << s.creationUsec << ", access " << s.access << "." << s.accessUsec
               << ", write " << s.write << "." << s.writeUsec;
}

TEST(FileMetaVariant, TimeStampsOfEachKind)
{
    struct Case {
        const char* what;
        proto::FileMetaData record;
        Stamps expected;
    };
    auto timespec = [](proto::Timespec& t, std::int64_t seconds, std::int32_t nanoseconds) {
        t.seconds = seconds;
        t.nanoseconds = nanoseconds;
    };
    const Case cases[] = {
        {"NTFS fields in their roles",
         ntfsMeta([](auto& m) {
             m.creationTime = 1000;
             m.lastWriteTime = 2000;
             m.lastAccessTime = 3000;
         }),
         {1000, 0, 3000, 0, 2000, 0}},
        {"NTFS seconds above the signed range wrap",
         ntfsMeta([](auto& m) {
             m.creationTime = 0xFFFFFFFFu;
             m.lastWriteTime = 0x80000000u;
             m.lastAccessTime = 0x7FFFFFFFu;
         }),
         {-1, 0, 2147483647, 0, -2147483647 - 1, 0}},
        {"UNIX fields in their roles",
         unixMeta([](auto& m) {
             m.creationTime = 1111;
             m.lastWriteTime = 2222;
             m.lastAccessTime = 3333;
         }),
         {1111, 0, 3333, 0, 2222, 0}},
        {"UNIX keeps the low 32 bits",
         unixMeta([](auto& m) {
             m.creationTime = 0x100000005LL;
             m.lastWriteTime = -2;
             m.lastAccessTime = 0x180000000LL;
         }),
         {5, 0, -2147483647 - 1, 0, -2, 0}},
        {"HFS birth, access and modification times; change time unused",
         hfsMeta([&](auto& m) {
             timespec(*m.btime, 10, 1999);
             timespec(*m.atime, 20, 999999999);
             timespec(*m.mtime, 30, 0);
             timespec(*m.ctime, 40, 5000);
         }),
         {10, 1, 20, 999999, 30, 0}},
        {"HFS seconds beyond 32 bits and before 1970",
         hfsMeta([&](auto& m) {
             timespec(*m.btime, 0x100000007LL, 999);
             timespec(*m.atime, -1, 1000);
             timespec(*m.mtime, -86400, 500000000);
         }),
         {7, 0, -1, 1, -86400, 500000}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FileMetaVariant meta(c.record);
        const Stamps actual{meta.creationTime().seconds(),   meta.creationTime().usec(),
                            meta.lastAccessTime().seconds(), meta.lastAccessTime().usec(),
                            meta.lastWriteTime().seconds(),  meta.lastWriteTime().usec()};
        EXPECT_EQ(actual, c.expected);
    }
}

TEST(FileTime, CountsTenthsOfMicrosecondsSince1601)
{
    struct Case {
        std::int32_t seconds, usec;
        std::uint64_t fileTime;
    };
    const Case cases[] = {
        {0, 0, 116444736000000000ull},         // 1970-01-01
        {946684800, 0, 125911584000000000ull}, // 2000-01-01
        {1, 5, 116444736010000050ull},
        {0, 999999, 116444736009999990ull},
        {-1, 0, 116444735990000000ull},              // sign-extended, not 2^32 - 1
        {-2147483647 - 1, 0, 94969899520000000ull},  // 1901-12-13
        {2147483647, 999999, 137919572479999990ull}, // 2038-01-19
    };
    for (const Case& c : cases)
        EXPECT_EQ(toFileTime(UsecTime(c.seconds, c.usec)), c.fileTime) << c.seconds << "." << c.usec;
}

// Records as the job file carries them: whether the security descriptor is there is told
// by the count of fields that arrived.
TEST(FileMetaVariant, SecurityDescriptorOnlyFromRecordsThatCarryIt)
{
    for (bool withSddl : {false, true}) {
        SCOPED_TRACE(withSddl ? "eleven fields" : "ten fields");
        proto::ClientRestoreJob job;
        job.hasFiles = true;
        auto& record = *job.files.emplace_back(new proto::FileMetaData);
        record.name = "C:\\x";
        auto& ntfs = record.osmeta.emplace<proto::FileMetaNTFS>();
        ntfs.owner = "u";
        ntfs.hasSddl = withSddl;
        ntfs.sddl = withSddl ? "O:BAG:BAD:P(A;;FA;;;SY)" : "";

        std::string bytes;
        protocol::StringIo io(bytes);
        job.write(io, false);
        proto::Protocol factory;
        protocol::BerDecoder decoder(factory, false);
        decoder.process(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
        ASSERT_TRUE(decoder.hasMessage());
        std::unique_ptr<protocol::BerConstructed> decoded = decoder.take();
        auto* received = dynamic_cast<proto::ClientRestoreJob*>(decoded.get());
        ASSERT_NE(received, nullptr);
        ASSERT_EQ(received->files.size(), 1u);

        FileMetaVariant meta(*received->files[0]);
        EXPECT_EQ(meta.securityDescriptor(), withSddl ? "O:BAG:BAD:P(A;;FA;;;SY)" : "");
        EXPECT_EQ(meta.ownerName(), "u");
    }
}

} // namespace
