// The INI file beside the executable: paths and service name derived from the executable's own
// name, the section "Kelvaran", and the VirtualBox environment variables.
#include "config/config.h"

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
std::wstring ReplaceExtension(const std::wstring& path, const wchar_t* extension) {
    return path.substr(0, path.size() > 4 ? path.size() - 4 : 0) + extension;
}

// Writes text into field only when it differs: the paths and the key name never change after
// the first pass, so threads reading them while a later pass runs never see them rewritten.
template <size_t N>
void Publish(char (&field)[N], const std::wstring& text) {
    char converted[N];
    CopyUtf8(text.c_str(), N / 3, converted);
    if (strcmp(field, converted) != 0) {
        memcpy(field, converted, N);
    }
}

// The executable's own path, as far as MAX_PATH holds it.
std::wstring ModulePath() {
    wchar_t path[MAX_PATH] = L"";
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, length);
}

void DeriveNames(const std::wstring& exePath) {
    Publish(ServiceConfig.ExePath, exePath);
    Publish(ServiceConfig.IniPath, ReplaceExtension(exePath, L".ini"));
    Publish(ServiceConfig.LogPath, ReplaceExtension(exePath, L".log"));
}

// The key's text, or fallback, into field, cut to units - 1 UTF-16 units as the profile functions
// cut a value to their buffer.
template <size_t N>
void ReadText(const IniFile& ini, const wchar_t* key, char (&field)[N], size_t units = N / 3,
              const wchar_t* fallback = L"") {
    std::vector<wchar_t> value(units);
    GetIniString(ini, ConfigSection, key, fallback, value.data(), static_cast<DWORD>(units));
    CopyUtf8(value.data(), units, field);
}

// Reads a required folder: '/' becomes '\' and one trailing '\' goes. Returns 0 when the key is
// missing or empty (a lone separator counts as configured and ends up empty). UTF-8 holds neither
// byte inside another character.
int ReadFolder(const IniFile& ini, const wchar_t* key, char (&field)[Utf8Size(MAX_PATH)]) {
    ReadText(ini, key, field);
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
void ReadStopSettings(const IniFile& ini) {
    ReadText(ini, L"ShutdownOnceCommand", ServiceConfig.ShutdownCommandText);
    if (ServiceConfig.ShutdownCommandText[0] == '\0') {
        ReadText(ini, L"ShutdownCommand", ServiceConfig.ShutdownCommandText, 64, L"poweroff");
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

// A number as Windows reads one from a profile: decimal digits after an optional sign, up to the
// first other character, a negative one taken modulo 2^32. Sets *exact when the text is only
// that number and *negative for a sign of minus; *magnitude is the digits' value, at most MAXDWORD.
DWORD ParseNumber(const char* text, bool* exact, bool* negative, DWORD* magnitude) {
    const char* digits = (text[0] == '+' || text[0] == '-') ? text + 1 : text;
    unsigned long long value = 0;
    unsigned long long wrapped = 0;
    const char* at = digits;
    for (; (*at >= '0') && (*at <= '9'); ++at) {
        wrapped = (wrapped * 10 + static_cast<unsigned>(*at - '0')) & 0xFFFFFFFFull;
        value = value * 10 + static_cast<unsigned>(*at - '0');
        value = value > MAXDWORD ? MAXDWORD : value;
    }
    *exact = (at != digits) && (*at == '\0');
    *negative = text[0] == '-';
    *magnitude = static_cast<DWORD>(value);
    return static_cast<DWORD>(*negative ? (0x100000000ull - wrapped) & 0xFFFFFFFFull : wrapped);
}

// MaxWaitTimeout as Windows reads a number from a profile, but never wrapped: a negative value or
// none at all is 0, one past MAXDWORD is MAXDWORD. A value that is not only such a number is
// logged with the value used, as it is most likely a typo.
DWORD ReadMaxWaitTimeout(const IniFile& ini) {
    char text[Utf8Size(64)] = "";
    ReadText(ini, L"MaxWaitTimeout", text);
    if (text[0] == '\0') {
        return 300000;
    }
    bool exact = false;
    bool negative = false;
    DWORD magnitude = 0;
    ParseNumber(text, &exact, &negative, &magnitude);
    DWORD used = negative ? 0 : magnitude;
    if (!exact || (negative && magnitude != 0)) {
        LogMessage(1, "ERROR: MaxWaitTimeout '%s' is not a number of milliseconds; %lu is used",
                   text, static_cast<unsigned long>(used));
    }
    return used;
}

// Loglevel as GetPrivateProfileInt reads it: 1 when missing or empty; only its low byte counts.
signed char ReadLogLevel(const IniFile& ini) {
    char text[Utf8Size(64)] = "";
    ReadText(ini, L"Loglevel", text);
    bool exact = false;
    bool negative = false;
    DWORD magnitude = 0;
    DWORD level = text[0] != '\0' ? ParseNumber(text, &exact, &negative, &magnitude) : 1;
    return static_cast<signed char>(level & 0xFF);
}

int LoadLocked(BOOL full) {
    const std::wstring exePath = ModulePath();
    DeriveNames(exePath);
    IniFile ini;
    const std::wstring iniPath = Wide(ServiceConfig.IniPath);
    DWORD error = ReadIniFile(iniPath.c_str(), &ini);
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        LogMessage(1, "Configuration file '%s' does not exist", ServiceConfig.IniPath);
        return 0;
    }
    if (error != ERROR_SUCCESS) {
        LogMessage(1, "ERROR reading the configuration file '%s' (0x%08x)", ServiceConfig.IniPath,
                   static_cast<unsigned>(error));
        return 0;
    }
    ServiceConfig.LogLevel = ReadLogLevel(ini);

    if (full) {
        Publish(ServiceConfig.ServiceKeyName, KeyNameOf(exePath));
        if (!ReadFolder(ini, L"VboxInstallPath", ServiceConfig.VboxInstallPath)) {
            LogMessage(1, "ERROR: VboxInstallPath not configured");
            return 0;
        }
        if (!ReadFolder(ini, L"VboxUserHome", ServiceConfig.VboxUserHome)) {
            LogMessage(1, "ERROR: VboxUserHome not configured");
            return 0;
        }
        ReadText(ini, L"VmName", ServiceConfig.VmName, 255);
        if (ServiceConfig.VmName[0] == '\0') {
            LogMessage(1, "ERROR: No VmName configured");
            return 0;
        }
        ReadText(ini, L"ServiceName", ServiceConfig.DisplayName, 255);
        ReadText(ini, L"Priority", ServiceConfig.PriorityText);
        ServiceConfig.PriorityClass = PriorityClassOf(ServiceConfig.PriorityText);
    }

    ReadStopSettings(ini);
    ServiceConfig.MaxWaitTimeout = ReadMaxWaitTimeout(ini);
    return 1;
}

}  // namespace

int LoadConfiguration(BOOL full) {
    std::lock_guard<std::mutex> hold(PassLock);
    return LoadLocked(full);
}

std::wstring KeyNameOf(const std::wstring& exePath) {
    size_t slash = exePath.rfind(L'\\');
    std::wstring base = exePath.substr(slash != std::wstring::npos ? slash + 1 : 0);
    std::wstring name = base.size() > 4 ? base.substr(0, base.size() - 4) : L"kelvaran";
    for (wchar_t& c : name) {
        c = c == L' ' ? L'_' : c;
    }
    return name;
}

void SetVirtualBoxEnvironment() {
    SetEnvironmentVariableW(L"VBOX_INSTALL_PATH",
                            (Wide(ServiceConfig.VboxInstallPath) + L"\\").c_str());
    SetEnvironmentVariableW(L"VBOX_USER_HOME", Wide(ServiceConfig.VboxUserHome).c_str());
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
    wchar_t name[256] = L"";
    wchar_t domain[256] = L"";
    DWORD nameSize = 256;
    DWORD domainSize = 256;
    SID_NAME_USE use;
    wchar_t* sidText = nullptr;
    if (LookupAccountSidW(nullptr, sid, name, &nameSize, domain, &domainSize, &use)) {
        snprintf(text, size, "%s%s%s", Utf8(domain).c_str(), domain[0] != L'\0' ? "\\" : "",
                 Utf8(name).c_str());
    } else if (ConvertSidToStringSidW(sid, &sidText)) {
        snprintf(text, size, "%s", Utf8(sidText).c_str());
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
