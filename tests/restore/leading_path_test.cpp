// ensureLeadingPath on real directories of the Wine prefix's drive C:, with the refusals that
// Wine never gives made through the system-call table.
#include "restore/paths.h"

#include "common/error.h"
#include "restore/restore_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

namespace {

using namespace restore_test;

// Through the long form: some trees here are deeper than MAX_PATH.
bool isDirectory(const std::string& path)
{
    const DWORD attributes = ::GetFileAttributesW(longForm(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

enum class Fails { None, GetAttributes, SetAttributes, GetSecurity };

// What the faked calls saw; every fake forwards to Windows unless told otherwise.
struct Seen {
    std::vector<std::wstring> created; // CreateDirectoryW paths, in order
    std::wstring scripted;             // the path whose answers are scripted
    std::deque<DWORD> script;          // 0: the real call
    std::wstring reportReadOnly;       // a directory reported read-only, as Windows keeps it
    Fails fails = Fails::None;         // a call that answers ERROR_ACCESS_DENIED
    std::vector<std::wstring> touched; // attributes or access lists read or set
    std::vector<DWORD> attributesSet;
    std::vector<std::string> daclsSet; // "<path> <dacl>"
};
Seen seen;

bool failing(Fails call, LPCWSTR path)
{
    seen.touched.push_back(path);
    ::SetLastError(ERROR_ACCESS_DENIED);
    return seen.fails == call;
}

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
    if (failing(Fails::GetAttributes, path))
        return INVALID_FILE_ATTRIBUTES;
    const DWORD attributes = ::GetFileAttributesW(path);
    return path == seen.reportReadOnly ? attributes | FILE_ATTRIBUTE_READONLY : attributes;
}

BOOL WINAPI fakeSetAttributes(LPCWSTR path, DWORD attributes)
{
    seen.attributesSet.push_back(attributes);
    return !failing(Fails::SetAttributes, path) && ::SetFileAttributesW(path, attributes);
}

DWORD WINAPI fakeGetSecurity(LPCWSTR path, SE_OBJECT_TYPE type, SECURITY_INFORMATION info, PSID* owner, PSID* group,
                             PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor)
{
    if (failing(Fails::GetSecurity, path))
        return ERROR_ACCESS_DENIED;
    return ::GetNamedSecurityInfoW(path, type, info, owner, group, dacl, sacl, descriptor);
}

// Wine keeps no descriptor that SetNamedSecurityInfoW is given: what it was given is the result.
DWORD WINAPI fakeSetSecurity(LPWSTR path, SE_OBJECT_TYPE, SECURITY_INFORMATION info, PSID, PSID, PACL dacl, PACL)
{
    EXPECT_EQ(info, SECURITY_INFORMATION(DACL_SECURITY_INFORMATION));
    seen.touched.push_back(path);
    seen.daclsSet.push_back(toUtf8(path) + " " + aclText(dacl));
    return ERROR_SUCCESS;
}

class LeadingPath : public ::testing::Test {
protected:
    void SetUp() override { seen = Seen(); }

    ScratchDir scratch_;
    LogCapture log_;

private:
    std::shared_ptr<void> fakes_[5] = {
        replaced(sys::calls.CreateDirectoryW, fakeCreateDirectory),
        replaced(sys::calls.GetFileAttributesW, fakeGetAttributes),
        replaced(sys::calls.SetFileAttributesW, fakeSetAttributes),
        replaced(sys::calls.GetNamedSecurityInfoW, fakeGetSecurity),
        replaced(sys::calls.SetNamedSecurityInfoW, fakeSetSecurity),
    };
};

// Every level below the drive is created through the long form (this tree is deeper than
// MAX_PATH); one that exists costs that call alone. A refusal is answered once by clearing a
// read-only parent's bit, once by giving the local system account full access to the
// parent; a third refusal or any other code throws. A failed repair is only logged: the
// next attempt to create decides.
TEST_F(LeadingPath, RefusalsAreAnsweredByRepairsThenThrown)
{
    std::string base = scratch_.path();
    while (base.size() <= 300)
        base += "\\a-rather-long-directory-name";
    ensureLeadingPath(base);
    ASSERT_TRUE(isDirectory(base));
    const DWORD denied = ERROR_ACCESS_DENIED;
    struct Case {
        const char* what;
        std::deque<DWORD> script; // CreateDirectoryW's answers for the level
        bool parentReadOnly;
        Fails fails;
        std::size_t daclsSet;
        DWORD thrown; // the code whose text ends the exception's text; 0: none
    };
    const Case cases[] = {
        {"already exists", {ERROR_ALREADY_EXISTS}, false, Fails::None, 0, 0},
        {"denied once, read-only parent", {denied, 0}, true, Fails::None, 0, 0},
        {"denied once, writable parent", {denied, 0}, false, Fails::None, 0, 0},
        {"denied twice", {denied, denied, 0}, true, Fails::None, 1, 0},
        {"denied three times", {denied, denied, denied}, false, Fails::None, 1, denied},
        {"path not found", {ERROR_PATH_NOT_FOUND}, false, Fails::None, 0, ERROR_PATH_NOT_FOUND},
        {"denied, then another code", {denied, ERROR_DISK_FULL}, false, Fails::None, 0, ERROR_DISK_FULL},
        {"attributes unreadable", {denied, 0}, true, Fails::GetAttributes, 0, 0},
        {"read-only bit stays", {denied, 0}, true, Fails::SetAttributes, 0, 0},
        {"access list unreadable", {denied, denied, denied}, false, Fails::GetSecurity, 0, denied},
    };
    int round = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // A hidden parent: a repair must keep every attribute but read-only.
        const std::string parent = base + "\\p" + std::to_string(round++);
        const std::string directory = parent + "\\child";
        ASSERT_TRUE(::CreateDirectoryW(longForm(parent).c_str(), nullptr));
        ASSERT_TRUE(::SetFileAttributesW(longForm(parent).c_str(), FILE_ATTRIBUTE_HIDDEN));
        seen = Seen();
        seen.scripted = longForm(directory);
        seen.script = c.script;
        seen.reportReadOnly = c.parentReadOnly ? longForm(parent) : L"";
        seen.fails = c.fails;

        const std::type_info* type = c.thrown == ERROR_PATH_NOT_FOUND ? &typeid(error::EFileNotFoundError)
                                     : c.thrown != 0                  ? &typeid(error::ESystemError)
                                                                      : nullptr;
        EXPECT_EQ(thrown([&] { ensureLeadingPath(directory); }),
                  std::make_pair(type, c.thrown ? "Cannot create leading path \"" + directory +
                                                      "\": " + error::systemErrorText(c.thrown)
                                                : std::string()));
        EXPECT_TRUE(seen.script.empty()) << "every answer was asked for";
        EXPECT_EQ(std::count(seen.created.begin(), seen.created.end(), seen.scripted), long(c.script.size()));
        EXPECT_EQ(isDirectory(directory), c.script.back() == 0);
        // Only the parent is repaired, and only a read-only one's bit is cleared.
        EXPECT_EQ(std::count(seen.touched.begin(), seen.touched.end(), longForm(parent)), long(seen.touched.size()));
        EXPECT_EQ(seen.attributesSet, std::vector<DWORD>(c.parentReadOnly && c.fails != Fails::GetAttributes,
                                                         FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN));
        EXPECT_EQ(::GetFileAttributesW(longForm(parent).c_str()),
                  DWORD(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN));
        ASSERT_EQ(seen.daclsSet.size(), c.daclsSet);
        if (c.daclsSet != 0) {
            EXPECT_EQ(seen.daclsSet[0].rfind(toUtf8(longForm(parent)) + " D:(A;OICI;FA;;;SY)", 0), 0u)
                << seen.daclsSet[0];
        }
        if (c.fails != Fails::None) {
            EXPECT_EQ(log_.lines.back().level, 1);
        }
        log_.lines.clear();
    }
}

// A volume or share root belongs to everything on it: a refusal below it is reported,
// never answered by clearing its read-only bit or adding to its access list. The roots
// themselves, and paths without a level below the drive, need nothing.
TEST_F(LeadingPath, VolumeAndShareRootsAreNeverCreatedNorRepaired)
{
    const std::string drive = scratch_.path().substr(0, scratch_.path().find('\\', 3));
    const std::pair<std::string, std::string> cases[] = {
        {scratch_.path(), drive},
        {"\\\\server\\share\\a\\b", "\\\\server\\share\\a"},
    };
    for (const auto& [directory, firstLevel] : cases) {
        seen = Seen();
        seen.scripted = firstLevel[0] == '\\' ? toWide(firstLevel) : longForm(firstLevel);
        seen.script = {ERROR_ACCESS_DENIED};
        seen.reportReadOnly = L"\\\\?\\C:\\";
        expectThrows<error::ESystemError>([&] { ensureLeadingPath(directory); },
                                          "Cannot create leading path \"" + firstLevel +
                                              "\": " + error::systemErrorText(ERROR_ACCESS_DENIED));
        EXPECT_EQ(seen.created, std::vector<std::wstring>{seen.scripted}) << directory;
        EXPECT_TRUE(seen.touched.empty()) << directory;
    }
    seen = Seen();
    for (const char* root : {"C:\\", "C:", "\\\\server\\share\\", "\\\\server\\share", "relative", ""})
        EXPECT_NO_THROW(ensureLeadingPath(root)) << root;
    EXPECT_TRUE(seen.created.empty());
}

} // namespace
