// The machine supervisor: runs the machine's life within one service run.
#include "service/service.h"

#include "config/config.h"
#include "pipe/pipe.h"
#include "vbox/vbox.h"

#include <process.h>

static const DWORD TearDownPause = 500;
// How often the machine's state is read while a stop waits without a state watcher.
static const DWORD StatePollInterval = 1000;
static const DWORD StartFailureCode = 0x80800001;

static bool IsDown(LONG state) {
    return (state == MachineState_PoweredOff) || (state == MachineState_Saved) ||
           (state == MachineState_Aborted);
}

// What the link saw: the state watcher's reports, on its thread. Once a stop is requested the
// service only goes down: a RUNNING report then would tell the manager the stop was given up, and
// would end the stop's heartbeat.
static void OnLinkReport(LinkReport report, LONG state) {
    if (report == LinkReport_Lost) {
        SetEvent(ServiceRuntime.MachineAborted);
        return;
    }
    switch (state) {
        case MachineState_PoweredOff:
        case MachineState_Saved:
            SetEvent(ServiceRuntime.MachineStopped);
            break;
        case MachineState_Aborted:
            SetEvent(ServiceRuntime.MachineAborted);
            break;
        case MachineState_Running:
            if (StopRequestTime() == 0) {
                ReportServiceStatus(SERVICE_RUNNING, NO_ERROR, 0);
            }
            break;
        case MachineState_Stopping:
        case MachineState_Saving:
            ReportServiceStatus(SERVICE_STOP_PENDING, NO_ERROR, 0);
            break;
        default:
            break;
    }
    NotifyTray();
}

// A joined machine that already runs makes no state change the watcher could report, so the
// supervisor reports RUNNING itself; a stop that arrived meanwhile keeps its STOP_PENDING.
static void ReportRunningWhenUp() {
    LONG state = ReadMachineState(ServiceConfig.VmName);
    if (((state == MachineState_Running) || (state == MachineState_Paused)) &&
        (ReportedServiceState() != SERVICE_STOP_PENDING)) {
        ReportServiceStatus(SERVICE_RUNNING, NO_ERROR, 0);
    }
}

// Serves stop requests until the machine is down, was aborted, or a stop that left the machine to
// go down by itself (ACPI) ran out of MaxWaitTimeout.
static void SuperviseMachine() {
    HANDLE events[3] = {ServiceRuntime.StopRequested, ServiceRuntime.MachineStopped,
                        ServiceRuntime.MachineAborted};
    const char* name = ServiceConfig.VmName;
    ULONGLONG deadline = 0;  // set while a stop waits for the machine to go down
    for (;;) {
        DWORD timeout = INFINITE;
        if (deadline != 0) {
            ULONGLONG now = GetTickCount64();
            timeout = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
            if ((StateWatcherRunning() == 0) && (timeout > StatePollInterval)) {
                timeout = StatePollInterval;
            }
        }
        DWORD signalled = WaitForMultipleObjects(3, events, FALSE, timeout);
        if (signalled == WAIT_OBJECT_0) {
            // A RUNNING report may have replaced the handler's STOP_PENDING meanwhile; the stop
            // is reported while it runs.
            if (ReportedServiceState() != SERVICE_STOP_PENDING) {
                ReportServiceStatus(SERVICE_STOP_PENDING, NO_ERROR, ServiceConfig.MaxWaitTimeout);
            }
            _beginthread(StopPendingHeartbeat, 0, nullptr);
            if (deadline == 0) {
                deadline = StopRequestTime() + ServiceConfig.MaxWaitTimeout;
            }
            if (StopMachine(name) == StopOutcome_Stopped) {
                SetEvent(ServiceRuntime.MachineStopped);
                deadline = 0;
            }
        } else if (signalled == WAIT_OBJECT_0 + 1) {
            LogMessage(2, "VM '%s' stopped (%s)", name, ServiceConfig.ShutdownCommandText);
            return;
        } else if (signalled == WAIT_OBJECT_0 + 2) {
            LogMessage(1, "VM '%s' was aborted", name);
            return;
        } else if (signalled == WAIT_TIMEOUT) {
            LONG state = StateWatcherRunning() == 0 ? ReadMachineState(name) : MachineState_Null;
            if (state == MachineState_Aborted) {
                LogMessage(1, "VM '%s' was aborted", name);
                return;
            }
            if (IsDown(state)) {
                LogMessage(2, "VM '%s' stopped (%s)", name, ServiceConfig.ShutdownCommandText);
                return;
            }
            if (GetTickCount64() >= deadline) {
                LogMessage(1, "ERROR: VM '%s' did not stop (%s) within %lu ms", name,
                           ServiceConfig.ShutdownCommandText,
                           static_cast<unsigned long>(ServiceConfig.MaxWaitTimeout));
                return;
            }
        }
    }
}

void MachineSupervisorThread(void*) {
    DWORD exitCode = NO_ERROR;
    OpenVirtualBox(OnLinkReport);
    ReportServiceStatus(SERVICE_START_PENDING, NO_ERROR, 0);
    if (StartMachine(ServiceConfig.VmName) == 0) {
        SetServiceSpecificExitCode(StartFailureCode);
        exitCode = ERROR_SERVICE_SPECIFIC_ERROR;
    } else {
        ReportRunningWhenUp();
        SuperviseMachine();
    }
    Sleep(TearDownPause);
    StopControlPipeServer();
    CloseVirtualBox();
    ReportServiceStatus(SERVICE_STOPPED, exitCode, 0);
}
