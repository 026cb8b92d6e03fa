// Windows security of restored objects. Every Windows call goes through sys::calls, and every
// buffer that Windows allocates for us is released with LocalFree on every path.
#include "restore/security.h"

#include "common/error.h"
#include "common/log.h"
#include "common/text.h"
#include "io/fs.h"
#include "sys/handle.h"
#include "sys/syscalls.h"

#include <utility>

namespace {

// The UTF-16 form of a text, or false with the reason in `why`: the owner restore reports
// a text that cannot be converted like any other failure of its step, and goes on.
bool convertForOwner(const std::string& text, std::wstring& wide, std::string& why)
{
    try {
        wide = toWide(text);
        return true;
    } catch (const error::Exception& e) {
        why = e.fullText();
        return false;
    }
}

} // namespace

void applySecurityDescriptor(const std::string& path, const std::string& sddl, bool systemSecurity)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!sys::calls.ConvertStringSecurityDescriptorToSecurityDescriptorW(toWide(sddl).c_str(), SDDL_REVISION_1,
                                                                         &descriptor, nullptr)) {
        const std::string reason = error::lastErrorText();
        logAt(1, "Unable to convert SDDL \"" + sddl + "\": " + reason);
        return;
    }
    sys::UniqueLocalMemory ownsDescriptor(descriptor);

    SECURITY_INFORMATION mask = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                SACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION;
    BOOL defaulted = FALSE;
    PSID owner = nullptr;
    if (!sys::calls.GetSecurityDescriptorOwner(descriptor, &owner, &defaulted))
        error::throwSystemError(GetLastError(), "Cannot extract owner");
    if (owner == nullptr)
        mask &= ~OWNER_SECURITY_INFORMATION;

    PSID group = nullptr;
    if (!sys::calls.GetSecurityDescriptorGroup(descriptor, &group, &defaulted))
        error::throwSystemError(GetLastError(), "Cannot extract group");
    if (group == nullptr)
        mask &= ~GROUP_SECURITY_INFORMATION;

    BOOL daclPresent = FALSE;
    PACL dacl = nullptr;
    if (!sys::calls.GetSecurityDescriptorDacl(descriptor, &daclPresent, &dacl, &defaulted))
        error::throwSystemError(GetLastError(), "Cannot extract dacl");
    if (!daclPresent)
        mask &= ~DACL_SECURITY_INFORMATION;

    BOOL saclPresent = FALSE;
    PACL sacl = nullptr;
    if (!sys::calls.GetSecurityDescriptorSacl(descriptor, &saclPresent, &sacl, &defaulted))
        error::throwSystemError(GetLastError(), "Cannot extract sacl");
    if (!saclPresent || !systemSecurity)
        mask &= ~(SACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION);

    std::wstring target = longPathW(path);
    DWORD result =
        sys::calls.SetNamedSecurityInfoW(target.data(), SE_FILE_OBJECT, mask, owner, group,
                                         daclPresent ? dacl : nullptr, saclPresent && systemSecurity ? sacl : nullptr);
    if (result != ERROR_SUCCESS)
        logAt(1, "Unable to set security information on " + path + ": " + error::systemErrorText(result));
}

void restoreOwner(const std::string& path, const std::string& accountName)
{
    // Every object passes here: the texts are made only for a failure, and the buffers are
    // not zeroed first.
    auto who = [&] { return "('" + accountName + "')"; };
    auto lookupFailed = [&](const std::string& reason) {
        logAt(1,
              "Unable to restore original owner " + who() + " for '" + path + "' - account lookup failed: " + reason);
    };
    auto setFailed = [&](const std::string& reason) {
        logAt(1, "Unable to restore the owner " + who() + " for restore file '" + path +
                     "' - SetFileSecurity failed: " + reason);
    };
    constexpr DWORD kSidRoom = 4096;
    constexpr DWORD kDomainRoom = 8192;
    BYTE sid[kSidRoom];
    DWORD sidSize = kSidRoom;
    wchar_t domain[kDomainRoom];
    DWORD domainSize = kDomainRoom;
    SID_NAME_USE use;
    std::wstring name;
    std::string why;
    if (!convertForOwner(accountName, name, why)) {
        lookupFailed(why);
        return;
    }
    if (!sys::calls.LookupAccountNameW(nullptr, name.c_str(), sid, &sidSize, domain, &domainSize, &use)) {
        lookupFailed(error::lastErrorText());
        return;
    }

    SECURITY_DESCRIPTOR descriptor;
    if (!sys::calls.InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION)) {
        const std::string reason = error::lastErrorText();
        logAt(1, "Cannot initialize security descriptor for restoring file owner " + who() + " for '" + path +
                     "': " + reason);
        return;
    }
    if (!sys::calls.SetSecurityDescriptorOwner(&descriptor, sid, FALSE)) {
        const std::string reason = error::lastErrorText();
        logAt(1, "Unable to set the owner " + who() + " SID of the security descriptor for restore file '" + path +
                     "': " + reason);
        return;
    }
    std::wstring target;
    try {
        target = longPathW(path);
    } catch (const error::Exception& e) {
        setFailed(e.fullText());
        return;
    }
    if (!sys::calls.SetFileSecurityW(target.c_str(), OWNER_SECURITY_INFORMATION, &descriptor))
        setFailed(error::lastErrorText());
}

void grantSystemFullAccess(const std::string& directory)
{
    logAt(2, "Will give us explicit access to " + directory);

    std::wstring target = longPathW(directory);
    PSECURITY_DESCRIPTOR current = nullptr;
    DWORD result = sys::calls.GetNamedSecurityInfoW(target.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                                    nullptr, nullptr, nullptr, &current);
    if (result != ERROR_SUCCESS) {
        logAt(1, "Cannot fetch DACL for " + directory);
        return;
    }
    sys::UniqueLocalMemory ownsCurrent(current);

    LPWSTR text = nullptr;
    if (!sys::calls.ConvertSecurityDescriptorToStringSecurityDescriptorW(current, SDDL_REVISION_1,
                                                                         DACL_SECURITY_INFORMATION, &text, nullptr))
        error::throwSystemError(GetLastError(), "Cannot serialise to SDDL");
    sys::UniqueLocalMemory ownsText(text);

    const std::string widened = withSystemFullAccess(toUtf8(text));
    PSECURITY_DESCRIPTOR replacement = nullptr;
    if (!sys::calls.ConvertStringSecurityDescriptorToSecurityDescriptorW(toWide(widened).c_str(), SDDL_REVISION_1,
                                                                         &replacement, nullptr))
        error::throwSystemError(GetLastError(), "Cannot convert SDDL back");
    sys::UniqueLocalMemory ownsReplacement(replacement);

    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!sys::calls.GetSecurityDescriptorDacl(replacement, &present, &dacl, &defaulted))
        error::throwSystemError(GetLastError(), "Cannot extract DACL from SDDL");
    if (!present)
        error::throwSystemErrorText("No DACL present in SDDL");
    if (dacl == nullptr)
        error::throwSystemErrorText("No DACL set");
    if (defaulted)
        error::throwSystemErrorText("DACL defaulted");

    result = sys::calls.SetNamedSecurityInfoW(target.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                              nullptr, dacl, nullptr);
    if (result != ERROR_SUCCESS)
        logAt(1, "Unable to set DACL on " + directory);
}
