// Registering the service with the Service Control Manager, removing it, and the access that
// interactively logged-on users get to it.
#pragma once

#include <windows.h>

#include <string>

// What INTERACTIVE users may do with the service: read it, start it and stop it. Never change its
// configuration: whoever may change it runs programs as the service's account.
constexpr DWORD InteractiveServiceAccess = GENERIC_READ | SERVICE_START | SERVICE_STOP;

// What "-i" registers beyond the configuration.
struct InstallOptions {
    // The time Windows is to grant the service's stop at a host shutdown (never less than its own
    // 300000 ms); 0 where Windows sends no pre-shutdown notification.
    DWORD PreshutdownTimeout;
    // The account to run as, as the administrator named it (".\user", "DOMAIN\user",
    // "user@domain", "NT SERVICE\name", "NT AUTHORITY\LocalService", ...); null or "LocalSystem"
    // for LocalSystem. A user account's password is read from standard input.
    const char* Account;
};

// "-i": registers the running executable as the service. Returns 0 when it was created, 2 when
// not; the outcome is printed and logged either way.
int InstallService(const InstallOptions& options);

// Prints and logs "ERROR installing <display name> (<key name>) service: <reason>", the reason
// formatted as printf does.
void ReportInstallFailure(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));

// The account the service's registration names ("LocalSystem", ".\user", ...). Returns 0 or the
// Windows error (logged).
DWORD QueryServiceAccount(std::string* account);

enum UninstallResult : int {
    UninstallDone = 0,      // deleted; it had been stopped
    UninstallPending = 1,   // marked for deletion; it goes when it stops
    UninstallFailed = 2,    // not deleted; the reason is printed and logged
    UninstallNotFound = 3,  // no such service; printed and logged
};

// Sets the service's pre-shutdown time-out again, never below 300000; a service that runs as
// LocalSystem calls it at each start, so an edited MaxWaitTimeout holds without a reinstall.
// Returns 0 or the Windows error (logged).
DWORD UpdatePreshutdownTimeout(DWORD timeout);

// For a service that runs as an account, which Windows refuses the right to change its own
// registration (and which must not have it: it could make itself LocalSystem): reads the
// registered pre-shutdown time-out, and logs a warning with the remedy when it is shorter than
// wanted. Returns 0 or the Windows error (logged).
DWORD CheckPreshutdownTimeout(DWORD wanted);

// "-u": removes the service's registration.
UninstallResult UninstallService();

// The service's event source in the Application log, named after the service: its message file is
// this executable. "-i" adds it, and so does each start, for a service installed before there was
// one (an account's service may not; it goes on without). Returns 0 or the Windows error.
DWORD AddEventSource();
// "-u" removes it, once the removal is logged. Returns 0 (also when there is none) or the error.
DWORD RemoveEventSource();

// Adds the INTERACTIVE entry to the service's DACL. Best effort: failures are only logged.
void GrantInteractiveAccess(SC_HANDLE service);

// The DACL that GrantInteractiveAccess hands to the service: current (may be null) with the
// INTERACTIVE entry granted. Returns 0 or the error (logged); free *updated with LocalFree.
DWORD BuildInteractiveDacl(PACL current, PACL* updated);
