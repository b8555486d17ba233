// "-i" and "-u": the service's registration with the Service Control Manager.
#include "install/install.h"

#include "config/config.h"
#include "install/account.h"

#include <cstdio>
#include <string>

namespace {

// The system's own pre-shutdown time-out, which the service never asks to shorten.
const DWORD DefaultPreshutdownTimeout = 300000;
// After a failure (a crashed machine, a lost VirtualBox), Windows starts the service again after a
// minute, twice, then no more, and forgets the count after a day. Windows repeats the last action
// for every failure beyond the list, so the list ends with none: a machine that cannot be started
// (not registered, VBoxHeadless.exe missing) must not restart the service every minute for ever.
const DWORD RestartDelay = 60000;
const DWORD FailureCountReset = 86400;

// The manager ends a pre-shutdown at this time-out whatever the stop's checkpoints say. Returns 0
// or the Windows error.
DWORD SetPreshutdownTimeout(SC_HANDLE service, DWORD timeout) {
    SERVICE_PRESHUTDOWN_INFO preshutdown = {
        timeout > DefaultPreshutdownTimeout ? timeout : DefaultPreshutdownTimeout};
    if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_PRESHUTDOWN_INFO, &preshutdown)) {
        return GetLastError();
    }
    return ERROR_SUCCESS;
}

// A machine that crashed comes back by itself: restart on every failure the service reports
// through its exit code, not only on a crash of the process. Best effort, as the description is:
// the results are not examined (Wine, for one, refuses the flag).
void SetFailureActions(SC_HANDLE service) {
    SC_ACTION steps[3] = {
        {SC_ACTION_RESTART, RestartDelay}, {SC_ACTION_RESTART, RestartDelay}, {SC_ACTION_NONE, 0}};
    SERVICE_FAILURE_ACTIONSW actions = {FailureCountReset, nullptr, nullptr, 3, steps};
    SERVICE_FAILURE_ACTIONS_FLAG onExitCode = {TRUE};
    ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &actions);
    ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &onExitCode);
}

const char* InstallFailureReason(DWORD error) {
    switch (error) {
        case ERROR_ACCESS_DENIED:
            return "access denied";
        case ERROR_INVALID_NAME:
            return "invalid name";
        case ERROR_SERVICE_EXISTS:
            return "service already exists";
        case ERROR_DUPLICATE_SERVICE_NAME:
            return "duplicate service display name";
        case ERROR_INVALID_SERVICE_ACCOUNT:
            return "invalid account name or password";
        default:
            return "";
    }
}

const char* UninstallFailureReason(DWORD error) {
    switch (error) {
        case ERROR_ACCESS_DENIED:
            return "access denied";
        case ERROR_SERVICE_MARKED_FOR_DELETE:
            return "service already marked for deletion";
        default:
            return "";
    }
}

// Opens this executable's service with access and returns what use returns for it, or the
// Windows error of the opening; the handles are closed either way.
template <typename Use>
DWORD WithOwnService(DWORD access, Use use) {
    const std::wstring name = Wide(ServiceConfig.ServiceKeyName);
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager != nullptr ? OpenServiceW(manager, name.c_str(), access) : nullptr;
    DWORD error = service == nullptr ? GetLastError() : use(service);
    if (service != nullptr) {
        CloseServiceHandle(service);
    }
    if (manager != nullptr) {
        CloseServiceHandle(manager);
    }
    return error;
}

// The key of the service's event source.
std::wstring EventSourceKey() {
    return L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" +
           Wide(ServiceConfig.ServiceKeyName);
}

}  // namespace

DWORD AddEventSource() {
    HKEY key = nullptr;
    DWORD error = RegCreateKeyExW(HKEY_LOCAL_MACHINE, EventSourceKey().c_str(), 0, nullptr, 0,
                                  KEY_SET_VALUE, nullptr, &key, nullptr);
    if (error == ERROR_SUCCESS) {
        const std::wstring file = Wide(ServiceConfig.ExePath);
        const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
        error = RegSetValueExW(key, L"EventMessageFile", 0, REG_EXPAND_SZ,
                               reinterpret_cast<const BYTE*>(file.c_str()),
                               static_cast<DWORD>((file.size() + 1) * sizeof(wchar_t)));
        if (error == ERROR_SUCCESS) {
            error = RegSetValueExW(key, L"TypesSupported", 0, REG_DWORD,
                                   reinterpret_cast<const BYTE*>(&types), sizeof types);
        }
        RegCloseKey(key);
    }
    return error;
}

DWORD RemoveEventSource() {
    DWORD error = RegDeleteKeyW(HKEY_LOCAL_MACHINE, EventSourceKey().c_str());
    return error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : error;
}

int InstallService(const InstallOptions& options) {
    ServiceAccount account;
    if (!PrepareServiceAccount(options.Account, &account)) {
        return 2;
    }
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        DWORD error = GetLastError();
        ReportFailure("installing", InstallFailureReason(error), error);
        return 2;
    }

    // A path with a blank is quoted: unquoted, Windows would first try to run the part before
    // the blank (C:\Program.exe for C:\Program Files\...), as the service's account.
    const std::wstring exePath = Wide(ServiceConfig.ExePath);
    const std::wstring path =
        exePath.find(L' ') != std::wstring::npos ? L"\"" + exePath + L"\"" : exePath;
    const std::wstring key = Wide(ServiceConfig.ServiceKeyName);
    const std::wstring display = Wide(ServiceConfig.DisplayName);
    const std::wstring name = Wide(account.Name);
    // Without "ServiceName" the manager shows the key name; an empty display name would clash
    // with every other service installed without one.
    const wchar_t* displayName = display.empty() ? nullptr : display.c_str();
    // Only LocalSystem may interact with the desktop: the manager refuses the flag for an account.
    const wchar_t* runAs = name.empty() ? nullptr : name.c_str();
    DWORD type = SERVICE_WIN32_OWN_PROCESS | (runAs == nullptr ? SERVICE_INTERACTIVE_PROCESS : 0);
    int result = 2;
    SC_HANDLE service =
        CreateServiceW(manager, key.c_str(), displayName, SERVICE_ALL_ACCESS, type,
                       SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, path.c_str(), nullptr, nullptr,
                       nullptr, runAs, account.User ? account.Password : nullptr);
    DWORD error = GetLastError();
    SecureZeroMemory(account.Password, sizeof account.Password);
    if (service == nullptr) {
        ReportFailure("installing", InstallFailureReason(error), error);
    } else if (!GrantServiceLogon(account)) {
        // It could never start: nothing is left behind.
        DeleteService(service);
    } else {
        wchar_t text[] = L"Provides automatic start and shutdown of VirtualBox machine.";
        SERVICE_DESCRIPTIONW description = {text};
        ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &description);
        if (options.PreshutdownTimeout != 0) {
            SetPreshutdownTimeout(service, options.PreshutdownTimeout);
        }
        SetFailureActions(service);
        GrantInteractiveAccess(service);
        // Before the install's own event, which it names.
        DWORD sourceError = AddEventSource();
        if (sourceError != ERROR_SUCCESS) {
            LogMessage(1, "ERROR registering the service's event source (0x%08x)",
                       static_cast<unsigned>(sourceError));
        }
        char runsAs[sizeof account.Name + 16] = "";
        if (runAs != nullptr) {
            snprintf(runsAs, sizeof runsAs, " to run as %s", account.Name);
        }
        ConsolePrint(STD_OUTPUT_HANDLE, "\n%s (%s) service installed successfully%s.\n",
                     ServiceConfig.DisplayName, ServiceConfig.ServiceKeyName, runsAs);
        LogMessage(1, "Service %s (%s) installed successfully%s.", ServiceConfig.DisplayName,
                   ServiceConfig.ServiceKeyName, runsAs);
        result = 0;
    }
    if (service != nullptr) {
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return result;
}

UninstallResult UninstallService() {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, GENERIC_READ);
    if (manager == nullptr) {
        DWORD error = GetLastError();
        ReportFailure("uninstalling", UninstallFailureReason(error), error);
        return UninstallFailed;
    }

    UninstallResult result = UninstallFailed;
    SC_HANDLE service =
        OpenServiceW(manager, Wide(ServiceConfig.ServiceKeyName).c_str(), SERVICE_ALL_ACCESS);
    if (service == nullptr) {
        DWORD error = GetLastError();
        if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
            ReportFailure("uninstalling", "service not found", error);
            result = UninstallNotFound;
        } else {
            ReportFailure("uninstalling", UninstallFailureReason(error), error);
        }
    } else {
        // The state before the deletion decides the outcome; a state that cannot be read counts
        // as running, so the removal is not announced as complete.
        SERVICE_STATUS status{};
        DWORD state = QueryServiceStatus(service, &status) ? status.dwCurrentState : 0;
        if (DeleteService(service)) {
            result = state == SERVICE_STOPPED ? UninstallDone : UninstallPending;
        } else {
            DWORD error = GetLastError();
            ReportFailure("uninstalling", UninstallFailureReason(error), error);
        }
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return result;
}

DWORD UpdatePreshutdownTimeout(DWORD timeout) {
    DWORD error = WithOwnService(SERVICE_CHANGE_CONFIG, [timeout](SC_HANDLE service) {
        return SetPreshutdownTimeout(service, timeout);
    });
    if (error != ERROR_SUCCESS) {
        LogMessage(1, "ERROR setting the pre-shutdown time-out (0x%08x)",
                   static_cast<unsigned>(error));
    }
    return error;
}

DWORD CheckPreshutdownTimeout(DWORD wanted) {
    DWORD registered = 0;
    DWORD error = WithOwnService(SERVICE_QUERY_CONFIG, [&registered](SC_HANDLE service) {
        SERVICE_PRESHUTDOWN_INFO info{};
        DWORD needed = 0;
        if (!QueryServiceConfig2W(service, SERVICE_CONFIG_PRESHUTDOWN_INFO,
                                  reinterpret_cast<BYTE*>(&info), sizeof info, &needed)) {
            return GetLastError();
        }
        registered = info.dwPreshutdownTimeout;
        return static_cast<DWORD>(ERROR_SUCCESS);
    });
    if (error != ERROR_SUCCESS) {
        LogMessage(1, "ERROR reading the pre-shutdown time-out (0x%08x)",
                   static_cast<unsigned>(error));
    } else if (registered < wanted) {
        LogMessage(1,
                   "WARNING: Windows gives this service %lu ms to stop at a host shutdown, less "
                   "than the %lu ms a stop may take with MaxWaitTimeout %lu. From an elevated "
                   "console run \"%s\" -u, then \"%s\" -i --account with the service's account, or "
                   "set the DWORD PreshutdownTimeout in "
                   "HKLM\\SYSTEM\\CurrentControlSet\\Services\\%s to %lu",
                   static_cast<unsigned long>(registered), static_cast<unsigned long>(wanted),
                   static_cast<unsigned long>(ServiceConfig.MaxWaitTimeout), ServiceConfig.ExePath,
                   ServiceConfig.ExePath, ServiceConfig.ServiceKeyName,
                   static_cast<unsigned long>(wanted));
    }
    return error;
}

DWORD QueryServiceAccount(std::string* account) {
    account->clear();
    DWORD error = WithOwnService(SERVICE_QUERY_CONFIG, [account](SC_HANDLE service) {
        // The manager's record is 8 KB at most.
        alignas(QUERY_SERVICE_CONFIGW) BYTE record[8192];
        auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(record);
        DWORD needed = 0;
        if (!QueryServiceConfigW(service, config, sizeof record, &needed)) {
            return GetLastError();
        }
        if (config->lpServiceStartName != nullptr) {
            *account = Utf8(config->lpServiceStartName);
        }
        return static_cast<DWORD>(ERROR_SUCCESS);
    });
    if (error != ERROR_SUCCESS) {
        LogMessage(1, "ERROR reading the service's registration (0x%08x)",
                   static_cast<unsigned>(error));
    }
    return error;
}
