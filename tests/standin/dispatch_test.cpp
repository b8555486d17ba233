// The stand-in as an IDispatch caller sees it: names matched case-blind, VirtualBox's types on
// the wire, injected failures coming back as DISP_E_EXCEPTION with the chosen code, and proxies
// shared by threads of the multithreaded apartment.
#include <objbase.h>

#include <thread>

#include "tests/standin/fixture.h"

namespace standin_test {
namespace {

constexpr HRESULT kInjected = static_cast<HRESULT>(0x80041234);

class DispatchTest : public StandinTest {
protected:
    void TearDown() override {
        Ctl("fault clear");
        StandinTest::TearDown();
        UseRelease("5.0");
    }
};

// Member names are matched whatever their case; unknown names are refused by GetIDsOfNames.
TEST_F(DispatchTest, NamesMatchCaseBlind) {
    Connect();
    std::wstring version;
    EXPECT_HRESULT_SUCCEEDED(vbox_.GetString(L"vErSiOn", &version));
    EXPECT_EQ(L"5.0.40", version);
    Disp found;
    EXPECT_HRESULT_SUCCEEDED(vbox_.CallObject(L"FINDMACHINE", {VString(wname_)}, &found));
    LONG state = 0;
    EXPECT_HRESULT_SUCCEEDED(found.GetLong(L"state", &state));
    EXPECT_EQ(kPoweredOff, state);
    VARIANT ignored;
    EXPECT_EQ(DISP_E_UNKNOWNNAME, vbox_.Get(L"NoSuchMember", &ignored));
}

// Strings, booleans and enumerations arrive as VBoxManage's callers expect: ids as BSTR, State
// as VT_I4, SessionPID as VT_UI4, objects as VT_DISPATCH; and an unknown machine is
// VBOX_E_OBJECT_NOT_FOUND with a description in EXCEPINFO.
TEST_F(DispatchTest, TypesOnTheWire) {
    Connect();
    VARIANT value;
    ASSERT_HRESULT_SUCCEEDED(machine_.Get(L"Id", &value));
    EXPECT_EQ(VT_BSTR, V_VT(&value));
    VariantClear(&value);
    ASSERT_HRESULT_SUCCEEDED(machine_.Get(L"State", &value));
    EXPECT_EQ(VT_I4, V_VT(&value));
    ASSERT_HRESULT_SUCCEEDED(machine_.Get(L"SessionPID", &value));
    EXPECT_EQ(VT_UI4, V_VT(&value));
    ASSERT_HRESULT_SUCCEEDED(machine_.Get(L"VRDEServer", &value));
    EXPECT_EQ(VT_DISPATCH, V_VT(&value));
    VariantClear(&value);

    EXPECT_EQ(kObjectNotFound, vbox_.Call(L"FindMachine", {VString(L"no such machine")}, &value));
    EXPECT_EQ(DISP_E_EXCEPTION, vbox_.InvokeResult());
    EXPECT_NE(std::wstring::npos, vbox_.LastDescription().find(L"no such machine"));
    Disp byId;
    EXPECT_HRESULT_SUCCEEDED(
        vbox_.CallObject(L"FindMachine", {VString(L"{" + machineId_ + L"}")}, &byId))
        << "a machine is found by its id, braces or not";
}

// A fault set once fails the next call only; N times fails N calls; always fails until cleared.
// Each failure reaches the caller as DISP_E_EXCEPTION with the injected code in scode.
TEST_F(DispatchTest, InjectedFaultsOnceCountedAndAlways) {
    Connect();
    VARIANT value;
    Ctl("fault set Machine.State 0x80041234 once");
    EXPECT_EQ(kInjected, machine_.Get(L"State", &value));
    EXPECT_EQ(DISP_E_EXCEPTION, machine_.InvokeResult());
    EXPECT_HRESULT_SUCCEEDED(machine_.Get(L"State", &value));

    Ctl("fault set VirtualBox.Version 0x80041234 2");
    EXPECT_EQ(kInjected, vbox_.Get(L"Version", &value));
    EXPECT_EQ(kInjected, vbox_.Get(L"Version", &value));
    EXPECT_HRESULT_SUCCEEDED(vbox_.Get(L"Version", &value));
    VariantClear(&value);

    Ctl("fault set machine.id 0x80bb0005 always");
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(static_cast<HRESULT>(0x80BB0005), machine_.Get(L"Id", &value));
    }
    testsupport::ProcessResult list = StandinCtl("fault list");
    EXPECT_NE(std::string::npos, list.output.find("machine.id 0x80bb0005 -1")) << list.output;
    Ctl("fault clear Machine.Id");
    EXPECT_HRESULT_SUCCEEDED(machine_.Get(L"Id", &value));
    VariantClear(&value);
}

// A fault bound to one machine leaves the others alone.
TEST_F(DispatchTest, FaultsForOneMachine) {
    Connect();
    std::string other = name_ + "-other";
    CreateMachine(other);
    Ctl("fault set Machine.State 0x80041234 always \"" + other + "\"");
    Disp second;
    ASSERT_HRESULT_SUCCEEDED(vbox_.CallObject(L"FindMachine", {VString(Wide(other))}, &second));
    LONG state = 0;
    EXPECT_HRESULT_SUCCEEDED(machine_.GetLong(L"State", &state));
    EXPECT_EQ(kInjected, second.GetLong(L"State", &state));
    second = Disp();
    RemoveMachine(other);
}

// Faults in the steps of the service's start and stop: the Session class's creation, the launch
// call, the progress wait, the console, the stop call; and a launch whose progress reports a
// failure, after which the machine is PoweredOff again.
TEST_F(DispatchTest, FaultsAlongTheStartAndStop) {
    Connect();
    Ctl("fault set Session.Create 0x80041234 once");
    Disp session;
    EXPECT_EQ(kInjected, CreateSession(&session));
    ASSERT_HRESULT_SUCCEEDED(CreateSession(&session));

    Ctl("fault set Machine.LaunchVMProcess 0x80041234 once");
    Disp progress;
    EXPECT_EQ(kInjected,
              machine_.CallObject(L"LaunchVMProcess",
                                  {VObject(session.get()), VString(L"headless"), VNullString()},
                                  &progress));
    EXPECT_EQ(kPoweredOff, MachineState(name_)) << "a refused launch changes nothing";

    Ctl("launch-result \"" + name_ + "\" 0x80bb0003");
    ASSERT_HRESULT_SUCCEEDED(machine_.CallObject(
        L"LaunchVMProcess", {VObject(session.get()), VString(L"headless"), VNullString()},
        &progress));
    Ctl("fault set Progress.WaitForCompletion 0x80041234 once");
    VARIANT ignored;
    EXPECT_EQ(kInjected, progress.Call(L"WaitForCompletion", {VLong(-1)}, &ignored));
    ASSERT_HRESULT_SUCCEEDED(progress.Call(L"WaitForCompletion", {VLong(-1)}, &ignored));
    LONG result = 0;
    EXPECT_HRESULT_SUCCEEDED(progress.GetLong(L"ResultCode", &result));
    EXPECT_EQ(static_cast<LONG>(0x80BB0003), result);
    EXPECT_EQ((std::vector<LONG>{kStarting, kPoweredOff}), NextStates(2));
    EXPECT_EQ(kInvalidObjectState, session.Get(L"Console", &ignored))
        << "a failed launch leaves the session unlocked";

    Ctl("launch-result \"" + name_ + "\" 0");
    Disp running;
    ASSERT_TRUE(Launch(&running));
    Ctl("fault set Session.Console 0x80041234 once");
    EXPECT_EQ(kInjected, running.Get(L"Console", &ignored));
    Disp console;
    ASSERT_HRESULT_SUCCEEDED(running.GetObject(L"Console", &console));
    Ctl("fault set Console.PowerDown 0x80041234 once");
    EXPECT_EQ(kInjected, console.CallObject(L"PowerDown", {}, &progress));
    EXPECT_EQ(kRunning, MachineState(name_));
}

// The event source's own steps fail as injected, as the watcher's registration sees them.
TEST_F(DispatchTest, FaultsInTheEventSource) {
    Connect();
    Ctl("fault set VirtualBox.EventSource 0x80041234 once");
    Disp source;
    EXPECT_EQ(kInjected, vbox_.GetObject(L"EventSource", &source));
    Ctl("fault set EventSource.CreateListener 0x80041234 once");
    Disp listener;
    EXPECT_EQ(kInjected, source_.CallObject(L"CreateListener", {}, &listener));
    Ctl("fault set EventSource.RegisterListener 0x80041234 once");
    ASSERT_HRESULT_SUCCEEDED(source_.CallObject(L"CreateListener", {}, &listener));
    VARIANT array = VLongArray({32});
    VARIANT ignored;
    EXPECT_EQ(kInjected, source_.Call(L"RegisterListener",
                                      {VObject(listener.get()), array, VLong(0)}, &ignored));
    Ctl("fault set EventSource.GetEvent 0x80041234 once");
    EXPECT_EQ(kInjected, source_.Call(L"GetEvent", {VObject(listener_.get()), VLong(0)}, &ignored));
}

// A later release refuses 5.0's interface ids (the VirtualBox and the Session class), while
// IDispatch reaches every member; its LaunchVMProcess takes the environment as an array of
// strings, which a null array stands for, and refuses 5.0's string.
TEST_F(DispatchTest, LaterReleaseRefusesTheInterfaceIdButNotIDispatch) {
    UseRelease("6.1");
    Connect();
    Disp refused;
    EXPECT_EQ(E_NOINTERFACE, CreateVirtualBox(&refused));
    EXPECT_EQ(E_NOINTERFACE, CreateSession(&refused));
    std::wstring version;
    EXPECT_HRESULT_SUCCEEDED(vbox_.GetString(L"Version", &version));
    EXPECT_EQ(L"6.1.50", version);
    Disp session, progress;
    ASSERT_HRESULT_SUCCEEDED(CreateSession(&session, IID_IDispatch));
    EXPECT_EQ(DISP_E_TYPEMISMATCH,
              machine_.CallObject(L"LaunchVMProcess",
                                  {VObject(session.get()), VString(L"headless"), VString(L"")},
                                  &progress));
    VARIANT none;
    VariantInit(&none);
    V_VT(&none) = VT_ARRAY | VT_BSTR;
    EXPECT_HRESULT_SUCCEEDED(machine_.CallObject(
        L"LaunchVMProcess", {VObject(session.get()), VString(L"headless"), none}, &progress));
}

// Threads that never initialised COM use the proxies of a multithreaded-apartment thread (the
// implicit MTA), as the service's watcher and pipe threads do.
TEST_F(DispatchTest, ImplicitMtaThreadsShareTheProxies) {
    Connect();
    Disp session;
    ASSERT_TRUE(Launch(&session));
    Disp console;
    ASSERT_HRESULT_SUCCEEDED(session.GetObject(L"Console", &console));
    std::vector<HRESULT> results(4, E_FAIL);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < results.size(); ++i) {
        threads.emplace_back([&, i] {
            LONG state = 0;
            Disp display;
            HRESULT hr = machine_.GetLong(L"State", &state);
            if (SUCCEEDED(hr)) {
                hr = console.GetObject(L"Display", &display);
            }
            results[i] = SUCCEEDED(hr) && state != kRunning ? E_UNEXPECTED : hr;
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    for (HRESULT hr : results) {
        EXPECT_EQ(S_OK, hr);
    }
}

}  // namespace
}  // namespace standin_test
