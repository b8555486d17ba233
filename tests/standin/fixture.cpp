#include "tests/standin/fixture.h"

#include <objbase.h>

namespace standin_test {

std::wstring Wide(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

// The registration test undoes the stand-in's registration before it puts it back; should it be
// cut short, the rest of the group would meet unregistered classes. Registers again if so.
static void EnsureRegistered() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID\\{B1A7A4F2-47B9-4A1E-82B2-07CCD5323C3F}", 0,
                      KEY_READ, &key) == ERROR_SUCCESS) {
        RegCloseKey(key);
        return;
    }
    testsupport::RunProcess(StandinFolder() + "\\VBoxSVC.exe", "/RegServer");
    testsupport::RunProcess("C:\\windows\\system32\\regsvr32.exe",
                            "/s \"" + StandinFolder() + "\\VBoxC.dll\"");
}

void StandinTest::SetUp() {
    EnsureRegistered();
    ASSERT_HRESULT_SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    name_ = testsupport::TestName();
    SetServerIdleExit(1000);
    wname_ = Wide(name_);
}

void StandinTest::TearDown() {
    listener_ = Disp();
    source_ = Disp();
    machine_ = Disp();
    vbox_ = Disp();
    RemoveMachine(name_);
    CoUninitialize();
}

void StandinTest::Connect(int launchMs, int powerOffMs, int saveMs) {
    CreateMachine(name_, launchMs, powerOffMs, saveMs);
    ASSERT_HRESULT_SUCCEEDED(CreateVirtualBox(&vbox_, IID_IDispatch));
    ASSERT_HRESULT_SUCCEEDED(vbox_.GetObject(L"EventSource", &source_));
    ASSERT_HRESULT_SUCCEEDED(source_.CallObject(L"CreateListener", {}, &listener_));
    VARIANT array = VLongArray({32});
    VARIANT ignored;
    ASSERT_HRESULT_SUCCEEDED(
        source_.Call(L"RegisterListener", {VObject(listener_.get()), array, VLong(0)}, &ignored));
    ASSERT_HRESULT_SUCCEEDED(vbox_.CallObject(L"FindMachine", {VString(wname_)}, &machine_));
    ASSERT_HRESULT_SUCCEEDED(machine_.GetString(L"Id", &machineId_));
}

bool StandinTest::Launch(Disp* session) {
    Disp progress;
    EXPECT_HRESULT_SUCCEEDED(CreateSession(session));
    HRESULT hr = machine_.CallObject(L"LaunchVMProcess",
                                     {VObject(session->get()), VString(L"headless"), VNullString()},
                                     &progress);
    EXPECT_HRESULT_SUCCEEDED(hr);
    if (FAILED(hr)) {
        return false;
    }
    VARIANT ignored;
    EXPECT_HRESULT_SUCCEEDED(progress.Call(L"WaitForCompletion", {VLong(-1)}, &ignored));
    LONG state = 0;
    machine_.GetLong(L"State", &state);
    return state == kRunning;
}

std::vector<LONG> StandinTest::NextStates(size_t count, DWORD timeoutMs) {
    std::vector<LONG> states;
    ULONGLONG end = GetTickCount64() + timeoutMs;
    while (states.size() < count && GetTickCount64() < end) {
        Disp event;
        HRESULT hr =
            source_.CallObject(L"GetEvent", {VObject(listener_.get()), VLong(200)}, &event);
        if (FAILED(hr)) {
            ADD_FAILURE() << "GetEvent failed: 0x" << std::hex << hr;
            break;
        }
        if (!event) {
            continue;
        }
        LONG type = 0;
        EXPECT_HRESULT_SUCCEEDED(event.GetLong(L"Type", &type));
        Disp changed;
        if (type == 32 &&
            SUCCEEDED(event.get()->QueryInterface(kIidMachineStateChangedEvent,
                                                  reinterpret_cast<void**>(changed.put())))) {
            std::wstring id;
            LONG state = 0;
            EXPECT_HRESULT_SUCCEEDED(changed.GetString(L"MachineId", &id));
            EXPECT_HRESULT_SUCCEEDED(changed.GetLong(L"State", &state));
            if (id == machineId_) {
                states.push_back(state);
            }
        }
        VARIANT ignored;
        EXPECT_HRESULT_SUCCEEDED(source_.Call(
            L"EventProcessed", {VObject(listener_.get()), VObject(event.get())}, &ignored));
    }
    return states;
}

}  // namespace standin_test
