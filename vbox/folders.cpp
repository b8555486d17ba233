// Who else may change the folders whose files a LocalSystem service hands to VirtualBox.
#include "vbox/vbox.h"

#include "config/config.h"

#include <aclapi.h>
#include <sddl.h>

#include <cwchar>
#include <string>

namespace {

// What lets a user change a folder's files, or make it so: write a file, add one, delete one, or
// change the folder's access or owner.
const DWORD WriteAccess =
    FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER;

// SYSTEM, Administrators, CREATOR OWNER (an entry for whoever creates a file: VirtualBox, here)
// and TrustedInstaller may act as LocalSystem anyway.
const wchar_t* const Trusted[] = {
    L"S-1-5-18", L"S-1-5-32-544", L"S-1-3-0",
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"};

bool IsTrusted(PSID sid) {
    wchar_t* text = nullptr;
    bool trusted = false;
    if (ConvertSidToStringSidW(sid, &text)) {
        for (const wchar_t* other : Trusted) {
            trusted = trusted || wcscmp(text, other) == 0;
        }
        LocalFree(text);
    }
    return trusted;
}

DWORD FileAccess(ACCESS_MASK mask) {
    GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                               FILE_ALL_ACCESS};
    MapGenericMask(&mask, &mapping);
    return mask;
}

// Logs the first account that the folder's security lets change it, if there is one; "ERROR"
// when the security cannot be read.
void CheckFolder(const wchar_t* folder, const char* vm) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD error = GetNamedSecurityInfoW(folder, SE_FILE_OBJECT,
                                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                        nullptr, nullptr, nullptr, nullptr, &descriptor);
    if (error != ERROR_SUCCESS) {
        LogMessage(1, "ERROR reading who may write to the folder %S (0x%08x)", folder,
                   static_cast<unsigned>(error));
        return;
    }
    PSID writer = FolderWriter(descriptor);
    if (writer != nullptr) {
        char name[512];
        AccountName(writer, name, sizeof name);
        LogMessage(1,
                   "WARNING: %s may write to the folder %S, and so act as LocalSystem through the "
                   "settings of VM '%s'. Install the service with -i --account, or let only "
                   "administrators write to that folder",
                   name, folder, vm);
    }
    LocalFree(descriptor);
}

}  // namespace

PSID FolderWriter(PSECURITY_DESCRIPTOR descriptor) {
    static SID everyone = {SID_REVISION, 1, SECURITY_WORLD_SID_AUTHORITY, {SECURITY_WORLD_RID}};
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    PSID owner = nullptr;
    GetSecurityDescriptorOwner(descriptor, &owner, &defaulted);
    if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present ||
        (dacl == nullptr)) {
        return &everyone;
    }
    // The owner may always rewrite the DACL, and so give itself write access, unless an entry for
    // OWNER RIGHTS takes the place of that implicit right.
    bool ownerMayRewrite = owner != nullptr;
    // Windows reads the entries in order: a denial before a grant takes its rights away, one after
    // it comes too late. Entries that only new files and folders inherit count as well: VirtualBox
    // writes its settings into such files.
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* allowed = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&allowed)) ||
            allowed->Header.AceType != ACCESS_ALLOWED_ACE_TYPE) {
            continue;
        }
        PSID sid = &allowed->SidStart;
        ownerMayRewrite = ownerMayRewrite && !IsWellKnownSid(sid, WinCreatorOwnerRightsSid);
        DWORD granted = FileAccess(allowed->Mask) & WriteAccess;
        for (DWORD j = 0; j < i && granted != 0; ++j) {
            ACCESS_DENIED_ACE* denied = nullptr;
            if (GetAce(dacl, j, reinterpret_cast<void**>(&denied)) &&
                denied->Header.AceType == ACCESS_DENIED_ACE_TYPE &&
                (EqualSid(&denied->SidStart, sid) ||
                 IsWellKnownSid(&denied->SidStart, WinWorldSid))) {
                granted &= ~FileAccess(denied->Mask);
            }
        }
        if (granted != 0 && !IsTrusted(sid)) {
            return sid;
        }
    }
    return ownerMayRewrite && !IsTrusted(owner) ? owner : nullptr;
}

void CheckMachineFolders(const char* name, IDispatch* machine) {
    const std::wstring home = Wide(ServiceConfig.VboxUserHome);
    CheckFolder(home.c_str(), name);
    ScopedBstr settings;
    HRESULT hr = GetStringProperty(machine, L"SettingsFilePath", settings.Put());
    // VirtualBox hands an empty text over as a null BSTR.
    wchar_t* separator =
        SUCCEEDED(hr) && (settings.Get() != nullptr) ? wcsrchr(settings.Get(), L'\\') : nullptr;
    if (separator == nullptr) {
        LogMessage(1, "ERROR reading the settings file of VM '%s' (0x%08x)", name,
                   static_cast<unsigned>(FAILED(hr) ? hr : E_UNEXPECTED));
        return;
    }
    *separator = L'\0';
    if (_wcsicmp(settings.Get(), home.c_str()) != 0) {
        CheckFolder(settings.Get(), name);
    }
}
