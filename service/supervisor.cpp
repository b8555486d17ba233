// The machine supervisor of a service run. This one keeps no machine yet: it waits until the
// service is to end, keeps a stop reported while it winds down, and reports STOPPED.
#include "service/service.h"

#include <process.h>

void MachineSupervisorThread(void*) {
    HANDLE events[] = {ServiceRuntime.StopRequested, ServiceRuntime.MachineStopped,
                       ServiceRuntime.MachineAborted};
    DWORD signalled = WaitForMultipleObjects(3, events, FALSE, INFINITE);
    if (signalled == WAIT_OBJECT_0) {
        _beginthread(StopPendingHeartbeat, 0, nullptr);
    }
    Sleep(500);
    ReportServiceStatus(SERVICE_STOPPED, NO_ERROR, 0);
}
