// Follows the configured machine's state through a passive VirtualBox event listener, so the
// service notices when the machine goes down by itself and keeps the SCM informed.
#include "vbox/vbox.h"

#include "config/config.h"

#include <process.h>

#include <atomic>
#include <cwchar>

static const LONG OnMachineStateChanged = 32;
static const LONG PollTimeout = 500;
// Pause after a failed poll, so a failing server does not make the watcher spin.
static const DWORD FailedPollPause = 500;
// A watcher whose polls keep failing hands over to the supervisor's own reads of the state.
static const int FailedPollLimit = 10;

// Written by the supervisor only: the thread is started by RegisterStateListener and joined by
// UnregisterStateListener, both on the supervisor's thread.
static HANDLE WatcherThread = nullptr;
static HANDLE WatcherWake = nullptr;
static std::atomic<bool> WatcherStopping{false};
static std::atomic<bool> WatcherRunning{false};

int StateWatcherRunning() {
    return WatcherRunning.load() ? 1 : 0;
}

static void HandleEvent(IDispatch* event) {
    LONG type = 0;
    if (FAILED(GetLongProperty(event, L"Type", &type)) || (type != OnMachineStateChanged)) {
        return;
    }
    // The event's own IDispatch answers for its most derived interface when the release's id of
    // IMachineStateChangedEvent is not known, or is refused.
    DispatchRef stateEvent;
    if ((VirtualBoxRelease.StateChangedEventIid == IID_NULL) ||
        FAILED(event->QueryInterface(VirtualBoxRelease.StateChangedEventIid,
                                     reinterpret_cast<void**>(stateEvent.Put())))) {
        event->AddRef();
        *stateEvent.Put() = event;
    }
    ScopedBstr machineId;
    if (FAILED(GetStringProperty(stateEvent.Get(), L"MachineId", machineId.Put())) ||
        (VirtualBoxLink.MachineId == nullptr) || (machineId.Get() == nullptr) ||
        (wcscmp(machineId.Get(), VirtualBoxLink.MachineId) != 0)) {
        return;
    }
    LONG state = MachineState_Null;
    GetMachineState(stateEvent.Get(), &state);
    VirtualBoxLink.Report(LinkReport_StateChanged, state);
}

// The state PollMachineState last reported; the supervisor's thread only.
static LONG PolledState = -1;

static void ReportLostLink(HRESULT hr) {
    LogMessage(1, "ERROR: lost the connection to VirtualBox (0x%08x)", static_cast<unsigned>(hr));
    VirtualBoxLink.Report(LinkReport_Lost, MachineState_Null);
}

void PollMachineState(const char* name) {
    LONG state = MachineState_Null;
    HRESULT hr = ReadMachineState(name, &state);
    if (IsServerGone(hr)) {
        ReportLostLink(hr);
    } else if (SUCCEEDED(hr) && (state != PolledState)) {
        PolledState = state;
        VirtualBoxLink.Report(LinkReport_StateChanged, state);
    }
}

unsigned __stdcall MachineEventThread(void*) {
    int failedPolls = 0;
    while (!WatcherStopping.load()) {
        VARIANT args[2] = {DispatchArg(VirtualBoxLink.Listener), LongArg(PollTimeout)};
        VARIANT result;
        VariantInit(&result);
        HRESULT hr = CallMethod(VirtualBoxLink.EventSource, L"GetEvent", args, 2, &result);
        if (FAILED(hr)) {
            if (WatcherStopping.load()) {
                break;
            }
            if (IsServerGone(hr)) {
                ReportLostLink(hr);
                break;
            }
            if (++failedPolls == FailedPollLimit) {
                LogMessage(
                    1, "ERROR: the machine state watcher gave up after %d failed polls (0x%08x)",
                    failedPolls, static_cast<unsigned>(hr));
                break;
            }
            WaitForSingleObject(WatcherWake, FailedPollPause);
            continue;
        }
        failedPolls = 0;
        if ((result.vt == VT_DISPATCH) && (result.pdispVal != nullptr)) {
            HandleEvent(result.pdispVal);
            VARIANT processed[2] = {DispatchArg(VirtualBoxLink.Listener),
                                    DispatchArg(result.pdispVal)};
            CallMethod(VirtualBoxLink.EventSource, L"EventProcessed", processed, 2, nullptr);
        }
        VariantClear(&result);
    }
    WatcherRunning.store(false);
    return 0;
}

void RegisterStateListener() {
    HRESULT hr =
        GetObjectProperty(VirtualBoxLink.VirtualBox, L"EventSource", &VirtualBoxLink.EventSource);
    if (FAILED(hr)) {
        LogMessage(1, "Error getting event source interface (0x%08x)", static_cast<unsigned>(hr));
        return;
    }
    hr = CallObjectMethod(VirtualBoxLink.EventSource, L"CreateListener", nullptr, 0,
                          &VirtualBoxLink.Listener);
    if (FAILED(hr)) {
        LogMessage(1, "Error creating event listener (0x%08x)", static_cast<unsigned>(hr));
        return;
    }

    SAFEARRAYBOUND bound = {1, 0};
    SAFEARRAY* wanted = SafeArrayCreate(VT_I4, 1, &bound);
    if (wanted == nullptr) {
        LogMessage(1, "Error registering event listener (0x%08x)",
                   static_cast<unsigned>(E_OUTOFMEMORY));
        return;
    }
    LONG index = 0;
    LONG type = OnMachineStateChanged;
    SafeArrayPutElement(wanted, &index, &type);
    VARIANT types;
    VariantInit(&types);
    types.vt = VT_ARRAY | VT_I4;
    types.parray = wanted;
    // A passive listener: the watcher polls it.
    VARIANT args[3] = {DispatchArg(VirtualBoxLink.Listener), types, LongArg(0)};
    hr = CallMethod(VirtualBoxLink.EventSource, L"RegisterListener", args, 3, nullptr);
    SafeArrayDestroy(wanted);
    if (FAILED(hr)) {
        LogMessage(1, "Error registering event listener (0x%08x)", static_cast<unsigned>(hr));
        return;
    }

    WatcherStopping.store(false);
    WatcherWake = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    WatcherRunning.store(true);
    WatcherThread = reinterpret_cast<HANDLE>(
        _beginthreadex(nullptr, 0, MachineEventThread, nullptr, 0, nullptr));
    if (WatcherThread == nullptr) {
        WatcherRunning.store(false);
    }
}

bool UnregisterStateListener(ULONGLONG deadline) {
    WatcherStopping.store(true);
    if (WatcherWake != nullptr) {
        SetEvent(WatcherWake);
    }
    // Unregistering also ends a poll that is waiting for an event.
    if ((VirtualBoxLink.EventSource != nullptr) && (VirtualBoxLink.Listener != nullptr)) {
        VARIANT args[1] = {DispatchArg(VirtualBoxLink.Listener)};
        CallMethod(VirtualBoxLink.EventSource, L"UnregisterListener", args, 1, nullptr);
    }
    if (WatcherThread != nullptr) {
        ULONGLONG now = GetTickCount64();
        DWORD wait = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
        if (WaitForSingleObject(WatcherThread, wait) != WAIT_OBJECT_0) {
            return false;  // still in a poll: what it uses stays
        }
        CloseHandle(WatcherThread);
        WatcherThread = nullptr;
    }
    if (WatcherWake != nullptr) {
        CloseHandle(WatcherWake);
        WatcherWake = nullptr;
    }
    ReleaseObject(&VirtualBoxLink.Listener);
    ReleaseObject(&VirtualBoxLink.EventSource);
    return true;
}
