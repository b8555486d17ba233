// The INTERACTIVE entry in the service's DACL.
#include "install/install.h"

#include "config/config.h"

#include <aclapi.h>

namespace {

// Replaces the service's DACL with current's plus the INTERACTIVE entry. Returns 1 on success.
int ReplaceDacl(SC_HANDLE service, PSECURITY_DESCRIPTOR current) {
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(current, &present, &dacl, &defaulted)) {
        DWORD error = GetLastError();
        LogMessage(1, "ERROR retrieving DACL from security descriptor (0x%08x)",
                   static_cast<unsigned>(error));
        return 0;
    }
    // With no DACL, or a null one, dacl stays null and the new list holds the entry alone.
    PACL updated = nullptr;
    if (BuildInteractiveDacl(dacl, &updated) != ERROR_SUCCESS) {
        return 0;
    }

    int result = 0;
    SECURITY_DESCRIPTOR descriptor;
    if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION)) {
        DWORD error = GetLastError();
        LogMessage(1, "ERROR initializing new security descriptor (0x%08x)",
                   static_cast<unsigned>(error));
    } else if (!SetSecurityDescriptorDacl(&descriptor, TRUE, updated, FALSE)) {
        DWORD error = GetLastError();
        LogMessage(1, "ERROR replacing DACL (0x%08x)", static_cast<unsigned>(error));
    } else if (!SetServiceObjectSecurity(service, DACL_SECURITY_INFORMATION, &descriptor)) {
        DWORD error = GetLastError();
        LogMessage(1, "ERROR setting security descriptor of a service (0x%08x)",
                   static_cast<unsigned>(error));
    } else {
        result = 1;
    }
    LocalFree(updated);
    return result;
}

}  // namespace

DWORD BuildInteractiveDacl(PACL current, PACL* updated) {
    *updated = nullptr;
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    PSID interactive = nullptr;
    if (!AllocateAndInitializeSid(&ntAuthority, 1, SECURITY_INTERACTIVE_RID, 0, 0, 0, 0, 0, 0, 0,
                                  &interactive)) {
        DWORD error = GetLastError();
        LogMessage(1, "ERROR initializing SID for interactive user (0x%08x)",
                   static_cast<unsigned>(error));
        return error != ERROR_SUCCESS ? error : ERROR_INVALID_SID;
    }

    EXPLICIT_ACCESS_W access{};
    access.grfAccessPermissions = InteractiveServiceAccess;
    access.grfAccessMode = GRANT_ACCESS;
    access.grfInheritance = NO_INHERITANCE;
    access.Trustee.pMultipleTrustee = nullptr;
    access.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    access.Trustee.ptstrName = static_cast<LPWSTR>(interactive);
    DWORD result = SetEntriesInAclW(1, &access, current, updated);
    if (result != ERROR_SUCCESS) {
        DWORD error = GetLastError();
        LogMessage(1, "ERROR creating ACL (0x%08x, 0x%08x)", static_cast<unsigned>(result),
                   static_cast<unsigned>(error));
    }
    FreeSid(interactive);
    return result;
}

void GrantInteractiveAccess(SC_HANDLE service) {
    int done = 0;
    DWORD needed = 0;
    BOOL sized =
        QueryServiceObjectSecurity(service, DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    DWORD error = sized ? ERROR_SUCCESS : GetLastError();
    PSECURITY_DESCRIPTOR current = nullptr;
    if (error != ERROR_INSUFFICIENT_BUFFER) {
        // A query without a buffer cannot succeed: either way there is no descriptor to extend.
        LogMessage(1, "ERROR retrieving security descriptor of the service (0x%08x)",
                   static_cast<unsigned>(error));
    } else {
        current = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, needed);
        if (current != nullptr && QueryServiceObjectSecurity(service, DACL_SECURITY_INFORMATION,
                                                             current, needed, &needed)) {
            done = ReplaceDacl(service, current);
        }
    }
    if (current != nullptr) {
        HeapFree(GetProcessHeap(), 0, current);
    }
    if (!done) {
        LogMessage(1, "ERROR updating service DACL");
    }
}
