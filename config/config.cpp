// The INI file beside the executable: paths and service name derived from the executable's own
// name, the section "Kelvaran", and the VirtualBox environment variables.
#include "config/config.h"

#include <io.h>
#include <sddl.h>

#include <cstdio>
#include <cstring>
#include <mutex>

ServiceConfigRecord ServiceConfig = {
    "", "", "", "", "", "", "", "", "", NORMAL_PRIORITY_CLASS, "", ShutdownMethod::none, 0, 1,
};

namespace {

// A full pass in ServiceMain may meet the control handler's partial pass: they take turns.
std::mutex PassLock;

struct PriorityWord {
    const char* text;
    DWORD priorityClass;
};

constexpr PriorityWord PriorityWords[] = {
    {"idle", IDLE_PRIORITY_CLASS},     {"below normal", BELOW_NORMAL_PRIORITY_CLASS},
    {"normal", NORMAL_PRIORITY_CLASS}, {"above normal", ABOVE_NORMAL_PRIORITY_CLASS},
    {"high", HIGH_PRIORITY_CLASS},
};

struct StopWord {
    const char* text;
    ShutdownMethod method;
};

// Compared in this order.
constexpr StopWord StopWords[] = {
    {"poweroff", ShutdownMethod::poweroff},
    {"savestate", ShutdownMethod::savestate},
    {"acpisleepbutton", ShutdownMethod::acpisleepbutton},
    {"acpipowerbutton", ShutdownMethod::acpipowerbutton},
};

// path with its last four characters replaced by extension.
void ReplaceExtension(char (&target)[MAX_PATH], const char* path, const char* extension) {
    size_t keep = strlen(path);
    keep = keep > 4 ? keep - 4 : 0;
    snprintf(target, sizeof target, "%.*s%s", static_cast<int>(keep), path, extension);
}

// Writes text into field only when it differs: the paths and the key name never change after
// the first pass, so threads reading them while a later pass runs never see them rewritten.
template <size_t N>
void Publish(char (&field)[N], const char* text) {
    if (strcmp(field, text) != 0) {
        snprintf(field, N, "%s", text);
    }
}

void DeriveNames() {
    char exePath[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, exePath, sizeof exePath);
    char iniPath[MAX_PATH];
    char logPath[MAX_PATH];
    ReplaceExtension(iniPath, exePath, ".ini");
    ReplaceExtension(logPath, exePath, ".log");
    Publish(ServiceConfig.ExePath, exePath);
    Publish(ServiceConfig.IniPath, iniPath);
    Publish(ServiceConfig.LogPath, logPath);
}

void DeriveServiceKeyName() {
    const char* slash = strrchr(ServiceConfig.ExePath, '\\');
    const char* base = slash != nullptr ? slash + 1 : ServiceConfig.ExePath;
    size_t length = strlen(base);
    char name[sizeof ServiceConfig.ServiceKeyName] = "kelvaran";
    if (length > 4) {
        snprintf(name, sizeof name, "%.*s", static_cast<int>(length - 4), base);
    }
    ReplaceChar(name, ' ', '_');
    Publish(ServiceConfig.ServiceKeyName, name);
}

template <size_t N>
void ReadText(const char* key, char (&field)[N], DWORD size = N) {
    GetPrivateProfileStringA(ConfigSection, key, "", field, size, ServiceConfig.IniPath);
}

// Reads a required folder: '/' becomes '\' and one trailing '\' goes. Returns 0 when the key is
// missing or empty (a lone separator counts as configured and ends up empty).
int ReadFolder(const char* key, char (&field)[MAX_PATH]) {
    ReadText(key, field);
    if (field[0] == '\0') {
        return 0;
    }
    ReplaceChar(field, '/', '\\');
    size_t length = strlen(field);
    if (field[length - 1] == '\\') {
        field[length - 1] = '\0';
    }
    return 1;
}

DWORD PriorityClassOf(const char* text) {
    for (const PriorityWord& word : PriorityWords) {
        if (_stricmp(text, word.text) == 0) {
            return word.priorityClass;
        }
    }
    return NORMAL_PRIORITY_CLASS;
}

// The one-time override wins over "ShutdownCommand"; a word that names no method is poweroff.
void ReadStopSettings() {
    ReadText("ShutdownOnceCommand", ServiceConfig.ShutdownCommandText);
    if (ServiceConfig.ShutdownCommandText[0] == '\0') {
        GetPrivateProfileStringA(ConfigSection, "ShutdownCommand", "poweroff",
                                 ServiceConfig.ShutdownCommandText,
                                 sizeof ServiceConfig.ShutdownCommandText, ServiceConfig.IniPath);
    }
    for (const StopWord& word : StopWords) {
        if (_stricmp(ServiceConfig.ShutdownCommandText, word.text) == 0) {
            ServiceConfig.ShutdownMethod = word.method;
            return;
        }
    }
    strcpy(ServiceConfig.ShutdownCommandText, "poweroff");
    ServiceConfig.ShutdownMethod = ShutdownMethod::poweroff;
}

// MaxWaitTimeout as Windows reads a number from a profile: decimal digits after an optional sign,
// up to the first other character; a negative value or none at all is 0. A value that is not only
// such a number is logged with the value used, as it is most likely a typo.
DWORD ReadMaxWaitTimeout() {
    char text[64] = "";
    ReadText("MaxWaitTimeout", text);
    if (text[0] == '\0') {
        return 300000;
    }
    const char* digits = (text[0] == '+' || text[0] == '-') ? text + 1 : text;
    unsigned long long value = 0;
    const char* at = digits;
    for (; (*at >= '0') && (*at <= '9'); ++at) {
        value = value * 10 + static_cast<unsigned>(*at - '0');
        value = value > MAXDWORD ? MAXDWORD : value;
    }
    DWORD used = text[0] == '-' ? 0 : static_cast<DWORD>(value);
    if ((at == digits) || (*at != '\0') || ((text[0] == '-') && (value != 0))) {
        LogMessage(1, "ERROR: MaxWaitTimeout '%s' is not a number of milliseconds; %lu is used",
                   text, static_cast<unsigned long>(used));
    }
    return used;
}

int LoadLocked(BOOL full) {
    DeriveNames();
    if (_access(ServiceConfig.IniPath, 0) == -1) {
        LogMessage(1, "Configuration file '%s' does not exist", ServiceConfig.IniPath);
        return 0;
    }
    UINT level = GetPrivateProfileIntA(ConfigSection, "Loglevel", 1, ServiceConfig.IniPath);
    ServiceConfig.LogLevel = static_cast<signed char>(level & 0xFF);

    if (full) {
        DeriveServiceKeyName();
        if (!ReadFolder("VboxInstallPath", ServiceConfig.VboxInstallPath)) {
            LogMessage(1, "ERROR: VboxInstallPath not configured");
            return 0;
        }
        if (!ReadFolder("VboxUserHome", ServiceConfig.VboxUserHome)) {
            LogMessage(1, "ERROR: VboxUserHome not configured");
            return 0;
        }
        ReadText("VmName", ServiceConfig.VmName, 255);
        if (ServiceConfig.VmName[0] == '\0') {
            LogMessage(1, "ERROR: No VmName configured");
            return 0;
        }
        ReadText("ServiceName", ServiceConfig.DisplayName, 255);
        ReadText("Priority", ServiceConfig.PriorityText);
        ServiceConfig.PriorityClass = PriorityClassOf(ServiceConfig.PriorityText);
    }

    ReadStopSettings();
    ServiceConfig.MaxWaitTimeout = ReadMaxWaitTimeout();
    return 1;
}

}  // namespace

int LoadConfiguration(BOOL full) {
    std::lock_guard<std::mutex> hold(PassLock);
    return LoadLocked(full);
}

void SetVirtualBoxEnvironment() {
    char installPath[MAX_PATH + 1];
    snprintf(installPath, sizeof installPath, "%s\\", ServiceConfig.VboxInstallPath);
    SetEnvironmentVariableA("VBOX_INSTALL_PATH", installPath);
    SetEnvironmentVariableA("VBOX_USER_HOME", ServiceConfig.VboxUserHome);
}

void ReplaceChar(char* text, char from, char to) {
    if (text == nullptr) {
        return;
    }
    for (size_t i = 0, length = strlen(text); i < length; ++i) {
        if (text[i] == from) {
            text[i] = to;
            length = strlen(text);
        }
    }
}

void AccountName(PSID sid, char* text, size_t size) {
    char name[256] = "";
    char domain[256] = "";
    DWORD nameSize = sizeof name;
    DWORD domainSize = sizeof domain;
    SID_NAME_USE use;
    char* sidText = nullptr;
    if (LookupAccountSidA(nullptr, sid, name, &nameSize, domain, &domainSize, &use)) {
        snprintf(text, size, "%s%s%s", domain, domain[0] != '\0' ? "\\" : "", name);
    } else if (ConvertSidToStringSidA(sid, &sidText)) {
        snprintf(text, size, "%s", sidText);
        LocalFree(sidText);
    } else {
        snprintf(text, size, "(unknown account)");
    }
}

DWORD ProcessUserSid(BYTE (&sid)[SECURITY_MAX_SID_SIZE]) {
    union {
        TOKEN_USER user;
        BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } token{};
    HANDLE handle = nullptr;
    DWORD size = 0;
    DWORD error = ERROR_SUCCESS;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &handle) ||
        !GetTokenInformation(handle, TokenUser, &token, sizeof token, &size) ||
        !CopySid(sizeof sid, sid, token.user.User.Sid)) {
        error = GetLastError();
    }
    if (handle != nullptr) {
        CloseHandle(handle);
    }
    return error;
}
