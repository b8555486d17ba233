#include "server/model.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "common/common.h"

namespace standin {

struct ProgressData {
    bool completed = false;
    HRESULT result = S_OK;
};

struct SessionData {
    LONG state = kSessionUnlocked;
    LONG type = kSessionTypeNull;
    MachineRef machine;
    bool hasConsole = false;
    uint64_t run = 0;
};

struct MachineData {
    std::wstring id;
    std::wstring name;
    bool registered = false;
    LONG state = kPoweredOff;
    ULONG screenWidth = 1024;
    ULONG screenHeight = 768;
    bool vrdeEnabled = true;
    LONG vrdePort = 3389;
    // Guest reaction to the ACPI buttons: shut down after so many ms, or -1 to ignore the button.
    LONG acpiPowerMs = 1000;
    LONG acpiSleepMs = 1000;
    LONG launchMs = 500;
    LONG powerOffMs = 300;
    LONG saveMs = 400;
    HRESULT launchResult = S_OK;
    HRESULT saveResult = S_OK;

    // The VM process of the current run, if any.
    HANDLE vmProcess = nullptr;
    HANDLE vmStop = nullptr;
    DWORD vmPid = 0;
    uint64_t run = 0;
    bool restoredRun = false;  // the run began by restoring a saved state
    // Launched, its VM process not yet powered up: the machine keeps its down state meanwhile.
    bool spawning = false;
    ProgressRef pending;  // the launch, power-off or save in progress
    std::weak_ptr<SessionData> launcher;
    std::weak_ptr<SessionData> writeLock;
};

struct ListenerData {
    bool registered = false;
    bool wantsAll = false;
    bool wantsStateChanges = false;
    std::deque<EventData> queue;
    std::vector<uint64_t> taken;  // fetched by GetEvent, not yet marked processed
};

namespace {

constexpr size_t kMaxUnprocessed = 500;
// WaitForMultipleObjects takes 64 handles; one is the wake-up event.
constexpr size_t kMaxVmProcesses = MAXIMUM_WAIT_OBJECTS - 1;

enum class TimerKind { kLaunchDone, kPowerOffDone, kSaveDone, kGuestShutdown };

struct Timer {
    ULONGLONG due;
    MachineRef machine;
    uint64_t run;
    ProgressRef progress;
    TimerKind kind;
};

struct Fault {
    std::wstring member;
    HRESULT hr;
    LONG count;
    std::wstring machine;
};

// A VM process told to end; watched until it has, then its handles are closed.
struct Retiring {
    HANDLE process;
    HANDLE stop;
};

// The model lock guards everything below; g_changed is signalled on every state change, event
// and completed progress, and every waiter re-checks its own condition.
std::mutex g_lock;
std::condition_variable g_changed;
std::wstring g_home;
std::wstring g_vmFolder;
std::vector<MachineRef> g_machines;
std::vector<ListenerRef> g_listeners;
std::vector<Fault> g_faults;
std::atomic<size_t> g_faultCount{0};
VBoxRelease g_played = kRelease50;
VBoxRelease g_next = kRelease50;
bool g_typeInfo = true;
std::vector<Timer> g_timers;
std::vector<Retiring> g_retiring;
uint64_t g_nextSerial = 1;
uint64_t g_nextRun = 1;
bool g_stopping = false;
// Counts the clearings of faults: a call that hangs waits for the next one.
uint64_t g_faultClearings = 0;
HANDLE g_wake = nullptr;
std::thread g_scheduler;

bool IsLiveState(LONG state) {
    return state != kStateNull && state != kPoweredOff && state != kSaved && state != kTeleported &&
           state != kAborted && state != kAbortedSaved;
}

bool SameId(const std::wstring& a, const std::wstring& b) {
    std::wstring x = a, y = b;
    for (std::wstring* s : {&x, &y}) {
        if (s->size() == 38 && s->front() == L'{' && s->back() == L'}') {
            *s = s->substr(1, 36);
        }
    }
    return _wcsicmp(x.c_str(), y.c_str()) == 0;
}

MachineRef FindLocked(const std::wstring& nameOrId) {
    for (const MachineRef& m : g_machines) {
        if (m->name == nameOrId) {
            return m;
        }
    }
    for (const MachineRef& m : g_machines) {
        if (SameId(m->id, nameOrId)) {
            return m;
        }
    }
    return nullptr;
}

std::wstring SettingsPath() {
    return g_home + L"\\standin-settings.txt";
}

void SaveSettingsLocked() {
    std::ostringstream out;
    out << "# VirtualBox stand-in settings: machines, faults and switches\n";
    out << "release=" << ReleaseName(g_next) << "\n";
    out << "typeinfo=" << (g_typeInfo ? 1 : 0) << "\n";
    for (const MachineRef& m : g_machines) {
        out << "[machine]\n"
            << "name=" << Utf8(m->name) << "\n"
            << "id=" << Utf8(m->id) << "\n"
            << "state=" << m->state << "\n"
            << "screen=" << m->screenWidth << "x" << m->screenHeight << "\n"
            << "vrde=" << (m->vrdeEnabled ? 1 : 0) << "\n"
            << "vrdeport=" << m->vrdePort << "\n"
            << "acpipower=" << m->acpiPowerMs << "\n"
            << "acpisleep=" << m->acpiSleepMs << "\n"
            << "launchms=" << m->launchMs << "\n"
            << "poweroffms=" << m->powerOffMs << "\n"
            << "savems=" << m->saveMs << "\n"
            << "launchresult=" << HexCode(m->launchResult) << "\n"
            << "saveresult=" << HexCode(m->saveResult) << "\n";
    }
    for (const Fault& f : g_faults) {
        out << "[fault]\n"
            << "member=" << Utf8(f.member) << "\n"
            << "hresult=" << HexCode(f.hr) << "\n"
            << "count=" << f.count << "\n"
            << "machine=" << Utf8(f.machine) << "\n";
    }
    std::string text = out.str();
    std::wstring temp = SettingsPath() + L".new";
    HANDLE file = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        JournalWrite("# settings not written", "", HRESULT_FROM_WIN32(error), "", L"");
        return;
    }
    DWORD written = 0;
    BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
    if (!ok || !MoveFileExW(temp.c_str(), SettingsPath().c_str(), MOVEFILE_REPLACE_EXISTING)) {
        DWORD error = GetLastError();
        JournalWrite("# settings not written", "", HRESULT_FROM_WIN32(error), "", L"");
    }
}

long ParseLong(const std::string& text) {
    return static_cast<long>(strtoul(text.c_str(), nullptr, 0));
}

void LoadSettingsLocked() {
    std::ifstream in(SettingsPath().c_str());
    std::string line;
    MachineRef machine;
    Fault* fault = nullptr;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty() || line[0] == '#') {
            continue;
        }
        if (line == "[machine]") {
            machine = std::make_shared<MachineData>();
            machine->registered = true;
            g_machines.push_back(machine);
            fault = nullptr;
            continue;
        }
        if (line == "[fault]") {
            g_faults.push_back(Fault{L"", E_FAIL, 1, L""});
            fault = &g_faults.back();
            machine = nullptr;
            continue;
        }
        size_t eq = line.find('=');
        if (eq == std::string::npos) {
            continue;
        }
        std::string key = line.substr(0, eq);
        std::string value = line.substr(eq + 1);
        if (machine) {
            if (key == "name") {
                machine->name = Wide(value);
            } else if (key == "id") {
                machine->id = Wide(value);
            } else if (key == "state") {
                machine->state = ParseLong(value);
            } else if (key == "screen") {
                unsigned long w = 0, h = 0;
                if (sscanf(value.c_str(), "%lux%lu", &w, &h) == 2) {
                    machine->screenWidth = w;
                    machine->screenHeight = h;
                }
            } else if (key == "vrde") {
                machine->vrdeEnabled = ParseLong(value) != 0;
            } else if (key == "vrdeport") {
                machine->vrdePort = ParseLong(value);
            } else if (key == "acpipower") {
                machine->acpiPowerMs = ParseLong(value);
            } else if (key == "acpisleep") {
                machine->acpiSleepMs = ParseLong(value);
            } else if (key == "launchms") {
                machine->launchMs = ParseLong(value);
            } else if (key == "poweroffms") {
                machine->powerOffMs = ParseLong(value);
            } else if (key == "savems") {
                machine->saveMs = ParseLong(value);
            } else if (key == "launchresult") {
                machine->launchResult = ParseLong(value);
            } else if (key == "saveresult") {
                machine->saveResult = ParseLong(value);
            }
        } else if (fault) {
            if (key == "member") {
                fault->member = Wide(value);
            } else if (key == "hresult") {
                fault->hr = ParseLong(value);
            } else if (key == "count") {
                fault->count = ParseLong(value);
            } else if (key == "machine") {
                fault->machine = Wide(value);
            }
        } else if (key == "release") {
            ParseRelease(Wide(value), &g_next);
        } else if (key == "typeinfo") {
            g_typeInfo = ParseLong(value) != 0;
        }
    }
    g_machines.erase(
        std::remove_if(g_machines.begin(), g_machines.end(),
                       [](const MachineRef& m) { return m->name.empty() || m->id.empty(); }),
        g_machines.end());
    g_faults.erase(std::remove_if(g_faults.begin(), g_faults.end(),
                                  [](const Fault& f) { return f.member.empty(); }),
                   g_faults.end());
    g_faultCount = g_faults.size();
    g_played = g_next;
    OfferTypeInfo(g_typeInfo);
    // The VM processes of an earlier server ended with it ("VBoxSVC became unavailable"): as in
    // VirtualBox, what was running reads PoweredOff, since only a machine that itself aborts is
    // marked Aborted. Releases before 7.0 know no AbortedSaved: the saved state is still there.
    for (const MachineRef& m : g_machines) {
        if (IsLiveState(m->state)) {
            m->state = kPoweredOff;
        } else if (m->state == kAbortedSaved && g_played != kRelease70) {
            m->state = kSaved;
        }
    }
}

void Enqueue(const ListenerRef& listener, const EventData& event) {
    if (!listener->wantsAll &&
        !(listener->wantsStateChanges && event.type == kOnMachineStateChanged)) {
        return;
    }
    listener->queue.push_back(event);
    if (listener->queue.size() + listener->taken.size() > kMaxUnprocessed) {
        // A listener that does not keep up is dropped, as VirtualBox does.
        listener->registered = false;
        listener->queue.clear();
        listener->taken.clear();
    }
}

void SetStateLocked(const MachineRef& m, LONG state) {
    m->state = state;
    if (m->registered) {
        SaveSettingsLocked();
        EventData event;
        event.serial = g_nextSerial++;
        event.type = kOnMachineStateChanged;
        event.machineId = m->id;
        event.state = state;
        for (const ListenerRef& listener : g_listeners) {
            Enqueue(listener, event);
        }
        g_listeners.erase(std::remove_if(g_listeners.begin(), g_listeners.end(),
                                         [](const ListenerRef& l) { return !l->registered; }),
                          g_listeners.end());
    }
    g_changed.notify_all();
}

void CompleteLocked(const ProgressRef& progress, HRESULT result) {
    if (progress && !progress->completed) {
        progress->completed = true;
        progress->result = result;
        g_changed.notify_all();
    }
}

// A negative delay is an operation that never completes (a hung VM process). The scheduler is
// woken either way: it also watches the VM process that a launch has just started.
void AddTimerLocked(const MachineRef& m, LONG delayMs, TimerKind kind, const ProgressRef& p) {
    if (delayMs >= 0) {
        g_timers.push_back(
            Timer{GetTickCount64() + static_cast<ULONGLONG>(delayMs), m, m->run, p, kind});
    }
    SetEvent(g_wake);
}

// Tells the VM process of the current run to end; the scheduler closes its handles once it has.
void RetireVmLocked(const MachineRef& m) {
    if (!m->vmProcess) {
        return;
    }
    SetEvent(m->vmStop);
    g_retiring.push_back(Retiring{m->vmProcess, m->vmStop});
    m->vmProcess = nullptr;
    m->vmStop = nullptr;
    m->vmPid = 0;
    SetEvent(g_wake);
}

void RunTimerLocked(const Timer& timer) {
    const MachineRef& m = timer.machine;
    // A timer of an earlier run, or of an operation that the VM process's end cut short, is void.
    if (timer.run != m->run || !m->vmProcess) {
        return;
    }
    switch (timer.kind) {
        case TimerKind::kLaunchDone: {
            if (m->pending != timer.progress) {
                return;
            }
            m->pending.reset();
            m->spawning = false;
            if (FAILED(m->launchResult)) {
                // The machine never left its down state.
                RetireVmLocked(m);
                if (SessionRef launcher = m->launcher.lock()) {
                    if (launcher->run == m->run) {
                        launcher->state = kSessionUnlocked;
                        launcher->type = kSessionTypeNull;
                        launcher->machine.reset();
                    }
                }
                CompleteLocked(timer.progress, m->launchResult);
            } else {
                SetStateLocked(m, m->restoredRun ? kRestoring : kStarting);
                SetStateLocked(m, kRunning);
                CompleteLocked(timer.progress, S_OK);
            }
            break;
        }
        case TimerKind::kPowerOffDone:
        case TimerKind::kSaveDone:
            if (m->pending != timer.progress) {
                return;
            }
            m->pending.reset();
            // A save that fails (a full disk) leaves the machine running.
            if (timer.kind == TimerKind::kSaveDone && FAILED(m->saveResult)) {
                SetStateLocked(m, kRunning);
                CompleteLocked(timer.progress, m->saveResult);
                break;
            }
            SetStateLocked(m, timer.kind == TimerKind::kSaveDone ? kSaved : kPoweredOff);
            RetireVmLocked(m);
            CompleteLocked(timer.progress, S_OK);
            break;
        case TimerKind::kGuestShutdown:
            if (m->state == kPaused) {
                // A paused guest cannot act on the button until it runs again.
                AddTimerLocked(m, 100, TimerKind::kGuestShutdown, nullptr);
            } else if (m->state == kRunning) {
                SetStateLocked(m, kStopping);
                m->pending = std::make_shared<ProgressData>();
                AddTimerLocked(m, m->powerOffMs, TimerKind::kPowerOffDone, m->pending);
            }
            break;
    }
}

// The VM process of a machine ended on its own (killed, crashed): the machine is aborted; from
// 7.0 on, one whose run began by restoring a saved state keeps that state (AbortedSaved).
void VmProcessEndedLocked(const MachineRef& m) {
    CloseHandle(m->vmProcess);
    CloseHandle(m->vmStop);
    m->vmProcess = nullptr;
    m->vmStop = nullptr;
    m->vmPid = 0;
    CompleteLocked(m->pending, kVmError);
    m->pending.reset();
    m->spawning = false;
    if (IsLiveState(m->state)) {
        SetStateLocked(m, m->restoredRun && g_played == kRelease70 ? kAbortedSaved : kAborted);
    }
}

// Runs timed transitions and watches VM processes. Process handles are closed only here (or by
// ModelStop after this thread has ended), so the handles it waits on stay valid during the wait.
void SchedulerThread() {
    std::vector<HANDLE> handles;
    std::vector<MachineRef> owners;
    for (;;) {
        DWORD timeout = INFINITE;
        {
            std::lock_guard<std::mutex> hold(g_lock);
            if (g_stopping) {
                return;
            }
            handles.assign(1, g_wake);
            owners.assign(1, nullptr);
            for (const MachineRef& m : g_machines) {
                if (m->vmProcess) {
                    handles.push_back(m->vmProcess);
                    owners.push_back(m);
                }
            }
            for (const Retiring& r : g_retiring) {
                if (handles.size() < MAXIMUM_WAIT_OBJECTS) {
                    handles.push_back(r.process);
                    owners.push_back(nullptr);
                }
            }
            ULONGLONG now = GetTickCount64();
            for (const Timer& t : g_timers) {
                DWORD left = t.due > now ? static_cast<DWORD>(t.due - now) : 0;
                timeout = std::min(timeout, left);
            }
        }
        DWORD woke = WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(),
                                            FALSE, timeout);
        std::lock_guard<std::mutex> hold(g_lock);
        if (woke > WAIT_OBJECT_0 && woke < WAIT_OBJECT_0 + handles.size()) {
            size_t index = woke - WAIT_OBJECT_0;
            if (owners[index]) {
                if (owners[index]->vmProcess == handles[index]) {
                    VmProcessEndedLocked(owners[index]);
                }
            } else {
                for (size_t i = 0; i < g_retiring.size(); ++i) {
                    if (g_retiring[i].process == handles[index]) {
                        CloseHandle(g_retiring[i].process);
                        CloseHandle(g_retiring[i].stop);
                        g_retiring.erase(g_retiring.begin() + i);
                        break;
                    }
                }
            }
        }
        ULONGLONG now = GetTickCount64();
        std::vector<Timer> due;
        for (size_t i = 0; i < g_timers.size();) {
            if (g_timers[i].due <= now) {
                due.push_back(g_timers[i]);
                g_timers.erase(g_timers.begin() + i);
            } else {
                ++i;
            }
        }
        std::stable_sort(due.begin(), due.end(),
                         [](const Timer& a, const Timer& b) { return a.due < b.due; });
        for (const Timer& t : due) {
            RunTimerLocked(t);
        }
    }
}

std::wstring NewMachineId() {
    GUID guid;
    CoCreateGuid(&guid);
    wchar_t text[40];
    StringFromGUID2(guid, text, 40);
    std::wstring id(text + 1, 36);
    for (wchar_t& c : id) {
        c = towlower(c);
    }
    return id;
}

bool RunMatchesLocked(const MachineRef& m, uint64_t run) {
    return m->vmProcess && m->run == run;
}

}  // namespace

HRESULT ModelStart(const std::wstring& home, const std::wstring& vmFolder) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_home = home;
    g_vmFolder = vmFolder;
    g_wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!g_wake) {
        return HRESULT_FROM_WIN32(GetLastError());
    }
    LoadSettingsLocked();
    SaveSettingsLocked();
    g_scheduler = std::thread(SchedulerThread);
    return S_OK;
}

void ModelStop() {
    {
        std::lock_guard<std::mutex> hold(g_lock);
        g_stopping = true;
        g_changed.notify_all();
        SetEvent(g_wake);
    }
    if (g_scheduler.joinable()) {
        g_scheduler.join();
    }
}

long LiveVmProcesses() {
    std::lock_guard<std::mutex> hold(g_lock);
    long count = static_cast<long>(g_retiring.size());
    for (const MachineRef& m : g_machines) {
        count += m->vmProcess ? 1 : 0;
    }
    return count;
}

std::wstring HomeFolder() {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_home;
}

std::wstring JournalFilePath() {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_home + L"\\standin-journal.log";
}

bool CheckFault(const char* member, const std::wstring& machine, HRESULT* hr) {
    if (g_faultCount == 0) {
        return false;
    }
    std::wstring name = Wide(member);
    std::unique_lock<std::mutex> hold(g_lock);
    for (size_t i = 0; i < g_faults.size(); ++i) {
        Fault& f = g_faults[i];
        if (_wcsicmp(f.member.c_str(), name.c_str()) != 0) {
            continue;
        }
        if (!f.machine.empty()) {
            MachineRef target = FindLocked(f.machine);
            if (machine.empty() || !target || target->name != machine) {
                continue;
            }
        }
        HRESULT result = f.hr;
        if (f.count > 0 && --f.count == 0) {
            g_faults.erase(g_faults.begin() + i);
            g_faultCount = g_faults.size();
        }
        SaveSettingsLocked();
        if (result != kHangFault) {
            *hr = result;
            return true;
        }
        const uint64_t clearing = g_faultClearings;
        g_changed.wait(hold, [&] { return g_faultClearings != clearing || g_stopping; });
        return false;
    }
    return false;
}

HRESULT SetFault(const std::wstring& member, HRESULT hr, LONG count, const std::wstring& machine) {
    if (member.find(L'.') == std::wstring::npos || count == 0 || count < -1 ||
        (SUCCEEDED(hr) && hr != kHangFault)) {
        return E_INVALIDARG;
    }
    std::lock_guard<std::mutex> hold(g_lock);
    if (!machine.empty() && !FindLocked(machine)) {
        return kObjectNotFound;
    }
    // One fault per member and machine: setting it again replaces it.
    g_faults.erase(std::remove_if(g_faults.begin(), g_faults.end(),
                                  [&](const Fault& f) {
                                      return _wcsicmp(f.member.c_str(), member.c_str()) == 0 &&
                                             f.machine == machine;
                                  }),
                   g_faults.end());
    g_faults.push_back(Fault{member, hr, count, machine});
    g_faultCount = g_faults.size();
    SaveSettingsLocked();
    return S_OK;
}

HRESULT ClearFaults(const std::wstring& member) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_faults.erase(std::remove_if(g_faults.begin(), g_faults.end(),
                                  [&](const Fault& f) {
                                      return member.empty() ||
                                             _wcsicmp(f.member.c_str(), member.c_str()) == 0;
                                  }),
                   g_faults.end());
    g_faultCount = g_faults.size();
    ++g_faultClearings;
    g_changed.notify_all();
    SaveSettingsLocked();
    return S_OK;
}

std::wstring ListFaults() {
    std::lock_guard<std::mutex> hold(g_lock);
    std::wstring out;
    for (const Fault& f : g_faults) {
        wchar_t line[64];
        if (f.hr == kHangFault) {
            swprintf(line, 64, L" hang %ld", f.count);
        } else {
            swprintf(line, 64, L" 0x%08lx %ld", static_cast<unsigned long>(f.hr), f.count);
        }
        out += f.member + line + (f.machine.empty() ? L"" : L" " + f.machine) + L"\n";
    }
    return out;
}

VBoxRelease PlayedRelease() {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_played;
}

VBoxRelease NextRelease() {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_next;
}

void ChooseRelease(VBoxRelease release) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_next = release;
    SaveSettingsLocked();
}

bool TypeInfoOn() {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_typeInfo;
}

void SetTypeInfoOn(bool on) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_typeInfo = on;
    OfferTypeInfo(on);
    SaveSettingsLocked();
}

std::vector<MachineRef> RegisteredMachines() {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_machines;
}

HRESULT FindMachine(const std::wstring& nameOrId, MachineRef* machine) {
    std::lock_guard<std::mutex> hold(g_lock);
    *machine = FindLocked(nameOrId);
    return *machine ? S_OK : kObjectNotFound;
}

HRESULT CreateMachine(const std::wstring& name, MachineRef* machine) {
    if (name.empty() || name.find_first_of(L"\r\n\"") != std::wstring::npos) {
        return E_INVALIDARG;
    }
    std::lock_guard<std::mutex> hold(g_lock);
    for (const MachineRef& m : g_machines) {
        if (m->name == name) {
            return kFileError;
        }
    }
    *machine = std::make_shared<MachineData>();
    (*machine)->name = name;
    (*machine)->id = NewMachineId();
    return S_OK;
}

HRESULT RegisterMachine(const MachineRef& machine) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (machine->registered) {
        return kObjectInUse;
    }
    for (const MachineRef& m : g_machines) {
        if (m->name == machine->name || SameId(m->id, machine->id)) {
            return kObjectInUse;
        }
    }
    machine->registered = true;
    g_machines.push_back(machine);
    SaveSettingsLocked();
    CreateDirectoryW((g_home + L"\\Machines").c_str(), nullptr);
    CreateDirectoryW((g_home + L"\\Machines\\" + machine->name).c_str(), nullptr);
    return S_OK;
}

HRESULT UnregisterMachine(const MachineRef& machine) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (!machine->registered) {
        return kObjectNotFound;
    }
    if (machine->vmProcess || machine->writeLock.lock()) {
        return kInvalidObjectState;
    }
    machine->registered = false;
    g_machines.erase(std::remove(g_machines.begin(), g_machines.end(), machine), g_machines.end());
    SaveSettingsLocked();
    return S_OK;
}

static const char* const kSessionStateNames[] = {"Unlocked", "Locked", "Spawning"};

static LONG SessionStateLocked(const MachineRef& machine) {
    if (machine->spawning) {
        return kSessionSpawning;
    }
    return machine->vmProcess || machine->writeLock.lock() ? kSessionLocked : kSessionUnlocked;
}

MachineFacts Facts(const MachineRef& machine) {
    std::lock_guard<std::mutex> hold(g_lock);
    MachineFacts facts;
    facts.id = machine->id;
    facts.name = machine->name;
    facts.state = machine->state;
    facts.sessionState = SessionStateLocked(machine);
    facts.sessionPid = machine->vmPid;
    facts.registered = machine->registered;
    facts.vrdeEnabled = machine->vrdeEnabled;
    facts.vrdePort = machine->vrdePort;
    facts.screenWidth = machine->screenWidth;
    facts.screenHeight = machine->screenHeight;
    return facts;
}

std::wstring MachineName(const MachineRef& machine) {
    std::lock_guard<std::mutex> hold(g_lock);
    return machine->name;
}

std::wstring SettingsFilePath(const std::wstring& name) {
    return HomeFolder() + L"\\Machines\\" + name + L"\\" + name + L".vbox";
}

SessionRef NewSession() {
    return std::make_shared<SessionData>();
}

void SessionGone(const SessionRef& session) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (session->machine && session->type == kSessionWriteLock) {
        session->machine->writeLock.reset();
    }
    session->machine.reset();
    session->state = kSessionUnlocked;
}

HRESULT LockMachine(const MachineRef& machine, const SessionRef& session, LONG lockType) {
    if (lockType != kLockShared && lockType != kLockWrite && lockType != kLockVm) {
        return E_INVALIDARG;
    }
    std::lock_guard<std::mutex> hold(g_lock);
    if (session->state != kSessionUnlocked || !machine->registered) {
        return kInvalidObjectState;
    }
    bool writeLocked = static_cast<bool>(machine->writeLock.lock());
    if (machine->spawning) {
        return kInvalidObjectState;
    }
    if (lockType == kLockShared && machine->vmProcess) {
        session->type = kSessionShared;
        session->hasConsole = true;
        session->run = machine->run;
    } else if (machine->vmProcess || writeLocked) {
        return kInvalidObjectState;
    } else {
        // A shared lock on a machine nobody holds is a write lock, as in VirtualBox.
        session->type = kSessionWriteLock;
        session->hasConsole = false;
        session->run = 0;
        machine->writeLock = session;
    }
    session->state = kSessionLocked;
    session->machine = machine;
    return S_OK;
}

HRESULT LaunchVm(const MachineRef& machine, const SessionRef& session, const std::wstring& type,
                 ProgressRef* progress) {
    if (_wcsicmp(type.c_str(), L"headless") != 0) {
        SetErrorText(__uuidof(IMachine), L"Only the headless front-end is available");
        return E_INVALIDARG;
    }
    std::lock_guard<std::mutex> hold(g_lock);
    if (session->state != kSessionUnlocked || !machine->registered || machine->vmProcess ||
        machine->writeLock.lock()) {
        return kInvalidObjectState;
    }
    LONG from = machine->state;
    if (from != kPoweredOff && from != kSaved && from != kAborted && from != kTeleported &&
        from != kAbortedSaved) {
        return kInvalidVmState;
    }
    size_t running = g_retiring.size();
    for (const MachineRef& m : g_machines) {
        running += m->vmProcess ? 1 : 0;
    }
    std::wstring exe = g_vmFolder + L"\\VBoxHeadless.exe";
    if (running >= kMaxVmProcesses || GetFileAttributesW(exe.c_str()) == INVALID_FILE_ATTRIBUTES) {
        SetErrorText(__uuidof(IMachine), L"Could not launch the VM process " + exe);
        return kIprtError;
    }
    uint64_t run = g_nextRun++;
    wchar_t eventName[80];
    swprintf(eventName, 80, L"Local\\VBoxStandinVm-%lu-%llu", GetCurrentProcessId(),
             static_cast<unsigned long long>(run));
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, eventName);
    if (!stop) {
        return HRESULT_FROM_WIN32(GetLastError());
    }
    wchar_t serverPid[16];
    swprintf(serverPid, 16, L"%lu", GetCurrentProcessId());
    std::wstring command = L"\"" + exe + L"\" --comment \"" + machine->name + L"\" --startvm " +
                           machine->id + L" --standin-server " + serverPid + L" --standin-stop " +
                           eventName;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    DWORD error = 0;
    // Wine under load now and then loses a process while it initialises (ERROR_INTERNAL_ERROR);
    // VirtualBox does not fail a launch for that, so neither does its stand-in.
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::wstring line = command;
        if (CreateProcessW(exe.c_str(), &line[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                           nullptr, nullptr, &startup, &process)) {
            error = 0;
            break;
        }
        error = GetLastError();
        if (error != ERROR_INTERNAL_ERROR) {
            break;
        }
        Sleep(200);
    }
    if (error != 0) {
        CloseHandle(stop);
        SetErrorText(__uuidof(IMachine), L"Could not launch the VM process " + exe);
        return HRESULT_FROM_WIN32(error);
    }
    CloseHandle(process.hThread);
    machine->vmProcess = process.hProcess;
    machine->vmStop = stop;
    machine->vmPid = process.dwProcessId;
    machine->run = run;
    machine->restoredRun = from == kSaved || from == kAbortedSaved;
    machine->launcher = session;
    session->state = kSessionLocked;
    session->type = kSessionRemote;
    session->machine = machine;
    session->hasConsole = true;
    session->run = run;
    *progress = std::make_shared<ProgressData>();
    machine->pending = *progress;
    // As VirtualBox does, the machine keeps its down state, with SessionState Spawning, until the
    // VM process has powered up; only then does it go Starting (or Restoring) and Running.
    machine->spawning = true;
    AddTimerLocked(machine, machine->launchMs, TimerKind::kLaunchDone, *progress);
    return S_OK;
}

HRESULT UnlockSession(const SessionRef& session) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (session->state != kSessionLocked) {
        return kInvalidObjectState;
    }
    if (session->type == kSessionWriteLock) {
        session->machine->writeLock.reset();
    }
    session->state = kSessionUnlocked;
    session->type = kSessionTypeNull;
    session->machine.reset();
    session->hasConsole = false;
    return S_OK;
}

LONG SessionStateOf(const SessionRef& session) {
    std::lock_guard<std::mutex> hold(g_lock);
    return session->state;
}

LONG SessionTypeOf(const SessionRef& session) {
    std::lock_guard<std::mutex> hold(g_lock);
    return session->type;
}

HRESULT SessionMachine(const SessionRef& session, MachineRef* machine, bool* hasConsole,
                       uint64_t* run) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (session->state != kSessionLocked) {
        return kInvalidObjectState;
    }
    *machine = session->machine;
    *hasConsole = session->hasConsole;
    *run = session->run;
    return S_OK;
}

HRESULT SaveState(const MachineRef& machine, uint64_t run, ProgressRef* progress) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (!RunMatchesLocked(machine, run) ||
        (machine->state != kRunning && machine->state != kPaused)) {
        return kInvalidVmState;
    }
    *progress = std::make_shared<ProgressData>();
    machine->pending = *progress;
    SetStateLocked(machine, kSaving);
    AddTimerLocked(machine, machine->saveMs, TimerKind::kSaveDone, *progress);
    return S_OK;
}

HRESULT PowerDown(const MachineRef& machine, uint64_t run, ProgressRef* progress) {
    std::lock_guard<std::mutex> hold(g_lock);
    LONG state = machine->state;
    if (!RunMatchesLocked(machine, run) ||
        (state != kRunning && state != kPaused && state != kStuck)) {
        return kInvalidVmState;
    }
    *progress = std::make_shared<ProgressData>();
    machine->pending = *progress;
    SetStateLocked(machine, kStopping);
    AddTimerLocked(machine, machine->powerOffMs, TimerKind::kPowerOffDone, *progress);
    return S_OK;
}

HRESULT PressButton(const MachineRef& machine, uint64_t run, bool sleepButton) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (!RunMatchesLocked(machine, run) || machine->state != kRunning) {
        return kInvalidVmState;
    }
    LONG after = sleepButton ? machine->acpiSleepMs : machine->acpiPowerMs;
    if (after >= 0) {
        AddTimerLocked(machine, after, TimerKind::kGuestShutdown, nullptr);
    }
    return S_OK;
}

HRESULT PauseVm(const MachineRef& machine, uint64_t run, bool pause) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (!RunMatchesLocked(machine, run) || machine->state != (pause ? kRunning : kPaused)) {
        return kInvalidVmState;
    }
    SetStateLocked(machine, pause ? kPaused : kRunning);
    return S_OK;
}

HRESULT ScreenResolution(const MachineRef& machine, uint64_t run, ULONG screen, ULONG* width,
                         ULONG* height) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (!RunMatchesLocked(machine, run)) {
        return kInvalidVmState;
    }
    if (screen != 0) {
        return E_INVALIDARG;
    }
    *width = machine->screenWidth;
    *height = machine->screenHeight;
    return S_OK;
}

HRESULT VrdePort(const MachineRef& machine, uint64_t run, LONG* port, bool* active) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (!RunMatchesLocked(machine, run)) {
        return kInvalidVmState;
    }
    *active = machine->vrdeEnabled;
    *port = machine->vrdeEnabled ? machine->vrdePort : -1;
    return S_OK;
}

bool ProgressCompleted(const ProgressRef& progress, HRESULT* result) {
    std::lock_guard<std::mutex> hold(g_lock);
    *result = progress->result;
    return progress->completed;
}

void WaitProgress(const ProgressRef& progress, LONG timeoutMs) {
    std::unique_lock<std::mutex> hold(g_lock);
    auto done = [&] { return progress->completed; };
    if (timeoutMs < 0) {
        g_changed.wait(hold, done);
    } else {
        g_changed.wait_for(hold, std::chrono::milliseconds(timeoutMs), done);
    }
}

ListenerRef NewListener() {
    return std::make_shared<ListenerData>();
}

HRESULT RegisterListener(const ListenerRef& listener, const std::vector<LONG>& types) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (listener->registered) {
        return E_INVALIDARG;
    }
    listener->wantsAll = std::find(types.begin(), types.end(), kEventAny) != types.end();
    listener->wantsStateChanges =
        std::find(types.begin(), types.end(), kOnMachineStateChanged) != types.end();
    listener->queue.clear();
    listener->taken.clear();
    listener->registered = true;
    g_listeners.push_back(listener);
    return S_OK;
}

HRESULT UnregisterListener(const ListenerRef& listener) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (!listener->registered) {
        return kObjectNotFound;
    }
    listener->registered = false;
    listener->queue.clear();
    listener->taken.clear();
    g_listeners.erase(std::remove(g_listeners.begin(), g_listeners.end(), listener),
                      g_listeners.end());
    // A GetEvent waiting on this listener returns at once.
    g_changed.notify_all();
    return S_OK;
}

HRESULT GetEvent(const ListenerRef& listener, LONG timeoutMs, EventData* event, bool* got) {
    *got = false;
    std::unique_lock<std::mutex> hold(g_lock);
    auto ready = [&] { return !listener->registered || !listener->queue.empty(); };
    if (timeoutMs < 0) {
        g_changed.wait(hold, ready);
    } else {
        g_changed.wait_for(hold, std::chrono::milliseconds(timeoutMs), ready);
    }
    if (!listener->registered) {
        return kObjectNotFound;
    }
    if (listener->queue.empty()) {
        return S_OK;
    }
    *event = listener->queue.front();
    listener->queue.pop_front();
    listener->taken.push_back(event->serial);
    *got = true;
    return S_OK;
}

HRESULT EventProcessed(const ListenerRef& listener, uint64_t serial) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (!listener->registered) {
        return kObjectNotFound;
    }
    if (serial == 0) {
        return E_INVALIDARG;
    }
    auto found = std::find(listener->taken.begin(), listener->taken.end(), serial);
    if (found != listener->taken.end()) {
        listener->taken.erase(found);
    }
    return S_OK;
}

namespace {

// Applies a change of settings to a registered machine and saves the settings when it succeeded.
template <class Change>
HRESULT ChangeMachine(const std::wstring& machine, Change change) {
    std::lock_guard<std::mutex> hold(g_lock);
    MachineRef m = FindLocked(machine);
    if (!m) {
        return kObjectNotFound;
    }
    HRESULT hr = change(m.get());
    if (SUCCEEDED(hr)) {
        SaveSettingsLocked();
    }
    return hr;
}

}  // namespace

HRESULT SetAcpiReaction(const std::wstring& machine, LONG button, LONG shutdownAfterMs) {
    return ChangeMachine(machine, [&](MachineData* m) {
        if (button < 0 || button > 2 || shutdownAfterMs < -1) {
            return E_INVALIDARG;
        }
        // button: 0 both, 1 power, 2 sleep.
        if (button != 2) {
            m->acpiPowerMs = shutdownAfterMs;
        }
        if (button != 1) {
            m->acpiSleepMs = shutdownAfterMs;
        }
        return S_OK;
    });
}

HRESULT SetScreen(const std::wstring& machine, ULONG width, ULONG height) {
    return ChangeMachine(machine, [&](MachineData* m) {
        m->screenWidth = width;
        m->screenHeight = height;
        return S_OK;
    });
}

HRESULT SetVrde(const std::wstring& machine, bool enabled, LONG port) {
    return ChangeMachine(machine, [&](MachineData* m) {
        m->vrdeEnabled = enabled;
        m->vrdePort = port;
        return S_OK;
    });
}

HRESULT SetDurations(const std::wstring& machine, LONG launchMs, LONG powerOffMs, LONG saveMs) {
    return ChangeMachine(machine, [&](MachineData* m) {
        if (launchMs < -1 || powerOffMs < -1 || saveMs < -1) {
            return E_INVALIDARG;
        }
        // A launch held for ever completes after the new duration: a test holds a launch in
        // progress for as long as it needs, then lets it end.
        if (m->spawning && (m->launchMs < 0) && (launchMs >= 0)) {
            AddTimerLocked(FindLocked(m->id), launchMs, TimerKind::kLaunchDone, m->pending);
        }
        m->launchMs = launchMs;
        m->powerOffMs = powerOffMs;
        m->saveMs = saveMs;
        return S_OK;
    });
}

HRESULT SetOperationResult(const std::wstring& machine, bool save, HRESULT result) {
    return ChangeMachine(machine, [&](MachineData* m) {
        (save ? m->saveResult : m->launchResult) = result;
        return S_OK;
    });
}

HRESULT KillVmProcess(const std::wstring& machine) {
    std::lock_guard<std::mutex> hold(g_lock);
    MachineRef m = FindLocked(machine);
    if (!m) {
        return kObjectNotFound;
    }
    if (!m->vmProcess) {
        return kInvalidVmState;
    }
    // The scheduler sees the process end and aborts the machine.
    if (!TerminateProcess(m->vmProcess, 1)) {
        return HRESULT_FROM_WIN32(GetLastError());
    }
    return S_OK;
}

HRESULT DiscardMachine(const std::wstring& machine) {
    std::unique_lock<std::mutex> hold(g_lock);
    MachineRef m = FindLocked(machine);
    if (!m) {
        return S_OK;
    }
    if (m->vmProcess && !TerminateProcess(m->vmProcess, 1)) {
        return HRESULT_FROM_WIN32(GetLastError());
    }
    // The scheduler clears vmProcess once it has seen the process end.
    if (!g_changed.wait_for(hold, std::chrono::seconds(10), [&] { return !m->vmProcess; })) {
        return HRESULT_FROM_WIN32(ERROR_TIMEOUT);
    }
    m->writeLock.reset();
    m->registered = false;
    g_machines.erase(std::remove(g_machines.begin(), g_machines.end(), m), g_machines.end());
    SaveSettingsLocked();
    return S_OK;
}

HRESULT DescribeMachine(const std::wstring& machine, std::wstring* description) {
    std::lock_guard<std::mutex> hold(g_lock);
    MachineRef m = FindLocked(machine);
    if (!m) {
        return kObjectNotFound;
    }
    std::ostringstream out;
    out << "name=" << Utf8(m->name) << "\n"
        << "id=" << Utf8(m->id) << "\n"
        << "state=" << ReleaseStateNumber(g_played, m->state) << " " << MachineStateName(m->state)
        << "\n"
        << "session=" << SessionStateLocked(m) << " "
        << kSessionStateNames[SessionStateLocked(m) - kSessionUnlocked] << "\n"
        << "sessionpid=" << m->vmPid << "\n"
        << "screen=" << m->screenWidth << "x" << m->screenHeight << "\n"
        << "vrde=" << (m->vrdeEnabled ? "on" : "off") << "\n"
        << "vrdeport=" << m->vrdePort << "\n"
        << "acpipower=" << m->acpiPowerMs << "\n"
        << "acpisleep=" << m->acpiSleepMs << "\n"
        << "launchms=" << m->launchMs << "\n"
        << "poweroffms=" << m->powerOffMs << "\n"
        << "savems=" << m->saveMs << "\n"
        << "launchresult=" << HexCode(m->launchResult) << "\n"
        << "saveresult=" << HexCode(m->saveResult) << "\n";
    *description = Wide(out.str());
    return S_OK;
}

}  // namespace standin
