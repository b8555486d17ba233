// standin-bench-floor.exe: a local COM server whose one object answers State with a constant,
// through the same IDispatch path as the stand-in (DispInvoke over the type library) but with
// no VirtualBox logic. "/RegServer" registers it; otherwise it serves until its object is gone.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <atomic>
#include <string>

#include "floor.h"

namespace {

std::atomic<long> g_objects{0};
ITypeInfo* g_type = nullptr;

class Floor : public IBenchFloor {
public:
    Floor() {
        ++g_objects;
    }
    virtual ~Floor() {
        --g_objects;
    }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IBenchFloor) {
            *out = static_cast<IBenchFloor*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override {
        return ++refs_;
    }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG left = --refs_;
        if (left == 0) {
            delete this;
        }
        return left;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        *count = 1;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
        g_type->AddRef();
        *info = g_type;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                            DISPID* ids) override {
        return DispGetIDsOfNames(g_type, names, count, ids);
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO* exception, UINT* arg) override {
        return DispInvoke(static_cast<IBenchFloor*>(this), g_type, id, flags, params, result,
                          exception, arg);
    }
    HRESULT STDMETHODCALLTYPE get_State(LONG* state) override {
        *state = 5;
        return S_OK;
    }

private:
    std::atomic<ULONG> refs_{1};
};

class Factory : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        *out = iid == IID_IUnknown || iid == IID_IClassFactory ? this : nullptr;
        return *out ? S_OK : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override {
        return 2;
    }
    ULONG STDMETHODCALLTYPE Release() override {
        return 1;
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID iid, void** out) override {
        Floor* floor = new Floor();
        HRESULT hr = floor->QueryInterface(iid, out);
        floor->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override {
        return S_OK;
    }
};

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
    ITypeLib* library = nullptr;
    ITypeInfo* dispatch = nullptr;
    HREFTYPE ref = 0;
    DWORD cookie = 0;
    Factory factory;
    int status = 1;
    if (SUCCEEDED(LoadTypeLibEx(path, REGKIND_NONE, &library)) &&
        SUCCEEDED(library->GetTypeInfoOfGuid(IID_IBenchFloor, &dispatch)) &&
        SUCCEEDED(dispatch->GetRefTypeOfImplType(-1, &ref)) &&
        SUCCEEDED(dispatch->GetRefTypeInfo(ref, &g_type)) &&
        SUCCEEDED(CoRegisterClassObject(CLSID_BenchFloor, &factory, CLSCTX_LOCAL_SERVER,
                                        REGCLS_MULTIPLEUSE, &cookie))) {
        // Serve until the first object has come and gone (or nobody came within 30 s).
        for (int waited = 0; g_objects == 0 && waited < 3000; ++waited) {
            Sleep(10);
        }
        while (g_objects > 0) {
            Sleep(50);
        }
        CoRevokeClassObject(cookie);
        status = 0;
    }
    if (g_type) {
        g_type->Release();
    }
    if (dispatch) {
        dispatch->Release();
    }
    if (library) {
        library->Release();
    }
    CoUninitialize();
    return status;
}
