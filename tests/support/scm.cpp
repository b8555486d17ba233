// Wine's Service Control Manager, driven through the SCM API as an administrator would.
#include "tests/support/support.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace testsupport {

namespace {

// Owns one SCM handle.
class ScHandle {
public:
    explicit ScHandle(SC_HANDLE handle) : handle_(handle) {}
    ~ScHandle() {
        if (handle_ != nullptr) {
            CloseServiceHandle(handle_);
        }
    }
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;

    SC_HANDLE Get() const {
        return handle_;
    }
    explicit operator bool() const {
        return handle_ != nullptr;
    }

private:
    SC_HANDLE handle_;
};

// Opens the service with access; on failure returns an empty handle and sets *error.
ScHandle OpenByName(const std::string& service, DWORD access, DWORD* error) {
    ScHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        *error = GetLastError();
        return ScHandle(nullptr);
    }
    SC_HANDLE handle = OpenServiceA(manager.Get(), service.c_str(), access);
    *error = handle != nullptr ? ERROR_SUCCESS : GetLastError();
    return ScHandle(handle);
}

// QueryServiceConfig2A for one level into a buffer of the size it asks for.
std::vector<BYTE> QueryConfig2(SC_HANDLE service, DWORD level) {
    DWORD needed = 0;
    QueryServiceConfig2A(service, level, nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed);
    if (needed == 0 || !QueryServiceConfig2A(service, level, buffer.data(), needed, &needed)) {
        buffer.clear();
    }
    return buffer;
}

}  // namespace

DWORD QueryStatus(const std::string& service, SERVICE_STATUS_PROCESS* status) {
    DWORD error = 0;
    ScHandle handle = OpenByName(service, SERVICE_QUERY_STATUS, &error);
    DWORD needed = 0;
    if (handle && !QueryServiceStatusEx(handle.Get(), SC_STATUS_PROCESS_INFO,
                                        reinterpret_cast<BYTE*>(status), sizeof *status, &needed)) {
        error = GetLastError();
    }
    return error;
}

DWORD StartByName(const std::string& service) {
    DWORD error = 0;
    ScHandle handle = OpenByName(service, SERVICE_START, &error);
    if (handle && !StartServiceA(handle.Get(), 0, nullptr)) {
        error = GetLastError();
    }
    return error;
}

DWORD ControlByName(const std::string& service, DWORD control, SERVICE_STATUS* status) {
    DWORD error = 0;
    ScHandle handle = OpenByName(
        service, SERVICE_STOP | SERVICE_INTERROGATE | SERVICE_USER_DEFINED_CONTROL, &error);
    SERVICE_STATUS ignored;
    if (handle && !ControlService(handle.Get(), control, status != nullptr ? status : &ignored)) {
        error = GetLastError();
    }
    return error;
}

DWORD DeleteByName(const std::string& service) {
    DWORD error = 0;
    ScHandle handle = OpenByName(service, DELETE, &error);
    if (handle && !DeleteService(handle.Get())) {
        error = GetLastError();
    }
    return error;
}

DWORD QuerySettings(const std::string& service, ServiceSettings* settings) {
    DWORD error = 0;
    ScHandle handle = OpenByName(service, SERVICE_QUERY_CONFIG, &error);
    if (!handle) {
        return error;
    }
    DWORD needed = 0;
    QueryServiceConfigA(handle.Get(), nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
    if (needed == 0 || !QueryServiceConfigA(handle.Get(), config, needed, &needed)) {
        return GetLastError();
    }
    settings->serviceType = config->dwServiceType;
    settings->startType = config->dwStartType;
    settings->errorControl = config->dwErrorControl;
    settings->binaryPath = config->lpBinaryPathName != nullptr ? config->lpBinaryPathName : "";
    settings->displayName = config->lpDisplayName != nullptr ? config->lpDisplayName : "";
    settings->account = config->lpServiceStartName != nullptr ? config->lpServiceStartName : "";

    std::vector<BYTE> description = QueryConfig2(handle.Get(), SERVICE_CONFIG_DESCRIPTION);
    const char* text =
        description.empty()
            ? nullptr
            : reinterpret_cast<SERVICE_DESCRIPTIONA*>(description.data())->lpDescription;
    settings->description = text != nullptr ? text : "";
    std::vector<BYTE> preshutdown = QueryConfig2(handle.Get(), SERVICE_CONFIG_PRESHUTDOWN_INFO);
    settings->preshutdownTimeout =
        preshutdown.empty()
            ? 0
            : reinterpret_cast<SERVICE_PRESHUTDOWN_INFO*>(preshutdown.data())->dwPreshutdownTimeout;
    return 0;
}

DWORD QuerySecurity(const std::string& service, std::vector<BYTE>* descriptor) {
    DWORD error = 0;
    ScHandle handle = OpenByName(service, READ_CONTROL, &error);
    if (!handle) {
        return error;
    }
    DWORD needed = 0;
    QueryServiceObjectSecurity(handle.Get(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    descriptor->assign(needed, 0);
    if (needed == 0 || !QueryServiceObjectSecurity(handle.Get(), DACL_SECURITY_INFORMATION,
                                                   descriptor->data(), needed, &needed)) {
        return GetLastError();
    }
    return 0;
}

bool WaitForState(const std::string& service, DWORD state, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    SERVICE_STATUS_PROCESS status{};
    do {
        if (QueryStatus(service, &status) == 0 && status.dwCurrentState == state) {
            return true;
        }
        Sleep(10);
    } while (GetTickCount() - start < timeoutMs);
    return false;
}

void RemoveService(const std::string& service) {
    SERVICE_STATUS_PROCESS status{};
    if (QueryStatus(service, &status) != 0) {
        return;
    }
    if (status.dwCurrentState != SERVICE_STOPPED) {
        ControlByName(service, SERVICE_CONTROL_STOP);
        WaitForState(service, SERVICE_STOPPED, 15000);
    }
    DeleteByName(service);
}

std::string Describe(const SERVICE_STATUS_PROCESS& status) {
    char text[160];
    snprintf(text, sizeof text, "state=%lu checkpoint=%lu hint=%lu exit=%lu/0x%08lx controls=0x%lx",
             status.dwCurrentState, status.dwCheckPoint, status.dwWaitHint, status.dwWin32ExitCode,
             status.dwServiceSpecificExitCode, status.dwControlsAccepted);
    return text;
}

std::string Describe(const std::vector<SERVICE_STATUS_PROCESS>& statuses) {
    std::string text;
    for (const SERVICE_STATUS_PROCESS& status : statuses) {
        text += "\n  " + Describe(status);
    }
    return text;
}

ServiceCopy::ServiceCopy(const TempFolder& folder, const std::string& exeName)
    : exePath_(CopyExecutable(folder.Path(), exeName)),
      name_(exeName.size() > 4 ? exeName.substr(0, exeName.size() - 4) : "kelvaran") {
    for (char& c : name_) {
        if (c == ' ') {
            c = '_';
        }
    }
    RemoveService(name_);
}

ServiceCopy::~ServiceCopy() {
    RemoveService(name_);
}

void ServiceCopy::WriteIni(const IniKeys& keys) const {
    testsupport::WriteIni(IniPath(), keys);
}

ProcessResult ServiceCopy::Run(const std::string& arguments) const {
    return RunProcess(exePath_, arguments);
}

}  // namespace testsupport
