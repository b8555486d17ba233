// The service's side of its conversation with the Service Control Manager: the service's main
// function, the control handler and the status reports.
#include "config/config.h"
#include "install/install.h"
#include "pipe/pipe.h"
#include "service/service.h"
#include "vbox/vbox.h"

#include <process.h>

#include <atomic>
#include <mutex>

ServiceRuntimeRecord ServiceRuntime = {nullptr, {}, 1, nullptr, nullptr, nullptr, false};

namespace {

// Gives a freshly started VirtualBox COM server time to come up before the supervisor connects.
const DWORD VBoxSvcStartPause = 900;

// The service-specific exit code of a start whose configuration is incomplete (those of the
// machine's endings follow 0x80800001 to 0x80800003, in the supervisor).
const DWORD ConfigurationIncompleteCode = 0x80800004;

std::atomic<ULONGLONG> FirstStopRequest{0};

// Makes each report whole: its values, its checkpoint and the SetServiceStatus call. Also held
// while the handler is registered, so a report never sees StatusHandle half-way.
std::mutex ReportLock;

// Makes one report, the lock held, unless STOPPED has been reported, or unless the reported state
// is not onlyWhile (0: any state). Returns whether the report was made.
bool ReportLocked(DWORD state, DWORD exitCode, DWORD waitHint, DWORD onlyWhile) {
    SERVICE_STATUS& status = ServiceRuntime.Status;
    if (status.dwCurrentState == SERVICE_STOPPED ||
        (onlyWhile != 0 && status.dwCurrentState != onlyWhile)) {
        return false;
    }
    status.dwCurrentState = state;
    status.dwWin32ExitCode = exitCode;
    status.dwWaitHint = waitHint;
    if (state == SERVICE_STOPPED || state == SERVICE_RUNNING) {
        status.dwCheckPoint = 0;
    } else {
        status.dwCheckPoint = ServiceRuntime.NextCheckPoint++;
    }
    if (!SetServiceStatus(ServiceRuntime.StatusHandle, &status)) {
        DWORD error = GetLastError();
        LogMessage(1, "ERROR settings service status: 0x%08x", static_cast<unsigned>(error));
    }
    return true;
}

bool Report(DWORD state, DWORD exitCode, DWORD waitHint, DWORD onlyWhile) {
    std::lock_guard<std::mutex> hold(ReportLock);
    return ReportLocked(state, exitCode, waitHint, onlyWhile);
}

// Returns 0 or the Windows error of the event that could not be created.
DWORD CreateServiceEvents() {
    HANDLE* events[] = {&ServiceRuntime.StopRequested, &ServiceRuntime.MachineStopped,
                        &ServiceRuntime.MachineAborted};
    for (HANDLE* event : events) {
        *event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        if (*event == nullptr) {
            return GetLastError();
        }
    }
    return 0;
}

void LogStartBanner() {
    WORD version[4];
    if (ReadProductVersion(version)) {
        LogMessage(3, "Kelvaran Service v%d.%d.%d.%d%s started", version[0], version[1], version[2],
                   version[3], " (x64)");
    }
}

// Logs who runs the service, and on which VirtualBox home. Returns whether that is LocalSystem:
// its token says so, or its registration does (Wine runs every service as its one user).
bool LogAccount() {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    char name[512] = "";
    bool localSystem = false;
    DWORD error = ProcessUserSid(sid);
    if (error == ERROR_SUCCESS) {
        AccountName(sid, name, sizeof name);
        localSystem = IsWellKnownSid(sid, WinLocalSystemSid);
    } else {
        LogMessage(1, "ERROR reading the service's account (0x%08x)", static_cast<unsigned>(error));
    }
    LogMessage(3, "Running as %s, VirtualBox home %s", name, ServiceConfig.VboxUserHome);
    std::string registered;
    return localSystem || (QueryServiceAccount(&registered) == 0 &&
                           _stricmp(registered.c_str(), "LocalSystem") == 0);
}

}  // namespace

void ReportServiceStatus(DWORD state, DWORD exitCode, DWORD waitHint) {
    Report(state, exitCode, waitHint, 0);
}

void ReportUnlessStopping(DWORD state) {
    // The handler marks the request before it reports STOP_PENDING: a report that finds no mark
    // here, under the lock, is made before that STOP_PENDING, never after it.
    std::lock_guard<std::mutex> hold(ReportLock);
    if (FirstStopRequest.load() == 0) {
        ReportLocked(state, NO_ERROR, 0, 0);
    }
}

void ReportServiceEnd(DWORD win32ExitCode, DWORD specificCode) {
    if (win32ExitCode != NO_ERROR) {
        const bool specific = win32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR;
        const DWORD code = specific ? specificCode : win32ExitCode;
        const char* reason = !specific            ? "a Windows error"
                             : code == 0x80800001 ? "the machine could not be started"
                             : code == 0x80800002 ? "the machine aborted"
                             : code == 0x80800003 ? "the connection to VirtualBox was lost"
                             : code == ConfigurationIncompleteCode
                                 ? "the configuration is incomplete"
                                 : "a failure";
        LogMessage(1, "ERROR: the service ends with exit code 0x%08x: %s",
                   static_cast<unsigned>(code), reason);
    }
    {
        std::lock_guard<std::mutex> hold(ReportLock);
        ServiceRuntime.Status.dwServiceSpecificExitCode = specificCode;
    }
    ReportServiceStatus(SERVICE_STOPPED, win32ExitCode, 0);
}

ULONGLONG StopRequestTime() {
    return FirstStopRequest.load();
}

SERVICE_STATUS ReportedServiceStatus() {
    std::lock_guard<std::mutex> hold(ReportLock);
    return ServiceRuntime.Status;
}

void StopPendingHeartbeat(void*) {
    // A stop that outlasts its bounds is stuck: the heartbeat then falls silent, so that Windows
    // no longer hears that all is well.
    ULONGLONG end = StopRequestTime() + WholeStopBound(ServiceConfig.MaxWaitTimeout);
    // The test and the report are one step, so a heartbeat never overwrites the state that
    // another thread has just reported.
    while ((GetTickCount64() < end) && Report(SERVICE_STOP_PENDING, NO_ERROR,
                                              ServiceConfig.MaxWaitTimeout, SERVICE_STOP_PENDING)) {
        Sleep(1000);
    }
}

DWORD WINAPI ServiceCtrlHandler(DWORD control, DWORD, LPVOID, LPVOID) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN:
        case SERVICE_CONTROL_PRESHUTDOWN:
            // The stop settings may have been edited since the start. They are read for the first
            // request only: the supervisor may be using them by the time a second one comes. Only
            // this thread writes the mark.
            if (FirstStopRequest.load() == 0) {
                LoadConfiguration(FALSE);
                FirstStopRequest.store(GetTickCount64());
            }
            ReportServiceStatus(SERVICE_STOP_PENDING, NO_ERROR, ServiceConfig.MaxWaitTimeout);
            SetEvent(ServiceRuntime.StopRequested);
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
    // Everything the control handler uses exists before it is registered: a stop that comes at
    // once is reported with the right type and controls, and its event waits for the supervisor.
    ServiceRuntime.Status.dwServiceType = SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS;
    ServiceRuntime.Status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    if (PreshutdownSupported) {
        ServiceRuntime.Status.dwControlsAccepted |= SERVICE_ACCEPT_PRESHUTDOWN;
    }
    DWORD eventError = CreateServiceEvents();
    SERVICE_STATUS_HANDLE handle;
    DWORD registerError;
    const std::wstring name = Wide(ServiceConfig.ServiceKeyName);
    {
        std::lock_guard<std::mutex> hold(ReportLock);
        handle = RegisterServiceCtrlHandlerExW(name.c_str(), ServiceCtrlHandler, nullptr);
        registerError = GetLastError();
        ServiceRuntime.StatusHandle = handle;
    }
    if (handle == nullptr) {
        LogMessage(1, "ERROR registering the service control handler (0x%08x)",
                   static_cast<unsigned>(registerError));
        return;
    }
    if (eventError != 0) {
        LogMessage(1, "ERROR creating service events (0x%08x)", static_cast<unsigned>(eventError));
        ReportServiceEnd(eventError, 0);
        return;
    }
    if (!LoadConfiguration(TRUE)) {
        // The reason is in the log. A failure, with a code of its own: not an ending that went
        // well.
        ReportServiceEnd(ERROR_SERVICE_SPECIFIC_ERROR, ConfigurationIncompleteCode);
        return;
    }
    LogStartBanner();
    // A service installed before it had an event source gets one, if it may.
    DWORD sourceError = AddEventSource();
    if (sourceError != ERROR_SUCCESS) {
        LogMessage(3,
                   "The service's event source could not be registered (0x%08x): Event Viewer "
                   "shows its events without their text",
                   static_cast<unsigned>(sourceError));
    }
    ServiceRuntime.LocalSystem = LogAccount();
    ReportServiceStatus(SERVICE_START_PENDING, NO_ERROR, 0);
    if (PreshutdownSupported) {
        const DWORD bound = WholeStopBound(ServiceConfig.MaxWaitTimeout);
        ServiceRuntime.LocalSystem ? UpdatePreshutdownTimeout(bound)
                                   : CheckPreshutdownTimeout(bound);
    }
    if (EnsureVBoxSvcRunning() != 0) {
        Sleep(VBoxSvcStartPause);
    }
    // Without its supervisor the service would stay START_PENDING for ever.
    if (_beginthread(MachineSupervisorThread, 0, nullptr) == static_cast<uintptr_t>(-1)) {
        DWORD error = GetLastError();
        LogMessage(1, "ERROR starting the supervisor thread (0x%08x)",
                   static_cast<unsigned>(error));
        ReportServiceEnd(error != 0 ? error : ERROR_NOT_ENOUGH_MEMORY, 0);
        return;
    }
    // The companion's questions are answered with 0 until the supervisor has connected. The
    // machine is served without the pipe when its thread cannot start.
    if (_beginthread(ControlPipeServerThread, 0, nullptr) == static_cast<uintptr_t>(-1)) {
        DWORD error = GetLastError();
        LogMessage(1, "ERROR starting the control pipe thread (0x%08x)",
                   static_cast<unsigned>(error));
    }
}
