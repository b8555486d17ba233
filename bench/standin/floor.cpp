// standin-bench-floor.exe: a local COM server whose one object answers State with a constant,
// through the same IDispatch path as the stand-in (DispInvoke over the type library) but with
// no VirtualBox logic. "/RegServer" registers it; otherwise it serves until its object is gone.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <atomic>
#include <string>

#include "common/automation.h"
#include "floor.h"

namespace {

std::atomic<long> g_locks{0};

// The same IDispatch path as the stand-in's objects (ComObject: DispInvoke over the type
// library), with nothing behind the member.
class Floor : public standin::ComObject<IBenchFloor> {
public:
    HRESULT STDMETHODCALLTYPE get_State(LONG* state) override {
        *state = 5;
        return S_OK;
    }
};

HRESULT NewFloor(REFIID iid, void** out) {
    Floor* floor = new Floor();
    HRESULT hr = floor->QueryInterface(iid, out);
    floor->Release();
    return hr;
}

HRESULT Register(const std::wstring& exe) {
    ITypeLib* library = nullptr;
    HRESULT hr = LoadTypeLibEx(exe.c_str(), REGKIND_REGISTER, &library);
    if (FAILED(hr)) {
        return hr;
    }
    library->Release();
    wchar_t clsid[40];
    StringFromGUID2(CLSID_BenchFloor, clsid, 40);
    std::wstring key = std::wstring(L"CLSID\\") + clsid + L"\\LocalServer32";
    std::wstring value = L"\"" + exe + L"\"";
    LONG status = RegSetKeyValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, REG_SZ, value.c_str(),
                                  static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    return HRESULT_FROM_WIN32(status);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (argc > 1 && _wcsicmp(argv[1], L"/RegServer") == 0) {
        return FAILED(Register(path)) ? 1 : 0;
    }
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
        return 1;
    }
    DWORD cookie = 0;
    standin::ClassFactory factory(NewFloor, &g_locks);
    int status = 1;
    if (SUCCEEDED(standin::LoadStandinTypeLib(path)) &&
        SUCCEEDED(CoRegisterClassObject(CLSID_BenchFloor, &factory, CLSCTX_LOCAL_SERVER,
                                        REGCLS_MULTIPLEUSE, &cookie))) {
        // Serve until the first object has come and gone (or nobody came within 30 s).
        for (int waited = 0; standin::g_liveObjects == 0 && waited < 3000; ++waited) {
            Sleep(10);
        }
        while (standin::g_liveObjects > 0) {
            Sleep(50);
        }
        CoRevokeClassObject(cookie);
        status = 0;
    }
    CoUninitialize();
    return status;
}
