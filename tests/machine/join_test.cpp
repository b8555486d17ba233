// A machine that already runs is joined, one that is going down is refused, and a start that
// cannot find its machine or VirtualBox's front-end ends the service with its error.
#include "tests/machine/machine_fixture.h"

namespace machine_test {
namespace {

using standin_test::InOrder;
using standin_test::MachineState;
using testsupport::Describe;

class JoinTest : public MachineTest {
protected:
    // Starts the service on a machine that is up (started outside, in state), and checks the
    // join: the log line with the VM process's id, a Shared lock and no launch, START_PENDING
    // with checkpoints 1 and 2, then RUNNING within a second of the lock, the machine untouched.
    void ExpectJoined(LONG state) {
        std::string vmPid = MachineInfo("SessionPID");
        Start();
        ASSERT_TRUE(journal_->WaitFor("Machine.LockMachine", name_));
        EXPECT_TRUE(WaitForReport(SERVICE_RUNNING, 1000))
            << "no RUNNING within a second of the lock" << Describe(Reports());
        EXPECT_EQ(MachineState(name_), state);

        std::string sequence = Sequence(Reports());
        EXPECT_NE(sequence.find("START_PENDING:1 START_PENDING:2 RUNNING:0"), std::string::npos)
            << sequence;
        std::vector<JournalEntry> journal = Journal();
        EXPECT_EQ(CountCalls(journal, "Machine.LaunchVMProcess"), 0u);
        EXPECT_EQ(CountCalls(journal, "Machine.LockMachine"), 1u);
        for (const JournalEntry& entry : journal) {
            if (entry.member == "Machine.LockMachine") {
                EXPECT_EQ(entry.args, "Session, 1") << "a Shared lock";
                EXPECT_EQ(entry.result, S_OK);
            }
        }
        std::vector<std::string> log = Log();
        EXPECT_TRUE(LogContains(log, "VM '" + name_ + "' is already running (pid=" + vmPid +
                                         "), using existing session"));
        EXPECT_EQ(CountLog(log, "Starting VM"), 0u);
    }
};

// A Running machine is joined; the later stop uses the configured method on the joined session.
TEST_F(JoinTest, RunningMachine) {
    CreateMachine();
    SetAcpi("200");
    Install({{"ShutdownCommand", "acpipowerbutton"}});
    LaunchOutside();
    ExpectJoined(standin_test::kRunning);

    Statuses statuses = Stop();
    ExpectStopReports(statuses, kMaxWaitTimeout);
    EXPECT_EQ(MachineState(name_), standin_test::kPoweredOff);
    EXPECT_TRUE(InOrder(Journal(), {"Machine.LockMachine", "Session.Console", "Console.PowerButton",
                                    "Session.UnlockMachine"}));
    EXPECT_TRUE(LogContains(Log(), "VM '" + name_ + "' stopped (acpipowerbutton)"));
}

// A Paused machine is joined as it is (not resumed), and saved by the stop.
TEST_F(JoinTest, PausedMachine) {
    CreateMachine();
    Install({{"ShutdownCommand", "savestate"}});
    LaunchOutside();
    ControlOutside("pause");
    ASSERT_TRUE(standin_test::WaitForMachineState(name_, standin_test::kPaused));
    ExpectJoined(standin_test::kPaused);

    Statuses statuses = Stop();
    ExpectStopReports(statuses, kMaxWaitTimeout);
    EXPECT_EQ(MachineState(name_), standin_test::kSaved);
    EXPECT_TRUE(InOrder(Journal(), {"Machine.LockMachine", "Session.Machine", "Machine.SaveState",
                                    "Session.UnlockMachine"}));
    EXPECT_TRUE(LogContains(Log(), "VM '" + name_ + "' stopped (savestate)"));
}

class RefuseTest : public MachineTest {
protected:
    // The service's start must end at once with the service-specific error: START_PENDING
    // with checkpoints 1 and 2, then STOPPED with 1066 / 0x80800001, and the log line.
    void ExpectRefused(const std::string& line) {
        Statuses statuses = WaitStopped();
        ExpectStoppedWith(statuses, ERROR_SERVICE_SPECIFIC_ERROR, 0x80800001);
        EXPECT_EQ(States(statuses), "START_PENDING STOPPED") << Sequence(statuses);
        EXPECT_NE(Sequence(statuses).find("START_PENDING:1 START_PENDING:2 STOPPED:0"),
                  std::string::npos)
            << Sequence(statuses);
        EXPECT_TRUE(LogContains(Log(), line));
        std::vector<JournalEntry> journal = Journal();
        EXPECT_EQ(CountCalls(journal, "Machine.LaunchVMProcess"), 0u);
        EXPECT_EQ(CountCalls(journal, "Machine.LockMachine"), 0u);
    }

    // Starts the service while a stop or save of the running machine, made outside with
    // VBoxManage controlvm, is under way (the machine is in state).
    void StartWhileGoingDown(const std::string& action, LONG state) {
        Install();
        LaunchOutside();
        HANDLE outside = ControlOutsideAsync(action);
        EXPECT_TRUE(standin_test::WaitForMachineState(name_, state, 3000));
        Start();
        ExpectRefused("ERROR starting VM '" + name_ + "' because it is stopping");
        EXPECT_EQ(MachineState(name_), state) << "the service left the machine alone";
        WaitForSingleObject(outside, 10000);
        CloseHandle(outside);
    }
};

TEST_F(RefuseTest, StoppingMachine) {
    CreateMachine(300, 4000);
    StartWhileGoingDown("poweroff", standin_test::kStopping);
}

TEST_F(RefuseTest, SavingMachine) {
    CreateMachine(300, 200, 4000);
    StartWhileGoingDown("savestate", standin_test::kSaving);
}

// VmName names no registered machine: said at the connection and again at the start.
TEST_F(RefuseTest, UnregisteredVmName) {
    Install();
    Start();
    std::string line = "ERROR: Could not find registered VM '" + name_ + "'";
    ExpectRefused(line);
    EXPECT_EQ(CountLog(Log(), line), 2u);
    std::vector<JournalEntry> journal = Journal();
    EXPECT_EQ(CountCalls(journal, "VirtualBox.FindMachine"), 2u);
    for (const JournalEntry& entry : journal) {
        if (entry.member == "VirtualBox.FindMachine") {
            EXPECT_EQ(entry.result, standin_test::kObjectNotFound);
        }
    }
}

// VboxInstallPath without VBoxHeadless.exe: found before the start asks VirtualBox anything
// about the machine (the connection has looked it up and read its id, and nothing follows).
TEST_F(RefuseTest, MissingVBoxHeadless) {
    CreateMachine();
    Install({{"VboxInstallPath", folder_->Path()}});
    Start();
    ExpectRefused(
        "ERROR: Can't find VBoxHeadless executable. Check your VboxInstallPath option in " +
        service_->IniPath());
    std::vector<std::string> machineCalls;
    for (const JournalEntry& entry : Journal()) {
        if (entry.member.compare(0, 8, "Session.") != 0) {
            machineCalls.push_back(entry.member);
        }
    }
    EXPECT_EQ(machineCalls, std::vector<std::string>({"VirtualBox.FindMachine", "Machine.Id"}));
    EXPECT_EQ(MachineState(name_), standin_test::kPoweredOff);
}

}  // namespace
}  // namespace machine_test
