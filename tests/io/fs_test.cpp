// The file-system helpers on the disk (Wine's, or Linux's in the native build), their error
// texts, and on Windows the system's rarer answers through the system-call table.
#include "io/fs.h"

#include "common/error.h"
#include "common/text.h"
#include "support.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#ifdef _WIN32
#include "sys/handle.h"
#endif

namespace {

using support::ScratchDir;
using support::separator;
using support::thrown;

// Windows' codes, which the native build reports too.
constexpr unsigned long kFileNotFound = 2, kPathNotFound = 3, kAccessDenied = 5, kAlreadyExists = 183;

TEST(VersionCategory, MapsVersionAndWordSize)
{
    struct Case {
        unsigned major, minor;
        int bits32, bits64;
    };
    const Case cases[] = {
        {5, 0, 0, 0}, // Windows 2000
        {5, 1, 1, 2}, // XP
        {5, 2, 3, 4}, // Server 2003
        {6, 0, 5, 6}, // Vista
        {6, 1, 7, 8}, // Windows 7
        {6, 3, 7, 8}, // what 8 and later report without a manifest
        {4, 0, 9, 9}, {5, 3, 9, 9}, {10, 0, 9, 9},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(versionCategory(c.major, c.minor, false), c.bits32) << c.major << "." << c.minor;
        EXPECT_EQ(versionCategory(c.major, c.minor, true), c.bits64) << c.major << "." << c.minor << " 64-bit";
    }
}

TEST(LongPath, PrefixesOnlyDriveAbsolutePathsAfterWindows2000)
{
    struct Case {
        std::string path;
        int category;
        std::wstring expected;
    };
    const Case cases[] = {
        {"C:\\data\\x", 1, L"\\\\?\\C:\\data\\x"},
        {"C:\\data\\x", 9, L"\\\\?\\C:\\data\\x"},
        {"C:\\data\\x", 0, L"C:\\data\\x"},
        {"d:\\", 8, L"\\\\?\\d:\\"},
        {"data\\x", 8, L"data\\x"},
        {"\\\\server\\share\\x", 8, L"\\\\server\\share\\x"},
        {"\\data\\x", 8, L"\\data\\x"},
        {"C:", 8, L"C:"},
        {"C:x", 8, L"C:x"},
        {"C:/data/x", 8, L"C:/data/x"},
        {"C:\\caf\xc3\xa9\\\xe2\x82\xac", 8, L"\\\\?\\C:\\caf\u00e9\\\u20ac"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(longPathW(c.path, c.category), c.expected) << c.path << " category " << c.category;
}

// The running system: Wine reports a recent Windows, the native build Windows 7 64-bit.
TEST(LongPath, OfTheRunningSystemIsPrefixed)
{
#ifndef _WIN32
    EXPECT_EQ(windowsVersionCategory(), 8);
#endif
    EXPECT_EQ(longPathW("C:\\data\\x"), L"\\\\?\\C:\\data\\x");
}

TEST(FileSystem, WhatTheHelpersDoAndTheirFailuresSay)
{
    ScratchDir dir;
    support::writeFile(dir / "a.txt", "x");
    support::writeFile(dir / "new.cfg", "new");
    support::writeFile(dir / "old.cfg", "old");
    const std::string sub = dir / "sub", inMissing = dir / ("nodir" + separator + "a.txt");
    deleteFile(dir / "a.txt");
    EXPECT_FALSE(support::exists(dir / "a.txt"));
    deleteFile(dir / "a.txt"); // a missing file is no failure
    renameFile(dir / "new.cfg", dir / "old.cfg");
    EXPECT_FALSE(support::exists(dir / "new.cfg"));
    EXPECT_EQ(support::readFile(dir / "old.cfg"), "new");
    createDirectory(sub);
    EXPECT_TRUE(fileExists(sub));

    const auto text = [](unsigned long code) { return ": " + error::systemErrorText(code); };
    struct Case {
        std::function<void()> action;
        const std::type_info& type;
        std::string text;
    };
    const Case cases[] = {
        {[&] { deleteFile(inMissing); }, typeid(error::EFileNotFoundError),
         "Attempt to delete file '" + inMissing + "' failed." + text(kPathNotFound)},
        {[&] { deleteFile(sub); }, typeid(error::ESystemError),
         "Attempt to delete file '" + sub + "' failed." + text(kAccessDenied)},
        {[&] { renameFile(dir / "missing", dir / "old.cfg"); }, typeid(error::EFileNotFoundError),
         "Cannot rename file '" + (dir / "missing") + "' into '" + (dir / "old.cfg") + text(kFileNotFound)},
        {[&] { createDirectory(sub); }, typeid(error::EFileExistsError),
         "Cannot create directory \"" + sub + "\"" + text(kAlreadyExists)},
        {[&] { createDirectory(inMissing); }, typeid(error::EFileNotFoundError),
         "Cannot create directory \"" + inMissing + "\"" + text(kPathNotFound)},
    };
    for (const Case& c : cases)
        EXPECT_EQ(thrown(c.action), std::make_pair(&c.type, c.text));
    EXPECT_EQ(support::readFile(dir / "old.cfg"), "new");
    EXPECT_TRUE(support::exists(sub));
    EXPECT_EQ(thrown([] { absolutePath(""); }).second.rfind("failed to obtain absolute pathname for ''.: ", 0), 0u);

    const std::pair<std::string, bool> present[] = {
        {dir / "old.cfg", true},      {sub, true},        {dir.path(), true},
        {dir / "missing.txt", false}, {inMissing, false}, {dir / ("old.cfg" + separator + "below"), false},
    };
    for (const auto& [path, expected] : present)
        EXPECT_EQ(fileExists(path), expected) << path;
}

#ifdef _WIN32

// Failures that Wine does not give on its own, and what a rename hands to Windows.
std::vector<std::wstring> moved;
DWORD moveFlags = 0;

TEST(FileSystemCalls, RefusalsKeepTheirTextAndARenameIsWrittenThrough)
{
    ScratchDir dir;
    const std::string held = dir / "held.txt";
    support::writeFile(held, "x");
    {
        // Held without FILE_SHARE_DELETE, as another program would hold it.
        sys::UniqueHandle open(
            ::CreateFileW(toWide(held).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        support::expectThrows<error::ESystemError>([&] { deleteFile(held); },
                                                   "Attempt to delete file '" + held +
                                                       "' failed.: " + error::systemErrorText(ERROR_SHARING_VIOLATION));
    }
    for (DWORD code : {DWORD(ERROR_ACCESS_DENIED), DWORD(ERROR_SHARING_VIOLATION), DWORD(ERROR_PATH_NOT_FOUND)}) {
        auto refused = support::refuse(sys::calls.GetFileAttributesW, code, INVALID_FILE_ATTRIBUTES);
        EXPECT_EQ(fileExists(held), code != ERROR_PATH_NOT_FOUND) << "only not found means absent";
    }
    {
        auto refused = support::refuse(sys::calls.CreateDirectoryW, ERROR_ACCESS_DENIED);
        support::expectThrows<error::ESystemError>([] { createDirectory("C:\\data"); },
                                                   "Cannot create directory \"C:\\data\": " +
                                                       error::systemErrorText(ERROR_ACCESS_DENIED));
    }
    {
        auto refused = support::refuse(sys::calls.GetFullPathNameW, ERROR_INVALID_NAME, 0);
        support::expectThrows<error::ESystemError>([] { absolutePath("x"); },
                                                   "failed to obtain absolute pathname for 'x'.: " +
                                                       error::systemErrorText(ERROR_INVALID_NAME));
    }
    {
        // A result that does not fit: the call returns the size it would need.
        auto tooLong = support::replaced(
            sys::calls.GetFullPathNameW, +[](LPCWSTR, DWORD size, LPWSTR, LPWSTR*) -> DWORD { return size + 40; });
        support::expectThrows<error::ESystemError>([] { absolutePath("x"); },
                                                   "failed to obtain absolute pathname for 'x'.: " +
                                                       error::systemErrorText(ERROR_FILENAME_EXCED_RANGE));
    }

    // The configuration's generations are renamed over each other: written through, across
    // volumes if need be, and in the long form.
    auto move = support::replaced(
        sys::calls.MoveFileExW, +[](LPCWSTR from, LPCWSTR to, DWORD flags) -> BOOL {
            moved = {from, to};
            moveFlags = flags;
            return FALSE;
        });
    thrown([] { renameFile("C:\\a", "D:\\b"); });
    EXPECT_EQ(moved, (std::vector<std::wstring>{L"\\\\?\\C:\\a", L"\\\\?\\D:\\b"}));
    EXPECT_EQ(moveFlags, DWORD(MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH));
}

#endif

} // namespace
