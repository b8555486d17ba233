// Starting the configured machine when the service starts, and stopping it by the configured
// method when the service stops.
#include "vbox/vbox.h"

#include "config/config.h"

#include <climits>
#include <string>

static const LONG LockType_Shared = 1;
static const LONG SessionState_Unlocked = 1;
static const LONG SessionState_Spawning = 3;
// How often a machine that another process is launching is looked at.
static const DWORD SpawnPollInterval = 250;

// A launch is waited for MaxWaitTimeout, but never less than a launch needs: a MaxWaitTimeout of 0
// (a stop that powers off at once) must not fail every start.
static DWORD LaunchBound() {
    const DWORD LaunchFloor = 30000;
    DWORD bound = ServiceConfig.MaxWaitTimeout;
    return bound > LaunchFloor ? bound : LaunchFloor;
}
// What a progress that did not complete within its bound is logged with.
static const HRESULT WaitTimedOut = HRESULT_FROM_WIN32(ERROR_TIMEOUT);

// States in which the machine is up, or on its way up, and can be joined.
static bool IsUp(LONG state) {
    return (state == MachineState_Running) || (state == MachineState_Paused) ||
           (state == MachineState_Starting) || (state == MachineState_Restoring);
}

static bool IsGoingDown(LONG state) {
    return (state == MachineState_Stopping) || (state == MachineState_Saving);
}

// Waits at most bound ms for a progress. Returns the failure of the wait itself, or S_OK with the
// operation's outcome: its ResultCode, or WaitTimedOut when it has not completed.
static HRESULT WaitForProgress(IDispatch* progress, DWORD bound, HRESULT* outcome) {
    *outcome = WaitTimedOut;
    LONG timeout = bound < static_cast<DWORD>(LONG_MAX) ? static_cast<LONG>(bound) : LONG_MAX;
    VARIANT args[1] = {LongArg(timeout)};
    LONG completed = 0;
    LONG result = S_OK;
    HRESULT hr = CallMethod(progress, L"WaitForCompletion", args, 1, nullptr);
    if (SUCCEEDED(hr)) {
        hr = GetLongProperty(progress, L"Completed", &completed);
    }
    if (SUCCEEDED(hr) && (completed != 0)) {
        hr = GetLongProperty(progress, L"ResultCode", &result);
        *outcome = result;
    }
    return hr;
}

// Joins a machine that is already up with a shared lock on the service's session.
static int JoinMachine(const char* name, IDispatch* machine) {
    // Without the Session object the service could not stop the machine, and without its id the
    // watcher could not see it go down: such a join is a failed start (the cause is logged).
    if ((VirtualBoxLink.Session == nullptr) || (VirtualBoxLink.MachineId == nullptr)) {
        LogMessage(1, "Error starting VM '%s' (0x%08x)", name, static_cast<unsigned>(E_POINTER));
        return 0;
    }
    ULONG pid = 0;
    GetUlongProperty(machine, L"SessionPID", &pid);
    LogMessage(2, "VM '%s' is already running (pid=%d), using existing session", name,
               static_cast<int>(pid));
    VARIANT args[2] = {DispatchArg(VirtualBoxLink.Session), LongArg(LockType_Shared)};
    HRESULT hr = CallMethod(machine, L"LockMachine", args, 2, nullptr);
    if (FAILED(hr)) {
        // The service still supervises the machine; a later stop finds no machine in the
        // session and waits for the machine to go down by itself.
        LogMessage(1, "Error getting a machine lock (0x%08x)", static_cast<unsigned>(hr));
    }
    return 1;
}

// Launches the machine in a headless VM process and waits until it is up.
static int LaunchMachine(const char* name, IDispatch* machine) {
    LogMessage(2, "Starting VM '%s'", name);
    ScopedBstr type(Utf8ToBstr("headless"));
    // No change to the environment: a null string up to 6.0, an empty array of changes from 6.1.
    VARIANT environment = BstrArg(nullptr);
    if (VirtualBoxRelease.EnvironmentIsArray) {
        environment.vt = VT_ARRAY | VT_BSTR;
        environment.parray = SafeArrayCreateVector(VT_BSTR, 0, 0);
    }
    VARIANT args[3] = {DispatchArg(VirtualBoxLink.Session), BstrArg(type.Get()), environment};
    DispatchRef progress;
    HRESULT hr = CallObjectMethod(machine, L"LaunchVMProcess", args, 3, progress.Put());
    VariantClear(&environment);
    if (FAILED(hr)) {
        LogMessage(1, "Error starting VM '%s' (0x%08x)", name, static_cast<unsigned>(hr));
        return 0;
    }
    HRESULT outcome = S_OK;
    hr = WaitForProgress(progress.Get(), LaunchBound(), &outcome);
    if (FAILED(hr)) {
        // The launch may still complete; the state watcher sees what the machine reaches.
        LogMessage(1, "Error starting VM '%s' (0x%08x)", name, static_cast<unsigned>(hr));
        return 1;
    }
    // A launch that completed with an error left no machine to supervise; one that did not
    // complete within MaxWaitTimeout would hold the service in START_PENDING.
    if (FAILED(outcome)) {
        LogMessage(1, "Error starting VM '%s' (0x%08x)", name, static_cast<unsigned>(outcome));
        return 0;
    }
    LogMessage(2, "VM '%s' started", name);
    return 1;
}

// Waits, as long as for a launch of its own at most, while another process (VirtualBox's GUI,
// VBoxManage, this service's own earlier run) launches the machine: VirtualBox keeps a machine in
// its down state with SessionState Spawning until its VM process has powered up, and refuses a
// second launch or a lock meanwhile. The VM process locks the session a moment before it powers
// up, so only a down machine whose session is Unlocked again is a launch that failed. A stop
// request bounds the wait anew, by MaxWaitTimeout from the request, as it bounds any stop. Returns
// S_OK with the state the machine has come to, or a failure (logged).
static HRESULT WaitWhileSpawning(const char* name, IDispatch* machine, LONG* state,
                                 StopRequestClock stopRequested) {
    LONG session = 0;
    if (FAILED(GetLongProperty(machine, L"SessionState", &session)) ||
        (session != SessionState_Spawning)) {
        return S_OK;
    }
    const DWORD bound = LaunchBound();
    LogMessage(2, "VM '%s' is being launched by another process, waiting for it", name);
    const ULONGLONG launchDeadline = GetTickCount64() + bound;
    HRESULT hr = S_OK;
    while ((session != SessionState_Unlocked) && !IsUp(*state) && !IsGoingDown(*state)) {
        const ULONGLONG stopAt = stopRequested();
        const DWORD stopBound = ServiceConfig.MaxWaitTimeout;
        if ((stopAt != 0) && (GetTickCount64() >= stopAt + stopBound)) {
            LogMessage(1,
                       "ERROR: VM '%s' was still being launched by another process when the stop "
                       "had waited MaxWaitTimeout (%lu ms) for it; it is left to that process",
                       name, static_cast<unsigned long>(stopBound));
            return HRESULT_FROM_WIN32(ERROR_TIMEOUT);
        }
        if ((stopAt == 0) && (GetTickCount64() >= launchDeadline)) {
            LogMessage(1, "ERROR: VM '%s' was still being launched by another process after %lu ms",
                       name, static_cast<unsigned long>(bound));
            return HRESULT_FROM_WIN32(ERROR_TIMEOUT);
        }
        Sleep(SpawnPollInterval);
        hr = GetMachineState(machine, state);
        if (SUCCEEDED(hr)) {
            hr = GetLongProperty(machine, L"SessionState", &session);
        }
        if (FAILED(hr)) {
            LogMessage(1, "ERROR reading VM state (0x%08x)", static_cast<unsigned>(hr));
            return hr;
        }
    }
    return S_OK;
}

int StartMachine(const char* name, bool checkFolders, StopRequestClock stopRequested) {
    const std::wstring headless = Wide(ServiceConfig.VboxInstallPath) + L"\\VBoxHeadless.exe";
    if (GetFileAttributesW(headless.c_str()) == INVALID_FILE_ATTRIBUTES) {
        LogMessage(2,
                   "ERROR: Can't find VBoxHeadless executable. Check your VboxInstallPath option "
                   "in %s",
                   ServiceConfig.IniPath);
        return 0;
    }

    DispatchRef machine;
    if (FindMachineByName(name, machine.Put()) == 0) {
        return 0;
    }
    if (checkFolders) {
        CheckMachineFolders(name, machine.Get());
    }
    LONG state = MachineState_Null;
    HRESULT hr = GetMachineState(machine.Get(), &state);
    if (FAILED(hr)) {
        LogMessage(1, "ERROR reading VM state (0x%08x)", static_cast<unsigned>(hr));
        return 0;
    }
    // Once up it is joined; should the other launch fail, the machine is launched here.
    if (FAILED(WaitWhileSpawning(name, machine.Get(), &state, stopRequested))) {
        return 0;
    }
    if (IsUp(state)) {
        return JoinMachine(name, machine.Get());
    }
    if (IsGoingDown(state)) {
        LogMessage(1, "ERROR starting VM '%s' because it is stopping", name);
        return 0;
    }
    // A stop asks for the machine down: launching it now would only hold the stop up.
    if (stopRequested() != 0) {
        LogMessage(2, "VM '%s' is not started: the service was asked to stop", name);
        return 0;
    }
    return LaunchMachine(name, machine.Get());
}

// Issues the stop call of the configured method; a progress object comes back for power-off and
// save-state, none for the ACPI buttons.
static HRESULT IssueStop(IDispatch* machine, IDispatch* console, IDispatch** progress) {
    *progress = nullptr;
    switch (ServiceConfig.ShutdownMethod) {
        case ShutdownMethod::savestate:
            return CallObjectMethod(machine, L"SaveState", nullptr, 0, progress);
        case ShutdownMethod::acpipowerbutton:
            return CallMethod(console, L"PowerButton", nullptr, 0, nullptr);
        case ShutdownMethod::acpisleepbutton:
            return CallMethod(console, L"SleepButton", nullptr, 0, nullptr);
        default:
            return CallObjectMethod(console, L"PowerDown", nullptr, 0, progress);
    }
}

StopOutcome StopMachine(const char* name, DWORD bound) {
    LogMessage(2, "Stopping (%s) VM '%s'", ServiceConfig.ShutdownCommandText, name);
    // The one-time override is consumed by the first stop that reads it.
    DWORD error =
        DeleteIniKey(Wide(ServiceConfig.IniPath).c_str(), ConfigSection, L"ShutdownOnceCommand");
    if (error != ERROR_SUCCESS) {
        LogMessage(1, "ERROR removing ShutdownOnceCommand from %s (0x%08x)", ServiceConfig.IniPath,
                   static_cast<unsigned>(error));
    }

    DispatchRef machine;
    if (FAILED(GetObjectProperty(VirtualBoxLink.Session, L"Machine", machine.Put()))) {
        return StopOutcome_Pending;
    }
    HRESULT hr = GetObjectProperty(VirtualBoxLink.Session, L"Console", &VirtualBoxLink.Console);
    if (FAILED(hr)) {
        LogMessage(1, "ERROR getting console (0x%08x)", static_cast<unsigned>(hr));
        return StopOutcome_Pending;
    }

    // Only a stop that VirtualBox reports done has stopped the machine: a failed save (a full
    // disk), a refused button (a paused machine) or a wait that ran out leave it to go down by
    // itself, within MaxWaitTimeout, or to be powered off there.
    StopOutcome outcome = StopOutcome_Pending;
    DispatchRef progress;
    hr = IssueStop(machine.Get(), VirtualBoxLink.Console, progress.Put());
    if (FAILED(hr)) {
        LogMessage(1, "ERROR stopping VM '%s' (0x%08x)", name, static_cast<unsigned>(hr));
    } else if (progress.Get() == nullptr) {
        // The guest reacts to the button in its own time.
        LogMessage(2, "VM '%s' was sent a stop signal (%s)", name,
                   ServiceConfig.ShutdownCommandText);
    } else {
        HRESULT result = S_OK;
        hr = WaitForProgress(progress.Get(), bound, &result);
        if (SUCCEEDED(hr)) {
            hr = result;
        }
        if (FAILED(hr)) {
            LogMessage(1, "ERROR stopping (%s) VM '%s' (0x%08x)", ServiceConfig.ShutdownCommandText,
                       name, static_cast<unsigned>(hr));
        } else {
            outcome = StopOutcome_Stopped;
        }
    }

    CallMethod(VirtualBoxLink.Session, L"UnlockMachine", nullptr, 0, nullptr);
    ReleaseObject(&VirtualBoxLink.Console);
    return outcome;
}

int PowerOffMachine(const char* name, DWORD bound) {
    // A session that holds no console (a lost lock, a stop that unlocked it) is locked anew.
    DispatchRef console;
    HRESULT hr = GetObjectProperty(VirtualBoxLink.Session, L"Console", console.Put());
    if (FAILED(hr)) {
        DispatchRef machine;
        hr = FindMachineByName(name, machine.Put()) != 0 ? S_OK : E_FAIL;
        if (SUCCEEDED(hr)) {
            VARIANT args[2] = {DispatchArg(VirtualBoxLink.Session), LongArg(LockType_Shared)};
            hr = CallMethod(machine.Get(), L"LockMachine", args, 2, nullptr);
        }
        if (SUCCEEDED(hr)) {
            hr = GetObjectProperty(VirtualBoxLink.Session, L"Console", console.Put());
        }
    }
    DispatchRef progress;
    if (SUCCEEDED(hr)) {
        hr = CallObjectMethod(console.Get(), L"PowerDown", nullptr, 0, progress.Put());
    }
    if (SUCCEEDED(hr)) {
        HRESULT result = S_OK;
        hr = WaitForProgress(progress.Get(), bound, &result);
        if (SUCCEEDED(hr)) {
            hr = result;
        }
    }
    CallMethod(VirtualBoxLink.Session, L"UnlockMachine", nullptr, 0, nullptr);
    if (FAILED(hr)) {
        LogMessage(1, "ERROR powering off VM '%s' as the last resort (0x%08x)", name,
                   static_cast<unsigned>(hr));
        return 0;
    }
    LogMessage(1, "VM '%s' powered off as the last resort", name);
    return 1;
}
