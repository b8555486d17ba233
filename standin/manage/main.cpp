// VBoxManage.exe of the stand-in: the user's command-line tool, a COM client of the server like
// any other. Where the real tool is built for one release, this one asks the server which release
// it plays, and uses that release's interface ids and state numbers; it prints the same words in
// every release. Exit status: 0 done, 1 the operation failed, 2 bad command line.
#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/common.h"

namespace standin {
namespace {

constexpr int kFailure = 1;
constexpr int kSyntax = 2;

// Owns one interface pointer for the length of a command.
template <class T>
class Ptr {
public:
    Ptr() = default;
    ~Ptr() {
        if (p_) {
            p_->Release();
        }
    }
    Ptr(const Ptr&) = delete;
    Ptr& operator=(const Ptr&) = delete;
    T** put() {
        return &p_;
    }
    T* operator->() const {
        return p_;
    }
    T* get() const {
        return p_;
    }

private:
    T* p_ = nullptr;
};

class Text {
public:
    ~Text() {
        SysFreeString(b_);
    }
    BSTR* put() {
        return &b_;
    }
    std::string utf8() const {
        return b_ ? Utf8(b_, SysStringLen(b_)) : std::string();
    }

private:
    BSTR b_ = nullptr;
};

// The server as the commands see it: the VirtualBox object, by the played release's id, and that
// release.
struct Server {
    IVirtualBox* vbox;
    VBoxRelease release;
};

int Fail(const std::string& what, HRESULT hr) {
    fprintf(stderr, "VBoxManage.exe: error: %s\n", what.c_str());
    const char* name = HresultName(hr);
    fprintf(stderr, "VBoxManage.exe: error: Details: code %s (%s)\n", name ? name : "unknown",
            HexCode(hr).c_str());
    return kFailure;
}

int Usage() {
    fprintf(stderr,
            "Usage (VirtualBox stand-in):\n"
            "  VBoxManage list vms|runningvms\n"
            "  VBoxManage showvminfo NAME [--machinereadable]\n"
            "  VBoxManage startvm NAME [--type headless]\n"
            "  VBoxManage controlvm NAME "
            "poweroff|savestate|acpipowerbutton|acpisleepbutton|pause|resume\n"
            "  VBoxManage createvm --name NAME --register\n"
            "  VBoxManage unregistervm NAME\n");
    return kSyntax;
}

HRESULT Find(IVirtualBox* vbox, const std::wstring& name, IMachine** machine) {
    return vbox->FindMachine(Bstr(name), machine);
}

int FindOrFail(IVirtualBox* vbox, const std::wstring& name, IMachine** machine) {
    HRESULT hr = Find(vbox, name, machine);
    if (FAILED(hr)) {
        return Fail("Could not find a registered machine named '" + Utf8(name) + "'", hr);
    }
    return 0;
}

bool IsOnline(LONG state) {
    return state == kRunning || state == kPaused || state == kStuck || state == kTeleporting ||
           state == kLiveSnapshotting || state == kTeleportingPausedVm;
}

int ListVms(const Server& server, bool runningOnly) {
    SAFEARRAY* machines = nullptr;
    HRESULT hr = server.vbox->get_Machines(&machines);
    if (FAILED(hr)) {
        return Fail("Could not list the machines", hr);
    }
    LONG low = 0, high = -1;
    SafeArrayGetLBound(machines, 1, &low);
    SafeArrayGetUBound(machines, 1, &high);
    for (LONG i = low; i <= high; ++i) {
        Ptr<IDispatch> item;
        Ptr<IMachine> machine;
        SafeArrayGetElement(machines, &i, item.put());
        if (!item.get() ||
            FAILED(item->QueryInterface(ReleaseIid(server.release, __uuidof(IMachine)),
                                        reinterpret_cast<void**>(machine.put())))) {
            continue;
        }
        Text name, id;
        LONG state = 0;
        machine->get_Name(name.put());
        machine->get_Id(id.put());
        machine->get_State(&state);
        if (!runningOnly || IsOnline(StateOfReleaseNumber(server.release, state))) {
            printf("\"%s\" {%s}\n", name.utf8().c_str(), id.utf8().c_str());
        }
    }
    SafeArrayDestroy(machines);
    return 0;
}

int ShowVmInfo(const Server& server, const std::wstring& name, bool machineReadable) {
    Ptr<IMachine> machine;
    if (int status = FindOrFail(server.vbox, name, machine.put())) {
        return status;
    }
    Text machineName, id;
    LONG state = 0;
    ULONG pid = 0;
    LONG vrde = 0;
    Ptr<IVRDEServer> vrdeServer;
    HRESULT hr = machine->get_Name(machineName.put());
    if (SUCCEEDED(hr)) {
        hr = machine->get_Id(id.put());
    }
    if (SUCCEEDED(hr)) {
        hr = machine->get_State(&state);
    }
    if (SUCCEEDED(hr)) {
        hr = machine->get_SessionPID(&pid);
    }
    if (SUCCEEDED(hr)) {
        hr = machine->get_VRDEServer(vrdeServer.put());
    }
    if (SUCCEEDED(hr)) {
        hr = vrdeServer->get_Enabled(&vrde);
    }
    if (FAILED(hr)) {
        return Fail("Could not read the machine's information", hr);
    }
    const char* word = MachineStateWord(StateOfReleaseNumber(server.release, state));
    if (machineReadable) {
        printf("name=\"%s\"\nUUID=\"%s\"\nVMState=\"%s\"\nSessionPID=%lu\nvrde=\"%s\"\n",
               machineName.utf8().c_str(), id.utf8().c_str(), word, pid, vrde ? "on" : "off");
    } else {
        printf(
            "Name:            %s\nUUID:            %s\nState:           %s\n"
            "Session PID:     %lu\nVRDE:            %s\n",
            machineName.utf8().c_str(), id.utf8().c_str(), word, pid,
            vrde ? "enabled" : "disabled");
    }
    return 0;
}

HRESULT NewSession(const Server& server, ISession** session) {
    return CoCreateInstance(CLSID_Session, nullptr, CLSCTX_INPROC_SERVER,
                            ReleaseIid(server.release, __uuidof(ISession)),
                            reinterpret_cast<void**>(session));
}

int WaitFor(IProgress* progress, const std::string& what) {
    HRESULT hr = progress->WaitForCompletion(-1);
    LONG result = S_OK;
    if (SUCCEEDED(hr)) {
        hr = progress->get_ResultCode(&result);
    }
    if (FAILED(hr)) {
        return Fail("Could not wait for the operation to " + what, hr);
    }
    if (FAILED(result)) {
        return Fail("The operation to " + what + " failed", result);
    }
    return 0;
}

int StartVm(const Server& server, const std::wstring& name, const std::wstring& type) {
    Ptr<IMachine> machine;
    if (int status = FindOrFail(server.vbox, name, machine.put())) {
        return status;
    }
    Ptr<ISession> session;
    HRESULT hr = NewSession(server, session.put());
    if (FAILED(hr)) {
        return Fail("Could not create a session", hr);
    }
    // From 6.1 on, the slot of 5.0's BSTR environment (the header is 5.0's) takes a
    // SAFEARRAY(BSTR) of environment changes.
    Bstr environment(L"");
    SAFEARRAY* changes = SafeArrayCreateVector(VT_BSTR, 0, 0);
    Ptr<IProgress> progress;
    hr = machine->LaunchVMProcess(session.get(), Bstr(type),
                                  server.release == kRelease50 ? static_cast<BSTR>(environment)
                                                               : reinterpret_cast<BSTR>(changes),
                                  progress.put());
    SafeArrayDestroy(changes);
    if (FAILED(hr)) {
        return Fail("Could not launch the machine '" + Utf8(name) + "'", hr);
    }
    printf("Waiting for VM \"%s\" to power on...\n", Utf8(name).c_str());
    int status = WaitFor(progress.get(), "power on");
    if (status == 0) {
        printf("VM \"%s\" has been successfully started.\n", Utf8(name).c_str());
    }
    session->UnlockMachine();
    return status;
}

int ControlVm(const Server& server, const std::wstring& name, const std::wstring& action) {
    static const wchar_t* const kActions[] = {L"poweroff",        L"savestate", L"acpipowerbutton",
                                              L"acpisleepbutton", L"pause",     L"resume"};
    bool known = false;
    for (const wchar_t* a : kActions) {
        known = known || action == a;
    }
    if (!known) {
        return Usage();
    }
    Ptr<IMachine> machine;
    if (int status = FindOrFail(server.vbox, name, machine.put())) {
        return status;
    }
    Ptr<ISession> session;
    HRESULT hr = NewSession(server, session.put());
    if (FAILED(hr)) {
        return Fail("Could not create a session", hr);
    }
    hr = machine->LockMachine(session.get(), kLockShared);
    if (FAILED(hr)) {
        return Fail("Could not lock the machine '" + Utf8(name) + "'", hr);
    }
    int status = 0;
    Ptr<IConsole> console;
    hr = session->get_Console(console.put());
    if (FAILED(hr)) {
        status = Fail("Could not reach the machine's console", hr);
    } else if (!console.get()) {
        fprintf(stderr, "VBoxManage.exe: error: Machine '%s' is not currently running\n",
                Utf8(name).c_str());
        status = kFailure;
    } else if (action == L"poweroff" || action == L"savestate") {
        Ptr<IProgress> progress;
        Ptr<IMachine> held;
        if (action == L"poweroff") {
            hr = console->PowerDown(progress.put());
        } else {
            hr = session->get_Machine(held.put());
            if (SUCCEEDED(hr)) {
                hr = held->SaveState(progress.put());
            }
        }
        status = FAILED(hr) ? Fail("Could not " + Utf8(action) + " the machine", hr)
                            : WaitFor(progress.get(), Utf8(action));
    } else {
        if (action == L"acpipowerbutton") {
            hr = console->PowerButton();
        } else if (action == L"acpisleepbutton") {
            hr = console->SleepButton();
        } else if (action == L"pause") {
            hr = console->Pause();
        } else {
            hr = console->Resume();
        }
        if (FAILED(hr)) {
            status = Fail("Could not " + Utf8(action) + " the machine", hr);
        }
    }
    session->UnlockMachine();
    return status;
}

int CreateVm(IVirtualBox* vbox, const std::wstring& name) {
    SAFEARRAY* groups = SafeArrayCreateVector(VT_BSTR, 0, 0);
    Ptr<IMachine> machine;
    HRESULT hr = vbox->CreateMachine(Bstr(L""), Bstr(name), groups, Bstr(L"Other"), Bstr(L""),
                                     machine.put());
    SafeArrayDestroy(groups);
    if (FAILED(hr)) {
        return Fail("Could not create the machine '" + Utf8(name) + "'", hr);
    }
    hr = vbox->RegisterMachine(machine.get());
    if (FAILED(hr)) {
        return Fail("Could not register the machine '" + Utf8(name) + "'", hr);
    }
    Text id;
    machine->get_Id(id.put());
    printf("Virtual machine '%s' is created and registered.\nUUID: %s\n", Utf8(name).c_str(),
           id.utf8().c_str());
    return 0;
}

int UnregisterVm(IVirtualBox* vbox, const std::wstring& name) {
    Ptr<IMachine> machine;
    if (int status = FindOrFail(vbox, name, machine.put())) {
        return status;
    }
    SAFEARRAY* media = nullptr;
    HRESULT hr = machine->Unregister(0, &media);
    if (media) {
        SafeArrayDestroy(media);
    }
    if (FAILED(hr)) {
        return Fail("Could not unregister the machine '" + Utf8(name) + "'", hr);
    }
    return 0;
}

int Dispatch(const Server& server, const std::vector<std::wstring>& args) {
    size_t n = args.size();
    const std::wstring& command = args[0];
    if (command == L"list" && n == 2 && (args[1] == L"vms" || args[1] == L"runningvms")) {
        return ListVms(server, args[1] == L"runningvms");
    }
    if (command == L"showvminfo" && (n == 2 || (n == 3 && args[2] == L"--machinereadable"))) {
        return ShowVmInfo(server, args[1], n == 3);
    }
    if (command == L"startvm" && (n == 2 || (n == 4 && args[2] == L"--type"))) {
        return StartVm(server, args[1], n == 4 ? args[3] : L"headless");
    }
    if (command == L"controlvm" && n == 3) {
        return ControlVm(server, args[1], args[2]);
    }
    if (command == L"createvm" && n == 4 && args[1] == L"--name" && args[3] == L"--register") {
        return CreateVm(server.vbox, args[2]);
    }
    if (command == L"unregistervm" && n == 2) {
        return UnregisterVm(server.vbox, args[1]);
    }
    return Usage();
}

// Asks the server which release it plays, then for its VirtualBox object by that release's id.
HRESULT ConnectToServer(VBoxRelease* release, IVirtualBox** vbox) {
    Ptr<IStandinControl> control;
    HRESULT hr =
        CreateVirtualBoxObject(__uuidof(IStandinControl), reinterpret_cast<void**>(control.put()));
    Text name;
    if (SUCCEEDED(hr)) {
        hr = control->get_PlayedRelease(name.put());
    }
    if (SUCCEEDED(hr) && !ParseRelease(Wide(name.utf8()), release)) {
        hr = E_UNEXPECTED;
    }
    if (SUCCEEDED(hr)) {
        hr = LoadStandinTypeLib(ModuleFolder(nullptr) + L"\\VBoxSVC.exe", *release);
    }
    if (SUCCEEDED(hr)) {
        hr = control->QueryInterface(ReleaseIid(*release, __uuidof(IVirtualBox)),
                                     reinterpret_cast<void**>(vbox));
    }
    return hr;
}

}  // namespace
}  // namespace standin

int wmain(int argc, wchar_t** argv) {
    using namespace standin;
    if (argc < 2) {
        return Usage();
    }
    std::vector<std::wstring> args(argv + 1, argv + argc);
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hr)) {
        return Fail("Could not initialise COM", hr);
    }
    int status = kFailure;
    {
        Ptr<IVirtualBox> vbox;
        VBoxRelease release = kRelease50;
        hr = ConnectToServer(&release, vbox.put());
        if (FAILED(hr)) {
            status = Fail("Failed to create the VirtualBox object!", hr);
        } else {
            status = Dispatch(Server{vbox.get(), release}, args);
        }
    }
    CoUninitialize();
    return status;
}
