// Within install/: the account "-i --account" names, and the report of a failure that every step
// of "-i" and "-u" makes.
#pragma once

#include <windows.h>

#include "config/config.h"

// Windows takes passwords of up to 256 characters.
constexpr DWORD PasswordLength = 256;

// The account a service is to run as. The password is zeroed when the record goes.
struct ServiceAccount {
    // As the Service Control Manager takes it, in UTF-8; empty for LocalSystem.
    char Name[Utf8Size(512)];
    // Set for a user's account, which alone has a password and needs the right to log on as a
    // service: virtual accounts and the built-in service accounts have neither need.
    bool User;
    BYTE Sid[SECURITY_MAX_SID_SIZE];
    wchar_t Password[PasswordLength + 1];

    ~ServiceAccount() {
        SecureZeroMemory(Password, sizeof Password);
    }
};

// Resolves the account named after --account (null: LocalSystem), and reads a user's password.
// Returns 1, or 0 when the account cannot serve (the reason is printed and logged).
int PrepareServiceAccount(const char* named, ServiceAccount* account);

// Grants a user's account the right to log on as a service, as the Services console does when an
// administrator picks an account. Returns 1, or 0 (printed and logged).
int GrantServiceLogon(const ServiceAccount& account);

// Prints and logs "ERROR <action> <display name> (<key name>) service: <reason>"; action is
// "installing" or "uninstalling". An empty reason gives the error's code, so that the line never
// ends in nothing.
void ReportFailure(const char* action, const char* reason, DWORD error);
