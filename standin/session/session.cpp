// VBoxC.dll of the stand-in: the in-process Session class (ThreadingModel Free).
//
// The Session object is a thin forwarder. At creation it asks the server for a session object of
// its own (Session.Create), and every member goes to that object. Machine.LockMachine and
// Machine.LaunchVMProcess receive this in-process object and call back into it, through
// IStandinSessionLink, to find the server-side session: calls that reach a client's own objects,
// as VirtualBox's do, and so need the client to live in the multithreaded apartment.
//
// Each Session plays the release that the server played when it was made, and offers type
// information as the server did then.
#include <windows.h>
#include <objbase.h>

#include <atomic>
#include <mutex>
#include <string>

#include "common/automation.h"
#include "common/common.h"
#include "common/registry.h"

namespace standin {
namespace {

HMODULE g_module = nullptr;
std::atomic<long> g_dllLocks{0};

std::wstring ServerExe() {
    return ModuleFolder(g_module) + L"\\VBoxSVC.exe";
}

// Writes the journal line of a member that the client called, with the result it sees.
HRESULT Journaled(const char* member, HRESULT hr, const std::string& value) {
    JournalWrite(member, "", hr, SUCCEEDED(hr) ? value : std::string(), L"");
    if (FAILED(hr)) {
        const char* name = HresultName(hr);
        SetErrorText(__uuidof(ISession),
                     Wide(std::string(member) + " failed: " + (name ? name : HexCode(hr))));
    }
    return hr;
}

class SessionObj;

// Tear-off through which the server reaches the server-side session; shares the Session's identity.
class LinkObj : public ComObject<IStandinSessionLink> {
public:
    LinkObj(VBoxRelease release, IUnknown* owner, ISession* server)
        : ComObject<IStandinSessionLink>(release), owner_(owner), server_(server) {
        owner_->AddRef();
    }
    ~LinkObj() override {
        owner_->Release();
    }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (iid == __uuidof(IStandinSessionLink)) {
            return ComObject<IStandinSessionLink>::QueryInterface(iid, out);
        }
        return owner_->QueryInterface(iid, out);
    }
    HRESULT STDMETHODCALLTYPE get_ServerSession(IDispatch** session) override {
        if (!session) {
            return E_POINTER;
        }
        server_->AddRef();
        *session = server_;
        return S_OK;
    }

private:
    IUnknown* owner_;
    ISession* server_;  // owned by the SessionObj, which this tear-off keeps alive
};

class SessionObj : public ComObject<ISession> {
public:
    // Takes over the reference to the server-side session.
    SessionObj(VBoxRelease release, ISession* server)
        : ComObject<ISession>(release), server_(server) {}
    ~SessionObj() override {
        server_->Release();
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (iid == __uuidof(IStandinSessionLink)) {
            if (!out) {
                return E_POINTER;
            }
            *out = static_cast<IStandinSessionLink*>(
                new LinkObj(played(), static_cast<ISession*>(this), server_));
            return S_OK;
        }
        return ComObject<ISession>::QueryInterface(iid, out);
    }

    HRESULT STDMETHODCALLTYPE get_State(LONG* state) override {
        HRESULT hr = server_->get_State(state);
        return Journaled("Session.State", hr, SUCCEEDED(hr) ? std::to_string(*state) : "");
    }
    HRESULT STDMETHODCALLTYPE get_Type(LONG* type) override {
        HRESULT hr = server_->get_Type(type);
        return Journaled("Session.Type", hr, SUCCEEDED(hr) ? std::to_string(*type) : "");
    }
    HRESULT STDMETHODCALLTYPE get_Machine(IMachine** machine) override {
        *machine = nullptr;
        HRESULT hr = server_->get_Machine(machine);
        return Journaled("Session.Machine", hr, *machine ? "Machine" : "null");
    }
    HRESULT STDMETHODCALLTYPE get_Console(IConsole** console) override {
        *console = nullptr;
        HRESULT hr = server_->get_Console(console);
        return Journaled("Session.Console", hr, *console ? "Console" : "null");
    }
    HRESULT STDMETHODCALLTYPE UnlockMachine() override {
        return Journaled("Session.UnlockMachine", server_->UnlockMachine(), "");
    }

private:
    ISession* const server_;
};

// The server calls into this process's Session objects: their stubs are pinned as the
// server's are (see PinInterfaceStubs), for each release met.
HRESULT PinSessionStubs(VBoxRelease release) {
    static std::once_flag once[kReleaseCount];
    static HRESULT result[kReleaseCount] = {};
    std::call_once(once[release], [release] {
        const IID called[] = {IID_IUnknown, IID_IDispatch, ReleaseIid(release, __uuidof(ISession)),
                              __uuidof(IStandinSessionLink)};
        result[release] = PinInterfaceStubs(called, sizeof(called) / sizeof(called[0]));
    });
    return result[release];
}

// What the server plays: its release, and whether it offers type information.
HRESULT ServerRelease(IStandinControl* control, VBoxRelease* release) {
    BSTR name = nullptr;
    LONG typeInfo = 1;
    HRESULT hr = control->get_PlayedRelease(&name);
    if (SUCCEEDED(hr) && !ParseRelease(std::wstring(name, SysStringLen(name)), release)) {
        hr = E_UNEXPECTED;
    }
    SysFreeString(name);
    if (SUCCEEDED(hr)) {
        hr = control->get_TypeInfoOffered(&typeInfo);
    }
    if (SUCCEEDED(hr)) {
        OfferTypeInfo(typeInfo != 0);
    }
    return hr;
}

HRESULT CreateSession(REFIID iid, void** out) {
    *out = nullptr;
    IStandinControl* control = nullptr;
    HRESULT hr =
        CreateVirtualBoxObject(__uuidof(IStandinControl), reinterpret_cast<void**>(&control));
    if (FAILED(hr)) {
        return hr;
    }
    VBoxRelease release = kRelease50;
    hr = ServerRelease(control, &release);
    if (SUCCEEDED(hr)) {
        hr = LoadStandinTypeLib(ServerExe(), release);
    }
    if (SUCCEEDED(hr)) {
        hr = PinSessionStubs(release);
    }
    BSTR journal = nullptr;
    if (SUCCEEDED(hr) && SUCCEEDED(control->get_JournalPath(&journal))) {
        JournalOpen(std::wstring(journal, SysStringLen(journal)));
        SysFreeString(journal);
    }
    IDispatch* created = nullptr;
    ISession* server = nullptr;
    if (SUCCEEDED(hr)) {
        hr = control->CreateSession(&created);
    }
    if (SUCCEEDED(hr)) {
        hr = created->QueryInterface(ReleaseIid(release, __uuidof(ISession)),
                                     reinterpret_cast<void**>(&server));
        created->Release();
    }
    control->Release();
    if (FAILED(hr)) {
        return hr;
    }
    SessionObj* session = new SessionObj(release, server);
    hr = session->QueryInterface(iid, out);
    session->Release();
    return hr;
}

ClassFactory g_factory(CreateSession, &g_dllLocks);

}  // namespace
}  // namespace standin

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        standin::g_module = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* out) {
    if (clsid != CLSID_Session) {
        *out = nullptr;
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    return standin::g_factory.QueryInterface(iid, out);
}

STDAPI DllCanUnloadNow() {
    return standin::g_liveObjects == 0 && standin::g_dllLocks == 0 ? S_OK : S_FALSE;
}

STDAPI DllRegisterServer() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(standin::g_module, path, MAX_PATH);
    return standin::RegisterSessionDll(path, standin::ServerExe());
}

STDAPI DllUnregisterServer() {
    return standin::UnregisterSessionDll(standin::ServerExe());
}
