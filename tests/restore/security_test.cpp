// Security descriptors and owners on real files of the Wine prefix. Wine converts SDDL and
// looks up accounts for real; SetNamedSecurityInfoW keeps nothing there, so what it was
// given is captured through the system-call table.
#include "restore/security.h"

#include "common/error.h"
#include "restore/restore_fixture.h"
#include "sys/syscalls.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace restore_test;
using Lines = std::vector<LogLine>;

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
    int allocated = 0;                    // descriptors and texts that Windows handed out
    int freed = 0;                        // LocalFree calls
    std::vector<std::wstring> ownerFiles; // SetFileSecurityW calls
    std::vector<SECURITY_INFORMATION> ownerParts;
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

BOOL WINAPI recordFileSecurity(LPCWSTR path, SECURITY_INFORMATION part, PSECURITY_DESCRIPTOR descriptor)
{
    seen.ownerFiles.push_back(path);
    seen.ownerParts.push_back(part);
    PSID owner = nullptr;
    BOOL defaulted = TRUE;
    ::GetSecurityDescriptorOwner(descriptor, &owner, &defaulted);
    seen.ownersSet.push_back(sidText(owner) + (defaulted ? " defaulted" : ""));
    return ::SetFileSecurityW(path, part, descriptor);
}

HLOCAL WINAPI countedFree(HLOCAL memory)
{
    ++seen.freed;
    return ::LocalFree(memory);
}

// Each test has a file and a directory, both fresh; the log is captured at level 3.
class Security : public ::testing::Test {
protected:
    void SetUp() override
    {
        writeFile(file_, "");
        seen = Seen();
    }
    void TearDown() override { EXPECT_EQ(seen.freed, seen.allocated) << "every buffer from Windows is released"; }

    ScratchDir directory_;
    const std::string file_ = directory_ / "file";
    LogCapture log_;

private:
    std::shared_ptr<void> fakes_[6] = {
        replaced(sys::calls.SetNamedSecurityInfoW, recordSet),
        replaced(sys::calls.ConvertStringSecurityDescriptorToSecurityDescriptorW, countedStringToDescriptor),
        replaced(sys::calls.ConvertSecurityDescriptorToStringSecurityDescriptorW, countedDescriptorToString),
        replaced(sys::calls.GetNamedSecurityInfoW, countedGetNamed),
        replaced(sys::calls.LocalFree, countedFree),
        replaced(sys::calls.SetFileSecurityW, recordFileSecurity),
    };
};

// Exactly one line at `level`, the given text and then the system's reason.
void expectOneLineWithReason(const Lines& lines, int level, const std::string& prefix)
{
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, level);
    EXPECT_EQ(lines[0].text.substr(0, prefix.size()), prefix);
    EXPECT_GT(lines[0].text.size(), prefix.size()) << "the system's text follows";
}

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
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sddl);
        seen.sets.clear();
        applySecurityDescriptor(file_, c.sddl);
        ASSERT_EQ(seen.sets.size(), 1u);
        const SetCall& call = seen.sets[0];
        EXPECT_EQ(call.path, longForm(file_));
        EXPECT_EQ(call.type, SE_FILE_OBJECT);
        EXPECT_EQ(call.mask, c.mask);
        EXPECT_EQ(call.owner, c.owner);
        EXPECT_EQ(call.group, c.group);
        EXPECT_EQ(call.dacl != "(none)", c.dacl) << call.dacl;
        EXPECT_EQ(call.sacl != "(none)", c.sacl) << call.sacl;
        EXPECT_TRUE(log_.lines.empty());
    }
    // The lists themselves: the DACL's protection flags belong to the descriptor, not to the list.
    seen.sets.clear();
    applySecurityDescriptor(file_, "O:BAD:PAI(A;;FA;;;BA)(A;;FR;;;WD)S:(AU;FA;FA;;;WD)");
    ASSERT_EQ(seen.sets.size(), 1u);
    EXPECT_EQ(seen.sets[0].dacl, "D:(A;;FA;;;BA)(A;;FR;;;WD)");
    EXPECT_EQ(seen.sets[0].sacl, "S:(AU;FA;FA;;;WD)");
}

TEST_F(Security, UnreadableTextOrARefusedSetIsLogged)
{
    for (const std::string sddl : {"this is not SDDL", "D:(X;;FA;;;WD)", "D:(A;;FA;;;)"}) {
        SCOPED_TRACE(sddl);
        log_.lines.clear();
        applySecurityDescriptor(file_, sddl);
        EXPECT_TRUE(seen.sets.empty());
        expectOneLineWithReason(log_.lines, 1, "Unable to convert SDDL \"" + sddl + "\": ");
    }
    log_.lines.clear();
    seen.setResult = ERROR_PRIVILEGE_NOT_HELD;
    applySecurityDescriptor(file_, "O:BAD:(A;;FA;;;WD)");
    EXPECT_EQ(seen.sets.size(), 1u);
    EXPECT_EQ(log_.lines, (Lines{{1, "Unable to set security information on " + file_ + ": " +
                                         error::systemErrorText(ERROR_PRIVILEGE_NOT_HELD)}}));
}

TEST_F(Security, UnreadablePartsOfAConvertedDescriptorThrow)
{
    struct Case {
        std::function<std::shared_ptr<void>()> fail;
        std::string text;
    };
    const DWORD code = ERROR_INVALID_SECURITY_DESCR;
    const std::string reason = ": " + error::systemErrorText(code);
    const Case cases[] = {
        {[&] { return refuse(sys::calls.GetSecurityDescriptorOwner, code); }, "Cannot extract owner" + reason},
        {[&] { return refuse(sys::calls.GetSecurityDescriptorGroup, code); }, "Cannot extract group" + reason},
        {[&] { return refuse(sys::calls.GetSecurityDescriptorDacl, code); }, "Cannot extract dacl" + reason},
        {[&] { return refuse(sys::calls.GetSecurityDescriptorSacl, code); }, "Cannot extract sacl" + reason},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        auto guard = c.fail();
        expectThrows<error::ESystemError>([&] { applySecurityDescriptor(file_, "O:BAG:BAD:(A;;FA;;;WD)"); }, c.text);
        EXPECT_TRUE(seen.sets.empty());
        EXPECT_EQ(seen.freed, seen.allocated);
    }
}

// ---- owners

TEST_F(Security, OwnerOfAKnownAccountIsSetAnUnknownOneOnlyLogged)
{
    restoreOwner(file_, "Administrators");
    EXPECT_EQ(seen.ownerFiles, std::vector<std::wstring>{longForm(file_)});
    EXPECT_EQ(seen.ownerParts, std::vector<SECURITY_INFORMATION>{OWNER_SECURITY_INFORMATION});
    EXPECT_EQ(seen.ownersSet, std::vector<std::string>{"S-1-5-32-544"});
    EXPECT_EQ(log_.lines, Lines{});

    seen.ownerFiles.clear();
    restoreOwner(file_, "no-such-account-7f3a");
    EXPECT_TRUE(seen.ownerFiles.empty());
    expectOneLineWithReason(log_.lines, 1,
                            "Unable to restore original owner ('no-such-account-7f3a') for '" + file_ +
                                "' - account lookup failed: ");
}

TEST_F(Security, EveryOwnerStepThatFailsIsLoggedAndEndsTheRestore)
{
    struct Case {
        std::function<std::shared_ptr<void>()> fail;
        std::string line; // "<path>" stands for the file
    };
    const DWORD code = ERROR_INVALID_PARAMETER;
    const std::string reason = error::systemErrorText(code);
    const Case cases[] = {
        {[&] { return refuse(sys::calls.LookupAccountNameW, code); },
         "Unable to restore original owner ('Administrators') for '<path>' - account lookup failed: " + reason},
        {[&] { return refuse(sys::calls.InitializeSecurityDescriptor, code); },
         "Cannot initialize security descriptor for restoring file owner ('Administrators') for '<path>': " + reason},
        {[&] { return refuse(sys::calls.SetSecurityDescriptorOwner, code); },
         "Unable to set the owner ('Administrators') SID of the security descriptor for restore file '<path>': " +
             reason},
        {[&] { return refuse(sys::calls.SetFileSecurityW, code); },
         "Unable to restore the owner ('Administrators') for restore file '<path>' - SetFileSecurity failed: " +
             reason},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        log_.lines.clear();
        auto guard = c.fail();
        restoreOwner(file_, "Administrators");
        EXPECT_EQ(log_.lines, (Lines{{1, replaceAll(c.line, "<path>", file_)}}));
    }
}

// ---- full access for the local system account

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

TEST_F(Security, SystemEntryGoesFirstInTheDirectorysDaclBehindItsFlags)
{
    grantSystemFullAccess(directory_.path());
    ASSERT_EQ(seen.sets.size(), 1u);
    const SetCall& call = seen.sets[0];
    EXPECT_EQ(call.path, longForm(directory_.path()));
    EXPECT_EQ(call.type, SE_FILE_OBJECT);
    EXPECT_EQ(call.mask, SECURITY_INFORMATION(DACL_SECURITY_INFORMATION));
    EXPECT_EQ(call.owner, "(none)");
    EXPECT_EQ(call.group, "(none)");
    EXPECT_EQ(call.sacl, "(none)");
    const std::size_t firstEntry = call.dacl.find('(');
    ASSERT_NE(firstEntry, std::string::npos) << call.dacl;
    EXPECT_EQ(call.dacl.substr(firstEntry, 16), "(A;OICI;FA;;;SY)") << call.dacl;
    EXPECT_EQ(log_.lines, (Lines{{2, "Will give us explicit access to " + directory_.path()}}));

    // Behind the DACL's flags, of a descriptor as Windows reports it.
    seen.sets.clear();
    seen.converted.clear();
    sys::Override report(sys::calls.GetNamedSecurityInfoW, reportDacl);
    reportedDacl = "D:PAI(A;;FA;;;BA)";
    grantSystemFullAccess(directory_.path());
    EXPECT_EQ(seen.converted, std::vector<std::string>{"D:PAI(A;OICI;FA;;;S-1-5-18)(A;;FA;;;BA)"});
    ASSERT_EQ(seen.sets.size(), 1u);
    EXPECT_EQ(seen.sets[0].dacl, "D:(A;OICI;FA;;;SY)(A;;FA;;;BA)");
}

// Windows writes a null DACL as NO_ACCESS_CONTROL (Wine as "D:"): such a directory lets
// everybody in, and a DACL of the system entry alone would lock them out. The text goes back
// unchanged; Windows reads it as a null DACL again, which is refused as "No DACL set".
TEST_F(Security, ANullDaclIsNotTurnedIntoASystemOnlyDacl)
{
    sys::Override write(
        sys::calls.ConvertSecurityDescriptorToStringSecurityDescriptorW,
        +[](PSECURITY_DESCRIPTOR, DWORD, SECURITY_INFORMATION, LPWSTR* text, PULONG) -> BOOL {
            const std::wstring written = L"D:NO_ACCESS_CONTROL";
            *text = static_cast<LPWSTR>(::LocalAlloc(LMEM_FIXED, (written.size() + 1) * sizeof(wchar_t)));
            std::copy(written.c_str(), written.c_str() + written.size() + 1, *text);
            ++seen.allocated;
            return TRUE;
        });
    thrown([&] { grantSystemFullAccess(directory_.path()); });
    EXPECT_EQ(seen.converted, std::vector<std::string>{"D:NO_ACCESS_CONTROL"});
}

TEST_F(Security, GrantFailures)
{
    struct Case {
        std::string reported; // the directory's DACL as text
        std::function<std::shared_ptr<void>()> fail;
        const std::type_info* thrown;
        std::string text; // of the exception, or of the last log line
        std::size_t sets;
    };
    auto nothing = [] { return std::shared_ptr<void>(); };
    const DWORD code = ERROR_INVALID_SECURITY_DESCR;
    const std::string reason = ": " + error::systemErrorText(code);
    const std::type_info* systemError = &typeid(error::ESystemError);
    const Case cases[] = {
        {"D:(A;;FA;;;BA)",
         [] {
             return replaced(
                 sys::calls.GetNamedSecurityInfoW,
                 +[](LPCWSTR, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID*, PSID*, PACL*, PACL*,
                     PSECURITY_DESCRIPTOR*) -> DWORD { return ERROR_ACCESS_DENIED; });
         },
         nullptr, "Cannot fetch DACL for <path>", 0},
        {"D:(A;;FA;;;BA)", nothing, nullptr, "Unable to set DACL on <path>", 1},
        {"O:BA", nothing, systemError, "No DACL present in SDDL", 0},
        {"D:(A;;FA;;;BA)", // a null DACL in the new descriptor
         [] {
             return replaced(
                 sys::calls.GetSecurityDescriptorDacl,
                 +[](PSECURITY_DESCRIPTOR, LPBOOL present, PACL* dacl, LPBOOL defaulted) -> BOOL {
                     *present = TRUE;
                     *dacl = nullptr;
                     *defaulted = FALSE;
                     return TRUE;
                 });
         },
         systemError, "No DACL set", 0},
        {"D:(A;;FA;;;BA)",
         [&] { return refuse(sys::calls.ConvertSecurityDescriptorToStringSecurityDescriptorW, code); }, systemError,
         "Cannot serialise to SDDL" + reason, 0},
        {"D:(A;;FA;;;BA)",
         [&] { return refuse(sys::calls.ConvertStringSecurityDescriptorToSecurityDescriptorW, code); }, systemError,
         "Cannot convert SDDL back" + reason, 0},
        {"D:(A;;FA;;;BA)", [&] { return refuse(sys::calls.GetSecurityDescriptorDacl, code); }, systemError,
         "Cannot extract DACL from SDDL" + reason, 0},
        {"D:(A;;FA;;;BA)",
         [] {
             return replaced(
                 sys::calls.GetSecurityDescriptorDacl,
                 +[](PSECURITY_DESCRIPTOR descriptor, LPBOOL present, PACL* dacl, LPBOOL defaulted) -> BOOL {
                     const BOOL ok = ::GetSecurityDescriptorDacl(descriptor, present, dacl, defaulted);
                     *defaulted = TRUE;
                     return ok;
                 });
         },
         systemError, "DACL defaulted", 0},
    };
    for (const Case& c : cases) {
        const std::string expected = replaceAll(c.text, "<path>", directory_.path());
        SCOPED_TRACE(expected);
        seen.sets.clear();
        seen.converted.clear();
        log_.lines.clear();
        reportedDacl = c.reported;
        sys::Override report(sys::calls.GetNamedSecurityInfoW, reportDacl);
        seen.setResult = c.sets != 0 ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
        auto guard = c.fail();

        const auto [type, text] = thrown([&] { grantSystemFullAccess(directory_.path()); });
        EXPECT_EQ(type, c.thrown);
        if (c.thrown) {
            EXPECT_EQ(text, expected);
        } else {
            ASSERT_FALSE(log_.lines.empty());
            EXPECT_EQ(log_.lines.back(), (LogLine{1, expected}));
        }
        EXPECT_EQ(seen.sets.size(), c.sets) << ::testing::PrintToString(seen.converted);
        EXPECT_EQ(seen.freed, seen.allocated);
    }
}

} // namespace
