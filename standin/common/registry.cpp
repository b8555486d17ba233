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

// Every release's library is registered, so that switching releases needs no registration and
// the type-library marshaller carries each release's interfaces.
std::wstring LibraryFile(const std::wstring& serverExe, int release) {
    return release == kRelease50 ? serverExe : serverExe + L"\\" + std::to_wstring(release + 1);
}

HRESULT RegisterTypeLibsFrom(const std::wstring& serverExe) {
    HRESULT hr = S_OK;
    for (int r = 0; r < kReleaseCount && SUCCEEDED(hr); ++r) {
        // Registered by hand: LoadTypeLibEx's own registration leaves the resource index out of
        // the path, which then names resource 1 for every release.
        std::wstring file = LibraryFile(serverExe, r);
        ITypeLib* library = nullptr;
        hr = LoadTypeLibEx(file.c_str(), REGKIND_NONE, &library);
        if (SUCCEEDED(hr)) {
            std::wstring folder = serverExe.substr(0, serverExe.find_last_of(L"\\/"));
            hr = RegisterTypeLib(library, &file[0], &folder[0]);
            library->Release();
        }
    }
    return hr;
}

HRESULT UnregisterTypeLibsUnlessUsed(const std::wstring& serverExe, REFCLSID other) {
    if (ClassRegistered(other)) {
        return S_OK;
    }
    HRESULT result = S_OK;
    for (int r = 0; r < kReleaseCount; ++r) {
        ITypeLib* library = nullptr;
        TLIBATTR* attributes = nullptr;
        HRESULT hr = LoadTypeLibEx(LibraryFile(serverExe, r).c_str(), REGKIND_NONE, &library);
        if (SUCCEEDED(hr)) {
            hr = library->GetLibAttr(&attributes);
        }
        if (SUCCEEDED(hr)) {
            hr = UnRegisterTypeLib(attributes->guid, attributes->wMajorVerNum,
                                   attributes->wMinorVerNum, attributes->lcid, SYS_WIN64);
            library->ReleaseTLibAttr(attributes);
        }
        if (library) {
            library->Release();
        }
        if (FAILED(hr) && hr != TYPE_E_REGISTRYACCESS && hr != TYPE_E_LIBNOTREGISTERED) {
            result = hr;
        }
    }
    return result;
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
    HRESULT hr = RegisterTypeLibsFrom(serverExe);
    if (SUCCEEDED(hr)) {
        hr = RegisterClass(CLSID_VirtualBox, L"VirtualBox Class", L"VirtualBox.VirtualBox",
                           L"LocalServer32", L"\"" + serverExe + L"\"", nullptr);
    }
    return hr;
}

HRESULT UnregisterServer(const std::wstring& serverExe) {
    HRESULT hr = UnregisterClass(CLSID_VirtualBox, L"VirtualBox.VirtualBox");
    HRESULT libHr = UnregisterTypeLibsUnlessUsed(serverExe, CLSID_Session);
    return FAILED(hr) ? hr : libHr;
}

HRESULT RegisterSessionDll(const std::wstring& dll, const std::wstring& serverExe) {
    HRESULT hr = RegisterTypeLibsFrom(serverExe);
    if (SUCCEEDED(hr)) {
        hr = RegisterClass(CLSID_Session, L"Session Class", L"VirtualBox.Session",
                           L"InprocServer32", dll, L"Free");
    }
    return hr;
}

HRESULT UnregisterSessionDll(const std::wstring& serverExe) {
    HRESULT hr = UnregisterClass(CLSID_Session, L"VirtualBox.Session");
    HRESULT libHr = UnregisterTypeLibsUnlessUsed(serverExe, CLSID_VirtualBox);
    return FAILED(hr) ? hr : libHr;
}

}  // namespace standin
