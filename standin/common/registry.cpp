#include "common/registry.h"

#include <oleauto.h>

#include "common/common.h"

namespace standin {

namespace {

std::wstring GuidText(REFGUID guid) {
    wchar_t text[40];
    StringFromGUID2(guid, text, 40);
    return text;
}

HRESULT SetValue(const std::wstring& key, const wchar_t* name, const std::wstring& value) {
    HKEY handle = nullptr;
    LONG status = RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                                  nullptr, &handle, nullptr);
    if (status == ERROR_SUCCESS) {
        status =
            RegSetValueExW(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                           static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(handle);
    }
    return HRESULT_FROM_WIN32(status);
}

HRESULT DeleteKey(const std::wstring& key) {
    LONG status = RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
    if (status == ERROR_SUCCESS) {
        status = RegDeleteKeyW(HKEY_CLASSES_ROOT, key.c_str());
    }
    return status == ERROR_FILE_NOT_FOUND ? S_OK : HRESULT_FROM_WIN32(status);
}

bool ClassRegistered(REFCLSID clsid) {
    HKEY handle = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, (L"CLSID\\" + GuidText(clsid)).c_str(), 0, KEY_READ,
                      &handle) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(handle);
    return true;
}

HRESULT RegisterTypeLibFrom(const std::wstring& serverExe) {
    ITypeLib* library = nullptr;
    HRESULT hr = LoadTypeLibEx(serverExe.c_str(), REGKIND_REGISTER, &library);
    if (library) {
        library->Release();
    }
    return hr;
}

HRESULT UnregisterTypeLibUnlessUsed(REFCLSID other) {
    if (ClassRegistered(other)) {
        return S_OK;
    }
    HRESULT hr = UnRegisterTypeLib(LIBID_VirtualBox, 1, 0, LOCALE_NEUTRAL, SYS_WIN64);
    return hr == TYPE_E_REGISTRYACCESS || hr == TYPE_E_LIBNOTREGISTERED ? S_OK : hr;
}

HRESULT RegisterClass(REFCLSID clsid, const wchar_t* title, const wchar_t* progId,
                      const wchar_t* serverKey, const std::wstring& server,
                      const wchar_t* threading) {
    std::wstring key = L"CLSID\\" + GuidText(clsid);
    HRESULT hr = SetValue(key, nullptr, title);
    if (SUCCEEDED(hr)) {
        hr = SetValue(key + L"\\" + serverKey, nullptr, server);
    }
    if (SUCCEEDED(hr) && threading) {
        hr = SetValue(key + L"\\" + serverKey, L"ThreadingModel", threading);
    }
    if (SUCCEEDED(hr)) {
        hr = SetValue(key + L"\\TypeLib", nullptr, GuidText(LIBID_VirtualBox));
    }
    if (SUCCEEDED(hr)) {
        hr = SetValue(key + L"\\ProgID", nullptr, progId);
    }
    if (SUCCEEDED(hr)) {
        hr = SetValue(std::wstring(progId) + L"\\CLSID", nullptr, GuidText(clsid));
    }
    return hr;
}

HRESULT UnregisterClass(REFCLSID clsid, const wchar_t* progId) {
    HRESULT hr = DeleteKey(L"CLSID\\" + GuidText(clsid));
    HRESULT progHr = DeleteKey(progId);
    return FAILED(hr) ? hr : progHr;
}

}  // namespace

HRESULT RegisterServer(const std::wstring& serverExe) {
    HRESULT hr = RegisterTypeLibFrom(serverExe);
    if (SUCCEEDED(hr)) {
        hr = RegisterClass(CLSID_VirtualBox, L"VirtualBox Class", L"VirtualBox.VirtualBox",
                           L"LocalServer32", L"\"" + serverExe + L"\"", nullptr);
    }
    return hr;
}

HRESULT UnregisterServer() {
    HRESULT hr = UnregisterClass(CLSID_VirtualBox, L"VirtualBox.VirtualBox");
    HRESULT libHr = UnregisterTypeLibUnlessUsed(CLSID_Session);
    return FAILED(hr) ? hr : libHr;
}

HRESULT RegisterSessionDll(const std::wstring& dll, const std::wstring& serverExe) {
    HRESULT hr = RegisterTypeLibFrom(serverExe);
    if (SUCCEEDED(hr)) {
        hr = RegisterClass(CLSID_Session, L"Session Class", L"VirtualBox.Session",
                           L"InprocServer32", dll, L"Free");
    }
    return hr;
}

HRESULT UnregisterSessionDll() {
    HRESULT hr = UnregisterClass(CLSID_Session, L"VirtualBox.Session");
    HRESULT libHr = UnregisterTypeLibUnlessUsed(CLSID_VirtualBox);
    return FAILED(hr) ? hr : libHr;
}

}  // namespace standin
