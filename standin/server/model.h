// The stand-in server's model of VirtualBox: registered machines and their settings, the state
// machine of a running machine and its VM process, sessions, progress objects, the passive event
// listeners, the injected faults, and the settings file that keeps all of it across restarts.
//
// Everything here is plain data under one lock (the model lock); the COM objects handed to clients
// refer to it through shared pointers, so the model itself never keeps a client-visible object
// alive and the server's object count stays a count of client references.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/common.h"

namespace standin {

struct MachineData;
struct SessionData;
struct ProgressData;
struct ListenerData;

using MachineRef = std::shared_ptr<MachineData>;
using SessionRef = std::shared_ptr<SessionData>;
using ProgressRef = std::shared_ptr<ProgressData>;
using ListenerRef = std::shared_ptr<ListenerData>;

// One state change as a listener receives it (the state in the stand-in's own numbering, as
// everywhere in the model).
struct EventData {
    uint64_t serial = 0;
    LONG type = 0;
    std::wstring machineId;
    LONG state = 0;
};

// What a caller may read of a machine at one moment.
struct MachineFacts {
    std::wstring id;
    std::wstring name;
    LONG state = 0;
    LONG sessionState = 0;
    ULONG sessionPid = 0;
    bool registered = false;
    bool vrdeEnabled = false;
    LONG vrdePort = 0;
    ULONG screenWidth = 0;
    ULONG screenHeight = 0;
};

// Starts the model for the given home folder: loads the settings file (and with it the release to
// play, and whether type information is offered), turns machines whose VM process is gone into
// Aborted, and starts the thread that runs timed transitions and watches the VM processes. The VM
// processes are started from vmFolder.
HRESULT ModelStart(const std::wstring& home, const std::wstring& vmFolder);
// Ends the VM processes' supervision (they end themselves when the server is gone).
void ModelStop();
// The number of VM processes the server still has to see end; the server stays up meanwhile.
long LiveVmProcesses();

std::wstring HomeFolder();
std::wstring JournalFilePath();

// Faults: member "Object.Member" fails with hr; count -1 always, else that many times; machine
// empty for any machine. CheckFault consumes one use of the first matching fault.
bool CheckFault(const char* member, const std::wstring& machine, HRESULT* hr);
HRESULT SetFault(const std::wstring& member, HRESULT hr, LONG count, const std::wstring& machine);
HRESULT ClearFaults(const std::wstring& member);
std::wstring ListFaults();

// The release played since the start; the one chosen for the next start (persisted).
VBoxRelease PlayedRelease();
VBoxRelease NextRelease();
void ChooseRelease(VBoxRelease release);
// Whether IDispatch::GetTypeInfo answers (persisted; takes effect at once).
bool TypeInfoOn();
void SetTypeInfoOn(bool on);

// Machines.
std::vector<MachineRef> RegisteredMachines();
HRESULT FindMachine(const std::wstring& nameOrId, MachineRef* machine);
HRESULT CreateMachine(const std::wstring& name, MachineRef* machine);
HRESULT RegisterMachine(const MachineRef& machine);
HRESULT UnregisterMachine(const MachineRef& machine);
MachineFacts Facts(const MachineRef& machine);
std::wstring MachineName(const MachineRef& machine);
// Where VirtualBox would keep the machine's settings: <home>\Machines\<name>\<name>.vbox. Its
// folder is made when the machine is registered; no file is written there.
std::wstring SettingsFilePath(const std::wstring& name);

// Sessions.
SessionRef NewSession();
void SessionGone(const SessionRef& session);
HRESULT LockMachine(const MachineRef& machine, const SessionRef& session, LONG lockType);
HRESULT LaunchVm(const MachineRef& machine, const SessionRef& session, const std::wstring& type,
                 ProgressRef* progress);
HRESULT UnlockSession(const SessionRef& session);
LONG SessionStateOf(const SessionRef& session);
LONG SessionTypeOf(const SessionRef& session);
// The session's machine; hasConsole tells whether the lock came with a console (a running
// machine), and run identifies that machine run.
HRESULT SessionMachine(const SessionRef& session, MachineRef* machine, bool* hasConsole,
                       uint64_t* run);

// A machine run as seen through a console: calls fail with VBOX_E_INVALID_VM_STATE once the run
// has ended.
HRESULT SaveState(const MachineRef& machine, uint64_t run, ProgressRef* progress);
HRESULT PowerDown(const MachineRef& machine, uint64_t run, ProgressRef* progress);
HRESULT PressButton(const MachineRef& machine, uint64_t run, bool sleepButton);
HRESULT PauseVm(const MachineRef& machine, uint64_t run, bool pause);
HRESULT ScreenResolution(const MachineRef& machine, uint64_t run, ULONG screen, ULONG* width,
                         ULONG* height);
HRESULT VrdePort(const MachineRef& machine, uint64_t run, LONG* port, bool* active);

// Progress objects.
bool ProgressCompleted(const ProgressRef& progress, HRESULT* result);
void WaitProgress(const ProgressRef& progress, LONG timeoutMs);

// Passive listeners.
ListenerRef NewListener();
HRESULT RegisterListener(const ListenerRef& listener, const std::vector<LONG>& types);
HRESULT UnregisterListener(const ListenerRef& listener);
// S_OK with *got false on a timeout; VBOX_E_OBJECT_NOT_FOUND when the listener is (or becomes)
// unregistered while waiting.
HRESULT GetEvent(const ListenerRef& listener, LONG timeoutMs, EventData* event, bool* got);
HRESULT EventProcessed(const ListenerRef& listener, uint64_t serial);

// Knobs of the control tool, by machine name or id.
HRESULT SetAcpiReaction(const std::wstring& machine, LONG button, LONG shutdownAfterMs);
HRESULT SetScreen(const std::wstring& machine, ULONG width, ULONG height);
HRESULT SetVrde(const std::wstring& machine, bool enabled, LONG port);
HRESULT SetDurations(const std::wstring& machine, LONG launchMs, LONG powerOffMs, LONG saveMs);
// The ResultCode that the launch's (save false) or the save's progress completes with; a failed
// launch leaves the machine PoweredOff, a failed save leaves it Running.
HRESULT SetOperationResult(const std::wstring& machine, bool save, HRESULT result);
HRESULT KillVmProcess(const std::wstring& machine);
// Ends the machine's VM process if it runs (an abort), waits for that, and unregisters the
// machine whatever locks it; S_OK also when there is no such machine. For tests' clean-up.
HRESULT DiscardMachine(const std::wstring& machine);
HRESULT DescribeMachine(const std::wstring& machine, std::wstring* description);

}  // namespace standin
