// ensureLeadingPath on real directories of the Wine prefix's drive C:, with the refusals that
// Wine never gives made through the system-call table.
#include "restore/paths.h"

#include "common/error.h"
#include "restore/restore_fixture.h"
#include "sys/syscalls.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

namespace {

using namespace restore_test;
using Lines = std::vector<LogLine>;

// Through the long form: some trees here are deeper than MAX_PATH.
bool isDirectory(const std::string& path)
{
    const DWORD attributes = ::GetFileAttributesW(longForm(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// What the faked Windows calls saw. Every fake forwards to the real function unless a
// scripted answer says otherwise.
struct Seen {
    std::vector<std::wstring> created; // CreateDirectoryW paths, in order
    std::deque<DWORD> script;          // answers for `scripted`: 0 is the real call
    std::wstring scripted;
    std::wstring reportReadOnly; // a directory that GetFileAttributesW says is read-only
    std::vector<std::wstring> attributesRead, attributesSet;
    std::vector<DWORD> attributeValuesSet;
    DWORD getAttributesFails = 0, setAttributesFails = 0;
    std::vector<std::wstring> daclsFetched;
    DWORD fetchResult = ERROR_SUCCESS;
    std::vector<std::wstring> daclsSetOn;
    std::vector<std::string> daclsSet;
    std::vector<SECURITY_INFORMATION> daclMasks;
};
Seen seen;

BOOL WINAPI fakeCreateDirectory(LPCWSTR path, LPSECURITY_ATTRIBUTES attributes)
{
    seen.created.push_back(path);
    if (path == seen.scripted && !seen.script.empty()) {
        const DWORD answer = seen.script.front();
        seen.script.pop_front();
        if (answer != 0) {
            ::SetLastError(answer);
            return FALSE;
        }
    }
    return ::CreateDirectoryW(path, attributes);
}

DWORD WINAPI fakeGetAttributes(LPCWSTR path)
{
    seen.attributesRead.push_back(path);
    if (seen.getAttributesFails != 0) {
        ::SetLastError(seen.getAttributesFails);
        return INVALID_FILE_ATTRIBUTES;
    }
    const DWORD attributes = ::GetFileAttributesW(path);
    // Wine keeps no read-only attribute on directories; Windows does.
    if (path == seen.reportReadOnly && attributes != INVALID_FILE_ATTRIBUTES)
        return attributes | FILE_ATTRIBUTE_READONLY;
    return attributes;
}

BOOL WINAPI fakeSetAttributes(LPCWSTR path, DWORD attributes)
{
    seen.attributesSet.push_back(path);
    seen.attributeValuesSet.push_back(attributes);
    if (seen.setAttributesFails != 0) {
        ::SetLastError(seen.setAttributesFails);
        return FALSE;
    }
    return ::SetFileAttributesW(path, attributes);
}

// Wine keeps no descriptor that SetNamedSecurityInfoW is given: what it was given is the result.
DWORD WINAPI fakeSetNamedSecurity(LPWSTR path, SE_OBJECT_TYPE, SECURITY_INFORMATION info, PSID, PSID, PACL dacl, PACL)
{
    seen.daclsSetOn.push_back(path);
    seen.daclMasks.push_back(info);
    seen.daclsSet.push_back(aclText(dacl));
    return ERROR_SUCCESS;
}

class LeadingPath : public ::testing::Test {
protected:
    void SetUp() override { seen = Seen(); }

    // The levels of `path` below its drive, in their long form, top first.
    static std::vector<std::wstring> levelsBelowDrive(const std::string& path)
    {
        std::vector<std::wstring> levels;
        for (std::size_t at = path.find('\\', path.find('\\') + 1); at != std::string::npos;
             at = path.find('\\', at + 1))
            levels.push_back(longForm(path.substr(0, at)));
        levels.push_back(longForm(path));
        return levels;
    }

    ScratchDir scratch_;
    LogCapture log_;

private:
    std::shared_ptr<void> fakes_[5] = {
        replaced(sys::calls.CreateDirectoryW, fakeCreateDirectory),
        replaced(sys::calls.GetFileAttributesW, fakeGetAttributes),
        replaced(sys::calls.SetFileAttributesW, fakeSetAttributes),
        replaced(
            sys::calls.GetNamedSecurityInfoW,
            +[](LPCWSTR path, SE_OBJECT_TYPE type, SECURITY_INFORMATION info, PSID* owner, PSID* group, PACL* dacl,
                PACL* sacl, PSECURITY_DESCRIPTOR* descriptor) -> DWORD {
                seen.daclsFetched.push_back(path);
                if (seen.fetchResult != ERROR_SUCCESS)
                    return seen.fetchResult;
                return ::GetNamedSecurityInfoW(path, type, info, owner, group, dacl, sacl, descriptor);
            }),
        replaced(sys::calls.SetNamedSecurityInfoW, fakeSetNamedSecurity),
    };
};

TEST_F(LeadingPath, ExistingDirectoriesCostOneCreateEachAndNothingElse)
{
    const std::string directory = scratch_ / "a\\b";
    ASSERT_TRUE(::CreateDirectoryW(longForm(scratch_ / "a").c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW(longForm(directory).c_str(), nullptr));

    ensureLeadingPath(directory);

    EXPECT_EQ(seen.created, levelsBelowDrive(directory));
    EXPECT_EQ(seen.created.front().substr(0, 7), std::wstring(L"\\\\?\\C:\\")) << "first level is below the drive";
    EXPECT_TRUE(seen.attributesRead.empty());
    EXPECT_TRUE(seen.attributesSet.empty());
    EXPECT_TRUE(seen.daclsFetched.empty());
    EXPECT_TRUE(seen.daclsSetOn.empty());
    EXPECT_TRUE(log_.lines.empty());
}

TEST_F(LeadingPath, MissingLevelsAreCreated)
{
    struct Case {
        const char* what;
        std::string below;
    };
    const Case cases[] = {
        {"one new level", "new"},
        {"three new levels", "x\\y\\z"},
        {"names with blanks and non-ASCII letters", "caf\xC3\xA9 1\\\xE2\x82\xAC 2"},
        {"trailing separator", "t\\u\\"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string directory = scratch_ / c.below;
        ensureLeadingPath(directory);
        EXPECT_TRUE(isDirectory(directory));
        EXPECT_TRUE(log_.lines.empty());
    }
}

TEST_F(LeadingPath, PathsBeyondTheOldLimitGoThroughTheLongForm)
{
    std::string directory = scratch_.path();
    while (directory.size() <= 400)
        directory += "\\a-rather-long-directory-name";
    ensureLeadingPath(directory);
    EXPECT_TRUE(isDirectory(directory));
    EXPECT_EQ(seen.created, levelsBelowDrive(directory));
}

TEST_F(LeadingPath, NothingToDoWithoutALevelBelowTheDrive)
{
    for (const std::string directory : {"relative", "C:", "C:\\", ""}) {
        ensureLeadingPath(directory);
        EXPECT_TRUE(seen.created.empty()) << directory;
    }
}

// Scripted answers of CreateDirectoryW for the deepest level (0: the real call), and what
// the walk does about them.
TEST_F(LeadingPath, RefusalsAreAnsweredByRepairsThenThrown)
{
    struct Case {
        const char* what;
        std::deque<DWORD> script;
        bool parentReadOnly;
        bool created;         // the level exists afterwards
        std::size_t attempts; // CreateDirectoryW calls for the level
        std::size_t attributeReads, daclFetches;
        const std::type_info* thrown; // null: no exception
        DWORD code;                   // the code whose text ends the exception's text
    };
    const Case cases[] = {
        {"already exists", {ERROR_ALREADY_EXISTS}, false, false, 1, 0, 0, nullptr, 0},
        {"denied once, read-only parent", {ERROR_ACCESS_DENIED, 0}, true, true, 2, 1, 0, nullptr, 0},
        {"denied once, writable parent", {ERROR_ACCESS_DENIED, 0}, false, true, 2, 1, 0, nullptr, 0},
        {"denied twice", {ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, 0}, true, true, 3, 1, 1, nullptr, 0},
        {"denied three times",
         {ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED},
         false,
         false,
         3,
         1,
         1,
         &typeid(error::ESystemError),
         ERROR_ACCESS_DENIED},
        {"path not found",
         {ERROR_PATH_NOT_FOUND},
         false,
         false,
         1,
         0,
         0,
         &typeid(error::EFileNotFoundError),
         ERROR_PATH_NOT_FOUND},
        {"invalid name", {ERROR_INVALID_NAME}, false, false, 1, 0, 0, &typeid(error::ESystemError), ERROR_INVALID_NAME},
        {"denied, then another code",
         {ERROR_ACCESS_DENIED, ERROR_DISK_FULL},
         false,
         false,
         2,
         1,
         0,
         &typeid(error::ESystemError),
         ERROR_DISK_FULL},
    };
    int round = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string parent = scratch_ / ("p" + std::to_string(round++));
        const std::string directory = parent + "\\child";
        ASSERT_TRUE(::CreateDirectoryW(longForm(parent).c_str(), nullptr));
        // A hidden parent: the repair must keep every attribute but read-only.
        ASSERT_TRUE(::SetFileAttributesW(longForm(parent).c_str(), FILE_ATTRIBUTE_HIDDEN));
        const DWORD before = attributesOf(parent);
        ASSERT_EQ(before, DWORD(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN));
        seen = Seen();
        if (c.parentReadOnly)
            seen.reportReadOnly = longForm(parent);
        seen.scripted = longForm(directory);
        seen.script = c.script;
        log_.lines.clear();

        EXPECT_EQ(thrown([&] { ensureLeadingPath(directory); }),
                  std::make_pair(c.thrown, c.thrown ? "Cannot create leading path \"" + directory +
                                                          "\": " + error::systemErrorText(c.code)
                                                    : std::string()));

        EXPECT_EQ(std::count(seen.created.begin(), seen.created.end(), seen.scripted), long(c.attempts));
        EXPECT_EQ(isDirectory(directory), c.created);
        EXPECT_EQ(seen.attributesRead, std::vector<std::wstring>(c.attributeReads, longForm(parent)));
        EXPECT_EQ(seen.attributesSet, std::vector<std::wstring>(c.parentReadOnly ? 1 : 0, longForm(parent)))
            << "only a read-only parent is changed";
        if (c.parentReadOnly) {
            EXPECT_EQ(seen.attributeValuesSet, std::vector<DWORD>{before});
        }
        EXPECT_EQ(attributesOf(parent), before);
        EXPECT_EQ(seen.daclsFetched, std::vector<std::wstring>(c.daclFetches, longForm(parent)));
        ASSERT_EQ(seen.daclsSet.size(), c.daclFetches);
        for (std::size_t i = 0; i < seen.daclsSet.size(); ++i) {
            EXPECT_EQ(seen.daclsSetOn[i], longForm(parent));
            EXPECT_EQ(seen.daclMasks[i], SECURITY_INFORMATION(DACL_SECURITY_INFORMATION));
            const std::string& dacl = seen.daclsSet[i];
            const std::size_t firstEntry = dacl.find('(');
            ASSERT_NE(firstEntry, std::string::npos) << dacl;
            EXPECT_EQ(dacl.substr(firstEntry, 16), "(A;OICI;FA;;;SY)") << dacl;
        }
        Lines expectedLines;
        if (c.daclFetches != 0)
            expectedLines = {{2, "Not allowed to create leading path " + directory + " - will add ACE to " + parent},
                             {2, "Will give us explicit access to " + parent}};
        EXPECT_EQ(log_.lines, expectedLines);
    }
}

// A volume or share root belongs to everything on it: a refusal below it is reported,
// never answered by clearing its read-only bit or adding to its access list.
TEST_F(LeadingPath, VolumeAndShareRootsAreNeverCreatedNorRepaired)
{
    struct Case {
        std::string directory, firstLevel;
        std::wstring firstCreated;
    };
    const std::string drive = scratch_.path().substr(0, scratch_.path().find('\\', 3));
    const Case cases[] = {
        {scratch_.path(), drive, longForm(drive)},
        {"\\\\server\\share\\a\\b", "\\\\server\\share\\a", L"\\\\server\\share\\a"},
    };
    for (const Case& c : cases) {
        seen = Seen();
        seen.scripted = c.firstCreated;
        seen.script = {ERROR_ACCESS_DENIED};
        seen.reportReadOnly = L"\\\\?\\C:\\";
        expectThrows<error::ESystemError>([&] { ensureLeadingPath(c.directory); },
                                          "Cannot create leading path \"" + c.firstLevel +
                                              "\": " + error::systemErrorText(ERROR_ACCESS_DENIED));
        EXPECT_EQ(seen.created, std::vector<std::wstring>{c.firstCreated}) << c.directory;
        EXPECT_TRUE(seen.attributesRead.empty()) << c.directory;
        EXPECT_TRUE(seen.attributesSet.empty()) << c.directory;
        EXPECT_TRUE(seen.daclsFetched.empty() && seen.daclsSetOn.empty()) << c.directory;
    }
    // The roots themselves, with or without their separator, need nothing.
    seen = Seen();
    for (const char* root : {"C:\\", "C:", "\\\\server\\share\\", "\\\\server\\share"})
        EXPECT_NO_THROW(ensureLeadingPath(root)) << root;
    EXPECT_TRUE(seen.created.empty());
}

// Failed repairs are only logged; the next attempt to create decides.
TEST_F(LeadingPath, FailedRepairsAreLogged)
{
    struct Case {
        const char* what;
        DWORD getAttributesFails, setAttributesFails, fetchResult;
        std::deque<DWORD> script;
        bool throws;
        Lines lines; // "<parent>" and "<path>" stand for the paths
    };
    const std::string text5 = error::systemErrorText(ERROR_ACCESS_DENIED);
    const std::string text32 = error::systemErrorText(ERROR_SHARING_VIOLATION);
    const Case cases[] = {
        {"attributes unreadable",
         ERROR_ACCESS_DENIED,
         0,
         ERROR_SUCCESS,
         {ERROR_ACCESS_DENIED, 0},
         false,
         {{1, "Unable to retrieve file attributes for path <parent>: " + text5}}},
        {"read-only attribute stays",
         0,
         ERROR_SHARING_VIOLATION,
         ERROR_SUCCESS,
         {ERROR_ACCESS_DENIED, 0},
         false,
         {{1, "Unable to clear read only attributte on directory <parent>: " + text32}}},
        {"access list unreadable",
         0,
         0,
         ERROR_ACCESS_DENIED,
         {ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED},
         true,
         {{2, "Not allowed to create leading path <path> - will add ACE to <parent>"},
          {2, "Will give us explicit access to <parent>"},
          {1, "Cannot fetch DACL for <parent>"}}},
    };
    int round = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string parent = scratch_ / ("r" + std::to_string(round++));
        const std::string directory = parent + "\\child";
        ASSERT_TRUE(::CreateDirectoryW(longForm(parent).c_str(), nullptr));
        seen = Seen();
        seen.reportReadOnly = longForm(parent);
        seen.getAttributesFails = c.getAttributesFails;
        seen.setAttributesFails = c.setAttributesFails;
        seen.fetchResult = c.fetchResult;
        seen.scripted = longForm(directory);
        seen.script = c.script;
        log_.lines.clear();

        const auto [type, text] = thrown([&] { ensureLeadingPath(directory); });
        EXPECT_EQ(type, c.throws ? &typeid(error::ESystemError) : nullptr);
        EXPECT_EQ(text, c.throws ? "Cannot create leading path \"" + directory + "\": " + text5 : "");
        EXPECT_EQ(isDirectory(directory), !c.throws);
        EXPECT_TRUE(seen.daclsSet.empty());

        Lines expected;
        for (const LogLine& line : c.lines)
            expected.push_back(
                {line.level, replaceAll(replaceAll(line.text, "<parent>", parent), "<path>", directory)});
        EXPECT_EQ(log_.lines, expected);
    }
}

} // namespace
