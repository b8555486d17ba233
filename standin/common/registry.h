// Registration of the stand-in's two classes and of its type libraries, one per release, which
// live in VBoxSVC.exe: whichever class is registered keeps them registered, and they go with the
// last one.
#pragma once

#include <windows.h>

#include <string>

namespace standin {

HRESULT RegisterServer(const std::wstring& serverExe);
HRESULT UnregisterServer(const std::wstring& serverExe);
HRESULT RegisterSessionDll(const std::wstring& dll, const std::wstring& serverExe);
HRESULT UnregisterSessionDll(const std::wstring& serverExe);

}  // namespace standin
