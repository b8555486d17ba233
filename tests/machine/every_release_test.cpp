// The machine's life as every VirtualBox release plays it: launched or joined, stopped by each
// method, followed by the watcher, and its state on the control pipe in 5.0's numbering.
#include "tests/machine/fixture.h"

#include <algorithm>
#include <thread>

namespace machine_test {
namespace {

std::string Version() {
    return Options().release == "5.0" ? "5.0.40" : Options().release == "6.1" ? "6.1.50" : "7.0.20";
}

// Launches by another process, under way when the service starts: one that powers up once the
// service waits for it, and one whose VM process dies meanwhile; each again with a stop (a host
// shutdown, say) coming while the service waits.
constexpr LONG kSpawning = -1;
constexpr LONG kSpawnFails = -2;
constexpr LONG kStopWhileSpawning = -3;
constexpr LONG kStopWhileSpawnFails = -4;

struct StartStop {
    const char* name;
    LONG from;           // the machine's state when the service starts
    const char* method;  // ShutdownCommand
    const char* stopCall;
    LONG after;
    // A machine's name, the service's executable and its INI file as users outside the ANSI code
    // page have them: Notepad's UTF-8, a UTF-8 editor's BOM, UTF-16.
    const char* vm = nullptr;
    const char* exe = nullptr;
    IniForm form = IniForm::Utf8;
};

const StartStop kStartStops[] = {
    {"PoweredOffPowerOff", kPoweredOff, "poweroff", "Console.PowerDown", kPoweredOff},
    {"PoweredOffSaveState", kPoweredOff, "savestate", "Machine.SaveState", kSaved},
    {"PoweredOffPowerButton", kPoweredOff, "acpipowerbutton", "Console.PowerButton", kPoweredOff},
    {"PoweredOffSleepButton", kPoweredOff, "acpisleepbutton", "Console.SleepButton", kPoweredOff},
    {"SavedIsRestored", kSaved, "poweroff", "Console.PowerDown", kPoweredOff},
    {"RunningIsJoined", kRunning, "acpipowerbutton", "Console.PowerButton", kPoweredOff},
    {"PausedIsJoinedNotResumed", kPaused, "savestate", "Machine.SaveState", kSaved},
    {"AbortedSavedIsLaunched", kAbortedSaved, "poweroff", "Console.PowerDown", kPoweredOff},
    {"SpawningIsJoined", kSpawning, "poweroff", "Console.PowerDown", kPoweredOff},
    {"FailedSpawnIsLaunched", kSpawnFails, "poweroff", "Console.PowerDown", kPoweredOff},
    {"StopWhileSpawningStops", kStopWhileSpawning, "poweroff", "Console.PowerDown", kPoweredOff},
    {"StopWhileSpawnFailsLaunchesNothing", kStopWhileSpawnFails, "poweroff", nullptr, kPoweredOff},
    {"Utf8Ini", kPoweredOff, "poweroff", "Console.PowerDown", kPoweredOff, "B\u00fcro"},
    {"Utf8IniWithBomBesideAnExeOfThatScript", kPoweredOff, "savestate", "Machine.SaveState", kSaved,
     "\u041e\u0444\u0438\u0441",
     "\u0421\u0435\u0440\u0432\u0438\u0441\\\u043e\u0444\u0438\u0441.exe", IniForm::Utf8Bom},
    {"Utf16Ini", kPoweredOff, "acpipowerbutton", "Console.PowerButton", kPoweredOff,
     "\u4f1a\u8b70\u5ba4", nullptr, IniForm::Utf16},
};

class EveryRelease : public MachineTest, public testing::WithParamInterface<StartStop> {
protected:
    ~EveryRelease() override {
        if (outside_.joinable()) {
            outside_.join();
        }
    }
    // Brings the test's machine to state with VirtualBox's own tool.
    void Prepare(LONG state) {
        if (state < 0) {
            // VirtualBox keeps a machine that is being launched in its down state, with
            // SessionState Spawning, and refuses a second launch meanwhile.
            Ctl("durations \"" + machine_ + "\" -1 200 200");  // until the service waits
            outside_ = std::thread([this] { VBoxManage("startvm \"" + machine_ + "\""); });
            ASSERT_TRUE(WaitUntil([&] {
                return Ctl("show \"" + machine_ + "\"").find("session=3 Spawning") !=
                       std::string::npos;
            }));
            EXPECT_EQ(MachineState(machine_), kPoweredOff);
            ProcessResult second = VBoxManage("startvm \"" + machine_ + "\"");
            EXPECT_EQ(second.exitCode, 1u);
            EXPECT_NE(second.output.find("(0x80bb0007)"), std::string::npos) << second.output;
            return;
        }
        if (state == kPoweredOff) {
            return;
        }
        Outside("start");
        ASSERT_TRUE(WaitForMachineState(machine_, kRunning));
        if (state == kSaved || state == kAbortedSaved) {
            Outside("savestate");
            ASSERT_TRUE(WaitForMachineState(machine_, kSaved));
        }
        if (state == kAbortedSaved) {
            // 7.0 keeps the saved state of a restored machine whose VM process dies.
            Outside("start");
            ASSERT_TRUE(WaitForMachineState(machine_, kRunning));
            Ctl("kill \"" + machine_ + "\"");
        } else if (state == kPaused) {
            Outside("pause");
        }
        ASSERT_TRUE(WaitForMachineState(machine_, state));
    }

    std::thread outside_;  // VirtualBox's own tool, launching the machine
};

// Every start the service makes, and every stop method: START_PENDING 1 and 2, RUNNING once the
// machine runs, the stop's STOP_PENDING with MaxWaitTimeout until STOPPED; a machine that is up is
// joined with a Shared lock, any other launched headless with the release's form of "no
// environment change"; the release's facts come from its type library, or from the table by
// version without type information. A stop during another process's launch is carried on as any
// stop, heartbeat included; the machine that launch brings up is stopped by the method, and after a
// launch that fails nothing is launched.
TEST_P(EveryRelease, StartAndStop) {
    const StartStop& row = GetParam();
    if (row.from == kAbortedSaved && Options().release != "7.0") {
        GTEST_SKIP() << "only 7.0 has AbortedSaved";
    }
    const bool spawn = row.from < 0;
    const bool fails = row.from == kSpawnFails || row.from == kStopWhileSpawnFails;
    const bool stopFirst = row.from <= kStopWhileSpawning;
    const bool joined = row.from == kRunning || row.from == kPaused || (spawn && !fails);
    const bool launched = !joined && !stopFirst;
    machine_ = row.vm != nullptr ? row.vm : name_;
    exe_ = row.exe != nullptr ? row.exe : exe_;
    CreateMachine();
    Ctl("acpi \"" + machine_ + "\" both 200");
    ASSERT_NO_FATAL_FAILURE(Prepare(row.from));
    Install({{"ShutdownCommand", row.method}}, row.form);
    Start();
    std::string vm = "VM '" + machine_ + "'";
    if (spawn) {
        ASSERT_TRUE(WaitUntil([&] {
            return CountLog(Log(), vm + " is being launched by another process, waiting for it");
        }));
    }
    if (stopFirst) {
        EXPECT_EQ(ControlByName(service_->Name(), SERVICE_CONTROL_STOP), 0u);
        ASSERT_TRUE(WaitUntil([&] {
            Statuses statuses = Reports();
            return std::count_if(statuses.begin(), statuses.end(), [](const auto& status) {
                       return status.dwCurrentState == SERVICE_STOP_PENDING;
                   }) >= 3;
        })) << "the heartbeat";
    }
    if (fails) {
        // The VM process dies before it has powered up: the service launches the machine itself,
        // unless it was asked to stop.
        Ctl("kill \"" + machine_ + "\"");
    }
    if (spawn) {
        Ctl("durations \"" + machine_ + "\" 300 200 200");  // the launch under way powers up
    }
    Statuses statuses;
    if (stopFirst) {
        statuses = WaitStopped();
        EXPECT_EQ(States(statuses), "START_PENDING STOP_PENDING STOPPED") << Sequence(statuses);
    } else {
        ASSERT_TRUE(WaitFor(SERVICE_RUNNING)) << Describe(Reports());
        LONG up = row.from == kPaused ? kPaused : kRunning;
        EXPECT_EQ(MachineState(machine_), up);
        ProcessResult query =
            RunProcess(BinFolder() + "\\kelvaran-query.exe", "\"" + machine_ + "\" state");
        EXPECT_EQ(query.output, up == kPaused ? "State: Paused (6)\n" : "State: Running (5)\n")
            << "5.0's numbering on the wire";
        statuses = Stop();
        EXPECT_NE(
            Sequence(statuses).find("START_PENDING:1 START_PENDING:2 RUNNING:0 STOP_PENDING:"),
            std::string::npos)
            << Sequence(statuses);
    }
    ExpectStopReports(statuses, kMaxWaitTimeout);
    EXPECT_TRUE(WaitForMachineState(machine_, row.after));

    std::vector<std::string> log = Log();
    EXPECT_EQ(ReadFileContent(service_->LogPath()).substr(0, 3), "\xEF\xBB\xBF");
    std::vector<std::string> lines = {"Initializing VirtualBox interface",
                                      "VirtualBox Interface v" + Version() + " initialized"};
    if (launched) {
        lines.push_back("Starting " + vm);
    }
    if (row.stopCall != nullptr) {
        lines.push_back("Stopping (" + std::string(row.method) + ") " + vm);
        lines.push_back(vm + " stopped (" + row.method + ")");
    } else {
        lines.push_back(vm + " is not started: the service was asked to stop");
    }
    ExpectLogInOrder(log, lines);
    EXPECT_EQ(CountLog(log, Options().typeInfo
                                ? "VirtualBox release facts read from its type library"
                                : "VirtualBox release facts taken from the table for version " +
                                      Version() + " (0x8002000b)"),
              1u);
    EXPECT_EQ(CountLog(log, vm + " is already running (pid="), joined ? 1u : 0u);
    EXPECT_EQ(CountLog(log, "ERROR") + CountLog(log, "Error"), 0u);

    std::vector<JournalEntry> calls = Calls();
    EXPECT_EQ(CountCalls(calls, "Machine.LaunchVMProcess"), launched ? 1u : 0u) << Members(calls);
    EXPECT_EQ(CountCalls(calls, "Machine.LockMachine"), joined ? 1u : 0u) << Members(calls);
    EXPECT_TRUE(row.stopCall == nullptr || InOrder(calls, {row.stopCall, "Session.UnlockMachine"}))
        << Members(calls);
    size_t unbounded = 0;  // VirtualBox's own tool waits for its launch without a bound
    for (const JournalEntry& call : calls) {
        if (call.member == "Progress.WaitForCompletion" && call.args == "-1") {
            ++unbounded;
        } else if (call.member == "Machine.LaunchVMProcess") {
            EXPECT_EQ(call.args, std::string("Session, \"headless\", ") +
                                     (Options().release == "5.0" ? "\"\"" : "[]"));
        } else if (call.member == "Machine.LockMachine") {
            EXPECT_EQ(call.args, "Session, 1") << "a Shared lock";
        } else if (call.member == "Progress.WaitForCompletion") {
            // MaxWaitTimeout, or the 30 s a launch is given at least.
            EXPECT_LE(std::stoul(call.args), 30000u) << "a bounded wait";
        }
    }
    EXPECT_EQ(unbounded, spawn ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Rows, EveryRelease, testing::ValuesIn(kStartStops), RowName<StartStop>);

class EveryReleaseLife : public MachineTest {};

// A pause and a resume reach a tray companion (one word per change) and leave the manager's
// RUNNING alone; another machine's life reaches nobody; the guest shutting down by itself ends
// the service with exit code 0, naming the configured method it did not use.
TEST_F(EveryReleaseLife, PauseResumeAndTheGuestsOwnShutdown) {
    CreateMachine();
    Ctl("acpi \"" + name_ + "\" both 200");
    std::string other = name_ + "-other";
    testsupport::CreateMachine(other);
    TrayListener tray;
    Install();
    Start();
    ASSERT_TRUE(WaitFor(SERVICE_RUNNING));
    ASSERT_TRUE(tray.WaitHeard(2)) << "Starting and Running";
    EXPECT_EQ(VBoxManage("startvm \"" + other + "\" --type headless").exitCode, 0u);
    EXPECT_EQ(VBoxManage("controlvm \"" + other + "\" poweroff").exitCode, 0u);
    Outside("pause");
    EXPECT_TRUE(tray.WaitHeard(3));
    EXPECT_EQ(Ask(Pipe(), 259), static_cast<DWORD>(kPaused));
    Outside("resume");
    EXPECT_TRUE(tray.WaitHeard(4));
    EXPECT_EQ(Ask(Pipe(), 259), static_cast<DWORD>(kRunning));
    Sleep(300);
    EXPECT_EQ(tray.Heard(), 4u) << "the other machine's changes reached the companion";
    EXPECT_EQ(States(Reports()), "START_PENDING RUNNING");

    Outside("acpipowerbutton");
    Statuses statuses = WaitStopped();
    ExpectStoppedWith(statuses, 0, 0);
    EXPECT_EQ(States(statuses), "START_PENDING RUNNING STOP_PENDING STOPPED") << Sequence(statuses);
    for (const SERVICE_STATUS_PROCESS& status : statuses) {
        EXPECT_EQ(status.dwWaitHint, 0u) << "no stop was asked for";
    }
    EXPECT_TRUE(tray.WaitHeard(6)) << "Stopping and PoweredOff";
    std::vector<std::string> log = Log();
    EXPECT_EQ(CountLog(log, "Stopping ("), 0u);
    EXPECT_EQ(CountLog(log, "VM '" + name_ + "' stopped (poweroff)"), 1u);
    RemoveMachine(other);
}

}  // namespace
}  // namespace machine_test
