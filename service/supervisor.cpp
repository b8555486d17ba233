// The machine supervisor: runs the machine's life within one service run.
#include "service/service.h"

#include "config/config.h"
#include "pipe/pipe.h"
#include "vbox/vbox.h"

#include <process.h>

#include <atomic>

// How often the machine's state is read while no state watcher runs. The wait never outlasts it,
// as a watcher may switch itself off at any time.
static const DWORD StatePollInterval = 1000;

// The bounds of a stop beyond MaxWaitTimeout: the last resort's power-off, then the tear-down's
// pause, the pipe server's end and the link's close (which waits for the state watcher and for
// queries still in VirtualBox's hands), and a margin for the calls in between.
static const DWORD LastResortBound = 30000;
static const DWORD TearDownPause = 500;
static const DWORD PipeServerEndBound = 2000;
static const DWORD LinkCloseBound = 5000;
static const DWORD StopMargin = 5000;

// Service-specific exit codes, with ERROR_SERVICE_SPECIFIC_ERROR: the failures after which
// Windows may start the service again (its failure actions).
static const DWORD StartFailureCode = 0x80800001;
static const DWORD MachineAbortedCode = 0x80800002;
static const DWORD ConnectionLostCode = 0x80800003;

// Set before MachineAborted when the abort is the connection's, not the machine's.
static std::atomic<bool> ConnectionLost{false};
// Set by whichever of the start and the supervisor's wait first sees the stop request.
static std::atomic<bool> HeartbeatStarted{false};

// A stop's one heartbeat: it runs until STOPPED, which alone ends STOP_PENDING.
static void CarryStopOn() {
    if (!HeartbeatStarted.exchange(true)) {
        _beginthread(StopPendingHeartbeat, 0, nullptr);
    }
}

// The stop request as the start sees it: a start that waits for another process's launch carries
// the stop on meanwhile, as any stop.
static ULONGLONG StopSeenByStart() {
    ULONGLONG at = StopRequestTime();
    if (at != 0) {
        CarryStopOn();
    }
    return at;
}

DWORD WholeStopBound(DWORD maxWaitTimeout) {
    const ULONGLONG bound = static_cast<ULONGLONG>(maxWaitTimeout) + LastResortBound +
                            TearDownPause + PipeServerEndBound + LinkCloseBound + StopMargin;
    return bound < MAXDWORD ? static_cast<DWORD>(bound) : MAXDWORD;
}

static bool IsDown(LONG state) {
    return (state == MachineState_PoweredOff) || (state == MachineState_Saved) ||
           (state == MachineState_Aborted);
}

// What the link saw: the state watcher's reports on its thread, or the supervisor's own reads.
static void OnLinkReport(LinkReport report, LONG state) {
    if (report == LinkReport_Lost) {
        ConnectionLost.store(true);
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
            ReportUnlessStopping(SERVICE_RUNNING);
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
// supervisor reports RUNNING itself.
static void ReportRunningWhenUp() {
    LONG state = MachineState_Null;
    ReadMachineState(ServiceConfig.VmName, &state);
    if ((state == MachineState_Running) || (state == MachineState_Paused)) {
        ReportUnlessStopping(SERVICE_RUNNING);
    }
}

// MaxWaitTimeout has passed since the first stop request: a machine still up is powered off, so
// that a host shutdown does not kill its process in the middle of its disk writes.
static void EndStopAtBound(const char* name) {
    LONG state = MachineState_Null;
    ReadMachineState(name, &state);
    if (IsDown(state)) {
        LogMessage(2, "VM '%s' stopped (%s)", name, ServiceConfig.ShutdownCommandText);
        return;
    }
    LogMessage(1, "ERROR: VM '%s' did not stop (%s) within %lu ms", name,
               ServiceConfig.ShutdownCommandText,
               static_cast<unsigned long>(ServiceConfig.MaxWaitTimeout));
    PowerOffMachine(name, LastResortBound);
}

// Serves stop requests until the machine is down or was aborted, the connection to VirtualBox is
// lost, or a stop ran out of MaxWaitTimeout. Returns the service-specific code of the ending, 0
// when it is no failure.
static DWORD SuperviseMachine() {
    HANDLE events[3] = {ServiceRuntime.StopRequested, ServiceRuntime.MachineStopped,
                        ServiceRuntime.MachineAborted};
    const char* name = ServiceConfig.VmName;
    ULONGLONG deadline = 0;  // MaxWaitTimeout after the first stop request, once one came
    for (;;) {
        DWORD timeout = StatePollInterval;
        if (deadline != 0) {
            ULONGLONG now = GetTickCount64();
            if (now >= deadline) {
                EndStopAtBound(name);
                return 0;
            }
            if (deadline - now < timeout) {
                timeout = static_cast<DWORD>(deadline - now);
            }
        }
        DWORD signalled = WaitForMultipleObjects(3, events, FALSE, timeout);
        if (signalled == WAIT_OBJECT_0) {
            if (deadline == 0) {
                deadline = StopRequestTime() + ServiceConfig.MaxWaitTimeout;
                CarryStopOn();
            }
            ULONGLONG now = GetTickCount64();
            if ((now < deadline) &&
                (StopMachine(name, static_cast<DWORD>(deadline - now)) == StopOutcome_Stopped)) {
                SetEvent(ServiceRuntime.MachineStopped);
            }
        } else if (signalled == WAIT_OBJECT_0 + 1) {
            LogMessage(2, "VM '%s' stopped (%s)", name, ServiceConfig.ShutdownCommandText);
            return 0;
        } else if (signalled == WAIT_OBJECT_0 + 2) {
            LogMessage(1, "VM '%s' was aborted", name);
            return ConnectionLost.load() ? ConnectionLostCode : MachineAbortedCode;
        } else if ((signalled == WAIT_TIMEOUT) && (StateWatcherRunning() == 0)) {
            PollMachineState(name);
        }
    }
}

void MachineSupervisorThread(void*) {
    DWORD specificCode = 0;
    OpenVirtualBox(OnLinkReport);
    ReportUnlessStopping(SERVICE_START_PENDING);
    if (StartMachine(ServiceConfig.VmName, ServiceRuntime.LocalSystem, StopSeenByStart) == 0) {
        specificCode = StartFailureCode;
    } else {
        ReportRunningWhenUp();
        specificCode = SuperviseMachine();
    }
    // A stop somebody asked for ends well, however it went, a failed start included: a failure
    // code would make the manager start again a service that was meant to stop.
    if (StopRequestTime() != 0) {
        specificCode = 0;
    }
    Sleep(TearDownPause);
    StopControlPipeServer(PipeServerEndBound);
    CloseVirtualBox(LinkCloseBound);
    ReportServiceEnd(specificCode != 0 ? ERROR_SERVICE_SPECIFIC_ERROR : NO_ERROR, specificCode);
}
