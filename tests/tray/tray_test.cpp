// The tray companion: its model as rows, discovery among foreign services, a control pipe that
// never answers, and kelvaran-tray.exe end to end with the stand-in and two services.
#include <aclapi.h>
#include <gtest/gtest.h>
#include <sddl.h>
#include <shellapi.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <set>

#include "tests/support/support.h"
#include "tray/app.h"

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

// For one machine: the tooltip's line, --status's line (empty: the same), then the icon's
// colour (Green, Amber, grey as Y, Red) and the menu's remote desktop, start, stop and log; and the
// balloon when it comes to this from Running (empty: none).
struct LineRow {
    std::string name;
    Machine machine;
    std::string tooltip, status, iconAndMenu, balloon = "";
};

class Lines : public testing::TestWithParam<LineRow> {};

const Machine kOffice = M(L"office", SERVICE_RUNNING);

TEST_P(Lines, TooltipStatusIconMenuAndBalloon) {
    const LineRow& row = GetParam();
    EXPECT_EQ(Narrow(tray::TooltipText({row.machine}, false)), row.tooltip);
    EXPECT_EQ(Narrow(tray::StatusLine(row.machine)), row.status.empty() ? row.tooltip : row.status);
    tray::MenuState menu = tray::MenuFor(row.machine);
    std::string shown = {"GAYR"[int(tray::SeverityOf(row.machine))], "01"[menu.remoteDesktop],
                         "01"[menu.startService], "01"[menu.stopService], "01"[menu.openLog]};
    EXPECT_EQ(shown, row.iconAndMenu);
    // No balloon when the companion stopped it (a stop asked of another service changes nothing);
    // one within the quiet span however often it falls again (a stop from the companion covers
    // one fall only), then one after it.
    for (bool stoppedHere : {false, true}) {
        tray::DownWatch watch;
        EXPECT_TRUE(watch.Update({kOffice}, 0).empty());
        watch.ExpectStop(stoppedHere ? L"office" : L"none such");
        std::vector<std::wstring> texts = watch.Update({row.machine}, 0);
        EXPECT_EQ(Narrow(texts.empty() ? L"" : texts[0]), stoppedHere ? "" : row.balloon);
        size_t told = texts.size();
        for (ULONGLONG at : {60000ull, 120000ull, 60000ull + tray::DownWatch::QuietSpan}) {
            watch.Update({kOffice}, at);
            told += watch.Update({row.machine}, at).size();
        }
        EXPECT_EQ(told, row.balloon.empty() ? 0u : 2u) << stoppedHere;
    }
    // A machine never seen up is no news.
    tray::DownWatch never;
    EXPECT_TRUE(never.Update({row.machine}, 0).empty() && never.Update({row.machine}, 1).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Lines,
    testing::ValuesIn(std::vector<LineRow>{
        {"Running", kOffice, "office: Running, 1280x800, RDP 3389",
         "office: service running; machine Running, 1280x800, RDP 3389", "G1011"},
        {"NoVrdeServer", With(kOffice, [](Machine* m) { m->vrdePort = 0xFFFFFFFF; }),
         "office: Running, 1280x800", "office: service running; machine Running, 1280x800",
         "G0011"},
        {"Paused", M(L"office", SERVICE_RUNNING, 6), "office: Paused, 1280x800, RDP 3389",
         "office: service running; machine Paused, 1280x800, RDP 3389", "A0011"},
        {"Saving", M(L"office", SERVICE_RUNNING, 12), "office: Saving",
         "office: service running; machine Saving", "A0011"},
        {"Aborted", M(L"office", SERVICE_RUNNING, 4), "office: Aborted",
         "office: service running; machine Aborted", "R0011", "office stopped: aborted"},
        {"PoweredOff", M(L"office", SERVICE_RUNNING, 1), "office: Powered off",
         "office: service running; machine Powered off", "Y0011", "office stopped: powered off"},
        {"NoAnswer", M(L"office", SERVICE_RUNNING, kNoAnswer), "office: no answer on its pipe",
         "office: service running; no answer on its pipe", "Y0011"},
        {"ServiceStarting", M(L"office", SERVICE_START_PENDING), "office: service starting", "",
         "A0011"},
        {"ServiceStopping", M(L"office", SERVICE_STOP_PENDING), "office: service stopping", "",
         "A0001"},
        {"ServiceStopped", M(L"office", SERVICE_STOPPED), "office: service stopped", "", "Y0101",
         "office stopped: service stopped"},
        {"NeverStarted", M(L"office", SERVICE_STOPPED, 0, 1077), "office: service stopped", "",
         "Y0101", "office stopped: service stopped"},
        {"MachineAborted", M(L"office", SERVICE_STOPPED, 0, 1066, 0x80800002),
         "office: service failed: the machine aborted", "", "R0101",
         "office stopped: the machine aborted"},
        {"OtherFailure", M(L"office", SERVICE_STOPPED, 0, 1066, 0x80800009),
         "office: service failed: code 0x80800009", "", "R0101", "office stopped: code 0x80800009"},
        {"WindowsError", M(L"office", SERVICE_STOPPED, 0, 1053),
         "office: service failed: error 1053", "", "R0101", "office stopped: error 1053"},
        {"NoLogYet", With(M(L"office", SERVICE_STOPPED), [](Machine* m) { m->logExists = false; }),
         "office: service stopped", "", "Y0100", "office stopped: service stopped"},
        {"NamesDiffer", With(kOffice, [](Machine* m) { m->service = L"kelvaran"; }),
         "office: Running, 1280x800, RDP 3389",
         "office (kelvaran): service running; machine Running, 1280x800, RDP 3389", "G1011"},
        {"Impostor", With(kOffice, [](Machine* m) { m->impostor = true; }),
         "office: pipe held by another process",
         "office: service running; pipe held by another process", "R0011"},
        {"NoVmName", With(M(L"", SERVICE_STOPPED), [](Machine* m) { m->service = L"x"; }),
         "x: no VmName in its INI file", "x: service stopped; no VmName in its INI file",
         "Y0101"}}),
    RowName<LineRow>);

// Many machines: the icon shows the worst; the tooltip keeps to its 127 characters, the worst
// first, the rest counted.
TEST(Tooltip, ManyMachinesFitTheLimit) {
    std::vector<Machine> machines;
    for (int i = 0; i < 60; ++i) {
        machines.push_back(M(L"machine-with-a-long-name-" + std::to_wstring(i), SERVICE_RUNNING));
        machines.back().state = i == 45 ? 4 : i == 20 ? 6 : 5;
        machines.back().answered = i != 30;
        EXPECT_EQ(tray::WorstSeverity(machines), Severity((i >= 20) + (i >= 30) + (i >= 45)));
        std::wstring text = tray::TooltipText(machines, i % 2 == 1);
        ASSERT_LE(text.size(), 127u) << Narrow(text);
        size_t lines = std::count(text.begin(), text.end(), L'\n') + 1 - i % 2;
        size_t more = text.rfind(L"\n+");
        size_t counted = more == std::wstring::npos ? 0 : std::stoul(text.substr(more + 2)) - 1;
        EXPECT_EQ(lines + counted, machines.size()) << Narrow(text);
        EXPECT_EQ(text.find(L"State changes unheard") == 0 || text.find(L"Pipe taken") == 0,
                  i % 2 == 1)
            << Narrow(text);
        EXPECT_EQ(text.find(L"machine-with-a-long-name-45: Aborted") != std::wstring::npos,
                  i >= 45);
    }
    EXPECT_EQ(Narrow(tray::TooltipText({}, false)), "Kelvaran: no machine found");
    EXPECT_EQ(tray::WorstSeverity({}), Severity::Grey);
}

// The icon's pixels at 100, 150 and 200 %: the pixels along its edge keep 3:1 against a light
// and a dark taskbar, and no two states look alike in grey (a shape, not only a colour, tells).
double Luminance(DWORD pixel) {
    double sum = 0;
    for (double weight : {0.0722, 0.7152, 0.2126}) {
        double value = (pixel & 0xFF) / 255.0;
        sum += weight * (value <= 0.04045 ? value / 12.92 : pow((value + 0.055) / 1.055, 2.4));
        pixel >>= 8;
    }
    return sum;
}

TEST(Icons, EveryStateHasItsShapeAndAnOutlineSeenOnAnyTaskbar) {
    for (int size : {16, 24, 32}) {
        std::set<std::vector<int>> shapes;
        for (int s = 0; s < 4; ++s) {
            std::vector<DWORD> pixels = tray::IconPixels(Severity(s), size);
            std::vector<int> shape;
            for (int i = 0; i < size * size; ++i) {
                int x = i % size, y = i / size;
                shape.push_back(pixels[i] == 0 ? 0 : Luminance(pixels[i]) > 0.5 ? 2 : 1);
                bool edge = x == 0 || y == 0 || x == size - 1 || y == size - 1 || !pixels[i - 1] ||
                            !pixels[i + 1] || !pixels[i - size] || !pixels[i + size];
                for (DWORD taskbar : {0xF3F3F3u, 0x202020u}) {
                    double a = Luminance(pixels[i]) + 0.05, b = Luminance(taskbar) + 0.05;
                    EXPECT_TRUE(!pixels[i] || !edge || std::max(a, b) / std::min(a, b) >= 3)
                        << "state " << s << " size " << size << " at " << x << "," << y;
                }
            }
            EXPECT_TRUE(shapes.insert(shape).second) << "state " << s << " size " << size;
        }
    }
}

// ---- Discovery and questions -----------------------------------------------------------------

// Services among which the copies of kelvaran.exe are found by their product name, whatever
// their name, folder, quoting or arguments; the VmName each one's INI names.
TEST(Discovery, FindsKelvaranCopiesAmongForeignServices) {
    TempFolder folder;
    std::string blanks = folder.File("my machines");
    CreateDirectoryA(blanks.c_str(), nullptr);
    struct Row {
        std::wstring service;
        std::string exe, command, source, vm;  // vm "-": not a machine
    };
    const std::string office = folder.File("office.exe"), second = blanks + "\\second one.exe",
                      third = blanks + "\\third.exe";
    const Row rows[] = {
        {L"office", office, office, "kelvaran.exe", "office"},
        {L"quoted", second, "\"" + second + "\" -x", "kelvaran.exe", "second one"},
        {L"unquoted", third, third + " -x", "kelvaran.exe", "third"},
        {L"noext", folder.File("fourth.exe"), folder.File("fourth"), "kelvaran.exe", "fourth"},
        {L"noini", folder.File("noini.exe"), folder.File("noini.exe"), "kelvaran.exe", ""},
        {L"companion", folder.File("tray.exe"), folder.File("tray.exe"), "kelvaran-tray.exe", "-"},
        {L"gone", "", folder.File("gone.exe"), "", "-"},
        {L"wine", "", "%SystemRoot%\\system32\\svchost.exe -k netsvcs", "", "-"},
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
        services.push_back({row.service, std::wstring(row.command.begin(), row.command.end()), {}});
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
    machine.status.dwProcessId = GetCurrentProcessId();
    ULONGLONG start = GetTickCount64();
    tray::AskMachine(&machine);
    EXPECT_FALSE(machine.answered);
    EXPECT_LT(GetTickCount64() - start, 10000u);
    CloseHandle(squatter);
}

// ---- The companion with the stand-in ---------------------------------------------------------

const char kTrayPipe[] = "\\\\.\\pipe\\kelvarantray";

ProcessResult Tray(const std::string& arguments, DWORD timeoutMs = 60000) {
    return RunProcess(BinFolder() + "\\kelvaran-tray.exe", arguments, timeoutMs);
}

// What the companion in this process gave the shell (which holds one icon, and refuses a
// NIM_MODIFY while failModify lasts), showed as menu, started, and how often it surveyed.
struct Recorded {
    std::mutex lock;
    bool held = false;
    int severity = -1;                        // the held icon's, told by its pixels
    std::string tip, menu, started, balloon;  // the last balloon
    // How many NIM_MODIFY to refuse, NIM_SETFOCUS calls, surveys, balloons; the menu's choice.
    std::atomic<int> failModify{0}, focus{0}, surveys{0}, told{0}, answer{0};
} shell;

BOOL WINAPI Notify(DWORD message, PNOTIFYICONDATAW data) {
    std::lock_guard<std::mutex> hold(shell.lock);
    bool refused = (message == NIM_ADD && shell.held) ||
                   (message == NIM_MODIFY && (!shell.held || shell.failModify-- > 0));
    if (!refused && (data->uFlags & NIF_ICON) != 0) {
        std::vector<DWORD> pixels(16 * 16);
        ICONINFO info = {};
        GetIconInfo(data->hIcon, &info);
        GetBitmapBits(info.hbmColor, 16 * 16 * 4, pixels.data());
        DeleteObject(info.hbmColor);
        DeleteObject(info.hbmMask);
        for (int s = 0; s < 4; ++s) {
            shell.severity = tray::IconPixels(Severity(s), 16) == pixels ? s : shell.severity;
        }
        shell.tip = Narrow(data->szTip);
    }
    if (!refused && (data->uFlags & NIF_INFO) != 0) {
        shell.balloon = Narrow(data->szInfo);
        shell.told += 1;
    }
    shell.held = message == NIM_DELETE ? false : shell.held || message == NIM_ADD;
    shell.focus += message == NIM_SETFOCUS ? 1 : 0;
    return !refused;
}

HRESULT WINAPI Place(const NOTIFYICONIDENTIFIER*, RECT* icon) {
    *icon = {300, 500, 316, 516};
    return S_OK;
}

BOOL WINAPI Track(HMENU menu, UINT, int x, int y, HWND, LPTPMPARAMS) {
    std::lock_guard<std::mutex> hold(shell.lock);
    HMENU first = GetSubMenu(menu, 0);
    shell.menu = std::to_string(x) + "," + std::to_string(y) + " default " +
                 std::to_string(GetMenuDefaultItem(first, FALSE, 0)) + " header grey " +
                 std::to_string((GetMenuState(first, 0, MF_BYPOSITION) & MF_GRAYED) != 0);
    return shell.answer;
}

BOOL WINAPI Start(LPCWSTR program, LPWSTR command, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES,
                  BOOL, DWORD, LPVOID, LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION process) {
    std::lock_guard<std::mutex> hold(shell.lock);
    shell.started += Narrow(program) + " | " + Narrow(command) + "\n";
    *process = {};  // nothing to close
    return TRUE;
}

BOOL WINAPI NoAssociation(SHELLEXECUTEINFOW*) {
    SetLastError(ERROR_NO_ASSOCIATION);
    return FALSE;
}

BOOL WINAPI Enumerate(SC_HANDLE manager, SC_ENUM_TYPE level, DWORD type, DWORD state, LPBYTE buffer,
                      DWORD size, LPDWORD needed, LPDWORD count, LPDWORD resume, LPCWSTR group) {
    shell.surveys += 1;
    return System(EnumServicesStatusExW, "advapi32", "EnumServicesStatusExW")(
        manager, level, type, state, buffer, size, needed, count, resume, group);
}

// Each system function and its stand-in, swapped one way or back.
void SwapAll(bool in) {
    auto swap = [in](auto mine, const char* module, const char* name) {
        auto system = System(mine, module, name);
        in ? Repoint(system, mine) : Repoint(mine, system);
    };
    swap(&Notify, "shell32", "Shell_NotifyIconW");
    swap(&Place, "shell32", "Shell_NotifyIconGetRect");
    swap(&Track, "user32", "TrackPopupMenuEx");
    swap(&Start, "kernel32", "CreateProcessW");
    swap(&NoAssociation, "shell32", "ShellExecuteExW");
    swap(&Enumerate, "advapi32", "EnumServicesStatusExW");
}

// The companion, started by hand, on a thread of this process, holding the session's companion
// mutex as its program does.
class Companion {
public:
    Companion() {
        SwapAll(true);
        thread_ = std::thread([] { tray::RunCompanion(GetModuleHandleA(nullptr), true); });
    }
    ~Companion() {
        PostMessageA(Window(), WM_CLOSE, 0, 0);
        thread_.join();
        SwapAll(false);
        CloseHandle(mutex_);
    }
    static HWND Window() {
        return FindWindowA("KelvaranTray", nullptr);
    }
    // The window's title: the tooltip's text uncut.
    static std::string Title() {
        std::string title(4096, '\0');
        return title.substr(0, GetWindowTextA(Window(), &title[0], 4096));
    }
    // Waits until the shell holds the icon of that severity and tooltip.
    static void Icon(Severity severity, const std::string& tip) {
        auto shown = [&] {
            std::lock_guard<std::mutex> hold(shell.lock);
            return shell.held && shell.severity == int(severity) && shell.tip == tip;
        };
        EXPECT_TRUE(WaitUntil(shown, 20000)) << int(severity) << " " << tip << " in:\n"
                                             << shell.severity << " " << shell.tip;
    }

private:
    HANDLE mutex_ = CreateMutexA(nullptr, FALSE, "Local\\KelvaranTray");
    std::thread thread_;
};

// Two services and their machines, seen by --status, then by a running companion through its
// pipe, whatever else connects to it: its icon, brought back after the shell lost or refused it,
// its menu and what it starts, a burst of notifications, a second start, and a third machine
// whose pipe another process holds.
TEST(EndToEnd, TwoServicesSeenByStatusAndByTheRunningCompanion) {
    // A server started from here holds ctest's output until it ends: a moment after its last
    // client.
    std::string home = GroupHome("tray");
    SetEnvironmentVariableA("STANDIN_IDLE_EXIT_MS", "1000");
    ServerHold hold;
    TempFolder folder;
    std::vector<std::unique_ptr<ServiceCopy>> services;
    auto start = [&](const char* vm) {
        CreateMachine(vm);
        services.emplace_back(new ServiceCopy(folder, std::string(vm) + ".exe"));
        services.back()->WriteIni({{"VboxInstallPath", StandinFolder()},
                                   {"VboxUserHome", home},
                                   {"VmName", vm},
                                   {"MaxWaitTimeout", "10000"}});
        ASSERT_EQ(services.back()->Run("-i").exitCode, 0u);
        ASSERT_EQ(StartByName(vm), 0u);
        ASSERT_TRUE(WaitForState(vm, SERVICE_RUNNING));
    };
    start("tray-a");
    start("tray-b");
    const std::string running = ": service running; machine Running, 1024x768, RDP 3389\n";
    ProcessResult status = Tray("--status");
    EXPECT_EQ(status.exitCode, 0u);
    EXPECT_EQ(status.output, "tray-a" + running + "tray-b" + running);

    // Each service answers for its own machine, with the facts of the moment.
    EXPECT_EQ(VBoxManage("controlvm tray-a pause").exitCode, 0u);
    Ctl("vrde tray-b off 3389");
    Ctl("screen tray-b 800x600");
    EXPECT_EQ(Tray("--status").output,
              "tray-a: service running; machine Paused, 1024x768, RDP 3389\n"
              "tray-b: service running; machine Running, 800x600\n");

    // Another owner of the companion's pipe (here one that allows a single instance): the
    // companion says so and polls, and takes the name once it is free.
    const std::string both = "tray-a: Paused, 1024x768, RDP 3389\ntray-b: Running, 800x600";
    HANDLE taker = CreateNamedPipeA(kTrayPipe, PIPE_ACCESS_DUPLEX, 0, 1, 16, 16, 0, nullptr);
    Companion companion;
    const std::string taken = "State changes unheard (pipe taken): polling every 5 s\n" + both;
    EXPECT_TRUE(WaitUntil([&] { return Companion::Title() == taken; })) << Companion::Title();
    CloseHandle(taker);
    Companion::Icon(Severity::Amber, both);
    // A second start leaves at once, and the first tells again where it is.
    EXPECT_EQ(Tray("", 15000).exitCode, 0u);
    EXPECT_TRUE(WaitUntil([] { return shell.told == 2; }));
    EXPECT_EQ(shell.balloon.find("Kelvaran shows your machines here"), 0u);

    // The shell restarts (or the scaling changes) while it holds the icon. Clients hold the pipe
    // with a partial word, another word, a longer message or nothing at all; a resume must still
    // reach the companion, through its pipe (it polls every 30 s), and show on the icon.
    SendMessageA(Companion::Window(), RegisterWindowMessageA("TaskbarCreated"), 0, 0);
    std::vector<HANDLE> clients;
    for (const std::string& bytes : {std::string("\x00\x02", 2), std::string("\x01\x02\x00\x00", 4),
                                     std::string("\x00\x02\x00\x00\x00", 5), std::string()}) {
        clients.push_back(CreateFileA(kTrayPipe, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
        ASSERT_NE(clients.back(), INVALID_HANDLE_VALUE) << GetLastError();
        DWORD written = 0;
        WriteFile(clients.back(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                  nullptr);
    }
    // The pipe's DACL, read through the silent client before the companion ends it: SYSTEM and
    // SERVICE write, the user also creates instances.
    PSECURITY_DESCRIPTOR security = nullptr;
    char* dacl = nullptr;
    GetSecurityInfo(clients.back(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                    nullptr, nullptr, &security);
    ConvertSecurityDescriptorToStringSecurityDescriptorA(security, SDDL_REVISION_1,
                                                         DACL_SECURITY_INFORMATION, &dacl, 0);
    EXPECT_STREQ(dacl,
                 "D:P(A;;0x12019b;;;SY)(A;;0x12019b;;;SU)(A;;0x12019f;;;S-1-5-21-0-0-0-1000)");
    LocalFree(dacl);
    LocalFree(security);
    EXPECT_EQ(VBoxManage("controlvm tray-a resume").exitCode, 0u);
    const std::string up = "tray-a: Running, 1024x768, RDP 3389\n";
    Companion::Icon(Severity::Green, up + "tray-b: Running, 800x600");
    for (HANDLE client : clients) {
        CloseHandle(client);
    }

    // From the keyboard, the menu opens at the icon; remote desktop (in bold: the double click's)
    // and the log viewer start from System32; Escape gives the focus back to the icon.
    char system[MAX_PATH];
    std::string folder32(system, GetSystemDirectoryA(system, MAX_PATH));
    for (int id : {101, 104, 0}) {  // the menu as the keyboard opens it; 0: Escape
        shell.answer = id;
        SendMessageA(Companion::Window(), WM_APP + 1, 0, NIN_KEYSELECT);
    }
    EXPECT_EQ(shell.menu, "300,500 default 101 header grey 1");
    EXPECT_EQ(shell.started, folder32 + "\\mstsc.exe | \"" + folder32 +
                                 "\\mstsc.exe\" /v:localhost:3389\n" + folder32 +
                                 "\\notepad.exe | \"" + folder32 + "\\notepad.exe\" \"" +
                                 services[0]->LogPath() + "\"\n");
    EXPECT_EQ(shell.focus, 1);

    // A burst of notifications: a survey at most every second.
    int surveys = shell.surveys;
    ULONGLONG began = GetTickCount64();
    for (int i = 0; i < 1000; ++i) {
        DWORD reply = 0;
        ASSERT_EQ(Exchange(kTrayPipe, std::string("\x00\x02\x00\x00", 4), &reply), 0);
    }
    int bound = 2 + int((GetTickCount64() - began) / 1000);
    EXPECT_TRUE(WaitUntil([&] { return shell.surveys > surveys; }));
    EXPECT_LE(shell.surveys - surveys, bound);

    // The shell refuses two changes, then takes the icon again, as the state is by then.
    shell.failModify = 2;
    EXPECT_EQ(ControlByName("tray-b", SERVICE_CONTROL_STOP), 0u);
    Companion::Icon(Severity::Grey, up + "tray-b: service stopped");
    EXPECT_EQ(Tray("--status").output, "tray-a" + running + "tray-b: service stopped\n");
    EXPECT_EQ(services[1]->Run("-u").exitCode, 0u);

    // Another process took tray-c's pipe before its service started: nothing it says is shown.
    // One instance, which answers Running, 1024x768 and remote desktop on port 4444.
    HANDLE pipe = CreateNamedPipeA(ControlPipeName("tray-c").c_str(), PIPE_ACCESS_DUPLEX, 0, 1, 16,
                                   16, 0, nullptr);
    // It serves until this process ends.
    std::thread([pipe] {
        const std::map<DWORD, DWORD> replies = {{256, 1}, {257, 4444}, {258, 0x03000400}, {259, 5}};
        for (DWORD word = 0, moved = 0;; DisconnectNamedPipe(pipe)) {
            ConnectNamedPipe(pipe, nullptr);
            if (ReadFile(pipe, &word, 4, &moved, nullptr) && replies.count(word) != 0) {
                WriteFile(pipe, &replies.at(word), 4, &moved, nullptr);
            }
        }
    }).detach();
    start("tray-c");
    EXPECT_EQ(Tray("--status").output,
              "tray-a" + running + "tray-c: service running; pipe held by another process\n");
    Companion::Icon(Severity::Red, up + "tray-c: pipe held by another process");
    services.clear();  // each stopped and removed before its machine
    for (const char* vm : {"tray-a", "tray-b", "tray-c"}) {
        RemoveMachine(vm);
    }
}

// The command line: the logon start in the user's Run key, and usage for anything else.
TEST(CommandLine, AutostartAndUsage) {
    const char key[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
    struct Row {
        std::string arguments, value;  // value: the Run key's "Kelvaran Tray" afterwards; "-": none
        DWORD exitCode;
    };
    const Row rows[] = {
        {"--autostart on", "\"" + BinFolder() + "\\kelvaran-tray.exe\" --logon", 0},
        {"--autostart off", "-", 0},
        {"--autostart off", "-", 0},
        {"--autostart", "-", 2},
        {"--autostart yes", "-", 2},
        {"--status extra", "-", 2},
        {"--icon-sheet NUL", "-", 0},
        {"-h", "-", 2},
    };
    for (const Row& row : rows) {
        ProcessResult result = Tray(row.arguments);
        EXPECT_EQ(result.exitCode, row.exitCode) << row.arguments << ": " << result.output;
        EXPECT_EQ(result.output.find("Usage: kelvaran-tray.exe") == 0, row.exitCode == 2)
            << row.arguments;
        char value[MAX_PATH] = "";
        DWORD size = sizeof value;
        bool set = RegGetValueA(HKEY_CURRENT_USER, key, "Kelvaran Tray", RRF_RT_REG_SZ, nullptr,
                                value, &size) == ERROR_SUCCESS;
        EXPECT_EQ(set ? value : "-", row.value) << row.arguments;
    }
}

}  // namespace
