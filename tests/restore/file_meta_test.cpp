#include "restore/file_meta.h"

#include "common/error.h"
#include "restore/meta_records.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

namespace {

using namespace restore_test;
using support::expectThrows;

// Only NTFS has a compressed flag and SDDL (when it arrived); only HFS and UNIX have links.
TEST(FileMetaVariant, QueriesOfEachKind)
{
    struct Case {
        proto::FileMetaData record;
        MetaKind kind;
        bool directory, link, compressed;
        std::string owner, sddl;
    };
    const Case cases[] = {
        {named(ntfsMeta([](auto& m) {
                   m.owner = "BUILTIN\\Administrators";
                   m.compressed = m.hasSddl = true;
                   m.sddl = "O:BAD:(A;;FA;;;WD)";
               }),
               "C:\\a.txt", 1),
         MetaKind::Ntfs, false, false, true, "BUILTIN\\Administrators", "O:BAD:(A;;FA;;;WD)"},
        {named(ntfsMeta([](auto& m) { m.sddl = "O:BA"; }), "C:\\d", 0, true), MetaKind::Ntfs, true, false, false, "",
         ""},
        {named(unixMeta([](auto& m) { m.hasLinkTarget = true; }), "/e", 0), MetaKind::Unix, false, true, false, "", ""},
        {named(hfsMeta([](auto& m) {
                   m.owner = "carol";
                   m.compressed = true;
                   m.hasLinkTarget = true;
                   m.linkTarget = "/Volumes/x";
               }),
               "/x", 3, true),
         MetaKind::Hfs, true, true, false, "carol", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.record.name);
        FileMetaVariant meta(c.record);
        EXPECT_EQ(meta.isDirectory(), c.directory);
        EXPECT_EQ(meta.isSymlink(), c.link);
        EXPECT_EQ(meta.isCompressed(), c.compressed);
        EXPECT_EQ(meta.ownerName(), c.owner);
        EXPECT_EQ(meta.securityDescriptor(), c.sddl);
        EXPECT_EQ(meta.chunkObject().kind, c.kind);
        EXPECT_EQ(meta.chunkObject().isLink, c.link);
    }
    // A copy owns its record: it outlives the original.
    auto original = std::make_unique<FileMetaVariant>(cases[3].record);
    const FileMetaVariant copy(*original);
    original.reset();
    EXPECT_EQ(copy.linkTarget(), "/Volumes/x");
    expectThrows<error::EInvariant>([&] { FileMetaVariant(cases[0].record).linkTarget(); },
                                    "getLinkTarget attempted on metadata object not representing a symbolic link.");
}

TEST(FileMetaVariant, RefusesMetadataItCannotDescribe)
{
    proto::FileMetaData otherClass;
    otherClass.osmeta.emplace<proto::Timespec>();
    const proto::FileMetaData cases[] = {
        proto::FileMetaData(),
        otherClass,
        unixMeta([](auto& m) { m.mode.reset(); }),
        hfsMeta([](auto& m) { m.btime.reset(); }),
        hfsMeta([](auto& m) { m.atime->nanoseconds = -1; }),
        hfsMeta([](auto& m) { m.mtime->nanoseconds = 1000000000; }),
    };
    for (const proto::FileMetaData& record : cases)
        expectThrows<error::EParseError>([&] { FileMetaVariant meta(record); },
                                         "Attempted to construct FileMetaVariant from invalid source metadata");
}

TEST(FileMetaVariant, AttributesFromFlagsAndWritePermissions)
{
    auto everythingButWrite = [](proto::FileAccessMode& m) {
        m.ownerRead = m.ownerExecute = m.groupRead = m.groupExecute = m.otherRead = m.otherExecute = true;
        m.setUserId = m.setGroupId = m.sticky = true;
    };
    const std::pair<proto::FileMetaData, std::uint32_t> cases[] = {
        {ntfsMeta(), 0},
        {ntfsMeta([](auto& m) { m.archive = true; }), 0x20},
        {ntfsMeta([](auto& m) { m.encrypted = true; }), 0x4000},
        {ntfsMeta([](auto& m) { m.hidden = true; }), 0x2},
        {ntfsMeta([](auto& m) { m.readOnly = true; }), 0x1},
        {ntfsMeta([](auto& m) { m.system = true; }), 0x4},
        {ntfsMeta([](auto& m) { m.compressed = true; }), 0}, // no attribute
        {unixMeta([&](auto& m) { everythingButWrite(*m.mode); }), 0x1},
        {unixMeta([](auto& m) { m.mode->ownerWrite = true; }), 0},
        {unixMeta([](auto& m) { m.mode->groupWrite = true; }), 0},
        {unixMeta([](auto& m) { m.mode->otherWrite = true; }), 0},
        {hfsMeta([&](auto& m) { everythingButWrite(*m.mode); }), 0x1},
        {hfsMeta([](auto& m) { m.mode->groupWrite = true; }), 0},
        {hfsMeta([](auto& m) { m.mode->otherWrite = m.hidden = true; }), 0}, // HFS hidden is no attribute
    };
    int row = 0;
    for (const auto& [record, attributes] : cases)
        EXPECT_EQ(FileMetaVariant(record).windowsAttributes(), attributes) << "row " << row++;
}

TEST(FileMetaVariant, TimeStampsOfEachKindAsCreationAccessAndWrite)
{
    auto timespec = [](proto::Timespec& t, std::int64_t seconds, std::int32_t nanoseconds) {
        t.seconds = seconds;
        t.nanoseconds = nanoseconds;
    };
    struct Case {
        const char* what;
        proto::FileMetaData record;
        std::int32_t stamps[6]; // seconds and microseconds of each
    };
    const Case cases[] = {
        {"NTFS, seconds above the signed range wrap",
         ntfsMeta([](auto& m) {
             m.creationTime = 0xFFFFFFFFu;
             m.lastWriteTime = 0x80000000u;
             m.lastAccessTime = 0x7FFFFFFFu;
         }),
         {-1, 0, 2147483647, 0, -2147483647 - 1, 0}},
        {"UNIX keeps the low 32 bits",
         unixMeta([](auto& m) {
             m.creationTime = 0x100000005LL;
             m.lastWriteTime = -2;
             m.lastAccessTime = 0x180000000LL;
         }),
         {5, 0, -2147483647 - 1, 0, -2, 0}},
        {"HFS birth, access and modification; change time unused",
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
        const UsecTime times[] = {meta.creationTime(), meta.lastAccessTime(), meta.lastWriteTime()};
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(times[i].seconds(), c.stamps[2 * i]) << i;
            EXPECT_EQ(times[i].usec(), c.stamps[2 * i + 1]) << i;
        }
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

} // namespace
