// VirtualBox calls made to fail by the stand-in, one at a time: each is logged with its code
// where it happens, and the service goes on, or ends, as its place in the start or the stop
// demands. Also a later VirtualBox release, which no longer answers to 5.0's interface ids.
#include "tests/machine/machine_fixture.h"

namespace machine_test {
namespace {

using standin_test::InOrder;
using standin_test::MachineState;
using testsupport::Describe;

const char kCode[] = "0x80004005";

class InjectedFailureTest : public MachineTest {
protected:
    void TearDown() override {
        standin_test::Ctl("fault clear");
        standin_test::UseRelease("5.0");
        MachineTest::TearDown();
    }

    // member fails once with kCode; for the test's machine only when forMachine.
    void Fault(const std::string& member, bool forMachine = true) {
        standin_test::Ctl("fault set " + member + " " + kCode + " once" +
                          (forMachine ? " \"" + name_ + "\"" : ""));
        faulted_ = member;
    }

    // The journal shows the call that was made to fail, failing once.
    void ExpectFaultJournaled() {
        if (faulted_.empty()) {
            return;
        }
        size_t failed = 0;
        for (const JournalEntry& entry : WholeJournal()) {
            failed += entry.member == faulted_ && entry.result == E_FAIL;
        }
        EXPECT_EQ(failed, 1u) << faulted_;
    }

    // The start fails: START_PENDING 1 and 2, then STOPPED with 1066 / 0x80800001, the lines
    // in the log, and the machine left as it was.
    void ExpectStartFails(const std::vector<std::string>& lines) {
        Statuses statuses = WaitStopped();
        ExpectStoppedWith(statuses, ERROR_SERVICE_SPECIFIC_ERROR, 0x80800001);
        EXPECT_EQ(States(statuses), "START_PENDING STOPPED") << Sequence(statuses);
        ExpectLogInOrder(Log(), lines);
        EXPECT_EQ(MachineState(name_), standin_test::kPoweredOff);
        ExpectFaultJournaled();
    }

    // The start succeeds despite the failure, and the configured stop ends the service.
    void ExpectRunsAndStops(const std::vector<std::string>& lines, const std::string& method,
                            LONG finalState) {
        ASSERT_TRUE(WaitForReport(SERVICE_RUNNING)) << Describe(Reports());
        Statuses statuses = Stop();
        ExpectStopReports(statuses, kMaxWaitTimeout);
        EXPECT_EQ(States(statuses), "START_PENDING RUNNING STOP_PENDING STOPPED")
            << Sequence(statuses);
        std::vector<std::string> expected = lines;
        expected.push_back("VM '" + name_ + "' stopped (" + method + ")");
        ExpectLogInOrder(Log(), expected);
        EXPECT_EQ(MachineState(name_), finalState);
        ExpectFaultJournaled();
    }

    // The stop fails: the service waits for the machine to go down by itself until MaxWaitTimeout
    // (2000) has passed since the stop request, then powers it off and ends, with exit code 0 as
    // the stop was asked for.
    void ExpectStopEndsAtBound(const std::string& line) {
        ASSERT_TRUE(WaitForReport(SERVICE_RUNNING)) << Describe(Reports());
        ULONGLONG took = 0;
        Statuses statuses = Stop(&took);
        ExpectStopReports(statuses, 2000, 2);
        EXPECT_GE(took, 2000u + 500u - 50u);
        std::vector<std::string> log = Log();
        ExpectLogInOrder(
            log, {line, "ERROR: VM '" + name_ + "' did not stop (" + method_ + ") within 2000 ms",
                  "VM '" + name_ + "' powered off as the last resort"});
        EXPECT_EQ(CountLog(log, "VM '" + name_ + "' stopped"), 0u);
        EXPECT_EQ(MachineState(name_), standin_test::kPoweredOff);
        ExpectFaultJournaled();
    }

    std::string Failed(const std::string& text) const {
        return text + " (" + kCode + ")";
    }

    std::string faulted_;
    std::string method_ = "poweroff";
};

// ---- The connection ----

// The version read fails: said without a code, and the connection goes on as usual.
TEST_F(InjectedFailureTest, Version) {
    CreateMachine();
    Install();
    Fault("VirtualBox.Version", false);
    Start();
    ExpectRunsAndStops({"ERROR initializing VirtualBox interface", "VM '" + name_ + "' started"},
                       "poweroff", standin_test::kPoweredOff);
}

// The machine's id cannot be read: the connection fails, no Session object is made, and the
// launch without one fails the start.
TEST_F(InjectedFailureTest, MachineId) {
    CreateMachine();
    Install();
    Fault("Machine.Id");
    Start();
    ExpectStartFails({Failed("ERROR retrieving machine ID"), "Starting VM '" + name_ + "'"});
    EXPECT_EQ(CountLog(Log(), "Error starting VM '" + name_ + "' (0x"), 1u);
    EXPECT_EQ(CountCalls(Journal(), "Session.Create"), 0u);
}

TEST_F(InjectedFailureTest, SessionCreation) {
    CreateMachine();
    Install();
    Fault("Session.Create", false);
    Start();
    ExpectStartFails({Failed("ERROR creating session instance"), "Starting VM '" + name_ + "'"});
    EXPECT_EQ(CountLog(Log(), "Error starting VM '" + name_ + "' (0x"), 1u);
}

// ---- The state listener: without it no watcher runs, the service reports RUNNING itself
// once the launch is done, and its stops work by every method ----

TEST_F(InjectedFailureTest, EventSource) {
    CreateMachine();
    Install();
    Fault("VirtualBox.EventSource", false);
    Start();
    ExpectRunsAndStops({Failed("Error getting event source interface")}, "poweroff",
                       standin_test::kPoweredOff);
}

TEST_F(InjectedFailureTest, ListenerCreation) {
    CreateMachine();
    Install({{"ShutdownCommand", "savestate"}});
    Fault("EventSource.CreateListener", false);
    Start();
    ExpectRunsAndStops({Failed("Error creating event listener")}, "savestate",
                       standin_test::kSaved);
}

// The ACPI stop reads the machine's state itself, as no watcher tells it the machine is off.
TEST_F(InjectedFailureTest, ListenerRegistration) {
    CreateMachine();
    SetAcpi("1500");
    Install({{"ShutdownCommand", "acpipowerbutton"}});
    Fault("EventSource.RegisterListener", false);
    Start();
    ExpectRunsAndStops({Failed("Error registering event listener")}, "acpipowerbutton",
                       standin_test::kPoweredOff);
    std::string sequence = Sequence(Reports());
    EXPECT_NE(sequence.find("START_PENDING:1 START_PENDING:2 RUNNING:0"), std::string::npos)
        << sequence;
    std::vector<JournalEntry> journal = Journal();
    EXPECT_EQ(CountCalls(journal, "MachineStateChangedEvent.State"), 0u) << "no watcher";
    EXPECT_GE(CountCalls(journal, "Machine.State"), 3u) << "the start's read, then the stop's";
}

// ---- The start ----

// A joined machine that cannot be locked is supervised all the same, but the stop finds no
// machine in the session.
TEST_F(InjectedFailureTest, Lock) {
    CreateMachine();
    Install({{"MaxWaitTimeout", "2000"}});
    LaunchOutside();
    Fault("Machine.LockMachine");
    Start();
    ExpectStopEndsAtBound(Failed("Error getting a machine lock"));
    EXPECT_EQ(CountCalls(Journal(), "Machine.LaunchVMProcess"), 0u);
}

TEST_F(InjectedFailureTest, Launch) {
    CreateMachine();
    Install();
    Fault("Machine.LaunchVMProcess");
    Start();
    ExpectStartFails({"Starting VM '" + name_ + "'", Failed("Error starting VM '" + name_ + "'")});
}

// The launch's progress ends with a failing result: no machine came up.
TEST_F(InjectedFailureTest, LaunchResult) {
    CreateMachine();
    Install();
    standin_test::Ctl("launch-result \"" + name_ + "\" " + kCode);
    Start();
    ExpectStartFails({"Starting VM '" + name_ + "'", Failed("Error starting VM '" + name_ + "'")});
    EXPECT_EQ(CountLog(Log(), "VM '" + name_ + "' started"), 0u);
}

// Waiting for the launch fails: said, but the launch goes on, and the watcher reports RUNNING
// when the machine gets there.
TEST_F(InjectedFailureTest, LaunchWait) {
    CreateMachine(800);
    Install();
    Fault("Progress.WaitForCompletion");
    Start();
    ExpectRunsAndStops({"Starting VM '" + name_ + "'", Failed("Error starting VM '" + name_ + "'")},
                       "poweroff", standin_test::kPoweredOff);
    EXPECT_EQ(CountLog(Log(), "VM '" + name_ + "' started"), 0u);
}

// ---- The stop ----

TEST_F(InjectedFailureTest, Console) {
    CreateMachine();
    Install({{"MaxWaitTimeout", "2000"}});
    ASSERT_TRUE(StartToRunning());
    Fault("Session.Console", false);
    ExpectStopEndsAtBound(Failed("ERROR getting console"));
}

// The stop call itself fails (a save on a full disk, say): said, the session is unlocked, and the
// service does not take the machine for stopped: it powers it off at the bound.
TEST_F(InjectedFailureTest, PowerDown) {
    CreateMachine();
    Install({{"MaxWaitTimeout", "2000"}});
    ASSERT_TRUE(StartToRunning());
    Fault("Console.PowerDown");
    ExpectStopEndsAtBound(Failed("ERROR stopping VM '" + name_ + "'"));
    EXPECT_TRUE(InOrder(Journal(), {"Console.PowerDown", "Session.UnlockMachine"}));
}

TEST_F(InjectedFailureTest, SaveState) {
    CreateMachine();
    Install({{"ShutdownCommand", "savestate"}, {"MaxWaitTimeout", "2000"}});
    ASSERT_TRUE(StartToRunning());
    Fault("Machine.SaveState");
    method_ = "savestate";
    ExpectStopEndsAtBound(Failed("ERROR stopping VM '" + name_ + "'"));
}

// Waiting for the power-off fails: said with the method, and the service ends.
TEST_F(InjectedFailureTest, PowerDownWait) {
    CreateMachine();
    Install();
    ASSERT_TRUE(StartToRunning());
    Fault("Progress.WaitForCompletion");
    ExpectRunsAndStops({Failed("ERROR stopping (poweroff) VM '" + name_ + "'")}, "poweroff",
                       standin_test::kPoweredOff);
}

// A later VirtualBox release, whose interface ids differ from 5.0's, still answers IDispatch, and
// the service works through that.
TEST_F(InjectedFailureTest, ChangedInterfaceId) {
    standin_test::UseRelease("6.1");
    CreateMachine();
    Install();
    Start();
    ExpectRunsAndStops({"VirtualBox Interface v6.1.50 initialized", "VM '" + name_ + "' started"},
                       "poweroff", standin_test::kPoweredOff);
    std::vector<std::string> log = Log();
    EXPECT_EQ(CountLog(log, "ERROR") + CountLog(log, "Error"), 0u);
}

}  // namespace
}  // namespace machine_test
