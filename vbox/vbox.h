// The link to VirtualBox's Main API, machine start and stop, the machine state watcher, and the
// pre-launch of VirtualBox's COM server.
//
// VirtualBox is reached through COM automation only: members are looked up by name and invoked
// through IDispatch, so no vtable layout of one VirtualBox release is compiled in.
#pragma once

#include <windows.h>
#include <oaidl.h>

// Machine states in VirtualBox 5.0's numbering. The service reads every state in the numbering of
// the release it talks to and acts on it in this one; the control pipe's state reply keeps it for
// every release, because tray companions read these numbers.
enum MachineState : LONG {
    MachineState_Null = 0,
    MachineState_PoweredOff = 1,
    MachineState_Saved = 2,
    MachineState_Aborted = 4,
    MachineState_Running = 5,
    MachineState_Paused = 6,
    MachineState_Starting = 10,
    MachineState_Stopping = 11,
    MachineState_Saving = 12,
    MachineState_Restoring = 13,
    MachineState_FaultTolerantSyncing = 16,
};

// The names of 5.0's states, by number.
constexpr const char* MachineStateNames[] = {
    "Null",
    "PoweredOff",
    "Saved",
    "Teleported",
    "Aborted",
    "Running",
    "Paused",
    "Stuck",
    "Teleporting",
    "LiveSnapshotting",
    "Starting",
    "Stopping",
    "Saving",
    "Restoring",
    "TeleportingPausedVM",
    "TeleportingIn",
    "FaultTolerantSyncing",
    "DeletingSnapshotOnline",
    "DeletingSnapshotPaused",
    "OnlineSnapshotting",
    "RestoringSnapshot",
    "DeletingSnapshot",
    "SettingUp",
    "Snapshotting",
};
constexpr LONG MachineStateCount = sizeof(MachineStateNames) / sizeof(MachineStateNames[0]);

// What differs between the VirtualBox releases the service drives. Learned once per connection,
// by the supervisor, before the watcher starts and before the Session object is published to the
// pipe's client threads; afterwards only read.
struct VirtualBoxReleaseRecord {
    IID SessionIid;            // ISession's id in this release; IID_NULL when not known
    IID StateChangedEventIid;  // IMachineStateChangedEvent's; IID_NULL when not known
    bool EnvironmentIsArray;   // LaunchVMProcess takes environment changes as an array (6.1 on)
    // For each of the release's state numbers, the 5.0 number of the state of that name; -1 for a
    // number the release does not use.
    LONG ClassicStates[64];
};

extern VirtualBoxReleaseRecord VirtualBoxRelease;

// What the link reports to its owner, on the watcher's thread; the owner decides what each
// report means for the service.
enum LinkReport {
    LinkReport_StateChanged,  // the machine entered a state (5.0's numbering; Null when unreadable)
    LinkReport_Lost,          // VirtualBox's COM server is gone
};
using LinkReportCallback = void (*)(LinkReport report, LONG state);

// The one link to VirtualBox. Only the supervisor thread writes it, between OpenVirtualBox and
// CloseVirtualBox. Other threads reach VirtualBox and Session through BeginLinkUse, and the
// watcher is ended before the listener and event source are released.
struct VirtualBoxLinkRecord {
    IDispatch* VirtualBox;
    IDispatch* Session;
    IDispatch* EventSource;
    IDispatch* Listener;
    BSTR MachineId;
    IDispatch* Console;  // held only while a stop is in progress
    LinkReportCallback Report;
};

extern VirtualBoxLinkRecord VirtualBoxLink;

// Owns one COM reference; released when it goes out of scope.
class DispatchRef {
public:
    DispatchRef() = default;
    explicit DispatchRef(IDispatch* object) : object_(object) {}
    DispatchRef(const DispatchRef&) = delete;
    DispatchRef& operator=(const DispatchRef&) = delete;
    ~DispatchRef() {
        Reset();
    }

    IDispatch* Get() const {
        return object_;
    }
    // Releases what is held and returns the slot for an out parameter.
    IDispatch** Put() {
        Reset();
        return &object_;
    }
    void Reset() {
        if (object_ != nullptr) {
            object_->Release();
            object_ = nullptr;
        }
    }

private:
    IDispatch* object_ = nullptr;
};

// Owns one BSTR.
class ScopedBstr {
public:
    ScopedBstr() = default;
    explicit ScopedBstr(BSTR text) : text_(text) {}
    ScopedBstr(const ScopedBstr&) = delete;
    ScopedBstr& operator=(const ScopedBstr&) = delete;
    ~ScopedBstr() {
        SysFreeString(text_);
    }

    BSTR Get() const {
        return text_;
    }
    BSTR* Put() {
        SysFreeString(text_);
        text_ = nullptr;
        return &text_;
    }

private:
    BSTR text_ = nullptr;
};

// ---- Automation: members of VirtualBox objects by name ----
//
// Each returns the member's own HRESULT: when Invoke reports DISP_E_EXCEPTION, the code is the one
// in EXCEPINFO.scode. A member that succeeds without giving the object asked for yields E_POINTER.

// A BSTR made from UTF-8 text (a null text gives an empty one); null when memory runs out.
BSTR Utf8ToBstr(const char* text);

// args are in the member's declaration order; result may be null.
HRESULT CallMethod(IDispatch* object, const wchar_t* name, VARIANT* args, UINT argCount,
                   VARIANT* result);
HRESULT GetLongProperty(IDispatch* object, const wchar_t* name, LONG* value);
HRESULT GetUlongProperty(IDispatch* object, const wchar_t* name, ULONG* value);
HRESULT GetStringProperty(IDispatch* object, const wchar_t* name, BSTR* value);
HRESULT GetObjectProperty(IDispatch* object, const wchar_t* name, IDispatch** value);
// An array of elementType, which the caller destroys with SafeArrayDestroy.
HRESULT GetArrayProperty(IDispatch* object, const wchar_t* name, VARTYPE elementType,
                         SAFEARRAY** value);
// A method whose result is an object (a progress, say).
HRESULT CallObjectMethod(IDispatch* object, const wchar_t* name, VARIANT* args, UINT argCount,
                         IDispatch** value);

// Whether a call failed because VirtualBox's COM server process is gone.
bool IsServerGone(HRESULT hr);

// Releases the object a field holds, and clears the field.
void ReleaseObject(IDispatch** field);

VARIANT LongArg(LONG value);
VARIANT BstrArg(BSTR value);            // borrowed: the caller keeps owning the string
VARIANT DispatchArg(IDispatch* value);  // borrowed as well

// ---- The connection ----

// Opens the link; report receives what the state watcher sees until CloseVirtualBox.
void OpenVirtualBox(LinkReportCallback report);
HRESULT ConnectVirtualBox();
HRESULT CreateSessionObject();
// 1 with a machine the caller releases, 0 when it cannot be found (the reason is logged);
// result, if given, receives the look-up's HRESULT.
int FindMachineByName(const char* name, IDispatch** machine, HRESULT* result = nullptr);
// Ends the watcher and releases the link, within bound ms. Returns 1 when closed; 0 when a call
// into VirtualBox that never returned (the watcher's, or a pipe query's) kept it: the link is then
// left as it is, for the process's end to reclaim (logged).
int CloseVirtualBox(DWORD bound);

// Lets a thread other than the supervisor use VirtualBoxLink.VirtualBox and .Session: returns 1
// with both present and kept alive until EndLinkUse, or 0, holding nothing, when either is absent.
int BeginLinkUse();
void EndLinkUse();

// ---- The machine ----

// The time of the service's stop request (GetTickCount64), 0 before one came. The start asks it
// as it goes, so its owner may take the first nonzero answer as the moment to carry a stop on.
using StopRequestClock = ULONGLONG (*)();

// 1 when the service is to go on supervising the machine, 0 when it is to end. A service that runs
// as LocalSystem checks the machine's folders first (checkFolders). After a stop request nothing is
// launched; a launch by another process under way then is waited for MaxWaitTimeout from the
// request at most, and joined should it bring the machine up, so that the stop is served.
int StartMachine(const char* name, bool checkFolders, StopRequestClock stopRequested);

// What the stop achieved: the machine is down, or the supervisor must wait for it to go down by
// itself (an ACPI button was pressed; the stop failed, ran out of bound ms, or could not reach
// the machine).
enum StopOutcome { StopOutcome_Stopped = 1, StopOutcome_Pending = 0 };
StopOutcome StopMachine(const char* name, DWORD bound);

// The last resort of a stop that ran out of MaxWaitTimeout: powers the machine off, waiting at
// most bound ms. 1 when it is off, 0 otherwise (logged either way).
int PowerOffMachine(const char* name, DWORD bound);

// The machine's current state, read anew, in 5.0's numbering; Null when it cannot be read.
HRESULT ReadMachineState(const char* name, LONG* state);

// ---- The machine's folders ----

// Whom a folder's security lets change its files, or its access, other than SYSTEM,
// Administrators, TrustedInstaller and CREATOR OWNER: the first such SID of the DACL, else its
// owner (who may rewrite the DACL); Everyone's without a DACL; null when there is none. The SID
// lives in descriptor.
PSID FolderWriter(PSECURITY_DESCRIPTOR descriptor);

// For a service that runs as LocalSystem, which hands VirtualBox the machine's settings: logs a
// warning for VboxUserHome and for the folder of the machine's settings file when someone else
// may write to it.
void CheckMachineFolders(const char* name, IDispatch* machine);

// ---- The release ----

// Learns the release's facts from VirtualBox's type library, or from the version string where no
// type information can be had, into VirtualBoxRelease; logs which source served.
void LearnVirtualBoxRelease(const wchar_t* version);
// A state number of the release in 5.0's numbering; AbortedSaved counts as Aborted, a number the
// release does not use as Null.
LONG ClassicState(LONG releaseState);
// Reads an object's State (a machine's, or a state change event's) in 5.0's numbering.
HRESULT GetMachineState(IDispatch* object, LONG* state);

// ---- The state watcher ----

void RegisterStateListener();
// Ends the watcher, waiting until deadline (GetTickCount64) at most, then releases the listener
// and the event source. false, with both kept, when the watcher is still inside a poll.
bool UnregisterStateListener(ULONGLONG deadline);
// Thread body; runs until UnregisterStateListener ends it, the link to VirtualBox is lost, or its
// polls keep failing.
unsigned __stdcall MachineEventThread(void* unused);
// 1 while a watcher runs.
int StateWatcherRunning();
// For a supervisor without a watcher: reads the machine's state and reports a change, or a lost
// link, as the watcher would. Called on the supervisor's thread only.
void PollMachineState(const char* name);

// ---- VirtualBox's COM server ----

// 0 when a VBoxSVC.exe of this process's own user runs, 1 when a launch was attempted.
int EnsureVBoxSvcRunning();
