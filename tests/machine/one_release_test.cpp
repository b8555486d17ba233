// What does not depend on the VirtualBox release, in 7.0 groups of their own: VirtualBox calls that
// fail, stops that fail or never end, the machine's and VirtualBox's own ends, the stop's reports,
// the one-time stop method, a server of another home, and the pipes of running services.
#include "tests/machine/fixture.h"

#include <algorithm>
#include <sstream>
#include <thread>

namespace machine_test {
namespace {

const char kCode[] = "0x80004005";

enum class Ending { StartFails, Stops, PoweredOffAtBound, EndsAtBound };

struct Failure {
    const char* name;
    // standin-ctl commands before the start, ';' between, '%' the machine ("start": VirtualBox's
    // own tool starts it); after '|', those made once the service runs, before its stop.
    const char* setup;
    const char* method;
    Ending ending;
    // The failure's own lines in the log, '\n' between, '%' the machine; the ending's follow.
    const char* lines;
    LONG after;
};

// Each failure is logged with its code where it happens; the service goes on, or ends, as its
// place in the start or the stop demands. No stop that failed is taken for a stop: the machine
// is powered off when MaxWaitTimeout has passed since the stop request, or said not to be.
const Failure kFailures[] = {
    {"Version", "fault set VirtualBox.Version 0x80004005 once", "poweroff", Ending::Stops,
     "ERROR initializing VirtualBox interface\n% started", kPoweredOff},
    {"MachineId", "fault set Machine.Id 0x80004005 once %", "poweroff", Ending::StartFails,
     "ERROR retrieving machine ID (0x80004005)\nError starting % (0x80070057)", kPoweredOff},
    {"SessionCreation", "fault set Session.Create 0x80004005 once", "poweroff", Ending::StartFails,
     "ERROR creating session instance (0x80004005)\nError starting % (0x80070057)", kPoweredOff},
    {"EventSource", "fault set VirtualBox.EventSource 0x80004005 once", "savestate", Ending::Stops,
     "Error getting event source interface (0x80004005)", kSaved},
    {"ListenerRegistration", "fault set EventSource.RegisterListener 0x80004005 once",
     "acpipowerbutton", Ending::Stops, "Error registering event listener (0x80004005)",
     kPoweredOff},
    {"Launch", "fault set Machine.LaunchVMProcess 0x80004005 once %", "poweroff",
     Ending::StartFails, "Starting %\nError starting % (0x80004005)", kPoweredOff},
    {"LaunchResult", "launch-result % 0x80004005", "poweroff", Ending::StartFails,
     "Starting %\nError starting % (0x80004005)", kPoweredOff},
    {"LaunchWait", "fault set Progress.WaitForCompletion 0x80004005 once %", "poweroff",
     Ending::Stops, "Error starting % (0x80004005)", kPoweredOff},
    {"LaunchNeverCompletes", "durations % -1 200 200", "poweroff", Ending::StartFails,
     "Starting %\nError starting % (0x800705b4)", kPoweredOff},
    {"JoinWithoutMachineId", "start;fault set Machine.Id 0x80004005 once %", "poweroff",
     Ending::StartFails, "ERROR retrieving machine ID (0x80004005)\nError starting % (0x80004003)",
     kRunning},
    {"Lock", "start;fault set Machine.LockMachine 0x80004005 once %", "poweroff",
     Ending::PoweredOffAtBound, "Error getting a machine lock (0x80004005)", kPoweredOff},
    {"Console", "|fault set Session.Console 0x80004005 once", "poweroff", Ending::PoweredOffAtBound,
     "ERROR getting console (0x80004005)", kPoweredOff},
    {"PowerDown", "|fault set Console.PowerDown 0x80004005 once %", "poweroff",
     Ending::PoweredOffAtBound, "ERROR stopping % (0x80004005)", kPoweredOff},
    {"SaveFails", "|save-result % 0x80004005", "savestate", Ending::PoweredOffAtBound,
     "ERROR stopping (savestate) % (0x80004005)", kPoweredOff},
    {"ButtonIgnored", "acpi % both ignore", "acpipowerbutton", Ending::PoweredOffAtBound,
     "% was sent a stop signal (acpipowerbutton)", kPoweredOff},
    {"PowerOffNeverCompletes", "durations % 300 -1 200", "poweroff", Ending::EndsAtBound,
     "ERROR stopping (poweroff) % (0x800705b4)", kStopping},
    {"PowerOffWait", "|fault set Progress.WaitForCompletion 0x80004005 once %", "poweroff",
     Ending::Stops, "ERROR stopping (poweroff) % (0x80004005)", kPoweredOff},
};

class OneRelease : public MachineTest, public testing::WithParamInterface<Failure> {
protected:
    // Runs the ';'-separated commands of text with '%' replaced by the machine.
    void Run(const std::string& text) {
        for (size_t at = 0; at < text.size();) {
            size_t end = std::min(text.find(';', at), text.size());
            std::string command = Subst(text.substr(at, end - at), name_);
            if (command == "start") {
                Outside("start");
                ASSERT_TRUE(WaitForMachineState(name_, kRunning));
            } else {
                Ctl(command);
            }
            at = end + 1;
        }
    }
    static std::string Subst(std::string text, const std::string& by) {
        for (size_t at = 0; (at = text.find('%', at)) != std::string::npos; at += by.size()) {
            text.replace(at, 1, by);
        }
        return text;
    }
};

TEST_P(OneRelease, Failures) {
    const Failure& row = GetParam();
    bool bound = row.ending == Ending::PoweredOffAtBound || row.ending == Ending::EndsAtBound ||
                 std::string(row.name) == "LaunchNeverCompletes";
    std::string setup = row.setup;
    size_t bar = std::min(setup.find('|'), setup.size());
    CreateMachine();
    Ctl("acpi " + name_ + " both 200");
    Install({{"ShutdownCommand", row.method},
             {"MaxWaitTimeout", std::to_string(bound ? kShortWait : kMaxWaitTimeout)}});
    ASSERT_NO_FATAL_FAILURE(Run(setup.substr(0, bar)));
    Start();
    std::string lines = row.lines;
    if (row.ending == Ending::StartFails) {
        Statuses statuses = WaitStopped(45000);  // a launch is given 30 s at least
        ExpectStoppedWith(statuses, ERROR_SERVICE_SPECIFIC_ERROR, 0x80800001);
        EXPECT_EQ(States(statuses), "START_PENDING STOPPED");
    } else {
        ASSERT_TRUE(WaitFor(SERVICE_RUNNING)) << Describe(Reports());
        Run(bar < setup.size() ? setup.substr(bar + 1) : "");
        ULONGLONG took = 0;
        ExpectStopReports(Stop(&took), bound ? kShortWait : kMaxWaitTimeout, bound ? 2 : 1);
        std::string method = row.method;
        if (!bound) {
            lines += "\n% stopped (" + method + ")";
        } else {
            EXPECT_GE(took, kShortWait + 500 - 50) << "the bound, then the pause";
            EXPECT_LT(took, kShortWait + 6000);
            lines += "\nERROR: % did not stop (" + method + ") within 2000 ms\n" +
                     (row.ending == Ending::EndsAtBound
                          ? "ERROR powering off % as the last resort (0x80bb0002)"
                          : "% powered off as the last resort");
        }
    }
    std::vector<std::string> expected;
    std::istringstream split(Subst(lines, "VM '" + name_ + "'"));
    for (std::string line; std::getline(split, line);) {
        expected.push_back(line);
    }
    std::vector<std::string> log = Log();
    ExpectLogInOrder(log, expected);
    if (bound) {
        EXPECT_EQ(CountLog(log, "VM '" + name_ + "' stopped"), 0u);
    }
    EXPECT_TRUE(WaitForMachineState(name_, row.after));
}

INSTANTIATE_TEST_SUITE_P(Rows, OneRelease, testing::ValuesIn(kFailures), RowName<Failure>);

using OneReleaseLife = MachineTest;

// A start that finds no machine to run ends the service at once with 1066 / 0x80800001: VmName
// names no registered machine (said once, though both the connection and the start look, with the
// home VirtualBox looked in, the machines it has there, and one that differs only in letter case;
// never one that a best fit of the ANSI code page makes of it), VboxInstallPath holds no
// VBoxHeadless.exe (found before VirtualBox is asked about the machine), or the machine is on its
// way down (left alone).
TEST_F(OneReleaseLife, StartsThatFindNoMachineToRun) {
    char home[MAX_PATH] = "";
    GetEnvironmentVariableA("VBOX_USER_HOME", home, sizeof home);
    const std::string wrong[] = {"ghost", "OFFICE", "\u0141ukasz"};
    for (const char* machine : {"office", "lab", "Lukasz"}) {
        testsupport::CreateMachine(machine);
    }
    for (int row = 0; row < 5; ++row) {
        SCOPED_TRACE(row);
        RemoveMachine(name_);
        if (row < 3) {
            Install({{"VmName", wrong[row]}, {"Loglevel", row == 0 ? "0" : "3"}});
        } else {
            // The power-off never completes: the machine stays Stopping, however slow the start.
            CreateMachine(300, -1);
            Install({{"VboxInstallPath", row == 3 ? folder_.Path() : StandinFolder()}});
        }
        DeleteFileA(service_->LogPath().c_str());
        if (row == 4) {
            Ctl("acpi " + name_ + " both 100");
            Outside("start");
            ASSERT_TRUE(WaitForMachineState(name_, kRunning));
            Outside("acpipowerbutton");
            ASSERT_TRUE(WaitForMachineState(name_, kStopping));
        }
        EventRecord events;
        Start();
        Statuses statuses = WaitStopped();
        ExpectStoppedWith(statuses, ERROR_SERVICE_SPECIFIC_ERROR, 0x80800001);
        std::vector<std::string> log = Log();
        // Error events, whatever Loglevel says (0, the file not written, in the first row): one
        // per line, which reads as the event does.
        std::vector<std::string> errors = events.Since();
        errors.erase(
            std::remove_if(errors.begin(), errors.end(), [](auto& e) { return e[0] != '1'; }),
            errors.end());
        EXPECT_EQ(errors, (std::vector<std::string>{
                              row < 3    ? "1 3032: " + wrong[row]
                              : row == 3 ? "1 3038: " + service_->IniPath()
                                         : "1 3044: " + name_,
                              "1 3000: 80800001 | the machine could not be started"}));
        std::vector<JournalEntry> calls = Calls();
        EXPECT_EQ(
            CountCalls(calls, "Machine.LaunchVMProcess") + CountCalls(calls, "Machine.LockMachine"),
            0u);
        if (row == 0) {
            EXPECT_EQ(GetFileAttributesA(service_->LogPath().c_str()), INVALID_FILE_ATTRIBUTES);
        } else if (row < 3) {
            std::vector<std::string> lines = {
                "ERROR: Could not find registered VM '" + wrong[row] + "'",
                "VirtualBox's home folder is " + std::string(home),
                "Machines registered there: 'office', 'lab', 'Lukasz'"};
            if (row == 1) {
                lines.push_back(
                    "Did you mean 'office'? VmName must name the machine exactly, letter case "
                    "included");
            }
            ExpectLogInOrder(log, lines);
            EXPECT_EQ(CountLog(log, "Did you mean"), row == 1 ? 1u : 0u);
            EXPECT_EQ(MachineState("Lukasz"), kPoweredOff);
        } else if (row == 3) {
            EXPECT_EQ(Members(calls), "VirtualBox.FindMachine Machine.Id");
        } else {
            EXPECT_EQ(MachineState(name_), kStopping) << "left alone";
        }
    }
    for (const char* machine : {"office", "lab", "Lukasz"}) {
        RemoveMachine(machine);
    }
}

// The machine ends by itself: a guest that crashed (its VM process killed) and VirtualBox's lost
// server are failures, with codes of their own after which Windows may restart the service;
// a watcher whose polls keep failing gives up after ten, and the service reads the state itself,
// so a power-off from outside still ends it, with exit code 0.
TEST_F(OneReleaseLife, EndsByItself) {
    const struct {
        std::vector<std::string> lines;  // the ending's line, one of these
        DWORD code;
    } rows[] = {
        {{"ERROR: the machine state watcher gave up after 10 failed polls (0x80004005)"}, 0},
        {{"VM '%' was aborted"}, 0x80800002},
        // Which of the two comes depends on whether a call was on its way when the server died.
        {{"ERROR: lost the connection to VirtualBox (0x800706ba)",
          "ERROR: lost the connection to VirtualBox (0x800706be)"},
         0x80800003}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.lines.front());
        CreateMachine();
        Install();
        if (row.code == 0) {
            Ctl("fault set EventSource.GetEvent 0x80004005 always");
        }
        Start();
        ASSERT_TRUE(WaitFor(SERVICE_RUNNING));
        if (row.code == 0x80800002) {
            Ctl("kill " + name_);
        } else if (row.code == 0x80800003) {
            KillVBoxSvc();
        } else {
            ASSERT_TRUE(WaitUntil([&] { return CountLog(Log(), "ERROR: the machine state") > 0; }));
            Ctl("fault clear");
            Outside("poweroff");
        }
        Statuses statuses = WaitStopped();
        ExpectStoppedWith(statuses, row.code != 0 ? ERROR_SERVICE_SPECIFIC_ERROR : 0, row.code);
        if (row.code == 0x80800003) {
            // Its VM process ended with the server; the next server finds it PoweredOff.
            EXPECT_EQ(MachineState(name_), kPoweredOff);
        }
        std::vector<std::string> log = Log();
        std::string ending = row.lines.front();
        for (std::string line : row.lines) {
            size_t at = line.find('%');
            line = at == std::string::npos ? line : line.replace(at, 1, name_);
            ending = CountLog(log, line) != 0 ? line : ending;
        }
        ExpectLogInOrder(log, {ending, "Closing VirtualBox interface"});
    }
}

// A stop while the machine is still being launched waits for the launch, then is served. Once
// the stop is reported the service never reports RUNNING again, whichever thread sees the machine
// up first, and one heartbeat carries the stop to its end. A launch that fails meanwhile ends the
// service with exit code 0 all the same: it was asked to stop, and must not be restarted.
TEST_F(OneReleaseLife, StopDuringStart) {
    for (bool launchFails : {false, true}) {
        SCOPED_TRACE(launchFails ? "the launch fails" : "the launch succeeds");
        RemoveMachine(name_);
        CreateMachine(1500);
        Ctl("acpi " + name_ + " both 2500");
        if (launchFails) {
            Ctl("launch-result " + name_ + " 0x80004005");
        }
        Install({{"ShutdownCommand", "acpipowerbutton"}, {"MaxWaitTimeout", "15000"}});
        Start();
        ASSERT_TRUE(WaitUntil([&] { return CountCalls(Calls(), "Machine.LaunchVMProcess") > 0; }));
        ULONGLONG at = GetTickCount64();
        EXPECT_EQ(ControlByName(service_->Name(), SERVICE_CONTROL_STOP), 0u);
        Statuses statuses = WaitStopped();
        EXPECT_EQ(States(statuses), "START_PENDING STOP_PENDING STOPPED") << Sequence(statuses);
        ExpectStopReports(statuses, 15000, launchFails ? 1 : 3);
        // One heartbeat: a second one would report twice a second.
        size_t stops = std::count_if(statuses.begin(), statuses.end(), [](const auto& s) {
            return s.dwCurrentState == SERVICE_STOP_PENDING;
        });
        EXPECT_LE(stops, 3 + (GetTickCount64() - at) / 1000) << Sequence(statuses);
        EXPECT_EQ(MachineState(name_), kPoweredOff);
        std::string vm = "VM '" + name_ + "'";
        ExpectLogInOrder(
            Log(), launchFails ? std::vector<std::string>{"Error starting " + vm + " (0x80004005)"}
                               : std::vector<std::string>{vm + " started",
                                                          "Stopping (acpipowerbutton) " + vm,
                                                          vm + " stopped (acpipowerbutton)"});
    }
}

// A call that never returns, as one into a wedged VM process, holds neither the stop nor the
// process: a pipe query stuck in the screen's size, or the watcher stuck in its poll. The stop is
// served; the tear-down waits for the stuck call a bounded time and leaves what it holds to the
// end of the process; STOPPED comes well within MaxWaitTimeout, the last resort's bound and a
// margin, and the process ends.
TEST_F(OneReleaseLife, AWedgedCallHoldsNeitherTheStopNorTheProcess) {
    for (const char* member : {"Display.GetScreenResolution", "EventSource.GetEvent"}) {
        SCOPED_TRACE(member);
        RemoveMachine(name_);
        CreateMachine();
        Install();
        Start();
        ASSERT_TRUE(WaitFor(SERVICE_RUNNING));
        bool query = std::string(member) == "Display.GetScreenResolution";
        Ctl(std::string("fault set ") + member + " hang once" + (query ? " " + name_ : ""));
        // The client's reply never comes: it learns of the end when the pipe goes with the process.
        std::thread client([&] {
            DWORD reply = 0;
            if (query) {
                Exchange(Pipe(), std::string("\x02\x01\x00\x00", 4), &reply);
            }
        });
        ASSERT_TRUE(WaitUntil([] { return Ctl("fault list").empty(); })) << "the call hangs";
        HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, ServicePid());
        ULONGLONG took = 0;
        ExpectStopReports(Stop(&took), kMaxWaitTimeout);
        EXPECT_LT(took, kMaxWaitTimeout + 30000 + 12500);
        EXPECT_EQ(WaitForSingleObject(process, 10000), WAIT_OBJECT_0) << "the process ends";
        CloseHandle(process);
        client.join();
        ExpectLogInOrder(Log(), {"VM '" + name_ + "' stopped (poweroff)",
                                 "ERROR: a call into VirtualBox has not returned within 5000 ms; "
                                 "the connection is left to the end of the process"});
        Ctl("fault clear");
    }
}

// A slow power-off: STOP_PENDING every second with growing checkpoints, all with the
// MaxWaitTimeout written into the INI file while the service ran. Below level 3 the log holds the
// machine's life and no detail, after the warnings of a LocalSystem service (as "-i" registers
// it) about the home and the machine's folder, which Wine's default DACL lets its one user write.
TEST_F(OneReleaseLife, HeartbeatOverASlowPowerOff) {
    CreateMachine(300, 3000);
    Install({{"MaxWaitTimeout", "7000"}, {"Loglevel", "2"}});
    DeleteFileA(service_->LogPath().c_str());
    EventRecord events;
    Start();
    ASSERT_TRUE(WaitFor(SERVICE_RUNNING));
    WriteIni(service_->IniPath(), CompleteIni({{"VboxInstallPath", StandinFolder()},
                                               {"VmName", name_},
                                               {"MaxWaitTimeout", "9000"},
                                               {"Loglevel", "2"}}));
    ULONGLONG took = 0;
    ExpectStopReports(Stop(&took), 9000, 3);
    EXPECT_GE(took, 3000u + 500u - 50u) << "the power-off and the pause";
    std::string vm = "VM '" + name_ + "'";
    char home[MAX_PATH] = "";
    GetEnvironmentVariableA("VBOX_USER_HOME", home, sizeof home);
    auto warning = [&](const std::string& folder) {
        return "WARNING: " + WineUser() + " may write to the folder " + folder +
               ", and so act as LocalSystem through the settings of " + vm +
               ". Install the service with -i --account, or let only administrators write to "
               "that folder";
    };
    EXPECT_EQ(Log(), std::vector<std::string>(
                         {warning(home), warning(std::string(home) + "\\Machines\\" + name_),
                          "Starting " + vm, vm + " started", "Stopping (poweroff) " + vm,
                          vm + " stopped (poweroff)"}));
    // The warnings are events too; a start and stop that go well report nothing else.
    const std::string event = "2 2000: " + WineUser() + " | ";
    EXPECT_EQ(events.Since(),
              (std::vector<std::string>{event + home + " | " + name_,
                                        event + home + "\\Machines\\" + name_ + " | " + name_}));
}

// A one-time savestate saves the machine and is removed from the INI file, ShutdownCommand
// staying; the next run restores the saved machine by launching it, and stops by ShutdownCommand.
TEST_F(OneReleaseLife, ShutdownOnceSavesThenTheNextRunRestores) {
    CreateMachine();
    Ctl("acpi " + name_ + " both 200");
    Install({{"ShutdownOnceCommand", "savestate"}, {"ShutdownCommand", "acpipowerbutton"}});
    for (const char* method : {"savestate", "acpipowerbutton"}) {
        Start();
        ASSERT_TRUE(WaitFor(SERVICE_RUNNING));
        ExpectStopReports(Stop(), kMaxWaitTimeout);
        EXPECT_EQ(CountLog(Log(), "VM '" + name_ + "' stopped (" + method + ")"), 1u);
        char value[64] = "";
        GetPrivateProfileStringA("Kelvaran", "ShutdownOnceCommand", "(none)", value, sizeof value,
                                 service_->IniPath().c_str());
        EXPECT_STREQ(value, "(none)");
    }
    EXPECT_TRUE(InOrder(Calls(), {"Machine.LaunchVMProcess", "Console.PowerButton"}));
    EXPECT_EQ(MachineState(name_), kPoweredOff);
}

// The server this process holds works on another home: the service drops it twice, pausing
// 5.5 s each time, keeps the third after another pause, says which home it uses and, at level 1,
// that it is not VboxUserHome and why (one server per account, VBoxSDS), and runs its machine
// there. A server on VboxUserHome, in a folder named outside the ANSI code page, is kept at once.
TEST_F(OneReleaseLife, ForeignServerDroppedTwiceThenKept) {
    char home[MAX_PATH] = "";
    GetEnvironmentVariableA("VBOX_USER_HOME", home, sizeof home);
    const std::string own = std::string(home) + "-\u0418\u0432\u0430\u043d";
    for (const std::string& server : {std::string(home) + "-foreign", own + "\\.VirtualBox"}) {
        SCOPED_TRACE(server);
        bool foreign = server.find(own) == std::string::npos;
        hold_.reset();
        KillVBoxSvc();
        CreateDirectoryA(own.c_str(), nullptr);
        CreateDirectoryA(server.c_str(), nullptr);
        SetEnvironmentVariableA("VBOX_USER_HOME", server.c_str());
        // A server started from this process holds ctest's pipe until it ends: soon.
        SetEnvironmentVariableA("STANDIN_IDLE_EXIT_MS", "1000");
        hold_.reset(new ServerHold());
        CreateMachine();
        Install(foreign ? IniKeys{} : IniKeys{{"VboxUserHome", server}});
        DeleteFileA(service_->LogPath().c_str());
        ULONGLONG at = GetTickCount64();
        Start();
        ASSERT_TRUE(WaitFor(SERVICE_RUNNING, 40000)) << Describe(Reports());
        EXPECT_GE(GetTickCount64() - at, foreign ? 3 * 5500u : 0u) << "three pauses";
        EXPECT_EQ(CountCalls(journal_->Entries(), "VirtualBox.HomeFolder"), foreign ? 3u : 1u);
        std::string mismatch = "WARNING: VirtualBox works on the home folder " + server +
                               ", not on VboxUserHome " + home +
                               ": another VirtualBox server of this account works on that home";
        std::vector<std::string> lines = {"Using VBOX_USER_HOME: " + server,
                                          "VM '" + name_ + "' started"};
        ExpectLogInOrder(Log(), foreign ? lines.insert(lines.begin() + 1, mismatch), lines : lines);
        EXPECT_EQ(CountLog(Log(), "WARNING: VirtualBox works"), foreign ? 1u : 0u);
        ExpectStopReports(Stop(), kMaxWaitTimeout);
        RemoveMachine(name_);
    }
    hold_.reset();
    SetEnvironmentVariableA("VBOX_USER_HOME", home);
}

// Without its control pipe the service still runs and stops its machine: when the pipe's name is
// taken first (someone else's instance, which refuses a second), or the machine's name is too
// long for it (238 characters: a name cut short could be another machine's).
TEST_F(OneReleaseLife, WithoutItsPipeTheServiceStillRunsItsMachine) {
    for (bool taken : {true, false}) {
        SCOPED_TRACE(taken ? "taken" : "too long");
        std::string vm = taken ? name_ : name_ + std::string(238 - name_.size(), 'x');
        testsupport::CreateMachine(vm);
        HANDLE squatter = taken ? CreateNamedPipeA(ControlPipeName(vm).c_str(), PIPE_ACCESS_DUPLEX,
                                                   0, 1, 16, 16, 0, nullptr)
                                : INVALID_HANDLE_VALUE;
        Install({{"VmName", vm}});
        Start();
        ASSERT_TRUE(WaitFor(SERVICE_RUNNING));
        ExpectStopReports(Stop(), kMaxWaitTimeout);
        std::vector<std::string> log = Log();
        EXPECT_EQ(
            CountLog(log, taken ? "Error creating pipe (0x" : "Error creating pipe (0x000000ce)"),
            1u);
        EXPECT_EQ(CountLog(log, "VM '" + vm + "' stopped (poweroff)"), 1u);
        if (squatter != INVALID_HANDLE_VALUE) {
            CloseHandle(squatter);
        }
        RemoveMachine(vm);
    }
}

}  // namespace
}  // namespace machine_test
