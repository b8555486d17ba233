// Configuration from the INI file beside the executable, and the leveled log beside it.
#pragma once

#include <windows.h>

#include <atomic>

// INI section that holds every key.
constexpr char ConfigSection[] = "Kelvaran";

enum class ShutdownMethod : DWORD {
    none = 0,
    poweroff = 1,
    savestate = 2,
    acpipowerbutton = 3,
    acpisleepbutton = 4,
};

// The process-wide configuration. Full passes run before any other thread exists; the partial
// pass on the control handler's thread rewrites only LogLevel, the stop fields and MaxWaitTimeout.
// The two values other threads read at any time are atomic; the stop fields are ordered by the
// StopRequested event that follows the partial pass.
struct ServiceConfigRecord {
    char ExePath[MAX_PATH];
    char IniPath[MAX_PATH];
    char LogPath[MAX_PATH];
    char ServiceKeyName[256];
    char DisplayName[256];
    char VboxInstallPath[MAX_PATH];
    char VboxUserHome[MAX_PATH];
    char VmName[256];
    char PriorityText[64];
    DWORD PriorityClass;
    char ShutdownCommandText[64];
    ::ShutdownMethod ShutdownMethod;
    std::atomic<DWORD> MaxWaitTimeout;
    std::atomic<signed char> LogLevel;
};

extern ServiceConfigRecord ServiceConfig;

// Reads the INI file into ServiceConfig; full = 0 asks for the partial pass. Returns 1 when the
// configuration is complete, 0 otherwise (the reason is logged).
int LoadConfiguration(BOOL full);

// Publishes VBOX_INSTALL_PATH and VBOX_USER_HOME for this process and the processes it starts.
void SetVirtualBoxEnvironment();

// Replaces every byte from with to, in place; a null text is left alone.
void ReplaceChar(char* text, char from, char to);

// The account of sid as "DOMAIN\name" ("name" alone where the domain is empty, as for Everyone),
// or as "S-1-..." when the system knows no name for it: for the log and the console.
void AccountName(PSID sid, char* text, size_t size);

// The SID of the account this process runs as, from its token. Returns 0 or the Windows error.
DWORD ProcessUserSid(BYTE (&sid)[SECURITY_MAX_SID_SIZE]);

// Appends "[MM/DD/YY HH:MM:SS] message" to the log when level passes LogLevel. %S takes a wide
// string, written in the ANSI code page. Lines from concurrent callers never interleave.
// The compiler checks the arguments against the format: DWORD and HRESULT are longs, so pass
// them to "0x%08x" as unsigned.
void LogMessage(int level, const char* format, ...) __attribute__((format(gnu_printf, 2, 3)));
