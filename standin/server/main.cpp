// VBoxSVC.exe of the stand-in: the out-of-process COM server of the VirtualBox class.
//
//   VBoxSVC.exe /RegServer     register the class and the type libraries (from this executable)
//   VBoxSVC.exe /UnregServer   undo that
//   VBoxSVC.exe [-Embedding]   serve; ends about 5 s after the last client reference is gone
//                              (STANDIN_IDLE_EXIT_MS in its environment changes the delay)
#include <windows.h>
#include <objbase.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "common/automation.h"
#include "common/common.h"
#include "common/registry.h"
#include "server/model.h"
#include "server/objects.h"

namespace standin {
namespace {

constexpr DWORD kIdleExitMs = 5000;

// VirtualBox's 5 s, unless STANDIN_IDLE_EXIT_MS (0 to 600000) says otherwise. Under Wine a
// server keeps the standard error of the client that started it open until it exits, so test
// runners that wait for that pipe to close save time with a shorter delay.
DWORD IdleExitMs() {
    wchar_t value[16];
    DWORD length = GetEnvironmentVariableW(L"STANDIN_IDLE_EXIT_MS", value, 16);
    if (length == 0 || length >= 16) {
        return kIdleExitMs;
    }
    wchar_t* end = nullptr;
    unsigned long ms = wcstoul(value, &end, 10);
    return *end == L'\0' && ms <= 600000 ? static_cast<DWORD>(ms) : kIdleExitMs;
}

std::atomic<long> g_serverLocks{0};

std::wstring ResolveHome() {
    wchar_t buffer[MAX_PATH];
    DWORD length = GetEnvironmentVariableW(L"VBOX_USER_HOME", buffer, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
        return std::wstring(buffer, length);
    }
    length = GetEnvironmentVariableW(L"USERPROFILE", buffer, MAX_PATH);
    std::wstring profile = length > 0 && length < MAX_PATH ? std::wstring(buffer, length) : L"C:";
    return profile + L"\\.VirtualBox";
}

// Creates the folder and its missing parents.
void MakeFolder(const std::wstring& path) {
    for (size_t at = path.find_first_of(L"\\/", 3); at != std::wstring::npos;
         at = path.find_first_of(L"\\/", at + 1)) {
        CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
    }
    CreateDirectoryW(path.c_str(), nullptr);
}

bool Idle() {
    return g_liveObjects == 0 && g_serverLocks == 0 && LiveVmProcesses() == 0;
}

int Serve(const std::wstring& exe) {
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hr)) {
        return 1;
    }
    int status = 1;
    DWORD cookie = 0;
    ClassFactory factory(NewVirtualBoxObject, &g_serverLocks);
    std::wstring home = ResolveHome();
    MakeFolder(home);
    // The settings say which release to play; the objects play it from their creation on.
    JournalOpen(home + L"\\standin-journal.log");
    // From 6.0 on VirtualBox keeps one server per account (VBoxSDS): a later VBoxSVC of the
    // account, whatever its VBOX_USER_HOME, leaves its clients to the first one's object. Every
    // process here runs as the one user: the first server of 6.1 or 7.0 holds this name.
    const wchar_t* const accountServer = L"Local\\VBoxStandinServerOfThisAccount";
    HANDLE first = OpenMutexW(SYNCHRONIZE, FALSE, accountServer);
    const bool deferred = first != nullptr;
    if (deferred) {
        JournalWrite("# another server of this account serves its clients", "", S_OK, "", L"");
        CloseHandle(first);
        first = nullptr;
    }
    hr = deferred ? S_OK : ModelStart(home, ModuleFolder(nullptr));
    if (SUCCEEDED(hr) && !deferred && (PlayedRelease() != kRelease50)) {
        first = CreateMutexW(nullptr, FALSE, accountServer);
    }
    if (SUCCEEDED(hr) && !deferred) {
        SetProcessRelease(PlayedRelease());
        hr = LoadStandinTypeLib(exe, PlayedRelease());
    }
    if (SUCCEEDED(hr) && !deferred) {
        // The class object is handed out too: every activation marshals its IClassFactory.
        std::vector<IID> pinned = {IID_IUnknown, IID_IDispatch, IID_IClassFactory};
        for (REFIID iid :
             {__uuidof(IVirtualBox), __uuidof(IMachine), __uuidof(ISession), __uuidof(IConsole),
              __uuidof(IDisplay), __uuidof(IVRDEServer), __uuidof(IVRDEServerInfo),
              __uuidof(IProgress), __uuidof(IEventSource), __uuidof(IEventListener),
              __uuidof(IEvent), __uuidof(IMachineStateChangedEvent), __uuidof(IStandinControl)}) {
            pinned.push_back(ReleaseIid(PlayedRelease(), iid));
        }
        hr = PinInterfaceStubs(pinned.data(), pinned.size());
    }
    if (SUCCEEDED(hr) && !deferred) {
        hr = CoRegisterClassObject(CLSID_VirtualBox, &factory, CLSCTX_LOCAL_SERVER,
                                   REGCLS_MULTIPLEUSE, &cookie);
    }
    if (deferred) {
        status = 0;
    } else if (SUCCEEDED(hr)) {
        // Until the first client has come, the full 5 s: the client that started the server
        // may take a while to ask for its object.
        const DWORD idleExitMs = IdleExitMs();
        bool served = false;
        ULONGLONG idleSince = GetTickCount64();
        for (;;) {
            Sleep(100);
            ULONGLONG now = GetTickCount64();
            if (!Idle()) {
                served = true;
                idleSince = now;
            } else if (now - idleSince >= (served ? idleExitMs : kIdleExitMs)) {
                break;
            }
        }
        CoRevokeClassObject(cookie);
        // From here a new server is the account's first again.
        if (first != nullptr) {
            CloseHandle(first);
            first = nullptr;
        }
        // A client that got in just before the class was revoked is served to its end.
        while (!Idle()) {
            Sleep(100);
        }
        status = 0;
    } else {
        // The journal may not be open yet: say it on the console too.
        fprintf(stderr, "VBoxSVC: cannot serve (0x%08lx)\n", static_cast<unsigned long>(hr));
        JournalWrite("# server not started", "", hr, "", L"");
    }
    if (first != nullptr) {
        CloseHandle(first);
    }
    if (!deferred) {
        ModelStop();
    }
    JournalOpen(L"");
    CoUninitialize();
    return status;
}

}  // namespace
}  // namespace standin

int wmain(int argc, wchar_t** argv) {
    using namespace standin;
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring exe = path;
    if (argc > 1 &&
        (_wcsicmp(argv[1], L"/RegServer") == 0 || _wcsicmp(argv[1], L"-RegServer") == 0)) {
        HRESULT hr = RegisterServer(exe);
        if (FAILED(hr)) {
            fprintf(stderr, "VBoxSVC: registration failed (0x%08lx)\n",
                    static_cast<unsigned long>(hr));
        }
        return FAILED(hr) ? 1 : 0;
    }
    if (argc > 1 &&
        (_wcsicmp(argv[1], L"/UnregServer") == 0 || _wcsicmp(argv[1], L"-UnregServer") == 0)) {
        HRESULT hr = UnregisterServer(exe);
        if (FAILED(hr)) {
            fprintf(stderr, "VBoxSVC: unregistration failed (0x%08lx)\n",
                    static_cast<unsigned long>(hr));
        }
        return FAILED(hr) ? 1 : 0;
    }
    return Serve(exe);
}
