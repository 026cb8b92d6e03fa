#include "restore/paths.h"

#include "common/error.h"
#include "restore/meta_records.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace restore_test;

enum class Kind { Ntfs, Unix, Hfs };

FileMetaVariant metaOf(Kind kind, const std::string& name)
{
    proto::FileMetaData record = kind == Kind::Ntfs ? ntfsMeta() : kind == Kind::Unix ? unixMeta() : hfsMeta();
    record.name = name;
    return FileMetaVariant(record);
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
        {"C", "E:\\r", "E:\\r\\C"},
        {":x", "E:\\r", "E:\\r\\:x"},
        {"C:\\a_b\\con\\x ", "E:\\r", "E:\\r\\Drive_C\\a_b\\con\\x "}, // nothing escaped or fixed
        {"", "E:\\r", "E:\\r\\"},
        {"", "", ""},
        // A root's trailing backslash makes no difference.
        {"D:\\x", "E:\\", "E:\\Drive_D\\x"},
        {"D:\\x", "E:\\r\\", "E:\\r\\Drive_D\\x"},
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
    const Case cases[] = {
        {Kind::Ntfs, std::string("c\\x.txt\0evil", 13), "E:\\r", nul},
        {Kind::Unix, std::string("/c/x.txt\0evil", 13), "E:\\r", nul},
        {Kind::Hfs, std::string("/\0", 2), "", nul},
        {Kind::Ntfs, "..\\..\\Windows\\x", "E:\\r",
         "Restore path E:\\r\\..\\..\\Windows\\x has a \".\" or \"..\" component"},
        {Kind::Ntfs, "a\\.\\b", "\\\\srv\\share",
         "Restore path \\\\srv\\share\\a\\.\\b has a \".\" or \"..\" component"},
        {Kind::Ntfs, "a/../../b", "\\\\srv\\share",
         "Restore path \\\\srv\\share\\a/../../b has a \".\" or \"..\" component"},
        {Kind::Ntfs, "C:\\x\\..", "", "Restore path C:\\x\\.. has a \".\" or \"..\" component"},
        {Kind::Ntfs, "x", "E:\\r\\..", "Restore path E:\\r\\..\\x has a \".\" or \"..\" component"},
    };
    for (const Case& c : cases) {
        try {
            mapPath(metaOf(c.kind, c.name), c.root);
            ADD_FAILURE() << c.text << ": not refused";
        } catch (const ERestore& e) {
            EXPECT_EQ(e.fullText(), c.text);
        }
    }
    // Foreign names cannot climb: their dots are fixed before Windows sees them.
    EXPECT_EQ(mapPath(metaOf(Kind::Unix, "/a/../b/."), "E:\\r"), "E:\\r\\a\\._\\b\\_");
}

TEST(MapPath, ForeignNamesAreEscapedAndFixed)
{
    struct Case {
        std::string name, root, expected;
    };
    const Case cases[] = {
        {"/home/a_b/c:d", "E:\\r", "E:\\r\\home\\a_5fb\\c_3ad"},
        {"/a\\b", "E:\\r", "E:\\r\\a_5fb"}, // the same text as an underscore
        {"/a_b", "E:\\r", "E:\\r\\a_5fb"},
        {"/x/aux", "E:\\r", "E:\\r\\x\\aux_"},
        {"/x/Com1.log", "E:\\r", "E:\\r\\x\\Com1_.log"},
        {"/x/name.", "E:\\r", "E:\\r\\x\\name_"},
        {"/x/x ", "E:\\r", "E:\\r\\x\\x_"},
        {"/dots./x", "E:\\r", "E:\\r\\dots_\\x"}, // every component, not only the last
        {"/x/COM10", "E:\\r", "E:\\r\\x\\COM10"},
        {"/x/LPT0", "E:\\r", "E:\\r\\x\\LPT0"},
        {"/x/nulls.txt", "E:\\r", "E:\\r\\x\\nulls.txt"},
        {"/a//b", "E:\\r", "E:\\r\\a\\\\b"},
        {"a/b", "E:\\r", "E:\\r\\a\\b"}, // no leading slash
        {"//a", "E:\\r", "E:\\r\\\\a"},  // only one leading slash goes
        {"/dir/", "E:\\r", "E:\\r\\dir\\"},
        {"/", "E:\\r", "E:\\r\\"},
        {"/a/b", "", "\\a\\b"},
        {"/caf\xC3\xA9/\xE2\x82\xAC", "E:\\r", "E:\\r\\caf\xC3\xA9\\\xE2\x82\xAC"}, // UTF-8 kept
        {"/\xFF\xFE/a\x80", "E:\\r", "E:\\r\\\xFF\xFE\\a\x80"},                     // not UTF-8: kept as bytes
        {"/tab\there", "E:\\r", "E:\\r\\tab_09here"},
        {"/q\"*<>?|", "E:\\r", "E:\\r\\q_22_2a_3c_3e_3f_7c"},
        {"/aux:1", "E:\\r", "E:\\r\\aux_3a1"}, // escaped before the device check
        {"/con.tar.gz", "E:\\r", "E:\\r\\con_.tar.gz"},
    };
    for (Kind kind : {Kind::Unix, Kind::Hfs})
        for (const Case& c : cases)
            EXPECT_EQ(mapPath(metaOf(kind, c.name), c.root), c.expected)
                << (kind == Kind::Unix ? "UNIX " : "HFS ") << c.name << " below " << c.root;
}

TEST(EscapeName, ForbiddenCharactersAndUnderscoreBecomeHexCodes)
{
    struct Case {
        std::string name, expected;
    };
    const Case cases[] = {
        {"plain name.txt", "plain name.txt"},
        {"_", "_5f"},
        {"\"", "_22"},
        {"*", "_2a"},
        {"/", "_2f"},
        {":", "_3a"},
        {"<", "_3c"},
        {">", "_3e"},
        {"?", "_3f"},
        {"|", "_7c"},
        {std::string(1, '\0'), "_00"},
        {"\x01", "_01"},
        {"\n", "_0a"},
        {"\x1F", "_1f"},
        {"\\", "\\"}, // the separator stays
        {"\x7F", "\x7F"},
        {"\x80\xFF", "\x80\xFF"},
        {"a:b_c", "a_3ab_5fc"},
        {"", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(escapeName(c.name), c.expected);

    int escaped = 0;
    for (int byte = 0; byte < 256; ++byte) {
        const std::string one(1, static_cast<char>(byte));
        const std::string out = escapeName(one);
        if (out != one) {
            ++escaped;
            EXPECT_EQ(out.size(), 3u) << byte;
        }
    }
    EXPECT_EQ(escaped, 32 + 8 + 1); // control codes, the eight printable ones, '_'
}

TEST(FixComponent, TrailingBlankOrDotAndDeviceNames)
{
    struct Case {
        std::string component, expected;
    };
    const Case cases[] = {
        {"", ""},
        {".", "_"},
        {"..", "._"},
        {" ", "_"},
        {"name.", "name_"},
        {"x ", "x_"},
        {"con.", "con_"}, // only the trailing dot is replaced
        {"CON", "CON_"},
        {"con.txt", "con_.txt"},
        {"Prn", "Prn_"},
        {"aux", "aux_"},
        {"NUL.a.b", "NUL_.a.b"}, // split at the first dot
        {"COM1", "COM1_"},
        {"com9.log", "com9_.log"},
        {"Lpt1", "Lpt1_"},
        {"LPT9", "LPT9_"},
        // No device names
        {"COM0", "COM0"},
        {"LPT0", "LPT0"},
        {"COM10", "COM10"},
        {"COMA", "COMA"},
        {"nulls.txt", "nulls.txt"},
        {"CONs", "CONs"},
        {".con", ".con"},
        {"x.con", "x.con"},
        {"co", "co"},
        {"ordinary.txt", "ordinary.txt"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(fixComponent(c.component), c.expected) << '"' << c.component << '"';
}

} // namespace
