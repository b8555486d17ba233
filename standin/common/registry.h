// Registration of the stand-in's two classes and of its type library. The type library lives in
// VBoxSVC.exe; whichever class is registered keeps it registered, and it goes with the last one.
#pragma once

#include <windows.h>

#include <string>

namespace standin {

HRESULT RegisterServer(const std::wstring& serverExe);
HRESULT UnregisterServer();
HRESULT RegisterSessionDll(const std::wstring& dll, const std::wstring& serverExe);
HRESULT UnregisterSessionDll();

}  // namespace standin
