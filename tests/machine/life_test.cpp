// The machine's own life while the service supervises it, followed by the state watcher: the
// guest's own shutdown, a crash, pause and resume, other machines, VirtualBox's server going
// away, and the ACPI stop that waits for the guest.
#include "tests/machine/machine_fixture.h"

namespace machine_test {
namespace {

using standin_test::InOrder;
using standin_test::MachineState;
using testsupport::Describe;

class MachineLifeTest : public MachineTest {
protected:
    // The values of the state-change events the service's watcher read for machine.
    std::vector<std::string> StatesRead(const std::string& machine) const {
        std::vector<std::string> states;
        for (const JournalEntry& entry : WholeJournal()) {
            if (entry.member == "MachineStateChangedEvent.State" && entry.machine == machine) {
                states.push_back(entry.value);
            }
        }
        return states;
    }

    // The service ended by itself, without a stop request: no STOP_PENDING of a stop (those of
    // the watcher for Stopping carry no wait hint), STOPPED with the exit code of the ending (0,
    // or 1066 with the code of a crash that Windows may restart the service after), no stop call.
    void ExpectEndedByItself(const Statuses& statuses, DWORD specific = 0) {
        ExpectStoppedWith(statuses, specific != 0 ? ERROR_SERVICE_SPECIFIC_ERROR : 0, specific);
        for (const SERVICE_STATUS_PROCESS& status : statuses) {
            EXPECT_EQ(status.dwWaitHint, 0u) << Describe(statuses);
        }
        std::vector<JournalEntry> journal = Journal();
        EXPECT_EQ(CountCalls(journal, "Session.Console"), 0u);
        EXPECT_EQ(CountLog(Log(), "Stopping ("), 0u);
    }
};

// The guest shuts down by itself (here after a button pressed with VirtualBox's own tool): the
// service logs the machine as stopped, naming the configured method it did not use.
TEST_F(MachineLifeTest, GuestShutsDownByItself) {
    CreateMachine();
    SetAcpi("200");
    Install();
    ASSERT_TRUE(StartToRunning());
    ControlOutside("acpipowerbutton");
    Statuses statuses = WaitStopped();
    ExpectEndedByItself(statuses);
    EXPECT_EQ(States(statuses), "START_PENDING RUNNING STOP_PENDING STOPPED") << Sequence(statuses);
    EXPECT_EQ(MachineState(name_), standin_test::kPoweredOff);
    EXPECT_TRUE(LogContains(Log(), "VM '" + name_ + "' stopped (poweroff)"));
}

// The VM process is killed: the machine is Aborted, and so is the service's supervision.
TEST_F(MachineLifeTest, KilledVmProcess) {
    CreateMachine();
    Install();
    ASSERT_TRUE(StartToRunning());
    standin_test::Ctl("kill \"" + name_ + "\"");
    Statuses statuses = WaitStopped();
    ExpectEndedByItself(statuses, 0x80800002);
    EXPECT_EQ(States(statuses), "START_PENDING RUNNING STOPPED") << Sequence(statuses);
    EXPECT_EQ(MachineState(name_), standin_test::kAborted);
    std::vector<std::string> log = Log();
    EXPECT_TRUE(LogContains(log, "VM '" + name_ + "' was aborted"));
    EXPECT_EQ(CountLog(log, "VM '" + name_ + "' stopped"), 0u);
}

// Pausing changes nothing the manager sees; resuming is followed as well, and the service
// still stops the machine afterwards.
TEST_F(MachineLifeTest, PauseAndResume) {
    CreateMachine();
    Install();
    ASSERT_TRUE(StartToRunning());
    size_t reports = Reports().size();
    ControlOutside("pause");
    ControlOutside("resume");
    ASSERT_TRUE(standin_test::WaitForMachineState(name_, standin_test::kRunning));
    Sleep(700);  // one poll of the watcher
    EXPECT_EQ(Reports().size(), reports) << Describe(Reports());
    EXPECT_EQ(StatesRead(name_), std::vector<std::string>({"10", "5", "6", "5"}))
        << "Starting, Running, Paused, Running";

    Statuses statuses = Stop();
    ExpectStopReports(statuses, kMaxWaitTimeout);
    EXPECT_EQ(MachineState(name_), standin_test::kPoweredOff);
}

// Another machine starts and crashes beside the test's: the service's watcher looks at whose
// events they are and goes no further; its own machine and status are untouched.
TEST_F(MachineLifeTest, OtherMachinesEventsIgnored) {
    std::string other = name_ + "-other";
    standin_test::CreateMachine(other);
    CreateMachine();
    Install();
    ASSERT_TRUE(StartToRunning());
    size_t reports = Reports().size();
    testsupport::ProcessResult result =
        standin_test::VBoxManage("startvm \"" + other + "\" --type headless");
    EXPECT_EQ(result.exitCode, 0u) << result.output;
    standin_test::Ctl("kill \"" + other + "\"");
    EXPECT_TRUE(standin_test::WaitForMachineState(other, standin_test::kAborted));
    Sleep(700);  // one poll of the watcher

    EXPECT_EQ(Reports().size(), reports) << Describe(Reports());
    SERVICE_STATUS_PROCESS status{};
    EXPECT_EQ(testsupport::QueryStatus(service_->Name(), &status), 0u);
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(MachineState(name_), standin_test::kRunning);
    size_t idsRead = 0;
    for (const JournalEntry& entry : WholeJournal()) {
        idsRead += entry.member == "MachineStateChangedEvent.MachineId" && entry.machine == other;
    }
    EXPECT_GE(idsRead, 3u) << "Starting, Running and Aborted of the other machine";
    EXPECT_TRUE(StatesRead(other).empty());

    Statuses statuses = Stop();
    ExpectStopReports(statuses, kMaxWaitTimeout);
    EXPECT_TRUE(LogContains(Log(), "VM '" + name_ + "' stopped (poweroff)"));
    standin_test::RemoveMachine(other);
}

// VirtualBox's server is killed under the running service: the watcher's poll finds the
// connection gone, and the service ends at once as for an aborted machine, with no thread
// spinning meanwhile.
TEST_F(MachineLifeTest, VBoxSvcKilledWhileRunning) {
    CreateMachine();
    Install();
    ASSERT_TRUE(StartToRunning());
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | SYNCHRONIZE, FALSE, ServicePid());
    ASSERT_NE(process, nullptr);
    FILETIME created, exited, kernel, user;
    GetProcessTimes(process, &created, &exited, &kernel, &user);
    auto cpuMs = [&] {
        ULARGE_INTEGER k = {{kernel.dwLowDateTime, kernel.dwHighDateTime}};
        ULARGE_INTEGER u = {{user.dwLowDateTime, user.dwHighDateTime}};
        return (k.QuadPart + u.QuadPart) / 10000;
    };
    ULONGLONG cpuBefore = cpuMs();

    ULONGLONG killedAt = GetTickCount64();
    standin_test::KillVBoxSvc();
    Statuses statuses = WaitStopped(10000);
    EXPECT_EQ(WaitForSingleObject(process, 5000), WAIT_OBJECT_0) << "the service process ends";
    ULONGLONG took = GetTickCount64() - killedAt;
    GetProcessTimes(process, &created, &exited, &kernel, &user);
    ULONGLONG cpuUsed = cpuMs() - cpuBefore;
    CloseHandle(process);

    ExpectEndedByItself(statuses, 0x80800003);
    EXPECT_EQ(States(statuses), "START_PENDING RUNNING STOPPED") << Sequence(statuses);
    EXPECT_LT(cpuUsed, took / 2) << "CPU time of the service after the kill, over " << took
                                 << " ms";
    std::vector<std::string> log = Log();
    EXPECT_EQ(CountLog(log, "ERROR: lost the connection to VirtualBox (0x"), 1u);
    ExpectLogInOrder(log, {"VM '" + name_ + "' was aborted", "Closing VirtualBox interface"});
}

// The failing polls of a watcher whose server answers with errors are spaced out; after ten the
// watcher gives up, and the service reads the state itself: a power-off from outside still ends
// it.
TEST_F(MachineLifeTest, FailingPollsPauseThenTheServiceReadsTheState) {
    CreateMachine();
    standin_test::Ctl("fault set EventSource.GetEvent 0x80004005 always");
    Install();
    ASSERT_TRUE(StartToRunning());
    journal_->Mark();
    Sleep(2000);
    size_t failed = 0;
    for (const JournalEntry& entry : WholeJournal()) {
        failed += entry.member == "EventSource.GetEvent" && entry.result == E_FAIL;
    }
    EXPECT_GE(failed, 2u);
    EXPECT_LE(failed, 6u) << "a failed poll pauses 500 ms";
    for (int wait = 0; wait < 100 && CountLog(Log(), "ERROR: the machine state watcher") == 0;
         ++wait) {
        Sleep(100);
    }
    ASSERT_TRUE(LogContains(Log(),
                            "ERROR: the machine state watcher gave up after 10 failed "
                            "polls (0x80004005)"));
    standin_test::Ctl("fault clear");

    ControlOutside("poweroff");
    Statuses statuses = WaitStopped(10000);
    ExpectEndedByItself(statuses);
    EXPECT_TRUE(LogContains(Log(), "VM '" + name_ + "' stopped (poweroff)"));
}

class AcpiStopTest : public MachineTest {};

// The ACPI stop waits for the guest to shut down, with the heartbeat going on, and ends once
// the machine is off.
TEST_F(AcpiStopTest, WaitsForGuest) {
    CreateMachine();
    SetAcpi("2000");
    Install({{"ShutdownCommand", "acpipowerbutton"}});
    ASSERT_TRUE(StartToRunning());
    ULONGLONG took = 0;
    Statuses statuses = Stop(&took);
    ExpectStopReports(statuses, kMaxWaitTimeout, 2);
    EXPECT_GE(took, 2000u + 500u - 50u) << "the guest's shutdown and the pause";
    EXPECT_EQ(MachineState(name_), standin_test::kPoweredOff);
    ExpectLogInOrder(Log(), {"Stopping (acpipowerbutton) VM '" + name_ + "'",
                             "VM '" + name_ + "' was sent a stop signal (acpipowerbutton)",
                             "VM '" + name_ + "' stopped (acpipowerbutton)"});
    std::vector<JournalEntry> journal = WholeJournal();
    std::vector<std::string> order;
    for (const JournalEntry& entry : journal) {
        if (entry.member == "Console.PowerButton" ||
            entry.member == "EventSource.UnregisterListener" ||
            (entry.member == "MachineStateChangedEvent.State" && entry.value == "1")) {
            order.push_back(entry.member);
        }
    }
    EXPECT_EQ(order,
              std::vector<std::string>({"Console.PowerButton", "MachineStateChangedEvent.State",
                                        "EventSource.UnregisterListener"}))
        << "the link is closed after the machine is off";
}

// A guest that ignores the button: when MaxWaitTimeout has passed since the stop request the
// service says so and powers the machine off, so that a host shutdown does not cut it off.
TEST_F(AcpiStopTest, IgnoredButtonEndsAtBound) {
    CreateMachine();
    SetAcpi("ignore");
    Install({{"ShutdownCommand", "acpipowerbutton"}, {"MaxWaitTimeout", "2000"}});
    ASSERT_TRUE(StartToRunning());
    ULONGLONG took = 0;
    Statuses statuses = Stop(&took);
    ExpectStopReports(statuses, 2000, 2);
    EXPECT_GE(took, 2000u + 500u - 50u);
    EXPECT_EQ(MachineState(name_), standin_test::kPoweredOff);
    std::vector<std::string> log = Log();
    ExpectLogInOrder(
        log, {"VM '" + name_ + "' was sent a stop signal (acpipowerbutton)",
              "ERROR: VM '" + name_ + "' did not stop (acpipowerbutton) within 2000 ms",
              "VM '" + name_ + "' powered off as the last resort", "Closing VirtualBox interface"});
    EXPECT_EQ(CountLog(log, "VM '" + name_ + "' stopped"), 0u);
}

}  // namespace
}  // namespace machine_test
