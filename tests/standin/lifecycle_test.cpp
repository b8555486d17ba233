// A machine's life through the stand-in, driven by name through IDispatch from another process,
// as the service drives it: launch, lock, the four ways down, and the events in their order.
#include <objbase.h>

#include "tests/standin/fixture.h"

namespace standin_test {
namespace {

using States = std::vector<LONG>;

class LifecycleTest : public StandinTest {
protected:
    // The session's console, read by name as the service does.
    Disp ConsoleOf(const Disp& session) {
        Disp console;
        EXPECT_HRESULT_SUCCEEDED(session.GetObject(L"Console", &console));
        return console;
    }
    // Runs a progress-returning member and waits for it; returns its ResultCode.
    LONG RunToCompletion(const Disp& object, const wchar_t* member) {
        Disp progress;
        EXPECT_HRESULT_SUCCEEDED(object.CallObject(member, {}, &progress));
        VARIANT ignored;
        EXPECT_HRESULT_SUCCEEDED(progress.Call(L"WaitForCompletion", {VLong(-1)}, &ignored));
        LONG completed = 0, result = -1;
        EXPECT_HRESULT_SUCCEEDED(progress.GetLong(L"Completed", &completed));
        EXPECT_HRESULT_SUCCEEDED(progress.GetLong(L"ResultCode", &result));
        EXPECT_EQ(1, completed);
        return result;
    }
};

// The launch goes PoweredOff -> Starting -> Running, runs VBoxHeadless.exe as SessionPID, and
// power-off ends that process: the service's start and its commonest stop.
TEST_F(LifecycleTest, LaunchAndPowerDown) {
    Connect();
    Disp session;
    ASSERT_TRUE(Launch(&session));
    EXPECT_EQ((States{kStarting, kRunning}), NextStates(2));

    VARIANT pid;
    ASSERT_HRESULT_SUCCEEDED(machine_.Get(L"SessionPID", &pid));
    ASSERT_EQ(VT_UI4, V_VT(&pid));
    EXPECT_TRUE(ProcessAlive(V_UI4(&pid)));

    Disp console = ConsoleOf(session);
    EXPECT_EQ(S_OK, RunToCompletion(console, L"PowerDown"));
    EXPECT_EQ((States{kStopping, kPoweredOff}), NextStates(2));
    EXPECT_TRUE(WaitForExit(V_UI4(&pid), 5000)) << "the VM process outlived the power-off";
    VARIANT ignored;
    EXPECT_HRESULT_SUCCEEDED(session.Call(L"UnlockMachine", {}, &ignored));
}

// Save-state goes through Saving to Saved; the next launch restores (Restoring -> Running).
TEST_F(LifecycleTest, SaveStateAndRestore) {
    Connect();
    Disp session;
    ASSERT_TRUE(Launch(&session));
    NextStates(2);
    Disp held;
    ASSERT_HRESULT_SUCCEEDED(session.GetObject(L"Machine", &held));
    EXPECT_EQ(S_OK, RunToCompletion(held, L"SaveState"));
    EXPECT_EQ((States{kSaving, kSaved}), NextStates(2));
    VARIANT ignored;
    ASSERT_HRESULT_SUCCEEDED(session.Call(L"UnlockMachine", {}, &ignored));

    Disp again;
    ASSERT_TRUE(Launch(&again));
    EXPECT_EQ((States{kRestoring, kRunning}), NextStates(2));
}

// SaveState belongs to the session's machine; a machine found by name cannot save.
TEST_F(LifecycleTest, SaveStateNeedsTheSessionMachine) {
    Connect();
    Disp session;
    ASSERT_TRUE(Launch(&session));
    VARIANT result;
    EXPECT_EQ(kInvalidObjectState, machine_.Call(L"SaveState", {}, &result));
    EXPECT_EQ(DISP_E_EXCEPTION, machine_.InvokeResult());
}

// The ACPI buttons reach the guest, which shuts down after the configured delay, or ignores
// them: the power button, the sleep button, and a guest that ignores both.
TEST_F(LifecycleTest, AcpiButtonsFollowTheGuestsReaction) {
    Connect();
    Ctl("acpi \"" + name_ + "\" power 200");
    Ctl("acpi \"" + name_ + "\" sleep 100");
    VARIANT ignored;
    for (const wchar_t* button : {L"PowerButton", L"SleepButton"}) {
        Disp session;
        ASSERT_TRUE(Launch(&session));
        NextStates(2);
        EXPECT_HRESULT_SUCCEEDED(ConsoleOf(session).Call(button, {}, &ignored));
        EXPECT_EQ((States{kStopping, kPoweredOff}), NextStates(2)) << button;
        session.Call(L"UnlockMachine", {}, &ignored);
    }

    Ctl("acpi \"" + name_ + "\" both ignore");
    Disp session;
    ASSERT_TRUE(Launch(&session));
    NextStates(2);
    EXPECT_HRESULT_SUCCEEDED(ConsoleOf(session).Call(L"PowerButton", {}, &ignored));
    EXPECT_HRESULT_SUCCEEDED(ConsoleOf(session).Call(L"SleepButton", {}, &ignored));
    EXPECT_TRUE(NextStates(1, 1500).empty()) << "a guest that ignores the buttons went down";
    EXPECT_EQ(kRunning, MachineState(name_));
}

// A second client joins a running machine with a Shared lock and controls it through its own
// console (pause and resume here), as the service does with a machine that already runs.
TEST_F(LifecycleTest, SharedLockJoinsARunningMachine) {
    Connect();
    Disp launcher;
    ASSERT_TRUE(Launch(&launcher));
    NextStates(2);

    Disp joined;
    ASSERT_HRESULT_SUCCEEDED(CreateSession(&joined));
    VARIANT ignored;
    ASSERT_HRESULT_SUCCEEDED(
        machine_.Call(L"LockMachine", {VObject(joined.get()), VLong(1)}, &ignored));
    LONG type = 0;
    EXPECT_HRESULT_SUCCEEDED(joined.GetLong(L"Type", &type));
    EXPECT_EQ(3, type) << "SessionType_Shared";
    Disp console = ConsoleOf(joined);
    EXPECT_HRESULT_SUCCEEDED(console.Call(L"Pause", {}, &ignored));
    EXPECT_EQ(kInvalidVmState, console.Call(L"Pause", {}, &ignored)) << "pausing a paused machine";
    EXPECT_HRESULT_SUCCEEDED(console.Call(L"Resume", {}, &ignored));
    EXPECT_EQ((States{kPaused, kRunning}), NextStates(2));

    // A machine with a VM process cannot be launched again or write-locked.
    Disp other;
    ASSERT_HRESULT_SUCCEEDED(CreateSession(&other));
    Disp progress;
    EXPECT_EQ(kInvalidObjectState,
              machine_.CallObject(L"LaunchVMProcess",
                                  {VObject(other.get()), VString(L"headless"), VNullString()},
                                  &progress));
    EXPECT_EQ(kInvalidObjectState,
              machine_.Call(L"LockMachine", {VObject(other.get()), VLong(2)}, &ignored));
}

// Session members outside a lock, a second unlock, and console calls after the machine went
// down give the states' errors instead of acting.
TEST_F(LifecycleTest, WrongSessionAndMachineStatesAreRefused) {
    Connect();
    Disp session;
    ASSERT_HRESULT_SUCCEEDED(CreateSession(&session));
    VARIANT result;
    EXPECT_EQ(kInvalidObjectState, session.Get(L"Machine", &result));
    EXPECT_EQ(kInvalidObjectState, session.Get(L"Console", &result));
    EXPECT_EQ(kInvalidObjectState, session.Call(L"UnlockMachine", {}, &result));

    // A Shared lock on a machine that does not run is a write lock without a console.
    ASSERT_HRESULT_SUCCEEDED(
        machine_.Call(L"LockMachine", {VObject(session.get()), VLong(1)}, &result));
    Disp console;
    EXPECT_HRESULT_SUCCEEDED(session.GetObject(L"Console", &console));
    EXPECT_FALSE(console);
    Disp launcher;
    ASSERT_HRESULT_SUCCEEDED(CreateSession(&launcher));
    Disp progress;
    EXPECT_EQ(kInvalidObjectState,
              machine_.CallObject(L"LaunchVMProcess",
                                  {VObject(launcher.get()), VString(L"headless"), VNullString()},
                                  &progress))
        << "launching a write-locked machine";
    ASSERT_HRESULT_SUCCEEDED(session.Call(L"UnlockMachine", {}, &result));
    EXPECT_EQ(kInvalidObjectState, session.Call(L"UnlockMachine", {}, &result));

    ASSERT_TRUE(Launch(&launcher));
    Disp running = ConsoleOf(launcher);
    EXPECT_EQ(S_OK, RunToCompletion(running, L"PowerDown"));
    EXPECT_EQ(kInvalidVmState, running.Call(L"PowerDown", {}, &result));
    EXPECT_EQ(kInvalidVmState, running.Call(L"PowerButton", {}, &result));
    EXPECT_EQ(kInvalidVmState, running.Call(L"Resume", {}, &result));
    EXPECT_EQ(
        E_INVALIDARG,
        machine_.CallObject(L"LaunchVMProcess",
                            {VObject(session.get()), VString(L"gui"), VNullString()}, &progress))
        << "only the headless front-end exists";
}

// A killed VBoxHeadless.exe aborts the running machine, with its event; the service's watcher
// depends on that to end.
TEST_F(LifecycleTest, KilledVmProcessAbortsTheMachine) {
    Connect();
    Disp session;
    ASSERT_TRUE(Launch(&session));
    NextStates(2);
    LONG pid = 0;
    ASSERT_HRESULT_SUCCEEDED(machine_.GetLong(L"SessionPID", &pid));
    HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, pid);
    ASSERT_NE(nullptr, process);
    TerminateProcess(process, 1);
    CloseHandle(process);
    EXPECT_EQ((States{kAborted}), NextStates(1));
    LONG after = -1;
    EXPECT_HRESULT_SUCCEEDED(machine_.GetLong(L"SessionPID", &after));
    EXPECT_EQ(0, after);

    // standin-ctl kill does the same, and an aborted machine can be launched again.
    Disp again;
    ASSERT_TRUE(Launch(&again));
    NextStates(2);
    Ctl("kill \"" + name_ + "\"");
    EXPECT_EQ((States{kAborted}), NextStates(1));
}

// The console's display and VRDE facts as the pipe queries read them: out-parameters through
// IDispatch, the screen size set by standin-ctl, the port bit for bit (-1 included).
TEST_F(LifecycleTest, DisplayAndVrdeFacts) {
    Connect();
    Ctl("screen \"" + name_ + "\" 1920x1080");
    Ctl("vrde \"" + name_ + "\" on 5901");
    Disp session;
    ASSERT_TRUE(Launch(&session));
    Disp console = ConsoleOf(session);
    Disp display, info, server;
    ASSERT_HRESULT_SUCCEEDED(console.GetObject(L"Display", &display));
    ASSERT_HRESULT_SUCCEEDED(console.GetObject(L"VRDEServerInfo", &info));
    ASSERT_HRESULT_SUCCEEDED(machine_.GetObject(L"VRDEServer", &server));

    // Out-parameters by reference, as unsigned or signed longs: both reach the member.
    ULONG width = 0, height = 0, bpp = 0;
    LONG x = -1, y = -1, status = 0;
    auto byRef = [](VARTYPE type, void* target) {
        VARIANT v;
        VariantInit(&v);
        V_VT(&v) = VT_BYREF | type;
        V_BYREF(&v) = target;
        return v;
    };
    VARIANT ignored;
    ASSERT_HRESULT_SUCCEEDED(
        display.Call(L"GetScreenResolution",
                     {VLong(0), byRef(VT_UI4, &width), byRef(VT_UI4, &height), byRef(VT_UI4, &bpp),
                      byRef(VT_I4, &x), byRef(VT_I4, &y), byRef(VT_I4, &status)},
                     &ignored));
    EXPECT_EQ(1920u, width);
    EXPECT_EQ(1080u, height);
    EXPECT_EQ(32u, bpp);
    EXPECT_EQ(0, x);
    EXPECT_EQ(1, status);
    // A reference of another type is refused, not converted (Wine's ITypeInfo::Invoke): callers
    // pass VT_BYREF|VT_UI4 for the unsigned outputs and VT_BYREF|VT_I4 for the signed ones.
    LONG signedWidth = 0, signedHeight = 0;
    EXPECT_EQ(DISP_E_TYPEMISMATCH,
              display.Call(
                  L"GetScreenResolution",
                  {VLong(0), byRef(VT_I4, &signedWidth), byRef(VT_I4, &signedHeight),
                   byRef(VT_UI4, &bpp), byRef(VT_I4, &x), byRef(VT_I4, &y), byRef(VT_I4, &status)},
                  &ignored));
    VARIANT anyWidth;
    VariantInit(&anyWidth);
    EXPECT_EQ(DISP_E_TYPEMISMATCH,
              display.Call(
                  L"GetScreenResolution",
                  {VLong(0), byRef(VT_VARIANT, &anyWidth), byRef(VT_UI4, &height),
                   byRef(VT_UI4, &bpp), byRef(VT_I4, &x), byRef(VT_I4, &y), byRef(VT_I4, &status)},
                  &ignored))
        << "not even a VARIANT reference is filled in";
    EXPECT_EQ(E_INVALIDARG, display.Call(L"GetScreenResolution",
                                         {VLong(1), byRef(VT_UI4, &width), byRef(VT_UI4, &height),
                                          byRef(VT_UI4, &bpp), byRef(VT_I4, &x), byRef(VT_I4, &y),
                                          byRef(VT_I4, &status)},
                                         &ignored))
        << "the machine has one screen";

    VARIANT enabled, port;
    ASSERT_HRESULT_SUCCEEDED(server.Get(L"Enabled", &enabled));
    EXPECT_EQ(VT_I4, V_VT(&enabled));
    EXPECT_EQ(1, V_I4(&enabled));
    ASSERT_HRESULT_SUCCEEDED(info.Get(L"Port", &port));
    EXPECT_EQ(VT_I4, V_VT(&port));
    EXPECT_EQ(5901, V_I4(&port));

    Ctl("vrde \"" + name_ + "\" off 5901");
    LONG value = 0;
    EXPECT_HRESULT_SUCCEEDED(server.GetLong(L"Enabled", &value));
    EXPECT_EQ(0, value);
    EXPECT_HRESULT_SUCCEEDED(info.GetLong(L"Port", &value));
    EXPECT_EQ(-1, value) << "a disabled server was not started";
}

}  // namespace
}  // namespace standin_test
