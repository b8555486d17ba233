// The tray companion: its model as rows, discovery among foreign services, a control pipe that
// never answers, and kelvaran-tray.exe end to end with the stand-in and two services.
#include <aclapi.h>
#include <gtest/gtest.h>
#include <sddl.h>

#include <algorithm>
#include <memory>

#include "tests/support/support.h"
#include "tray/tray.h"

namespace {

using namespace testsupport;
using tray::Machine;
using tray::Severity;

const DWORD kNoAnswer = 0xFFFF;

// A machine as the probe fills it: 1280x800, VRDE on at 3389, a log beside the service.
Machine M(const std::wstring& vm, DWORD service, DWORD state = 5, DWORD win32 = 0,
          DWORD specific = 0) {
    Machine m;
    m.service = m.vm = vm;
    m.status.dwCurrentState = service;
    m.status.dwControlsAccepted = service == SERVICE_STOPPED ? 0 : 0x105;
    m.status.dwWin32ExitCode = win32;
    m.status.dwServiceSpecificExitCode = specific;
    m.answered = service == SERVICE_RUNNING && state != kNoAnswer;
    m.state = m.answered ? state : 0;
    m.screen = 0x03200500;
    m.vrdePort = 3389;
    m.vrdeEnabled = 1;
    m.logExists = true;
    return m;
}

Machine With(Machine m, void (*change)(Machine*)) {
    change(&m);
    return m;
}

std::string Narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());
}

// ---- The model -------------------------------------------------------------------------------

struct WorstRow {
    std::string name;
    std::vector<Machine> machines;
    Severity worst;
};

class Worst : public testing::TestWithParam<WorstRow> {};

TEST_P(Worst, StateOfTheIcon) {
    EXPECT_EQ(tray::WorstSeverity(GetParam().machines), GetParam().worst);
}

const Machine kUp = M(L"up", SERVICE_RUNNING);
INSTANTIATE_TEST_SUITE_P(
    Rows, Worst,
    testing::Values(
        WorstRow{"AllRunning", {kUp, M(L"b", SERVICE_RUNNING)}, Severity::Green},
        WorstRow{"Paused", {kUp, M(L"b", SERVICE_RUNNING, 6)}, Severity::Amber},
        WorstRow{"MachineStarting", {kUp, M(L"b", SERVICE_RUNNING, 10)}, Severity::Amber},
        WorstRow{"MachineStopping", {kUp, M(L"b", SERVICE_RUNNING, 11)}, Severity::Amber},
        WorstRow{"ServiceStarting", {kUp, M(L"b", SERVICE_START_PENDING)}, Severity::Amber},
        WorstRow{"ServiceStopping", {kUp, M(L"b", SERVICE_STOP_PENDING)}, Severity::Amber},
        WorstRow{"PoweredOffOverPaused",
                 {M(L"a", SERVICE_RUNNING, 6), M(L"b", SERVICE_RUNNING, 1)},
                 Severity::Grey},
        WorstRow{"ServiceStopped", {kUp, M(L"b", SERVICE_STOPPED)}, Severity::Grey},
        WorstRow{"NoAnswer", {kUp, M(L"b", SERVICE_RUNNING, kNoAnswer)}, Severity::Grey},
        WorstRow{"NoMachine", {}, Severity::Grey},
        WorstRow{"AbortedOverStopped",
                 {M(L"a", SERVICE_STOPPED), M(L"b", SERVICE_RUNNING, 4)},
                 Severity::Red},
        WorstRow{
            "ServiceFailed", {kUp, M(L"b", SERVICE_STOPPED, 0, 1066, 0x80800002)}, Severity::Red}),
    RowName<WorstRow>);

// The tooltip's line, --status's line and the menu's items for one machine.
struct LineRow {
    std::string name;
    Machine machine;
    std::wstring tooltip, status;
    bool remote, start, stop, log;
};

class Lines : public testing::TestWithParam<LineRow> {};

TEST_P(Lines, TooltipStatusAndMenu) {
    const LineRow& row = GetParam();
    EXPECT_EQ(Narrow(tray::TooltipText({row.machine}, false)), Narrow(row.tooltip));
    EXPECT_EQ(Narrow(tray::StatusLine(row.machine)), Narrow(row.status));
    tray::MenuState menu = tray::MenuFor(row.machine);
    EXPECT_EQ(menu.remoteDesktop, row.remote);
    EXPECT_EQ(menu.startService, row.start);
    EXPECT_EQ(menu.stopService, row.stop);
    EXPECT_EQ(menu.openLog, row.log);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Lines,
    testing::Values(
        LineRow{"Running", M(L"office", SERVICE_RUNNING), L"office: Running, 1280x800, RDP 3389",
                L"office: service running; machine Running, 1280x800, RDP 3389", 1, 0, 1, 1},
        LineRow{"VrdeOff",
                With(M(L"office", SERVICE_RUNNING), [](Machine* m) { m->vrdeEnabled = 0; }),
                L"office: Running, 1280x800", L"office: service running; machine Running, 1280x800",
                0, 0, 1, 1},
        LineRow{"NoVrdeServer",
                With(M(L"office", SERVICE_RUNNING), [](Machine* m) { m->vrdePort = 0xFFFFFFFF; }),
                L"office: Running, 1280x800", L"office: service running; machine Running, 1280x800",
                0, 0, 1, 1},
        LineRow{"Paused", M(L"office", SERVICE_RUNNING, 6), L"office: Paused, 1280x800, RDP 3389",
                L"office: service running; machine Paused, 1280x800, RDP 3389", 0, 0, 1, 1},
        LineRow{"Saving", M(L"office", SERVICE_RUNNING, 12), L"office: Saving",
                L"office: service running; machine Saving", 0, 0, 1, 1},
        LineRow{"NoAnswer", M(L"office", SERVICE_RUNNING, kNoAnswer),
                L"office: no answer on its pipe", L"office: service running; no answer on its pipe",
                0, 0, 1, 1},
        LineRow{"ServiceStarting", M(L"office", SERVICE_START_PENDING), L"office: service starting",
                L"office: service starting", 0, 0, 1, 1},
        LineRow{"ServiceStopping", M(L"office", SERVICE_STOP_PENDING), L"office: service stopping",
                L"office: service stopping", 0, 0, 0, 1},
        LineRow{"ServiceStopped", M(L"office", SERVICE_STOPPED), L"office: service stopped",
                L"office: service stopped", 0, 1, 0, 1},
        LineRow{"MachineAborted", M(L"office", SERVICE_STOPPED, 0, 1066, 0x80800002),
                L"office: service failed: the machine aborted",
                L"office: service failed: the machine aborted", 0, 1, 0, 1},
        LineRow{"OtherFailure", M(L"office", SERVICE_STOPPED, 0, 1066, 0x80800009),
                L"office: service failed: code 0x80800009",
                L"office: service failed: code 0x80800009", 0, 1, 0, 1},
        LineRow{"WindowsError", M(L"office", SERVICE_STOPPED, 0, 1053),
                L"office: service failed: error 1053", L"office: service failed: error 1053", 0, 1,
                0, 1},
        LineRow{"NoLogYet",
                With(M(L"office", SERVICE_STOPPED), [](Machine* m) { m->logExists = false; }),
                L"office: service stopped", L"office: service stopped", 0, 1, 0, 0},
        LineRow{"NamesDiffer",
                With(M(L"office", SERVICE_RUNNING), [](Machine* m) { m->service = L"kelvaran"; }),
                L"office: Running, 1280x800, RDP 3389",
                L"office (kelvaran): service running; machine Running, 1280x800, RDP 3389", 1, 0, 1,
                1},
        LineRow{"NoVmName", With(M(L"", SERVICE_STOPPED), [](Machine* m) { m->service = L"x"; }),
                L"x: no VmName in its INI file", L"x: service stopped; no VmName in its INI file",
                0, 1, 0, 1}),
    RowName<LineRow>);

// Many machines: the tooltip keeps to its 127 characters, the worst first, the rest counted.
TEST(Tooltip, ManyMachinesFitTheLimit) {
    std::vector<Machine> machines;
    for (int i = 0; i < 60; ++i) {
        machines.push_back(M(L"machine-with-a-long-name-" + std::to_wstring(i), SERVICE_RUNNING));
        machines.back().state = i == 45 ? 4 : 5;
        std::wstring text = tray::TooltipText(machines, i % 2 == 1);
        ASSERT_LE(text.size(), 127u) << Narrow(text);
        size_t lines = std::count(text.begin(), text.end(), L'\n') + 1 - i % 2;
        size_t more = text.rfind(L"\n+");
        size_t counted = more == std::wstring::npos ? 0 : std::stoul(text.substr(more + 2)) - 1;
        EXPECT_EQ(lines + counted, machines.size()) << Narrow(text);
        EXPECT_EQ(text.find(L"State changes unheard") == 0 || text.find(L"Pipe taken") == 0,
                  i % 2 == 1)
            << Narrow(text);
        if (i >= 45) {
            EXPECT_NE(text.find(L"machine-with-a-long-name-45: Aborted"), std::wstring::npos);
        }
    }
    EXPECT_EQ(Narrow(tray::TooltipText({}, false)), "Kelvaran: no machine found");
}

// A balloon for a machine that went down, unless the companion stopped it.
struct DownRow {
    std::string name;
    Machine before, after;
    bool stoppedHere;
    std::wstring balloon;
};

class Down : public testing::TestWithParam<DownRow> {};

TEST_P(Down, BalloonForAMachineThatWentDown) {
    const DownRow& row = GetParam();
    tray::DownWatch watch;
    EXPECT_TRUE(watch.Update({row.before}).empty());
    if (row.stoppedHere) {
        watch.ExpectStop(row.after.service);
    }
    std::vector<std::wstring> texts = watch.Update({row.after});
    EXPECT_EQ(Narrow(texts.empty() ? L"" : texts[0]), Narrow(row.balloon));
    // The news is told once; a stop from the companion covers one end only.
    EXPECT_TRUE(watch.Update({row.after}).empty());
    if (row.stoppedHere) {
        watch.Update({row.before});
        EXPECT_EQ(watch.Update({row.after}).size(), 1u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Down,
    testing::Values(
        DownRow{"Aborted", kUp, M(L"up", SERVICE_RUNNING, 4), false, L"up stopped: aborted"},
        DownRow{"PoweredOff", kUp, M(L"up", SERVICE_RUNNING, 1), false, L"up stopped: powered off"},
        DownRow{"ServiceFailed", kUp, M(L"up", SERVICE_STOPPED, 0, 1066, 0x80800002), false,
                L"up stopped: the machine aborted"},
        DownRow{"ServiceStopped", kUp, M(L"up", SERVICE_STOPPED), false,
                L"up stopped: service stopped"},
        DownRow{"StoppedHere", kUp, M(L"up", SERVICE_STOPPED), true, L""},
        DownRow{"NeverUp", M(L"up", SERVICE_STOPPED), M(L"up", SERVICE_STOPPED), false, L""},
        DownRow{"Paused", kUp, M(L"up", SERVICE_RUNNING, 6), false, L""},
        DownRow{"NoAnswer", kUp, M(L"up", SERVICE_RUNNING, kNoAnswer), false, L""}),
    RowName<DownRow>);

// ---- Discovery and questions -----------------------------------------------------------------

std::wstring Wide(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

// Services among which the copies of kelvaran.exe are found by their product name, whatever
// their name, folder, quoting or arguments; the VmName each one's INI names.
TEST(Discovery, FindsKelvaranCopiesAmongForeignServices) {
    TempFolder folder;
    std::string blanks = folder.File("my machines");
    CreateDirectoryA(blanks.c_str(), nullptr);
    struct Row {
        std::string service, exe, command, source, vm;  // vm "-": not a machine
    };
    const std::string office = folder.File("office.exe");
    const std::string second = blanks + "\\second one.exe";
    const std::string third = blanks + "\\third.exe";
    const Row rows[] = {
        {"office", office, office, "kelvaran.exe", "office"},
        {"quoted", second, "\"" + second + "\" -x", "kelvaran.exe", "second one"},
        {"unquoted", third, third + " -x", "kelvaran.exe", "third"},
        {"noext", folder.File("fourth.exe"), folder.File("fourth"), "kelvaran.exe", "fourth"},
        {"noini", folder.File("noini.exe"), folder.File("noini.exe"), "kelvaran.exe", ""},
        {"companion", folder.File("tray.exe"), folder.File("tray.exe"), "kelvaran-tray.exe", "-"},
        {"query", folder.File("query.exe"), folder.File("query.exe"), "kelvaran-query.exe", "-"},
        {"gone", "", folder.File("gone.exe"), "", "-"},
        {"wine", "", "%SystemRoot%\\system32\\svchost.exe -k netsvcs", "", "-"},
    };
    std::vector<tray::ServiceEntry> services;
    for (const Row& row : rows) {
        if (!row.source.empty()) {
            ASSERT_TRUE(
                CopyFileA((BinFolder() + "\\" + row.source).c_str(), row.exe.c_str(), FALSE))
                << row.exe;
        }
        if (!row.vm.empty() && row.vm != "-") {
            WriteIni(SiblingPath(row.exe, ".ini"), {{"VmName", row.vm}});
        }
        services.push_back({Wide(row.service), Wide(row.command), {}});
    }
    WriteFileContent(folder.File("office.log"), "[01/01/25 00:00:00] a line\r\n");
    std::string found;
    for (const Machine& machine : tray::Discover(services)) {
        found += Narrow(machine.service) + "=" + Narrow(machine.vm) +
                 (machine.logExists ? "+log " : " ");
    }
    EXPECT_EQ(found, "noext=fourth noini= office=office+log quoted=second one unquoted=third ");
}

// A squatter on a machine's control pipe that takes the question and never answers: the
// companion gives up within its bound and shows no answer.
TEST(Questions, ASilentPipeIsGivenUp) {
    HANDLE squatter = CreateNamedPipeA(ControlPipeName("tray-silent").c_str(), PIPE_ACCESS_DUPLEX,
                                       0, 1, 16, 16, 0, nullptr);
    Machine machine = M(L"tray-silent", SERVICE_RUNNING);
    ULONGLONG start = GetTickCount64();
    tray::AskMachine(&machine);
    EXPECT_FALSE(machine.answered);
    EXPECT_LT(GetTickCount64() - start, 10000u);
    CloseHandle(squatter);
}

// ---- kelvaran-tray.exe with the stand-in -----------------------------------------------------

std::string TrayExe() {
    return BinFolder() + "\\kelvaran-tray.exe";
}

// A companion in the background: its output goes nowhere, its window's title shows what it
// knows.
class Companion {
public:
    Companion() {
        SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
        HANDLE nul =
            CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        &inheritable, OPEN_EXISTING, 0, nullptr);
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = startup.hStdOutput = startup.hStdError = nul;
        std::string line = "\"" + TrayExe() + "\"";
        EXPECT_TRUE(CreateProcessA(TrayExe().c_str(), &line[0], nullptr, nullptr, TRUE, 0, nullptr,
                                   nullptr, &startup, &process_));
        CloseHandle(nul);
        // The companion's window brings up Wine's desktop, not a window call of ours: the desktop
        // would keep our output handles, and ctest's pipe, open for good.
        WaitForInputIdle(process_.hProcess, 20000);
    }
    ~Companion() {
        if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) {
            TerminateProcess(process_.hProcess, 1);
        }
        CloseHandle(process_.hThread);
        CloseHandle(process_.hProcess);
    }
    static HWND Window() {
        return FindWindowA("KelvaranTray", nullptr);
    }
    static std::string Title() {
        char title[4096] = "";
        GetWindowTextA(Window(), title, sizeof title);
        return title;
    }
    // Waits until the title holds text; the test fails when it does not.
    static void Shows(const std::string& text, DWORD timeoutMs = 15000) {
        EXPECT_TRUE(WaitUntil([&] { return Title().find(text) != std::string::npos; }, timeoutMs))
            << "wanted \"" << text << "\" in:\n"
            << Title();
    }
    // Exit from outside, as the menu's Exit does from inside.
    DWORD Close() {
        PostMessageA(Window(), WM_CLOSE, 0, 0);
        DWORD code = STILL_ACTIVE;
        WaitForSingleObject(process_.hProcess, 10000);
        GetExitCodeProcess(process_.hProcess, &code);
        return code;
    }

private:
    PROCESS_INFORMATION process_ = {};
};

std::string Status() {
    return RunProcess(TrayExe(), "--status").output;
}

// Two services and their machines, seen by --status, then by a running companion through its
// pipe, whatever else connects to it; a second companion leaves at once.
TEST(EndToEnd, TwoServicesSeenByStatusAndByTheRunningCompanion) {
    // A server started from here holds ctest's output until it ends: a moment after its last
    // client.
    std::string home = GroupHome("tray");
    SetEnvironmentVariableA("STANDIN_IDLE_EXIT_MS", "1000");
    ServerHold hold;
    TempFolder folder;
    std::vector<std::unique_ptr<ServiceCopy>> services;
    for (const char* vm : {"tray-a", "tray-b"}) {
        CreateMachine(vm);
        services.emplace_back(new ServiceCopy(folder, std::string(vm) + ".exe"));
        services.back()->WriteIni({{"VboxInstallPath", StandinFolder()},
                                   {"VboxUserHome", home},
                                   {"VmName", vm},
                                   {"MaxWaitTimeout", "10000"}});
        ASSERT_EQ(services.back()->Run("-i").exitCode, 0u);
        ASSERT_EQ(StartByName(vm), 0u);
    }
    ASSERT_TRUE(WaitForState("tray-a", SERVICE_RUNNING));
    ASSERT_TRUE(WaitForState("tray-b", SERVICE_RUNNING));
    const std::string running = ": service running; machine Running, 1024x768, RDP 3389\n";
    ProcessResult status = RunProcess(TrayExe(), "--status");
    EXPECT_EQ(status.exitCode, 0u);
    EXPECT_EQ(status.output, "tray-a" + running + "tray-b" + running);

    // Each service answers for its own machine, with the facts of the moment.
    EXPECT_EQ(VBoxManage("controlvm tray-a pause").exitCode, 0u);
    Ctl("vrde tray-b off 3389");
    Ctl("screen tray-b 800x600");
    EXPECT_EQ(Status(),
              "tray-a: service running; machine Paused, 1024x768, RDP 3389\n"
              "tray-b: service running; machine Running, 800x600\n");
    Ctl("vrde tray-b on 3389");
    Ctl("screen tray-b 1024x768");

    Companion companion;
    Companion::Shows("tray-a: Paused, 1024x768, RDP 3389\ntray-b: Running, 1024x768, RDP 3389");
    EXPECT_EQ(RunProcess(TrayExe(), "", 15000).exitCode, 0u) << "a second one must leave at once";
    EXPECT_EQ(ProcessesNamed("kelvaran-tray.exe").size(), 1u);

    // Its DACL, read through a connection that the companion ends after a second of silence:
    // SYSTEM and SERVICE write, the user also creates instances.
    HANDLE probe = CreateFileA("\\\\.\\pipe\\kelvarantray", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                               0, nullptr);
    PSECURITY_DESCRIPTOR security = nullptr;
    char* dacl = nullptr;
    GetSecurityInfo(probe, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                    nullptr, &security);
    ConvertSecurityDescriptorToStringSecurityDescriptorA(security, SDDL_REVISION_1,
                                                         DACL_SECURITY_INFORMATION, &dacl, 0);
    EXPECT_STREQ(dacl,
                 "D:P(A;;0x12019b;;;SY)(A;;0x12019b;;;SU)(A;;0x12019f;;;S-1-5-21-0-0-0-1000)");
    LocalFree(dacl);
    LocalFree(security);
    CloseHandle(probe);
    // Clients that hold the pipe with a partial word, another word, a longer message or nothing
    // at all; a resume must still reach the companion, through its pipe (it polls every 30 s).
    std::vector<HANDLE> clients;
    for (const std::string& bytes : {std::string("\x00\x02", 2), std::string("\x01\x02\x00\x00", 4),
                                     std::string("\x00\x02\x00\x00\x00", 5), std::string()}) {
        clients.push_back(CreateFileA("\\\\.\\pipe\\kelvarantray", GENERIC_READ | GENERIC_WRITE, 0,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_NE(clients.back(), INVALID_HANDLE_VALUE) << GetLastError();
        DWORD written = 0;
        WriteFile(clients.back(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                  nullptr);
    }
    EXPECT_EQ(VBoxManage("controlvm tray-a resume").exitCode, 0u);
    Companion::Shows("tray-a: Running, 1024x768, RDP 3389\ntray-b: Running");
    for (HANDLE client : clients) {
        CloseHandle(client);
    }

    EXPECT_EQ(ControlByName("tray-b", SERVICE_CONTROL_STOP), 0u);
    Companion::Shows("tray-b: service stopped", 20000);
    EXPECT_EQ(Status(), "tray-a" + running + "tray-b: service stopped\n");
    EXPECT_EQ(services[1]->Run("-u").exitCode, 0u);
    EXPECT_EQ(Status(), "tray-a" + running);
    EXPECT_EQ(companion.Close(), 0u);
    EXPECT_EQ(ControlByName("tray-a", SERVICE_CONTROL_STOP), 0u);
    EXPECT_TRUE(WaitForState("tray-a", SERVICE_STOPPED));
    RemoveMachine("tray-a");
    RemoveMachine("tray-b");
}

// Another owner of the pipe's name (here one that allows a single instance): the companion
// says so and polls, and takes the name once it is free.
TEST(EndToEnd, ATakenPipeIsPolledAndTakenOnceFree) {
    HANDLE squatter =
        CreateNamedPipeA("\\\\.\\pipe\\kelvarantray", PIPE_ACCESS_DUPLEX, 0, 1, 16, 16, 0, nullptr);
    ASSERT_NE(squatter, INVALID_HANDLE_VALUE);
    Companion companion;
    Companion::Shows("State changes unheard (pipe taken): polling every 5 s\n");
    CloseHandle(squatter);
    EXPECT_TRUE(
        WaitUntil([] { return Companion::Title().find("taken") == std::string::npos; }, 15000))
        << Companion::Title();
    EXPECT_EQ(companion.Close(), 0u);
}

// The command line: the logon start in the user's Run key, and usage for anything else.
TEST(CommandLine, AutostartAndUsage) {
    const char key[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
    struct Row {
        std::string arguments;
        DWORD exitCode;
        std::string value;  // the Run key's "Kelvaran Tray" afterwards; "-" for none
    };
    const Row rows[] = {
        {"--autostart on", 0, "\"" + TrayExe() + "\""},
        {"--autostart off", 0, "-"},
        {"--autostart off", 0, "-"},
        {"--autostart", 2, "-"},
        {"--autostart yes", 2, "-"},
        {"--status extra", 2, "-"},
        {"-h", 2, "-"},
    };
    for (const Row& row : rows) {
        ProcessResult result = RunProcess(TrayExe(), row.arguments);
        EXPECT_EQ(result.exitCode, row.exitCode) << row.arguments << ": " << result.output;
        EXPECT_EQ(result.output.find("Usage: kelvaran-tray.exe") == 0, row.exitCode == 2)
            << row.arguments;
        char value[MAX_PATH] = "";
        DWORD size = sizeof value;
        if (RegGetValueA(HKEY_CURRENT_USER, key, "Kelvaran Tray", RRF_RT_REG_SZ, nullptr, value,
                         &size) != ERROR_SUCCESS) {
            snprintf(value, sizeof value, "-");
        }
        EXPECT_EQ(value, row.value) << row.arguments;
    }
}

}  // namespace
