#include "restore/paths.h"

#include "common/error.h"
#include "restore/meta_records.h"
#include "support.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace restore_test;

enum class Kind { Ntfs, Unix, Hfs };

FileMetaVariant metaOf(Kind kind, const std::string& name)
{
    return FileMetaVariant(named(kind == Kind::Ntfs   ? ntfsMeta()
                                 : kind == Kind::Unix ? unixMeta()
                                                      : hfsMeta(),
                                 name, 0));
}

TEST(MapPath, WindowsNamesKeepTheirTextBelowTheRoot)
{
    struct Case {
        std::string name, root, expected;
    };
    const Case cases[] = {
        {"D:\\data\\x.txt", "E:\\restore", "E:\\restore\\Drive_D\\data\\x.txt"},
        {"D:\\data\\x.txt", "", "D:\\data\\x.txt"},
        {"d:\\x", "E:\\r", "E:\\r\\Drive_d\\x"}, // the letter's case is kept
        {"C:", "E:\\r", "E:\\r\\Drive_C"},
        {"C:rel", "E:\\r", "E:\\r\\Drive_Crel"},
        {"data\\x", "E:\\r", "E:\\r\\data\\x"}, // no drive: kept
        {"\\\\srv\\share\\x", "E:\\r", "E:\\r\\\\\\srv\\share\\x"},
        {"C:\\a_b\\con\\x ", "E:\\r", "E:\\r\\Drive_C\\a_b\\con\\x "}, // nothing escaped or fixed
        {"", "E:\\r", "E:\\r\\"},
        // A root's trailing backslash makes no difference.
        {"D:\\x", "E:\\", "E:\\Drive_D\\x"},
        {"D:\\x", "\\\\srv\\share\\", "\\\\srv\\share\\Drive_D\\x"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(mapPath(metaOf(Kind::Ntfs, c.name), c.root), c.expected) << c.name << " below " << c.root;
}

// A name that Windows would cut at a NUL (and so restore over another object) or that climbs
// out of the restore root fails its object, whatever its kind and root.
TEST(MapPath, NamesThatWouldEscapeTheRootOrAliasAnotherObjectAreRefused)
{
    struct Case {
        Kind kind;
        std::string name, root, text;
    };
    const std::string nul = "Stored name holds a NUL character";
    const std::string dots = " has a \".\" or \"..\" component";
    const Case cases[] = {
        {Kind::Ntfs, std::string("c\\x.txt\0evil", 13), "E:\\r", nul},
        {Kind::Unix, std::string("/c/x.txt\0evil", 13), "E:\\r", nul},
        {Kind::Hfs, std::string("/\0", 2), "", nul},
        {Kind::Ntfs, "..\\..\\Windows\\x", "E:\\r", "Restore path E:\\r\\..\\..\\Windows\\x" + dots},
        {Kind::Ntfs, "a\\.\\b", "\\\\srv\\share", "Restore path \\\\srv\\share\\a\\.\\b" + dots},
        {Kind::Ntfs, "a/../../b", "\\\\srv\\share", "Restore path \\\\srv\\share\\a/../../b" + dots},
        {Kind::Ntfs, "C:\\x\\..", "", "Restore path C:\\x\\.." + dots},
        {Kind::Ntfs, "x", "E:\\r\\..", "Restore path E:\\r\\..\\x" + dots},
    };
    for (const Case& c : cases)
        support::expectThrows<ERestore>([&] { mapPath(metaOf(c.kind, c.name), c.root); }, c.text);
}

// Every character Windows forbids in a name, and '_', become '_' and two hex digits; a
// trailing blank or dot and a device name before its extension get a '_'. Dots cannot climb.
TEST(MapPath, ForeignNamesAreEscapedAndFixed)
{
    struct Case {
        std::string name, expected; // below E:\r
    };
    const Case cases[] = {
        {"/home/a_b/c:d", "home\\a_5fb\\c_3ad"},
        {"/a\\b", "a_5fb"}, // the same text as an underscore
        {"/q\"*<>?|", "q_22_2a_3c_3e_3f_7c"},
        {"/tab\there\x01\x1F", "tab_09here_01_1f"},
        {"/\x7F\x80\xFF", "\x7F\x80\xFF"}, // not UTF-8: kept as bytes
        {"/caf\xC3\xA9/\xE2\x82\xAC", "caf\xC3\xA9\\\xE2\x82\xAC"},
        {"/a/../b/.", "a\\._\\b\\_"},
        {"/x/name./x /dots./ ", "x\\name_\\x_\\dots_\\_"}, // every component, not only the last
        {"/con.tar.gz/CON/Prn/aux/NUL.a.b", "con_.tar.gz\\CON_\\Prn_\\aux_\\NUL_.a.b"},
        {"/COM1/com9.log/Lpt1/LPT9", "COM1_\\com9_.log\\Lpt1_\\LPT9_"},
        {"/aux:1", "aux_3a1"}, // escaped before the device check
        {"/COM0/LPT0/COM10/COMA/CONs/.con/x.con/co/nulls.txt",
         "COM0\\LPT0\\COM10\\COMA\\CONs\\.con\\x.con\\co\\nulls.txt"},
        {"/a//b", "a\\\\b"},
        {"a/b", "a\\b"}, // no leading slash
        {"//a", "\\a"},  // only one leading slash goes
        {"/dir/", "dir\\"},
        {"/", ""},
    };
    for (Kind kind : {Kind::Unix, Kind::Hfs})
        for (const Case& c : cases)
            EXPECT_EQ(mapPath(metaOf(kind, c.name), "E:\\r"), "E:\\r\\" + c.expected)
                << (kind == Kind::Unix ? "UNIX " : "HFS ") << c.name;
    EXPECT_EQ(mapPath(metaOf(Kind::Unix, "/a/b"), ""), "\\a\\b");
}

} // namespace
