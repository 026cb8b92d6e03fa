// Security descriptors and owners on real files of the Wine prefix. Wine converts SDDL and
// looks up accounts for real; SetNamedSecurityInfoW keeps nothing there, so what it was
// given is captured through the system-call table.
#include "restore/security.h"

#include "common/error.h"
#include "restore/restore_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace restore_test;

std::string sidText(PSID sid)
{
    LPWSTR text = nullptr;
    if (sid == nullptr || !::ConvertSidToStringSidW(sid, &text))
        return "(none)";
    const std::string out = toUtf8(text);
    ::LocalFree(text);
    return out;
}

// One SetNamedSecurityInfoW call as the fake saw it.
struct SetCall {
    std::wstring path;
    SECURITY_INFORMATION mask;
    std::string owner, group, dacl, sacl;
};

struct Seen {
    std::vector<SetCall> sets;
    DWORD setResult = ERROR_SUCCESS;
    int allocated = 0; // descriptors and texts that Windows handed out
    int freed = 0;     // LocalFree calls
    std::vector<std::string> ownersSet, converted;
};
Seen seen;
std::string reportedDacl; // the directory's descriptor as the faked GetNamedSecurityInfoW reports it

DWORD WINAPI recordSet(LPWSTR path, SE_OBJECT_TYPE type, SECURITY_INFORMATION mask, PSID owner, PSID group, PACL dacl,
                       PACL sacl)
{
    EXPECT_EQ(type, SE_FILE_OBJECT);
    seen.sets.push_back({path, mask, sidText(owner), sidText(group), aclText(dacl, DACL_SECURITY_INFORMATION),
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

DWORD WINAPI reportDacl(LPCWSTR, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID*, PSID*, PACL*, PACL*,
                        PSECURITY_DESCRIPTOR* descriptor)
{
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(toWide(reportedDacl).c_str(), SDDL_REVISION_1,
                                                                descriptor, nullptr))
        return ::GetLastError();
    ++seen.allocated;
    return ERROR_SUCCESS;
}

BOOL WINAPI recordFileSecurity(LPCWSTR path, SECURITY_INFORMATION part, PSECURITY_DESCRIPTOR descriptor)
{
    PSID owner = nullptr;
    BOOL defaulted = TRUE;
    ::GetSecurityDescriptorOwner(descriptor, &owner, &defaulted);
    seen.ownersSet.push_back(toUtf8(path) + " " + std::to_string(part) + " " + sidText(owner) +
                             (defaulted ? " defaulted" : ""));
    return ::SetFileSecurityW(path, part, descriptor);
}

HLOCAL WINAPI countedFree(HLOCAL memory)
{
    ++seen.freed;
    return ::LocalFree(memory);
}

// Each test has a fresh file and directory; every buffer Windows hands out is released.
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
        replaced(sys::calls.GetNamedSecurityInfoW, countedGetNamed),
        replaced(sys::calls.ConvertStringSecurityDescriptorToSecurityDescriptorW, countedStringToDescriptor),
        replaced(sys::calls.ConvertSecurityDescriptorToStringSecurityDescriptorW, countedDescriptorToString),
        replaced(sys::calls.LocalFree, countedFree),
        replaced(sys::calls.SetFileSecurityW, recordFileSecurity),
    };
};

TEST_F(Security, DescriptorPartsPresentInTheTextAreApplied)
{
    struct Case {
        std::string sddl;
        bool systemSecurity;
        SECURITY_INFORMATION mask;
        std::string owner, group, dacl, sacl;
    };
    const Case cases[] = {
        {"O:BAD:(A;;FA;;;WD)", true, 0x5, "S-1-5-32-544", "(none)", "D:(A;;FA;;;WD)", "(none)"},
        {"G:SYD:", true, 0x6, "(none)", "S-1-5-18", "D:", "(none)"},
        {"O:BAG:SY", true, 0x3, "S-1-5-32-544", "S-1-5-18", "(none)", "(none)"},
        {"S:(AU;SA;FA;;;WD)", true, 0x18, "(none)", "(none)", "(none)", "S:(AU;SA;FA;;;WD)"},
        // The DACL's protection flags belong to the descriptor, not to the list.
        {"O:BAG:BAD:PAI(A;;FA;;;BA)(A;;FR;;;WD)S:(AU;FA;FA;;;WD)", true, 0x1F, "S-1-5-32-544", "S-1-5-32-544",
         "D:(A;;FA;;;BA)(A;;FR;;;WD)", "S:(AU;FA;FA;;;WD)"},
        // Without the security privilege Windows would refuse the whole set: the SACL stays out.
        {"O:BAD:(A;;FA;;;WD)S:(AU;SA;FA;;;WD)", false, 0x5, "S-1-5-32-544", "(none)", "D:(A;;FA;;;WD)", "(none)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sddl);
        seen.sets.clear();
        applySecurityDescriptor(file_, c.sddl, c.systemSecurity);
        ASSERT_EQ(seen.sets.size(), 1u);
        const SetCall& call = seen.sets[0];
        EXPECT_EQ(call.path, longForm(file_));
        EXPECT_EQ(call.mask, c.mask);
        EXPECT_EQ(call.owner + " " + call.group + " " + call.dacl + " " + call.sacl,
                  c.owner + " " + c.group + " " + c.dacl + " " + c.sacl);
    }
    EXPECT_TRUE(log_.lines.empty());
}

TEST_F(Security, UnreadableTextOrARefusedSetIsLogged)
{
    applySecurityDescriptor(file_, "D:(X;;FA;;;WD)");
    EXPECT_TRUE(seen.sets.empty());
    ASSERT_EQ(log_.lines.size(), 1u);
    EXPECT_EQ(log_.lines[0].text.rfind("Unable to convert SDDL \"D:(X;;FA;;;WD)\": ", 0), 0u) << log_.lines[0];

    log_.lines.clear();
    seen.setResult = ERROR_PRIVILEGE_NOT_HELD;
    applySecurityDescriptor(file_, "O:BAD:(A;;FA;;;WD)");
    EXPECT_EQ(seen.sets.size(), 1u);
    EXPECT_EQ(log_.lines, (std::vector<LogLine>{{1, "Unable to set security information on " + file_ + ": " +
                                                        error::systemErrorText(ERROR_PRIVILEGE_NOT_HELD)}}));
}

TEST_F(Security, UnreadablePartsOfAConvertedDescriptorThrow)
{
    const DWORD code = ERROR_INVALID_SECURITY_DESCR;
    const std::pair<std::function<std::shared_ptr<void>()>, std::string> cases[] = {
        {[&] { return refuse(sys::calls.GetSecurityDescriptorOwner, code); }, "Cannot extract owner"},
        {[&] { return refuse(sys::calls.GetSecurityDescriptorGroup, code); }, "Cannot extract group"},
        {[&] { return refuse(sys::calls.GetSecurityDescriptorDacl, code); }, "Cannot extract dacl"},
        {[&] { return refuse(sys::calls.GetSecurityDescriptorSacl, code); }, "Cannot extract sacl"},
    };
    for (const auto& [fail, text] : cases) {
        auto guard = fail();
        expectThrows<error::ESystemError>([&] { applySecurityDescriptor(file_, "O:BAG:BAD:(A;;FA;;;WD)"); },
                                          text + ": " + error::systemErrorText(code));
        EXPECT_TRUE(seen.sets.empty());
    }
}

// The owner of a known account is set; every step that fails, an unknown account's look-up
// included, is logged and ends the owner's restore.
TEST_F(Security, OwnerIsSetOrWhyNotLogged)
{
    restoreOwner(file_, "Administrators");
    EXPECT_EQ(seen.ownersSet, std::vector<std::string>{toUtf8(longForm(file_)) + " 1 S-1-5-32-544"});
    EXPECT_TRUE(log_.lines.empty());

    const DWORD code = ERROR_INVALID_PARAMETER;
    const std::string reason = error::systemErrorText(code);
    const std::pair<std::function<std::shared_ptr<void>()>, std::string> cases[] = {
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
    for (const auto& [fail, line] : cases) {
        log_.lines.clear();
        auto guard = fail();
        restoreOwner(file_, "Administrators");
        EXPECT_EQ(log_.lines, (std::vector<LogLine>{{1, replaceAll(line, "<path>", file_)}}));
    }
    log_.lines.clear();
    seen.ownersSet.clear();
    restoreOwner(file_, "no-such-account-7f3a");
    EXPECT_TRUE(seen.ownersSet.empty());
    ASSERT_EQ(log_.lines.size(), 1u);
    EXPECT_EQ(log_.lines[0].text.rfind("Unable to restore original owner ('no-such-account-7f3a') for '" + file_ +
                                           "' - account lookup failed: ",
                                       0),
              0u);
}

TEST_F(Security, SystemEntryGoesFirstInTheDirectorysDaclBehindItsFlags)
{
    grantSystemFullAccess(directory_.path());
    ASSERT_EQ(seen.sets.size(), 1u);
    EXPECT_EQ(seen.sets[0].path, longForm(directory_.path()));
    EXPECT_EQ(seen.sets[0].mask, SECURITY_INFORMATION(DACL_SECURITY_INFORMATION));
    EXPECT_EQ(seen.sets[0].owner + seen.sets[0].group + seen.sets[0].sacl, "(none)(none)(none)");
    EXPECT_EQ(seen.sets[0].dacl.rfind("D:(A;OICI;FA;;;SY)", 0), 0u) << seen.sets[0].dacl;
    EXPECT_EQ(log_.lines, (std::vector<LogLine>{{2, "Will give us explicit access to " + directory_.path()}}));

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
        bool throws;      // else logged
        std::string text; // of the exception, or of the last log line
        std::size_t sets;
    };
    auto nothing = [] { return std::shared_ptr<void>(); };
    const DWORD code = ERROR_INVALID_SECURITY_DESCR;
    const std::string reason = ": " + error::systemErrorText(code);
    auto nullDacl = +[](PSECURITY_DESCRIPTOR, LPBOOL present, PACL* dacl, LPBOOL defaulted) -> BOOL {
        *present = TRUE;
        *dacl = nullptr;
        *defaulted = FALSE;
        return TRUE;
    };
    auto defaultedDacl = +[](PSECURITY_DESCRIPTOR descriptor, LPBOOL present, PACL* dacl, LPBOOL defaulted) -> BOOL {
        const BOOL ok = ::GetSecurityDescriptorDacl(descriptor, present, dacl, defaulted);
        *defaulted = TRUE;
        return ok;
    };
    const std::string dacl = "D:(A;;FA;;;BA)";
    const Case cases[] = {
        {dacl, [] { return refuse(sys::calls.GetNamedSecurityInfoW, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED); }, false,
         "Cannot fetch DACL for <path>", 0},
        {dacl, nothing, false, "Unable to set DACL on <path>", 1},
        {"O:BA", nothing, true, "No DACL present in SDDL", 0},
        {dacl, [&] { return replaced(sys::calls.GetSecurityDescriptorDacl, nullDacl); }, true, "No DACL set", 0},
        {dacl, [&] { return refuse(sys::calls.ConvertSecurityDescriptorToStringSecurityDescriptorW, code); }, true,
         "Cannot serialise to SDDL" + reason, 0},
        {dacl, [&] { return refuse(sys::calls.ConvertStringSecurityDescriptorToSecurityDescriptorW, code); }, true,
         "Cannot convert SDDL back" + reason, 0},
        {dacl, [&] { return refuse(sys::calls.GetSecurityDescriptorDacl, code); }, true,
         "Cannot extract DACL from SDDL" + reason, 0},
        {dacl, [&] { return replaced(sys::calls.GetSecurityDescriptorDacl, defaultedDacl); }, true, "DACL defaulted",
         0},
    };
    for (const Case& c : cases) {
        const std::string expected = replaceAll(c.text, "<path>", directory_.path());
        SCOPED_TRACE(expected);
        seen.sets.clear();
        log_.lines.clear();
        reportedDacl = c.reported;
        sys::Override report(sys::calls.GetNamedSecurityInfoW, reportDacl);
        seen.setResult = c.sets != 0 ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
        auto guard = c.fail();

        const auto [type, text] = thrown([&] { grantSystemFullAccess(directory_.path()); });
        EXPECT_EQ(type, c.throws ? &typeid(error::ESystemError) : nullptr);
        if (c.throws)
            EXPECT_EQ(text, expected);
        else
            EXPECT_EQ(log_.lines.back(), (LogLine{1, expected}));
        EXPECT_EQ(seen.sets.size(), c.sets);
    }
}

} // namespace
