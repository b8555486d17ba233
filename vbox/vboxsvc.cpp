// Makes sure VirtualBox's COM server runs under the service's own account before the service
// connects, so that it works on the configured user home and environment.
#include "vbox/vbox.h"

#include "config/config.h"

#include <psapi.h>
#include <stdio.h>
#include <string.h>

#include <vector>

static const DWORD MaxProcessIds = 65536 / sizeof(DWORD);
static const char ServerName[] = "VBoxSVC.exe";

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
    char name[MAX_PATH] = "";
    if (EnumProcessModules(process, &module, sizeof(module), &needed) &&
        (GetModuleBaseNameA(process, module, name, sizeof(name)) != 0) &&
        (memcmp(name, ServerName, sizeof(ServerName)) == 0)) {
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
    char path[MAX_PATH];
    int length = snprintf(path, sizeof(path), "%s\\%s", ServiceConfig.VboxInstallPath, ServerName);
    if ((length < 0) || (length >= static_cast<int>(sizeof(path)))) {
        return ERROR_FILENAME_EXCED_RANGE;
    }
    // The path is both the application name and, quoted, the command line: an unquoted path
    // with blanks would make Windows try C:\Program.exe first, as this service's account.
    char commandLine[MAX_PATH + 2];
    snprintf(commandLine, sizeof(commandLine), "\"%s\"", path);
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(path, commandLine, nullptr, nullptr, FALSE,
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
