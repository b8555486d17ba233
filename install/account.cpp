// The account "-i --account" names: its look-up, its password and its right to log on as a
// service.
#include "install/account.h"

#include "config/config.h"
#include "install/install.h"

#include <ntsecapi.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

namespace {

const char VirtualAccounts[] = "NT SERVICE\\";

// Resolves a named account into the name the manager takes; a user's account in the canonical
// DOMAIN\name form, which the manager takes whatever form the administrator typed.
int ResolveAccount(const char* named, ServiceAccount* account) {
    // A virtual account belongs to a service that does not exist yet: nothing knows its SID.
    if (_strnicmp(named, VirtualAccounts, sizeof VirtualAccounts - 1) == 0) {
        snprintf(account->Name, sizeof account->Name, "%s", named);
        return 1;
    }
    // ".\name" stands for an account of this computer, which the look-up knows by its name.
    wchar_t computer[MAX_COMPUTERNAME_LENGTH + 1] = L"";
    DWORD computerSize = MAX_COMPUTERNAME_LENGTH + 1;
    bool local = strncmp(named, ".\\", 2) == 0 && GetComputerNameW(computer, &computerSize);
    const std::wstring name = local ? computer + Wide(named + 1) : Wide(named);

    DWORD sidSize = sizeof account->Sid;
    wchar_t domain[256];
    DWORD domainSize = 256;
    SID_NAME_USE use = SidTypeUnknown;
    if (!LookupAccountNameW(nullptr, name.c_str(), account->Sid, &sidSize, domain, &domainSize,
                            &use)) {
        DWORD error = GetLastError();
        ReportInstallFailure("account %s not found (0x%08x)", named, static_cast<unsigned>(error));
        return 0;
    }
    PSID sid = account->Sid;
    if (IsWellKnownSid(sid, WinLocalServiceSid)) {
        strcpy(account->Name, "NT AUTHORITY\\LocalService");
    } else if (IsWellKnownSid(sid, WinNetworkServiceSid)) {
        strcpy(account->Name, "NT AUTHORITY\\NetworkService");
    } else if (!IsWellKnownSid(sid, WinLocalSystemSid)) {
        AccountName(sid, account->Name, sizeof account->Name);
        account->User = use == SidTypeUser;
        if (!account->User) {
            ReportInstallFailure("%s is a group, not an account a service can run as",
                                 account->Name);
            return 0;
        }
    }
    return 1;
}

// Reads one line into password: typed at the console without echo (the console hands over
// UTF-16), or fed to standard input by a script, whose bytes are read as the INI file's are: UTF-8,
// or else the ANSI code page. Returns 1, or 0 (printed and logged).
int ReadPassword(const char* account, wchar_t (&password)[PasswordLength + 1]) {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    size_t length = 0;
    bool tooLong = false;
    if (GetConsoleMode(input, &mode)) {
        ConsolePrint(STD_OUTPUT_HANDLE, "Password for %s: ", account);
        wchar_t typed[PasswordLength + 3];
        DWORD read = 0;
        SetConsoleMode(input, (mode & ~ENABLE_ECHO_INPUT) | ENABLE_LINE_INPUT);
        if (!ReadConsoleW(input, typed, PasswordLength + 2, &read, nullptr)) {
            read = 0;
        }
        SetConsoleMode(input, mode);
        ConsolePrint(STD_OUTPUT_HANDLE, "\n");
        while (read > 0 && (typed[read - 1] == L'\n' || typed[read - 1] == L'\r')) {
            --read;
        }
        tooLong = read > PasswordLength;
        length = tooLong ? 0 : read;
        wmemcpy(password, typed, length);
        SecureZeroMemory(typed, sizeof typed);
    } else {
        // Bytes up to the line's end; four a character at most.
        char line[PasswordLength * 4 + 1];
        size_t bytes = 0;
        char c = 0;
        DWORD read = 0;
        while (ReadFile(input, &c, 1, &read, nullptr) && read == 1 && c != '\n') {
            tooLong = tooLong || bytes == sizeof line - 1;
            if (!tooLong) {
                line[bytes++] = c;
            }
        }
        bytes -= bytes > 0 && line[bytes - 1] == '\r' ? 1 : 0;
        TextEncoding encoding = DetectEncoding(line, bytes);
        size_t mark = ByteOrderMarkSize(encoding);
        std::wstring text =
            DecodeText(line + mark, bytes - mark,
                       encoding == TextEncoding::Utf8Bom ? TextEncoding::Utf8 : encoding);
        tooLong = tooLong || text.size() > PasswordLength;
        length = tooLong ? 0 : text.size();
        wmemcpy(password, text.data(), length);
        SecureZeroMemory(&text[0], text.size() * sizeof(wchar_t));
        SecureZeroMemory(line, sizeof line);
        SecureZeroMemory(&c, sizeof c);
    }
    password[length] = L'\0';
    if (tooLong) {
        ReportInstallFailure("the password for %s is longer than %lu characters", account,
                             static_cast<unsigned long>(PasswordLength));
    } else if (length == 0) {
        ReportInstallFailure("no password given for %s, a user account", account);
    }
    return !tooLong && length > 0;
}

}  // namespace

int PrepareServiceAccount(const char* named, ServiceAccount* account) {
    account->Name[0] = '\0';
    account->User = false;
    account->Password[0] = L'\0';
    if (named == nullptr || _stricmp(named, "LocalSystem") == 0) {
        return 1;
    }
    return ResolveAccount(named, account) &&
           (!account->User || ReadPassword(account->Name, account->Password));
}

int GrantServiceLogon(const ServiceAccount& account) {
    if (!account.User) {
        return 1;
    }
    LSA_OBJECT_ATTRIBUTES attributes{};
    LSA_HANDLE policy = nullptr;
    NTSTATUS status =
        LsaOpenPolicy(nullptr, &attributes, POLICY_LOOKUP_NAMES | POLICY_CREATE_ACCOUNT, &policy);
    if (status == 0) {
        wchar_t right[] = L"SeServiceLogonRight";
        LSA_UNICODE_STRING rights = {sizeof right - sizeof(wchar_t), sizeof right, right};
        status = LsaAddAccountRights(policy, const_cast<BYTE*>(account.Sid), &rights, 1);
        LsaClose(policy);
    }
    if (status != 0) {
        ReportInstallFailure("could not grant %s the right to log on as a service (0x%08x)",
                             account.Name, static_cast<unsigned>(LsaNtStatusToWinError(status)));
    }
    return status == 0;
}
