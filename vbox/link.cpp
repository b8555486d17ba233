// The service's one link to VirtualBox: opened and closed once per service run, on the
// supervisor's thread.
#include "vbox/vbox.h"

#include "config/config.h"

#include <atomic>
#include <cwchar>
#include <string>

VirtualBoxLinkRecord VirtualBoxLink;

static const CLSID CLSID_VirtualBox = {
    0xB1A7A4F2, 0x47B9, 0x4A1E, {0x82, 0xB2, 0x07, 0xCC, 0xD5, 0x32, 0x3C, 0x3F}};
static const IID IID_IVirtualBox = {
    0x0169423F, 0x46B4, 0xCDE9, {0x91, 0xAF, 0x1E, 0x9D, 0x5B, 0x6C, 0xD9, 0x45}};
static const CLSID CLSID_Session = {
    0x3C02F46D, 0xC9D2, 0x4F11, {0xA3, 0x84, 0x53, 0xF0, 0xCF, 0x91, 0x72, 0x14}};

static const HRESULT VBOX_E_OBJECT_NOT_FOUND = static_cast<HRESULT>(0x80BB0001);

// A server on another user home is dropped this many times before one is kept regardless.
static const int HomeFolderRetries = 2;
static const DWORD HomeFolderRetryPause = 5500;
// A server that exits while it is being asked for the object is asked again this often.
static const int ServerGoneAttempts = 3;
static const DWORD ServerGonePause = 1000;

// Held shared by every other thread's use of VirtualBox and Session, exclusively while the
// Session object is published and while CloseVirtualBox takes both out of the link: no thread can
// use them once they are released. VirtualBox is set before Session is published, so a thread
// that finds Session present under the lock finds VirtualBox complete as well.
static SRWLOCK LinkUseLock = SRWLOCK_INIT;
// Set while CloseVirtualBox waits for LinkUseLock: a wait bounded by tries would never see the lock
// free while new queries keep taking it shared, so none may begin meanwhile.
static std::atomic<bool> LinkClosing{false};

// CoInitializeEx succeeded on the supervisor's thread and CoUninitialize is owed.
static bool ComInitialized = false;

int BeginLinkUse() {
    if (LinkClosing.load()) {
        return 0;
    }
    AcquireSRWLockShared(&LinkUseLock);
    if (!LinkClosing.load() && (VirtualBoxLink.Session != nullptr) &&
        (VirtualBoxLink.VirtualBox != nullptr)) {
        return 1;
    }
    ReleaseSRWLockShared(&LinkUseLock);
    return 0;
}

void EndLinkUse() {
    ReleaseSRWLockShared(&LinkUseLock);
}

// Creates the VirtualBox object. Later VirtualBox releases changed the IID of IVirtualBox but kept
// the class and the member names, so IDispatch reaches them as well. An idle COM server exits a
// few seconds after its last client; one that was asked in its last moment fails the call, and
// asking again starts a new one.
static HRESULT CreateVirtualBoxObject(IDispatch** object) {
    HRESULT hr = E_FAIL;
    for (int attempt = 1; attempt <= ServerGoneAttempts; ++attempt) {
        hr = CoCreateInstance(CLSID_VirtualBox, nullptr, CLSCTX_LOCAL_SERVER, IID_IVirtualBox,
                              reinterpret_cast<void**>(object));
        if (hr == E_NOINTERFACE) {
            hr = CoCreateInstance(CLSID_VirtualBox, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch,
                                  reinterpret_cast<void**>(object));
        }
        if (!IsServerGone(hr) || (attempt == ServerGoneAttempts)) {
            break;
        }
        Sleep(ServerGonePause);
    }
    return hr;
}

HRESULT ConnectVirtualBox() {
    const std::wstring wantedHome = Wide(ServiceConfig.VboxUserHome);

    // The watcher and the pipe's client threads call the same objects from their own threads;
    // they join this multithreaded apartment implicitly. VirtualBox also calls back into the
    // in-process Session object, which needs no message loop here.
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    ComInitialized = SUCCEEDED(hr);
    LogMessage(3, "Initializing VirtualBox interface");

    // The COM server may run for another user home (started by someone else); it exits a few
    // seconds after its last client, so the next attempt usually reaches one started for us.
    ScopedBstr home;
    for (int retries = HomeFolderRetries;; --retries) {
        hr = CreateVirtualBoxObject(&VirtualBoxLink.VirtualBox);
        if (FAILED(hr)) {
            LogMessage(1, "ERROR creating VirtualBox instance (rc = 0x%08x)",
                       static_cast<unsigned>(hr));
            return hr;
        }
        HRESULT homeRead = GetStringProperty(VirtualBoxLink.VirtualBox, L"HomeFolder", home.Put());
        if (SUCCEEDED(homeRead) && (home.Get() != nullptr) && (wantedHome == home.Get())) {
            break;
        }
        if (retries == 0) {
            Sleep(HomeFolderRetryPause);
            break;
        }
        VirtualBoxLink.VirtualBox->Release();
        VirtualBoxLink.VirtualBox = nullptr;
        home.Put();
        Sleep(HomeFolderRetryPause);
    }
    LogMessage(3, "Using VBOX_USER_HOME: %S", home.Get() != nullptr ? home.Get() : L"");
    // From 6.0 on, one VirtualBox server serves each account (VBoxSDS): while another program of
    // this account (the user's GUI, another copy of this service) keeps one up on another home,
    // no attempt can reach one on ours.
    if ((home.Get() == nullptr) || (wantedHome != home.Get())) {
        LogMessage(
            1,
            "WARNING: VirtualBox works on the home folder %S, not on VboxUserHome %s: another "
            "VirtualBox server of this account works on that home",
            home.Get() != nullptr ? home.Get() : L"", ServiceConfig.VboxUserHome);
    }

    ScopedBstr version;
    hr = GetStringProperty(VirtualBoxLink.VirtualBox, L"Version", version.Put());
    if (FAILED(hr)) {
        LogMessage(1, "ERROR initializing VirtualBox interface");
    } else {
        LogMessage(3, "VirtualBox Interface v%S initialized", version.Get());
    }
    LearnVirtualBoxRelease(version.Get());

    DispatchRef machine;
    if (FindMachineByName(ServiceConfig.VmName, machine.Put()) != 0) {
        hr = GetStringProperty(machine.Get(), L"Id", &VirtualBoxLink.MachineId);
        if (FAILED(hr)) {
            LogMessage(1, "ERROR retrieving machine ID (0x%08x)", static_cast<unsigned>(hr));
        }
    }

    RegisterStateListener();
    return hr;
}

// ISession's id changes from release to release; its members stay reachable through IDispatch.
HRESULT CreateSessionObject() {
    IDispatch* session = nullptr;
    HRESULT hr = E_NOINTERFACE;
    if (VirtualBoxRelease.SessionIid != IID_NULL) {
        hr = CoCreateInstance(CLSID_Session, nullptr, CLSCTX_INPROC_SERVER,
                              VirtualBoxRelease.SessionIid, reinterpret_cast<void**>(&session));
    }
    if (hr == E_NOINTERFACE) {
        hr = CoCreateInstance(CLSID_Session, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                              reinterpret_cast<void**>(&session));
    }
    if (FAILED(hr)) {
        LogMessage(1, "ERROR creating session instance (0x%08x)", static_cast<unsigned>(hr));
        return hr;
    }
    AcquireSRWLockExclusive(&LinkUseLock);
    VirtualBoxLink.Session = session;
    ReleaseSRWLockExclusive(&LinkUseLock);
    return hr;
}

void OpenVirtualBox(LinkReportCallback report) {
    LinkClosing.store(false);
    VirtualBoxLink.Report = report;
    if (SUCCEEDED(ConnectVirtualBox())) {
        CreateSessionObject();
    }
}

// The machine of that name is not registered. A typo, a machine of another account and another
// home all look alike: the log says where VirtualBox looked, what it has there, and a name that
// differs only in letter case, so that the administrator need not guess.
static void LogRegisteredMachines(const char* name) {
    const LONG Shown = 10;
    ScopedBstr home;
    GetStringProperty(VirtualBoxLink.VirtualBox, L"HomeFolder", home.Put());
    LogMessage(1, "VirtualBox's home folder is %S", home.Get() != nullptr ? home.Get() : L"");
    SAFEARRAY* machines = nullptr;
    HRESULT hr = GetArrayProperty(VirtualBoxLink.VirtualBox, L"Machines", VT_DISPATCH, &machines);
    LONG low = 0;
    LONG high = -1;
    if (SUCCEEDED(hr) && (FAILED(SafeArrayGetLBound(machines, 1, &low)) ||
                          FAILED(SafeArrayGetUBound(machines, 1, &high)))) {
        hr = DISP_E_TYPEMISMATCH;
    }
    ScopedBstr wanted(Utf8ToBstr(name));
    std::wstring listed;
    std::wstring similar;
    for (LONG i = low; SUCCEEDED(hr) && (i <= high); ++i) {
        DispatchRef machine;
        ScopedBstr machineName;
        if (FAILED(SafeArrayGetElement(machines, &i, machine.Put())) ||
            FAILED(GetStringProperty(machine.Get(), L"Name", machineName.Put())) ||
            (machineName.Get() == nullptr)) {
            continue;
        }
        if (i - low < Shown) {
            listed += std::wstring(i > low ? L", '" : L"'") + machineName.Get() + L"'";
        }
        if (similar.empty() && (wanted.Get() != nullptr) &&
            (_wcsicmp(machineName.Get(), wanted.Get()) == 0)) {
            similar = machineName.Get();
        }
    }
    if (machines != nullptr) {
        SafeArrayDestroy(machines);
    }
    LONG count = high - low + 1;
    if (FAILED(hr)) {
        LogMessage(1, "ERROR listing the registered machines (0x%08x)", static_cast<unsigned>(hr));
    } else if (count == 0) {
        LogMessage(1, "No machines are registered there");
    } else if (count <= Shown) {
        LogMessage(1, "Machines registered there: %S", listed.c_str());
    } else {
        LogMessage(1, "Machines registered there: %S and %ld more", listed.c_str(),
                   static_cast<long>(count - Shown));
    }
    if (!similar.empty()) {
        LogMessage(1,
                   "Did you mean '%S'? VmName must name the machine exactly, letter case included",
                   similar.c_str());
    }
}

int FindMachineByName(const char* name, IDispatch** machine, HRESULT* result) {
    // The supervisor's polls and every pipe request look the machine up: a failure that lasts (a
    // renamed machine, say) is logged once, and again when its code changes or after a success.
    static std::atomic<HRESULT> lastFailure{S_OK};
    *machine = nullptr;
    HRESULT hr = E_POINTER;
    if (VirtualBoxLink.VirtualBox != nullptr) {
        ScopedBstr wideName(Utf8ToBstr(name));
        VARIANT args[1] = {BstrArg(wideName.Get())};
        hr = CallObjectMethod(VirtualBoxLink.VirtualBox, L"FindMachine", args, 1, machine);
        HRESULT before = lastFailure.exchange(SUCCEEDED(hr) ? S_OK : hr);
        if (FAILED(hr) && (hr != before)) {
            if (hr == VBOX_E_OBJECT_NOT_FOUND) {
                LogMessage(1, "ERROR: Could not find registered VM '%s'", name);
                LogRegisteredMachines(name);
            } else {
                LogMessage(1, "ERROR getting virtual machine interface (0x%08x)",
                           static_cast<unsigned>(hr));
            }
        }
    }
    if (result != nullptr) {
        *result = hr;
    }
    return SUCCEEDED(hr) ? 1 : 0;
}

HRESULT ReadMachineState(const char* name, LONG* state) {
    DispatchRef machine;
    HRESULT hr = E_FAIL;
    *state = MachineState_Null;
    if (FindMachineByName(name, machine.Put(), &hr) != 0) {
        hr = GetMachineState(machine.Get(), state);
    }
    return hr;
}

// Takes LinkUseLock exclusively, waiting until deadline at most: a query that never returns
// from VirtualBox holds it shared for good.
static bool AcquireLinkUntil(ULONGLONG deadline) {
    LinkClosing.store(true);
    while (!TryAcquireSRWLockExclusive(&LinkUseLock)) {
        if (GetTickCount64() >= deadline) {
            return false;
        }
        Sleep(10);
    }
    return true;
}

int CloseVirtualBox(DWORD bound) {
    LogMessage(3, "Closing VirtualBox interface");
    const ULONGLONG deadline = GetTickCount64() + bound;

    // A watcher, or a query, still inside a call that never returns (into a wedged VM process,
    // say) would use what is released, and the proxies that CoUninitialize tears down: then
    // nothing more is released, and the process's end reclaims it all.
    bool quiet = UnregisterStateListener(deadline) && AcquireLinkUntil(deadline);
    if (!quiet) {
        LogMessage(1,
                   "ERROR: a call into VirtualBox has not returned within %lu ms; the "
                   "connection is left to the end of the process",
                   static_cast<unsigned long>(bound));
        return 0;
    }
    // Pipe queries hold the lock shared while they use these two: now that it is ours, none is
    // running, and any later one finds them absent.
    IDispatch* session = VirtualBoxLink.Session;
    IDispatch* virtualBox = VirtualBoxLink.VirtualBox;
    VirtualBoxLink.Session = nullptr;
    VirtualBoxLink.VirtualBox = nullptr;
    ReleaseSRWLockExclusive(&LinkUseLock);
    ReleaseObject(&VirtualBoxLink.Console);
    SysFreeString(VirtualBoxLink.MachineId);
    VirtualBoxLink.MachineId = nullptr;
    ReleaseObject(&session);
    ReleaseObject(&virtualBox);

    if (ComInitialized) {
        CoUninitialize();
        ComInitialized = false;
    }
    return 1;
}
