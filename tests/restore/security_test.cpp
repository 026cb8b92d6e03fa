// Security descriptors and owners on real files of the Wine prefix. Wine converts SDDL and
// looks up accounts for real; SetNamedSecurityInfoW keeps nothing there, so what it was
// given is captured through the system-call table.
#include "restore/security.h"

#include "common/error.h"
#include "common/log.h"
#include "common/text.h"
#include "sys/syscalls.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <vector>

namespace {

using Lines = std::vector<std::pair<int, std::string>>;

std::wstring longForm(const std::string& path)
{
    return L"\\\\?\\" + toWide(path);
}

// A fresh file (or directory) below the temporary directory of the Wine prefix.
class ScratchObject {
public:
    explicit ScratchObject(bool directory) : directory_(directory)
    {
        wchar_t buffer[MAX_PATH + 1];
        const DWORD length = ::GetTempPathW(MAX_PATH + 1, buffer);
        if (length == 0 || length > MAX_PATH)
            throw std::runtime_error("no temporary directory");
        std::random_device random;
        path_ = toUtf8(std::wstring(buffer, length) + L"rw-security-" + std::to_wstring(random()));
        const bool made = directory
                              ? ::CreateDirectoryW(longForm(path_).c_str(), nullptr)
                              : ::CloseHandle(::CreateFileW(longForm(path_).c_str(), GENERIC_WRITE, 0, nullptr,
                                                            CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!made)
            throw std::runtime_error("cannot create " + path_);
    }
    ~ScratchObject()
    {
        if (directory_)
            ::RemoveDirectoryW(longForm(path_).c_str());
        else
            ::DeleteFileW(longForm(path_).c_str());
    }
    ScratchObject(const ScratchObject&) = delete;
    ScratchObject& operator=(const ScratchObject&) = delete;
    const std::string& path() const { return path_; }

private:
    bool directory_;
    std::string path_;
};

std::string sidText(PSID sid)
{
    if (sid == nullptr)
        return "(none)";
    LPWSTR text = nullptr;
    if (!::ConvertSidToStringSidW(sid, &text))
        return "(not convertible)";
    const std::string out = toUtf8(text);
    ::LocalFree(text);
    return out;
}

std::string aclText(PACL acl, SECURITY_INFORMATION part)
{
    if (acl == nullptr)
        return "(none)";
    SECURITY_DESCRIPTOR descriptor;
    ::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    if (part == DACL_SECURITY_INFORMATION)
        ::SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE);
    else
        ::SetSecurityDescriptorSacl(&descriptor, TRUE, acl, FALSE);
    LPWSTR text = nullptr;
    if (!::ConvertSecurityDescriptorToStringSecurityDescriptorW(&descriptor, SDDL_REVISION_1, part, &text, nullptr))
        return "(not convertible)";
    const std::string out = toUtf8(text);
    ::LocalFree(text);
    return out;
}

// One SetNamedSecurityInfoW call as the fake saw it.
struct SetCall {
    std::wstring path;
    SE_OBJECT_TYPE type;
    SECURITY_INFORMATION mask;
    std::string owner, group, dacl, sacl;
};

struct Seen {
    std::vector<SetCall> sets;
    DWORD setResult = ERROR_SUCCESS;
    int allocated = 0; // descriptors and texts that Windows handed out
    int freed = 0;     // LocalFree calls
    std::vector<std::wstring> ownerFiles;
    std::vector<std::string> ownersSet;
    std::vector<std::string> converted; // SDDL texts made into descriptors
};
Seen seen;

DWORD WINAPI recordSet(LPWSTR path, SE_OBJECT_TYPE type, SECURITY_INFORMATION mask, PSID owner, PSID group, PACL dacl,
                       PACL sacl)
{
    seen.sets.push_back({path, type, mask, sidText(owner), sidText(group), aclText(dacl, DACL_SECURITY_INFORMATION),
                         aclText(sacl, SACL_SECURITY_INFORMATION)});
    return seen.setResult;
}

BOOL WINAPI countedStringToDescriptor(LPCWSTR text, DWORD revision, PSECURITY_DESCRIPTOR* descriptor, PULONG size)
{
    const BOOL ok = ::ConvertStringSecurityDescriptorToSecurityDescriptorW(text, revision, descriptor, size);
    seen.converted.push_back(toUtf8(text));
    seen.allocated += ok ? 1 : 0;
    return ok;
}

BOOL WINAPI countedDescriptorToString(PSECURITY_DESCRIPTOR descriptor, DWORD revision, SECURITY_INFORMATION info,
                                      LPWSTR* text, PULONG length)
{
    const BOOL ok = ::ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, revision, info, text, length);
    seen.allocated += ok ? 1 : 0;
    return ok;
}

DWORD WINAPI countedGetNamed(LPCWSTR path, SE_OBJECT_TYPE type, SECURITY_INFORMATION info, PSID* owner, PSID* group,
                             PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor)
{
    const DWORD result = ::GetNamedSecurityInfoW(path, type, info, owner, group, dacl, sacl, descriptor);
    seen.allocated += result == ERROR_SUCCESS ? 1 : 0;
    return result;
}

HLOCAL WINAPI countedFree(HLOCAL memory)
{
    ++seen.freed;
    return ::LocalFree(memory);
}

class Security : public ::testing::Test {
protected:
    void SetUp() override
    {
        seen = Seen();
        savedLevel_ = logLevel;
        logLevel = 3;
        savedSink_ = setLogSink([this](const std::string& text, int level, bool) { lines_.emplace_back(level, text); });
    }
    void TearDown() override
    {
        setLogSink(savedSink_);
        logLevel = savedLevel_;
        EXPECT_EQ(seen.freed, seen.allocated) << "every buffer from Windows is released";
    }

    // The exception of `action` as class and full text; empty when nothing was thrown.
    static std::pair<const std::type_info*, std::string> thrown(const std::function<void()>& action)
    {
        try {
            action();
        } catch (const error::Exception& e) {
            return {&typeid(e), e.fullText()};
        }
        return {nullptr, ""};
    }

    Lines lines_;

private:
    int savedLevel_ = 3;
    LogSink savedSink_;
    sys::Override<decltype(sys::calls.SetNamedSecurityInfoW)> set_{sys::calls.SetNamedSecurityInfoW, recordSet};
    sys::Override<decltype(sys::calls.ConvertStringSecurityDescriptorToSecurityDescriptorW)> toDescriptor_{
        sys::calls.ConvertStringSecurityDescriptorToSecurityDescriptorW, countedStringToDescriptor};
    sys::Override<decltype(sys::calls.ConvertSecurityDescriptorToStringSecurityDescriptorW)> toString_{
        sys::calls.ConvertSecurityDescriptorToStringSecurityDescriptorW, countedDescriptorToString};
    sys::Override<decltype(sys::calls.GetNamedSecurityInfoW)> getNamed_{sys::calls.GetNamedSecurityInfoW,
                                                                        countedGetNamed};
    sys::Override<decltype(sys::calls.LocalFree)> free_{sys::calls.LocalFree, countedFree};
};

TEST_F(Security, DescriptorPartsPresentInTheTextAreApplied)
{
    struct Case {
        std::string sddl;
        SECURITY_INFORMATION mask;
        std::string owner, group;
        bool dacl, sacl;
    };
    const Case cases[] = {
        {"O:BAD:(A;;FA;;;WD)", 0x5, "S-1-5-32-544", "(none)", true, false},
        {"G:SYD:(A;;FA;;;WD)", 0x6, "(none)", "S-1-5-18", true, false},
        {"O:BAG:SY", 0x3, "S-1-5-32-544", "S-1-5-18", false, false},
        {"O:BAG:BAD:P(A;;FA;;;BA)S:(AU;SA;FA;;;WD)", 0x1F, "S-1-5-32-544", "S-1-5-32-544", true, true},
        {"S:(AU;SA;FA;;;WD)", 0x18, "(none)", "(none)", false, true},
        {"D:", 0x4, "(none)", "(none)", true, false},
    };
    ScratchObject file(false);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sddl);
        seen.sets.clear();
        applySecurityDescriptor(file.path(), c.sddl);
        ASSERT_EQ(seen.sets.size(), 1u);
        const SetCall& call = seen.sets[0];
        EXPECT_EQ(call.path, longForm(file.path()));
        EXPECT_EQ(call.type, SE_FILE_OBJECT);
        EXPECT_EQ(call.mask, c.mask);
        EXPECT_EQ(call.owner, c.owner);
        EXPECT_EQ(call.group, c.group);
        EXPECT_EQ(call.dacl != "(none)", c.dacl) << call.dacl;
        EXPECT_EQ(call.sacl != "(none)", c.sacl) << call.sacl;
        EXPECT_TRUE(lines_.empty());
    }
}

// The lists themselves: the DACL's protection flags belong to the descriptor, not to the list.
TEST_F(Security, TheAccessListsGivenAreThoseOfTheText)
{
    ScratchObject file(false);
    applySecurityDescriptor(file.path(), "O:BAD:PAI(A;;FA;;;BA)(A;;FR;;;WD)S:(AU;FA;FA;;;WD)");
    ASSERT_EQ(seen.sets.size(), 1u);
    EXPECT_EQ(seen.sets[0].dacl, "D:(A;;FA;;;BA)(A;;FR;;;WD)");
    EXPECT_EQ(seen.sets[0].sacl, "S:(AU;FA;FA;;;WD)");
}

TEST_F(Security, UnreadableTextIsLoggedAndNothingApplied)
{
    ScratchObject file(false);
    for (const std::string sddl : {"this is not SDDL", "D:(X;;FA;;;WD)", "D:(A;;FA;;;)"}) {
        SCOPED_TRACE(sddl);
        lines_.clear();
        applySecurityDescriptor(file.path(), sddl);
        EXPECT_TRUE(seen.sets.empty());
        ASSERT_EQ(lines_.size(), 1u);
        EXPECT_EQ(lines_[0].first, 1);
        const std::string prefix = "Unable to convert SDDL \"" + sddl + "\": ";
        EXPECT_EQ(lines_[0].second.substr(0, prefix.size()), prefix);
        EXPECT_GT(lines_[0].second.size(), prefix.size()) << "the system's text follows";
    }
}

TEST_F(Security, ARefusedSetIsLogged)
{
    ScratchObject file(false);
    seen.setResult = ERROR_PRIVILEGE_NOT_HELD;
    applySecurityDescriptor(file.path(), "O:BAD:(A;;FA;;;WD)");
    EXPECT_EQ(seen.sets.size(), 1u);
    EXPECT_EQ(lines_, (Lines{{1, "Unable to set security information on " + file.path() + ": " +
                                     error::systemErrorText(ERROR_PRIVILEGE_NOT_HELD)}}));
}

TEST_F(Security, UnreadablePartsOfAConvertedDescriptorThrow)
{
    struct Case {
        std::function<std::unique_ptr<void, void (*)(void*)>()> fail;
        std::string text;
    };
    // Each fake fails with ERROR_INVALID_SECURITY_DESCR; the guard lives as long as the case.
    auto failing = [](auto& slot, auto fake) {
        using Slot = std::remove_reference_t<decltype(slot)>;
        auto* guard = new sys::Override<Slot>(slot, fake);
        return std::unique_ptr<void, void (*)(void*)>(guard, [](void* p) { delete static_cast<sys::Override<Slot>*>(p); });
    };
    const std::string reason = ": " + error::systemErrorText(ERROR_INVALID_SECURITY_DESCR);
    const Case cases[] = {
        {[&] {
             return failing(sys::calls.GetSecurityDescriptorOwner, +[](PSECURITY_DESCRIPTOR, PSID*, LPBOOL) -> BOOL {
                 ::SetLastError(ERROR_INVALID_SECURITY_DESCR);
                 return FALSE;
             });
         },
         "Cannot extract owner" + reason},
        {[&] {
             return failing(sys::calls.GetSecurityDescriptorGroup, +[](PSECURITY_DESCRIPTOR, PSID*, LPBOOL) -> BOOL {
                 ::SetLastError(ERROR_INVALID_SECURITY_DESCR);
                 return FALSE;
             });
         },
         "Cannot extract group" + reason},
        {[&] {
             return failing(sys::calls.GetSecurityDescriptorDacl,
                            +[](PSECURITY_DESCRIPTOR, LPBOOL, PACL*, LPBOOL) -> BOOL {
                                ::SetLastError(ERROR_INVALID_SECURITY_DESCR);
                                return FALSE;
                            });
         },
         "Cannot extract dacl" + reason},
        {[&] {
             return failing(sys::calls.GetSecurityDescriptorSacl,
                            +[](PSECURITY_DESCRIPTOR, LPBOOL, PACL*, LPBOOL) -> BOOL {
                                ::SetLastError(ERROR_INVALID_SECURITY_DESCR);
                                return FALSE;
                            });
         },
         "Cannot extract sacl" + reason},
    };
    ScratchObject file(false);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        auto guard = c.fail();
        const auto [type, text] = thrown([&] { applySecurityDescriptor(file.path(), "O:BAG:BAD:(A;;FA;;;WD)"); });
        EXPECT_EQ(type, &typeid(error::ESystemError));
        EXPECT_EQ(text, c.text);
        EXPECT_TRUE(seen.sets.empty());
        EXPECT_EQ(seen.freed, seen.allocated);
    }
}

// ---- owners

struct OwnerSeen {
    std::vector<std::wstring> files;
    std::vector<SECURITY_INFORMATION> parts;
    std::vector<std::string> owners;
};
OwnerSeen ownerSeen;

BOOL WINAPI recordFileSecurity(LPCWSTR path, SECURITY_INFORMATION part, PSECURITY_DESCRIPTOR descriptor)
{
    ownerSeen.files.push_back(path);
    ownerSeen.parts.push_back(part);
    PSID owner = nullptr;
    BOOL defaulted = TRUE;
    ::GetSecurityDescriptorOwner(descriptor, &owner, &defaulted);
    ownerSeen.owners.push_back(sidText(owner) + (defaulted ? " defaulted" : ""));
    return ::SetFileSecurityW(path, part, descriptor);
}

TEST_F(Security, OwnerOfAKnownAccountIsSet)
{
    ownerSeen = OwnerSeen();
    sys::Override record(sys::calls.SetFileSecurityW, recordFileSecurity);
    ScratchObject file(false);
    restoreOwner(file.path(), "Administrators");
    EXPECT_EQ(ownerSeen.files, std::vector<std::wstring>{longForm(file.path())});
    EXPECT_EQ(ownerSeen.parts, std::vector<SECURITY_INFORMATION>{OWNER_SECURITY_INFORMATION});
    EXPECT_EQ(ownerSeen.owners, std::vector<std::string>{"S-1-5-32-544"});
    EXPECT_EQ(lines_, Lines{});
}

TEST_F(Security, AnUnknownAccountOnlyLogsTheFailedLookup)
{
    ownerSeen = OwnerSeen();
    sys::Override record(sys::calls.SetFileSecurityW, recordFileSecurity);
    ScratchObject file(false);
    restoreOwner(file.path(), "no-such-account-7f3a");
    EXPECT_TRUE(ownerSeen.files.empty());
    ASSERT_EQ(lines_.size(), 1u);
    EXPECT_EQ(lines_[0].first, 1);
    const std::string prefix = "Unable to restore original owner ('no-such-account-7f3a') for '" + file.path() +
                               "' - account lookup failed: ";
    EXPECT_EQ(lines_[0].second.substr(0, prefix.size()), prefix);
    EXPECT_GT(lines_[0].second.size(), prefix.size()) << "the system's text follows";
}

TEST_F(Security, EveryOwnerStepThatFailsIsLoggedAndEndsTheRestore)
{
    struct Case {
        const char* what;
        std::function<std::unique_ptr<void, void (*)(void*)>()> fail;
        std::string line; // "<path>" stands for the file
    };
    auto failing = [](auto& slot, auto fake) {
        using Slot = std::remove_reference_t<decltype(slot)>;
        auto* guard = new sys::Override<Slot>(slot, fake);
        return std::unique_ptr<void, void (*)(void*)>(guard, [](void* p) { delete static_cast<sys::Override<Slot>*>(p); });
    };
    const std::string reason = error::systemErrorText(ERROR_INVALID_PARAMETER);
    const Case cases[] = {
        {"lookup",
         [&] {
             return failing(sys::calls.LookupAccountNameW,
                            +[](LPCWSTR, LPCWSTR, PSID, LPDWORD, LPWSTR, LPDWORD, PSID_NAME_USE) -> BOOL {
                                ::SetLastError(ERROR_INVALID_PARAMETER);
                                return FALSE;
                            });
         },
         "Unable to restore original owner ('Administrators') for '<path>' - account lookup failed: " + reason},
        {"descriptor",
         [&] {
             return failing(sys::calls.InitializeSecurityDescriptor, +[](PSECURITY_DESCRIPTOR, DWORD) -> BOOL {
                 ::SetLastError(ERROR_INVALID_PARAMETER);
                 return FALSE;
             });
         },
         "Cannot initialize security descriptor for restoring file owner ('Administrators') for '<path>': " +
             reason},
        {"owner of the descriptor",
         [&] {
             return failing(sys::calls.SetSecurityDescriptorOwner, +[](PSECURITY_DESCRIPTOR, PSID, BOOL) -> BOOL {
                 ::SetLastError(ERROR_INVALID_PARAMETER);
                 return FALSE;
             });
         },
         "Unable to set the owner ('Administrators') SID of the security descriptor for restore file '<path>': " +
             reason},
        {"file",
         [&] {
             return failing(sys::calls.SetFileSecurityW,
                            +[](LPCWSTR, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR) -> BOOL {
                                ::SetLastError(ERROR_INVALID_PARAMETER);
                                return FALSE;
                            });
         },
         "Unable to restore the owner ('Administrators') for restore file '<path>' - SetFileSecurity failed: " +
             reason},
    };
    ScratchObject file(false);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        lines_.clear();
        auto guard = c.fail();
        restoreOwner(file.path(), "Administrators");
        std::string line = c.line;
        line.replace(line.find("<path>"), 6, file.path());
        EXPECT_EQ(lines_, (Lines{{1, line}}));
    }
}

// ---- full access for the local system account

TEST_F(Security, SystemEntryGoesFirstInTheDirectorysDacl)
{
    ScratchObject directory(true);
    grantSystemFullAccess(directory.path());
    ASSERT_EQ(seen.sets.size(), 1u);
    const SetCall& call = seen.sets[0];
    EXPECT_EQ(call.path, longForm(directory.path()));
    EXPECT_EQ(call.type, SE_FILE_OBJECT);
    EXPECT_EQ(call.mask, SECURITY_INFORMATION(DACL_SECURITY_INFORMATION));
    EXPECT_EQ(call.owner, "(none)");
    EXPECT_EQ(call.group, "(none)");
    EXPECT_EQ(call.sacl, "(none)");
    const std::size_t firstEntry = call.dacl.find('(');
    ASSERT_NE(firstEntry, std::string::npos) << call.dacl;
    EXPECT_EQ(call.dacl.substr(firstEntry, 16), "(A;OICI;FA;;;SY)") << call.dacl;
    EXPECT_EQ(lines_, (Lines{{2, "Will give us explicit access to " + directory.path()}}));
}

// The directory's descriptor as Windows reports it, replaced by a fixed text.
std::string reportedDacl;
DWORD WINAPI reportDacl(LPCWSTR, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID*, PSID*, PACL*, PACL*,
                        PSECURITY_DESCRIPTOR* descriptor)
{
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(toWide(reportedDacl).c_str(), SDDL_REVISION_1,
                                                                descriptor, nullptr))
        return ::GetLastError();
    ++seen.allocated;
    return ERROR_SUCCESS;
}

TEST_F(Security, SystemEntryKeepsTheDaclFlagsInFront)
{
    sys::Override report(sys::calls.GetNamedSecurityInfoW, reportDacl);
    ScratchObject directory(true);
    reportedDacl = "D:PAI(A;;FA;;;BA)";
    grantSystemFullAccess(directory.path());
    EXPECT_EQ(seen.converted, std::vector<std::string>{"D:PAI(A;OICI;FA;;;S-1-5-18)(A;;FA;;;BA)"});
    ASSERT_EQ(seen.sets.size(), 1u);
    EXPECT_EQ(seen.sets[0].dacl, "D:(A;OICI;FA;;;SY)(A;;FA;;;BA)");
}

// Windows writes a null DACL as NO_ACCESS_CONTROL (Wine as "D:"): such a directory lets
// everybody in, and a DACL of the system entry alone would lock them out. The text goes back
// unchanged; Windows reads it as a null DACL again, which is refused as "No DACL set".
TEST_F(Security, ANullDaclIsNotTurnedIntoASystemOnlyDacl)
{
    sys::Override write(sys::calls.ConvertSecurityDescriptorToStringSecurityDescriptorW,
                        +[](PSECURITY_DESCRIPTOR, DWORD, SECURITY_INFORMATION, LPWSTR* text, PULONG) -> BOOL {
                            const std::wstring written = L"D:NO_ACCESS_CONTROL";
                            *text = static_cast<LPWSTR>(
                                ::LocalAlloc(LMEM_FIXED, (written.size() + 1) * sizeof(wchar_t)));
                            std::copy(written.c_str(), written.c_str() + written.size() + 1, *text);
                            ++seen.allocated;
                            return TRUE;
                        });
    ScratchObject directory(true);
    thrown([&] { grantSystemFullAccess(directory.path()); });
    EXPECT_EQ(seen.converted, std::vector<std::string>{"D:NO_ACCESS_CONTROL"});
}

TEST_F(Security, GrantFailures)
{
    struct Case {
        const char* what;
        std::string reported; // the directory's DACL as text
        std::function<std::unique_ptr<void, void (*)(void*)>()> fail;
        const std::type_info* thrown;
        std::string text; // of the exception, or of the last log line
        std::size_t sets;
    };
    auto failing = [](auto& slot, auto fake) {
        using Slot = std::remove_reference_t<decltype(slot)>;
        auto* guard = new sys::Override<Slot>(slot, fake);
        return std::unique_ptr<void, void (*)(void*)>(guard, [](void* p) { delete static_cast<sys::Override<Slot>*>(p); });
    };
    auto nothing = [] { return std::unique_ptr<void, void (*)(void*)>(nullptr, [](void*) {}); };
    const std::string reason = ": " + error::systemErrorText(ERROR_INVALID_SECURITY_DESCR);
    const Case cases[] = {
        {"DACL unreadable", "D:(A;;FA;;;BA)",
         [&] {
             return failing(sys::calls.GetNamedSecurityInfoW,
                            +[](LPCWSTR, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID*, PSID*, PACL*, PACL*,
                                PSECURITY_DESCRIPTOR*) -> DWORD { return ERROR_ACCESS_DENIED; });
         },
         nullptr, "Cannot fetch DACL for <path>", 0},
        {"DACL not written", "D:(A;;FA;;;BA)", nothing, nullptr, "Unable to set DACL on <path>", 1},
        {"descriptor without a DACL", "O:BA", nothing, &typeid(error::ESystemError), "No DACL present in SDDL", 0},
        {"null DACL in the new descriptor", "D:(A;;FA;;;BA)",
         [&] {
             return failing(sys::calls.GetSecurityDescriptorDacl,
                            +[](PSECURITY_DESCRIPTOR, LPBOOL present, PACL* dacl, LPBOOL defaulted) -> BOOL {
                                *present = TRUE;
                                *dacl = nullptr;
                                *defaulted = FALSE;
                                return TRUE;
                            });
         },
         &typeid(error::ESystemError), "No DACL set", 0},
        {"not serialisable", "D:(A;;FA;;;BA)",
         [&] {
             return failing(sys::calls.ConvertSecurityDescriptorToStringSecurityDescriptorW,
                            +[](PSECURITY_DESCRIPTOR, DWORD, SECURITY_INFORMATION, LPWSTR*, PULONG) -> BOOL {
                                ::SetLastError(ERROR_INVALID_SECURITY_DESCR);
                                return FALSE;
                            });
         },
         &typeid(error::ESystemError), "Cannot serialise to SDDL" + reason, 0},
        {"not convertible back", "D:(A;;FA;;;BA)",
         [&] {
             return failing(sys::calls.ConvertStringSecurityDescriptorToSecurityDescriptorW,
                            +[](LPCWSTR, DWORD, PSECURITY_DESCRIPTOR*, PULONG) -> BOOL {
                                ::SetLastError(ERROR_INVALID_SECURITY_DESCR);
                                return FALSE;
                            });
         },
         &typeid(error::ESystemError), "Cannot convert SDDL back" + reason, 0},
        {"DACL of the new descriptor unreadable", "D:(A;;FA;;;BA)",
         [&] {
             return failing(sys::calls.GetSecurityDescriptorDacl,
                            +[](PSECURITY_DESCRIPTOR, LPBOOL, PACL*, LPBOOL) -> BOOL {
                                ::SetLastError(ERROR_INVALID_SECURITY_DESCR);
                                return FALSE;
                            });
         },
         &typeid(error::ESystemError), "Cannot extract DACL from SDDL" + reason, 0},
        {"DACL of the new descriptor defaulted", "D:(A;;FA;;;BA)",
         [&] {
             return failing(sys::calls.GetSecurityDescriptorDacl,
                            +[](PSECURITY_DESCRIPTOR descriptor, LPBOOL present, PACL* dacl, LPBOOL defaulted) -> BOOL {
                                const BOOL ok = ::GetSecurityDescriptorDacl(descriptor, present, dacl, defaulted);
                                *defaulted = TRUE;
                                return ok;
                            });
         },
         &typeid(error::ESystemError), "DACL defaulted", 0},
    };
    ScratchObject directory(true);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        seen.sets.clear();
        seen.converted.clear();
        lines_.clear();
        reportedDacl = c.reported;
        sys::Override report(sys::calls.GetNamedSecurityInfoW, reportDacl);
        seen.setResult = c.sets != 0 ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
        auto guard = c.fail();
        std::string expected = c.text;
        if (const auto at = expected.find("<path>"); at != std::string::npos)
            expected.replace(at, 6, directory.path());

        const auto [type, text] = thrown([&] { grantSystemFullAccess(directory.path()); });
        EXPECT_EQ(type, c.thrown);
        if (c.thrown) {
            EXPECT_EQ(text, expected);
        } else {
            ASSERT_FALSE(lines_.empty());
            EXPECT_EQ(lines_.back(), std::make_pair(1, expected));
        }
        EXPECT_EQ(seen.sets.size(), c.sets) << ::testing::PrintToString(seen.converted);
        EXPECT_EQ(seen.freed, seen.allocated);
    }
}

} // namespace
