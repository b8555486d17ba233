// A machine launched by the service and stopped by each method, the stop's reports, and a stop
// that comes while the machine is still being launched.
#include "tests/machine/machine_fixture.h"

namespace machine_test {
namespace {

using standin_test::InOrder;
using standin_test::MachineState;
using testsupport::Describe;

class StartStopTest : public MachineTest {
protected:
    // Stops the running service by the configured method and checks what every stop shows:
    // the log lines, the stop call on the session's console (or machine) between the session's
    // machine and its unlock, and the state the machine is left in.
    void StopBy(const std::string& method, const std::string& call, LONG finalState) {
        Statuses statuses = Stop();
        ExpectStopReports(statuses, kMaxWaitTimeout);
        EXPECT_EQ(MachineState(name_), finalState);
        std::vector<std::string> stopLines = {"Stopping (" + method + ") VM '" + name_ + "'"};
        if (method.compare(0, 4, "acpi") == 0) {
            stopLines.push_back("VM '" + name_ + "' was sent a stop signal (" + method + ")");
        }
        stopLines.push_back("VM '" + name_ + "' stopped (" + method + ")");
        stopLines.push_back("Closing VirtualBox interface");
        ExpectLogInOrder(Log(), stopLines);
        std::vector<JournalEntry> journal = Journal();
        EXPECT_TRUE(
            InOrder(journal, {"Session.Machine", "Session.Console", call, "Session.UnlockMachine"}))
            << testing::PrintToString(standin_test::Members(journal));
        EXPECT_EQ(CountCalls(journal, call), 1u);
    }
};

// The first start of a powered-off machine: START_PENDING with checkpoints 1 (the service) and
// 2 (the link is open), then RUNNING once the machine runs; the machine is launched headless and
// waited for, and the stop powers it off with checkpoints going on from 3.
TEST_F(StartStopTest, FreshLaunchThenPowerOff) {
    CreateMachine();
    Install({{"ShutdownCommand", "poweroff"}});
    ASSERT_TRUE(StartToRunning());
    EXPECT_EQ(MachineState(name_), standin_test::kRunning);
    StopBy("poweroff", "Console.PowerDown", standin_test::kPoweredOff);

    Statuses statuses = Reports();
    std::string sequence = Sequence(statuses);
    EXPECT_NE(sequence.find("START_PENDING:1 START_PENDING:2 RUNNING:0 STOP_PENDING:"),
              std::string::npos)
        << sequence;
    EXPECT_EQ(States(statuses), "START_PENDING RUNNING STOP_PENDING STOPPED");
    // The stop's checkpoints go on from the start's; the handler's report and the heartbeat's
    // first come within a millisecond, so the recorder may see only the second.
    size_t stop = sequence.find("STOP_PENDING:");
    ASSERT_NE(stop, std::string::npos);
    std::string first = sequence.substr(stop, sequence.find(' ', stop) - stop);
    EXPECT_TRUE(first == "STOP_PENDING:3" || first == "STOP_PENDING:4") << sequence;

    std::vector<std::string> log = Log();
    ExpectLogInOrder(log,
                     {"Kelvaran Service v" KELVARAN_VERSION4 " (x64) started",
                      "Initializing VirtualBox interface", "Using VBOX_USER_HOME: " + GroupHome(),
                      "VirtualBox Interface v5.0.40 initialized", "Starting VM '" + name_ + "'",
                      "VM '" + name_ + "' started"});
    EXPECT_EQ(CountLog(log, "ERROR") + CountLog(log, "Error"), 0u);

    std::vector<JournalEntry> journal = Journal();
    EXPECT_TRUE(InOrder(
        journal, {"VirtualBox.FindMachine", "Machine.Id", "VirtualBox.FindMachine", "Machine.State",
                  "Machine.LaunchVMProcess", "Progress.WaitForCompletion", "Progress.ResultCode"}))
        << testing::PrintToString(standin_test::Members(journal));
    EXPECT_EQ(CountCalls(journal, "Machine.LaunchVMProcess"), 1u);
    EXPECT_EQ(CountCalls(journal, "Machine.LockMachine"), 0u);
    for (const JournalEntry& entry : journal) {
        if (entry.member == "Machine.LaunchVMProcess") {
            EXPECT_EQ(entry.args, "Session, \"headless\", \"\"");
        } else if (entry.member == "Progress.WaitForCompletion") {
            // The launch's and the stop's waits are bounded by (what is left of) MaxWaitTimeout.
            long bound = std::stol(entry.args);
            EXPECT_GT(bound, 0);
            EXPECT_LE(bound, static_cast<long>(kMaxWaitTimeout));
        }
    }
    // The passive listener for state changes, registered once.
    std::vector<JournalEntry> all = WholeJournal();
    EXPECT_EQ(CountCalls(all, "EventSource.RegisterListener"), 1u);
    for (const JournalEntry& entry : all) {
        if (entry.member == "EventSource.RegisterListener") {
            EXPECT_EQ(entry.args, "EventListener, [32], 0");
        }
    }
}

// A one-time savestate saves the machine and is removed from the INI file, ShutdownCommand
// staying; the next run restores the saved machine by launching it, and stops by ShutdownCommand.
TEST_F(StartStopTest, ShutdownOnceSavesThenNextRunRestores) {
    CreateMachine();
    SetAcpi("200");
    Install({{"ShutdownOnceCommand", "savestate"}, {"ShutdownCommand", "acpipowerbutton"}});
    ASSERT_TRUE(StartToRunning());
    StopBy("savestate", "Machine.SaveState", standin_test::kSaved);
    char value[64] = "";
    GetPrivateProfileStringA("Kelvaran", "ShutdownOnceCommand", "(none)", value, sizeof value,
                             service_->IniPath().c_str());
    EXPECT_STREQ(value, "(none)");
    GetPrivateProfileStringA("Kelvaran", "ShutdownCommand", "(none)", value, sizeof value,
                             service_->IniPath().c_str());
    EXPECT_STREQ(value, "acpipowerbutton");

    size_t logMark = Log().size();
    ASSERT_TRUE(StartToRunning());
    std::vector<JournalEntry> journal = Journal();
    EXPECT_TRUE(InOrder(journal, {"Machine.State", "Machine.LaunchVMProcess"}));
    for (const JournalEntry& entry : journal) {
        if (entry.member == "Machine.State") {
            EXPECT_EQ(entry.value, "2") << "the start found the machine saved";
            break;
        }
    }
    // The service may report RUNNING before its watcher has read the change into Running.
    std::vector<std::string> states;
    for (ULONGLONG end = GetTickCount64() + 2000; states.size() < 2 && GetTickCount64() < end;) {
        states.clear();
        for (const JournalEntry& entry : Journal()) {
            if (entry.member == "MachineStateChangedEvent.State") {
                states.push_back(entry.value);
            }
        }
        Sleep(50);
    }
    EXPECT_EQ(states, std::vector<std::string>({"13", "5"})) << "Restoring, then Running";
    StopBy("acpipowerbutton", "Console.PowerButton", standin_test::kPoweredOff);
    std::vector<std::string> log = Log();
    ExpectLogInOrder(
        std::vector<std::string>(log.begin() + static_cast<std::ptrdiff_t>(logMark), log.end()),
        {"Starting VM '" + name_ + "'", "VM '" + name_ + "' started"});
    std::string sequence = Sequence(Reports());
    EXPECT_NE(sequence.find("START_PENDING:1 START_PENDING:2 RUNNING:0"), std::string::npos)
        << "a new process numbers from 1 again: " << sequence;
}

// The sleep button: the guest reacts by shutting down, which the service waits for.
TEST_F(StartStopTest, AcpiSleepButton) {
    CreateMachine();
    SetAcpi("200");
    Install({{"ShutdownCommand", "acpisleepbutton"}});
    ASSERT_TRUE(StartToRunning());
    StopBy("acpisleepbutton", "Console.SleepButton", standin_test::kPoweredOff);
}

// A slow power-off: STOP_PENDING every second with growing checkpoints, all with the
// MaxWaitTimeout written into the INI file while the service ran, then STOPPED after the
// machine is off and the pause. Below level 3 the log holds the machine's life and no detail.
TEST_F(StartStopTest, HeartbeatOverSlowPowerOff) {
    CreateMachine(300, 3000);
    Install({{"MaxWaitTimeout", "7000"}, {"Loglevel", "2"}});
    testsupport::RemoveFile(service_->LogPath());
    ASSERT_TRUE(StartToRunning());
    service_->WriteIni(Ini({{"MaxWaitTimeout", "9000"}, {"Loglevel", "2"}}));

    ULONGLONG took = 0;
    Statuses statuses = Stop(&took);
    ExpectStopReports(statuses, 9000, 3);
    EXPECT_GE(took, 3000u + 500u - 50u) << "the power-off and the pause";
    EXPECT_EQ(MachineState(name_), standin_test::kPoweredOff);
    EXPECT_EQ(Log(),
              std::vector<std::string>({"Starting VM '" + name_ + "'", "VM '" + name_ + "' started",
                                        "Stopping (poweroff) VM '" + name_ + "'",
                                        "VM '" + name_ + "' stopped (poweroff)"}));
}

// A stop while the machine is still being launched waits for the launch, then is served: the
// machine that came up is powered off and the service ends with exit code 0. Once the stop is
// reported the service never reports RUNNING again, whichever thread sees the machine up first,
// and the heartbeat carries the stop to its end.
TEST_F(StartStopTest, StopDuringStart) {
    CreateMachine(1500);
    SetAcpi("2500");
    // The bound counts from the stop request, made during the launch: room for a slow host.
    Install({{"ShutdownCommand", "acpipowerbutton"}, {"MaxWaitTimeout", "15000"}});
    Start();
    ASSERT_TRUE(journal_->WaitFor("Machine.LaunchVMProcess", name_));
    EXPECT_EQ(SendStop(), 0u) << "Wine's manager lets a stop through to a starting service";
    Statuses statuses = WaitStopped();
    EXPECT_EQ(States(statuses), "START_PENDING STOP_PENDING STOPPED") << Sequence(statuses);
    ExpectStopReports(statuses, 15000, 3);
    EXPECT_EQ(MachineState(name_), standin_test::kPoweredOff);
    EXPECT_TRUE(InOrder(Journal(), {"Machine.LaunchVMProcess", "Progress.WaitForCompletion",
                                    "Console.PowerButton", "Session.UnlockMachine"}));
    ExpectLogInOrder(Log(),
                     {"VM '" + name_ + "' started", "Stopping (acpipowerbutton) VM '" + name_ + "'",
                      "VM '" + name_ + "' stopped (acpipowerbutton)"});
}

}  // namespace
}  // namespace machine_test
