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

struct Seen {
    std::vector<std::string> sets; // "<path> <mask> <owner> <group> <dacl> <sacl>"
    DWORD setResult = ERROR_SUCCESS;
    std::vector<std::string> converted;
};
Seen seen;
std::string reportedDacl; // the directory's descriptor as the faked GetNamedSecurityInfoW reports it

DWORD WINAPI recordSet(LPWSTR path, SE_OBJECT_TYPE type, SECURITY_INFORMATION mask, PSID owner, PSID group, PACL dacl,
                       PACL sacl)
{
    EXPECT_EQ(type, SE_FILE_OBJECT);
    seen.sets.push_back(toUtf8(path) + " " + std::to_string(mask) + " " + sidText(owner) + " " + sidText(group) + " " +
                        aclText(dacl) + " " + aclText(sacl, SACL_SECURITY_INFORMATION));
    return seen.setResult;
}

BOOL WINAPI recordConversion(LPCWSTR text, DWORD revision, PSECURITY_DESCRIPTOR* descriptor, PULONG size)
{
    seen.converted.push_back(toUtf8(text));
    return ::ConvertStringSecurityDescriptorToSecurityDescriptorW(text, revision, descriptor, size);
}

DWORD WINAPI reportDacl(LPCWSTR path, SE_OBJECT_TYPE type, SECURITY_INFORMATION info, PSID* owner, PSID* group,
                        PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor)
{
    if (reportedDacl.empty())
        return ::GetNamedSecurityInfoW(path, type, info, owner, group, dacl, sacl, descriptor);
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(toWide(reportedDacl).c_str(), SDDL_REVISION_1,
                                                                descriptor, nullptr))
        return ::GetLastError();
    return ERROR_SUCCESS;
}

// Each test has a fresh file and directory.
class Security : public ::testing::Test {
protected:
    void SetUp() override
    {
        writeFile(file_, "");
        seen = Seen();
        reportedDacl.clear();
    }

    ScratchDir directory_;
    const std::string file_ = directory_ / "file";
    LogCapture log_;

private:
    std::shared_ptr<void> fakes_[3] = {
        replaced(sys::calls.SetNamedSecurityInfoW, recordSet),
        replaced(sys::calls.GetNamedSecurityInfoW, reportDacl),
        replaced(sys::calls.ConvertStringSecurityDescriptorToSecurityDescriptorW, recordConversion),
    };
};

// Owner, group, DACL and SACL as present in the text (the SACL only with the security
// privilege, without which Windows would refuse the whole set); bad text and a refused set
// are logged.
TEST_F(Security, DescriptorPartsPresentInTheTextAreApplied)
{
    const std::string ba = "S-1-5-32-544";
    const std::tuple<std::string, bool, std::string> cases[] = {
        {"O:BAD:(A;;FA;;;WD)", true, "5 " + ba + " (none) D:(A;;FA;;;WD) (none)"},
        {"G:SYD:", true, "6 (none) S-1-5-18 D: (none)"},
        {"O:BAG:SY", true, "3 " + ba + " S-1-5-18 (none) (none)"},
        {"S:(AU;SA;FA;;;WD)", true, "24 (none) (none) (none) S:(AU;SA;FA;;;WD)"},
        // The DACL's protection flags belong to the descriptor, not to the list.
        {"O:BAG:BAD:PAI(A;;FA;;;BA)(A;;FR;;;WD)S:(AU;FA;FA;;;WD)", true,
         "31 " + ba + " " + ba + " D:(A;;FA;;;BA)(A;;FR;;;WD) S:(AU;FA;FA;;;WD)"},
        {"O:BAD:(A;;FA;;;WD)S:(AU;SA;FA;;;WD)", false, "5 " + ba + " (none) D:(A;;FA;;;WD) (none)"},
    };
    for (const auto& [sddl, systemSecurity, set] : cases) {
        seen.sets.clear();
        applySecurityDescriptor(file_, sddl, systemSecurity);
        EXPECT_EQ(seen.sets, std::vector<std::string>{toUtf8(longForm(file_)) + " " + set}) << sddl;
    }
    EXPECT_TRUE(log_.lines.empty());

    seen.sets.clear();
    applySecurityDescriptor(file_, "D:(X;;FA;;;WD)");
    EXPECT_TRUE(seen.sets.empty());
    EXPECT_EQ(log_.lines.back().text.rfind("Unable to convert SDDL \"D:(X;;FA;;;WD)\": ", 0), 0u);
    seen.setResult = ERROR_PRIVILEGE_NOT_HELD;
    applySecurityDescriptor(file_, "O:BAD:(A;;FA;;;WD)");
    EXPECT_EQ(log_.lines.back(), (LogLine{1, "Unable to set security information on " + file_ + ": " +
                                                 error::systemErrorText(ERROR_PRIVILEGE_NOT_HELD)}));
}

TEST_F(Security, SystemEntryGoesFirstInTheDirectorysDaclBehindItsFlags)
{
    grantSystemFullAccess(directory_.path());
    ASSERT_EQ(seen.sets.size(), 1u);
    EXPECT_EQ(seen.sets[0].rfind(toUtf8(longForm(directory_.path())) + " 4 (none) (none) D:(A;OICI;FA;;;SY)", 0), 0u)
        << seen.sets[0];
    EXPECT_EQ(log_.lines, (std::vector<LogLine>{{2, "Will give us explicit access to " + directory_.path()}}));

    seen.sets.clear();
    seen.converted.clear();
    reportedDacl = "D:PAI(A;;FA;;;BA)";
    grantSystemFullAccess(directory_.path());
    EXPECT_EQ(seen.converted, std::vector<std::string>{"D:PAI(A;OICI;FA;;;S-1-5-18)(A;;FA;;;BA)"});
    ASSERT_EQ(seen.sets.size(), 1u);
    EXPECT_NE(seen.sets[0].find(" D:(A;OICI;FA;;;SY)(A;;FA;;;BA) "), std::string::npos) << seen.sets[0];
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
            return TRUE;
        });
    thrown([&] { grantSystemFullAccess(directory_.path()); });
    EXPECT_EQ(seen.converted, std::vector<std::string>{"D:NO_ACCESS_CONTROL"});
}

// A directory whose access list cannot be read or set is only logged; a descriptor without
// a usable DACL throws.
TEST_F(Security, GrantFailures)
{
    auto nullDacl = +[](PSECURITY_DESCRIPTOR, LPBOOL present, PACL* dacl, LPBOOL defaulted) -> BOOL {
        *present = TRUE;
        *dacl = nullptr;
        *defaulted = FALSE;
        return TRUE;
    };
    struct Case {
        std::string reported; // the directory's DACL as text
        std::function<std::shared_ptr<void>()> fail;
        bool throws;      // else logged
        std::string text; // of the exception, or of the last log line
        std::size_t sets;
    };
    const Case cases[] = {
        {"D:(A;;FA;;;BA)", [] { return refuse(sys::calls.GetNamedSecurityInfoW, 5, 5); }, false,
         "Cannot fetch DACL for <path>", 0},
        {"D:(A;;FA;;;BA)", [] { return std::shared_ptr<void>(); }, false, "Unable to set DACL on <path>", 1},
        {"O:BA", [] { return std::shared_ptr<void>(); }, true, "No DACL present in SDDL", 0},
        {"D:(A;;FA;;;BA)", [&] { return replaced(sys::calls.GetSecurityDescriptorDacl, nullDacl); }, true,
         "No DACL set", 0},
    };
    for (const Case& c : cases) {
        const std::string expected = replaceAll(c.text, "<path>", directory_.path());
        seen.sets.clear();
        reportedDacl = c.reported;
        seen.setResult = c.sets != 0 ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
        auto guard = c.fail();
        const auto [type, text] = thrown([&] { grantSystemFullAccess(directory_.path()); });
        EXPECT_EQ(type, c.throws ? &typeid(error::ESystemError) : nullptr) << expected;
        EXPECT_EQ(c.throws ? text : log_.lines.back().text, expected);
        EXPECT_EQ(seen.sets.size(), c.sets) << expected;
    }
}

} // namespace
