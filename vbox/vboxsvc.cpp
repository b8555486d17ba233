// Makes sure VirtualBox's COM server runs under the service's own account before the service
// connects, so that it works on the configured user home and environment.
#include "vbox/vbox.h"

#include "config/config.h"

#include <psapi.h>
#include <stdio.h>
#include <wchar.h>

#include <string>
#include <vector>

static const DWORD MaxProcessIds = 65536 / sizeof(DWORD);
static const wchar_t ServerName[] = L"VBoxSVC.exe";

// The user SID of a process's token, in a buffer the caller owns; null when it cannot be read.
static PSID ReadProcessUser(HANDLE process, std::vector<BYTE>* buffer) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(process, TOKEN_QUERY, &token)) {
        return nullptr;
    }
    PSID user = nullptr;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    if (size != 0) {
        buffer->resize(size);
        if (GetTokenInformation(token, TokenUser, buffer->data(), size, &size)) {
            user = reinterpret_cast<TOKEN_USER*>(buffer->data())->User.Sid;
        }
    }
    CloseHandle(token);
    return user;
}

// Whether the process is a VBoxSVC.exe (the exact name, letter case included) of the given user.
static bool IsServerOfUser(DWORD pid, PSID user) {
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (process == nullptr) {
        return false;
    }
    bool match = false;
    HMODULE module = nullptr;
    DWORD needed = 0;
    wchar_t name[MAX_PATH] = L"";
    if (EnumProcessModules(process, &module, sizeof(module), &needed) &&
        (GetModuleBaseNameW(process, module, name, MAX_PATH) != 0) &&
        (wcscmp(name, ServerName) == 0)) {
        std::vector<BYTE> buffer;
        PSID owner = ReadProcessUser(process, &buffer);
        match = (owner != nullptr) && (user != nullptr) && EqualSid(owner, user);
    }
    CloseHandle(process);
    return match;
}

static bool ServerOfOwnUserRuns() {
    std::vector<BYTE> buffer;
    PSID user = ReadProcessUser(GetCurrentProcess(), &buffer);
    std::vector<DWORD> pids(MaxProcessIds);
    DWORD bytes = 0;
    if (!EnumProcesses(pids.data(), static_cast<DWORD>(pids.size() * sizeof(DWORD)), &bytes)) {
        return false;
    }
    for (DWORD i = bytes / sizeof(DWORD); i-- > 0;) {
        if ((pids[i] != 0) && IsServerOfUser(pids[i], user)) {
            return true;
        }
    }
    return false;
}

// Starts VBoxSVC.exe from the installation folder; a Windows error code, 0 on success.
static DWORD LaunchServer(DWORD* pid) {
    const std::wstring path = Wide(ServiceConfig.VboxInstallPath) + L"\\" + ServerName;
    if (path.size() >= MAX_PATH) {
        return ERROR_FILENAME_EXCED_RANGE;
    }
    // The path is both the application name and, quoted, the command line: an unquoted path
    // with blanks would make Windows try C:\Program.exe first, as this service's account.
    std::wstring commandLine = L"\"" + path + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(path.c_str(), &commandLine[0], nullptr, nullptr, FALSE,
                        ServiceConfig.PriorityClass | CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                        &process)) {
        return GetLastError();
    }
    *pid = process.dwProcessId;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return ERROR_SUCCESS;
}

int EnsureVBoxSvcRunning() {
    if (ServerOfOwnUserRuns()) {
        return 0;
    }
    DWORD pid = 0;
    DWORD error = LaunchServer(&pid);
    if (error == ERROR_SUCCESS) {
        LogMessage(3, "Started VBoxSVC[%d]", static_cast<int>(pid));
    } else {
        char code[16];
        snprintf(code, sizeof(code), "0x%08x", static_cast<unsigned>(error));
        LogMessage(2, "Could not manually start VBoxSVC: %s", code);
    }
    return 1;
}
