// The service host: program entry, service control and status reporting, machine supervisor.
#pragma once

#include <windows.h>

// The service's side of its conversation with the Service Control Manager.
struct ServiceRuntimeRecord {
    SERVICE_STATUS_HANDLE StatusHandle;
    SERVICE_STATUS Status;
    DWORD NextCheckPoint;
    // Auto-reset, created before the control handler is registered, in this wait order.
    HANDLE StopRequested;
    HANDLE MachineStopped;
    HANDLE MachineAborted;
    // The service runs as LocalSystem; set before the supervisor starts.
    bool LocalSystem;
};

extern ServiceRuntimeRecord ServiceRuntime;

// Nonzero on Windows 6.0 and later; set once by DetectPreshutdownSupport before any thread runs.
extern BOOL PreshutdownSupported;

void DetectPreshutdownSupport();

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv);
DWORD WINAPI ServiceCtrlHandler(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);

// The one way the running service reports its state; callable from any thread. A report is whole
// under one lock, checkpoints are never handed out twice, and nothing is reported after STOPPED.
void ReportServiceStatus(DWORD state, DWORD exitCode, DWORD waitHint);

// RUNNING or START_PENDING, unless a stop, shutdown or pre-shutdown has been requested: neither
// may replace the STOP_PENDING of a requested stop, which would end its heartbeat.
void ReportUnlessStopping(DWORD state);

// The whole status record as last reported; safe to read from any thread.
SERVICE_STATUS ReportedServiceStatus();

// The final report, STOPPED with these exit codes (specificCode with ERROR_SERVICE_SPECIFIC_ERROR).
// A failing end is logged first, and so reported as an event with its code.
void ReportServiceEnd(DWORD win32ExitCode, DWORD specificCode);

// GetTickCount64 at the first stop, shutdown or pre-shutdown request; 0 before one came.
ULONGLONG StopRequestTime();

// The longest a stop may take from its request: maxWaitTimeout for the machine to go down, the
// last resort's power-off, the tear-down's own bounded waits and a margin; 0xFFFFFFFF when that
// does not fit. Windows is told to wait this long at a host shutdown, and the heartbeat tells it
// that all is well no longer than this.
DWORD WholeStopBound(DWORD maxWaitTimeout);

// Thread bodies, started with _beginthread.
void StopPendingHeartbeat(void* unused);
void MachineSupervisorThread(void* unused);

// The product version from the executable's own version resource: four numbers, most significant
// first. Returns 1 when the resource was read, 0 otherwise (the numbers are then 0).
int ReadProductVersion(WORD version[4]);
