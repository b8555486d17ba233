// machine-bench.exe: the service's own share of a machine's start and stop, under Wine's Service
// Control Manager with the VirtualBox stand-in (run.sh sets up the prefix). Prints figures;
// asserts nothing.
//
//   start overhead = start control -> RUNNING seen, less the stand-in's launch time, less the
//                    900 ms pause when the service had to launch VBoxSVC itself
//   stop overhead  = stop control -> STOPPED seen, less the stand-in's power-off time, less the
//                    500 ms pause before the tear-down
//
// Each run is also split at the stand-in's journal lines (written as each call returns), to
// show where the time goes.
//
//   machine-bench.exe [RUNS]   (default 10 with VBoxSVC running, and as many with it launched)
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "config/config.h"
#include "tests/support/child.h"
#include "vbox/vbox.h"

namespace {

const int kLaunchMs = 300;
const int kPowerOffMs = 300;
const int kSvcPauseMs = 900;
const int kTearDownPauseMs = 500;
const char kService[] = "KelvaranMachineBench";
const char kMachine[] = "kelvaran-bench";

std::string g_bin;
std::string g_vbox;
std::string g_folder;
std::string g_home;

// Milliseconds since midnight, local time: the journal's clock.
double NowOfDay() {
    FILETIME utc, local;
    GetSystemTimePreciseAsFileTime(&utc);
    FileTimeToLocalFileTime(&utc, &local);
    ULARGE_INTEGER t = {{local.dwLowDateTime, local.dwHighDateTime}};
    return static_cast<double>((t.QuadPart / 10) % (86400ULL * 1000000ULL)) / 1000.0;
}

// Runs a program with arguments and waits for it, 60 s at most (then it is ended); returns its
// exit code, its output in output when given.
DWORD Run(const std::string& exe, const std::string& arguments, std::string* output = nullptr) {
    std::string text;
    std::string problem;
    DWORD code = testsupport::RunChild(exe, arguments, 60000, &text, &problem);
    if (!problem.empty()) {
        fprintf(stderr, "%s\n", problem.c_str());
    }
    if (output != nullptr) {
        *output = text;
    }
    return code;
}

DWORD Tool(const std::string& tool, const std::string& arguments, std::string* output = nullptr) {
    return Run(g_vbox + "\\" + tool, arguments, output);
}

bool VBoxSvcRuns() {
    DWORD ids[4096], bytes = 0;
    EnumProcesses(ids, sizeof ids, &bytes);
    for (DWORD i = 0; i < bytes / sizeof(DWORD); ++i) {
        HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, ids[i]);
        char name[MAX_PATH] = "";
        if (process != nullptr) {
            GetModuleBaseNameA(process, nullptr, name, sizeof name);
            CloseHandle(process);
        }
        if (strcmp(name, "VBoxSVC.exe") == 0) {
            return true;
        }
    }
    return false;
}

// Polls until the service reports state; the time it was first seen, or -1 after 30 s. The
// times the START_PENDING checkpoints were first seen go into times, as "(START_PENDING N)".
double WaitForState(SC_HANDLE service, DWORD state, std::map<std::string, double>* times) {
    ULONGLONG end = GetTickCount64() + 30000;
    while (GetTickCount64() < end) {
        SERVICE_STATUS_PROCESS status{};
        DWORD needed = 0;
        QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                             sizeof status, &needed);
        double now = NowOfDay();
        if (status.dwCurrentState == state) {
            return now;
        }
        if (status.dwCurrentState == SERVICE_START_PENDING && status.dwControlsAccepted != 0) {
            times->emplace("(START_PENDING " + std::to_string(status.dwCheckPoint) + ")", now);
        }
        Sleep(1);
    }
    return -1;
}

// The time of each member's first journal line after the mark.
std::map<std::string, double> JournalTimes(const std::string& path, std::streamoff mark) {
    std::ifstream file(path, std::ios::binary);
    file.seekg(mark);
    std::map<std::string, double> times;
    std::string line;
    while (std::getline(file, line)) {
        int h = 0, m = 0, s = 0, ms = 0;
        char member[128] = "";
        if (sscanf(line.c_str(), "%d:%d:%d.%d %*u %127[^(]", &h, &m, &s, &ms, member) == 5) {
            double at = ((h * 60.0 + m) * 60.0 + s) * 1000.0 + ms;
            times.emplace(member, at);
        }
    }
    return times;
}

std::streamoff FileSize(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) {
        return 0;
    }
    return static_cast<std::streamoff>((static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) |
                                       data.nFileSizeLow);
}

struct Series {
    std::vector<double> values;
    void Add(double value) {
        values.push_back(value);
    }
    std::string Text() const {
        if (values.empty()) {
            return "n/a";
        }
        std::vector<double> sorted = values;
        std::sort(sorted.begin(), sorted.end());
        char text[96];
        snprintf(text, sizeof text, "%7.1f  (min %6.1f, max %6.1f)", sorted[sorted.size() / 2],
                 sorted.front(), sorted.back());
        return text;
    }
};

struct Figures {
    Series start, stop;
    // Where the start goes.
    Series toFirstReport, toFirstCall, connect, launch, launchedToRunning;
    // Where the stop goes.
    Series toStopCall, powerOff, unlockAndWake, pauseAndClose, closedToStopped;
};

void Phase(Series* series, const std::map<std::string, double>& times, const std::string& from,
           const std::string& to) {
    auto a = times.find(from), b = times.find(to);
    if (a != times.end() && b != times.end()) {
        series->Add(b->second - a->second);
    }
}

size_t CountLogLines(const std::string& path, const std::string& text) {
    std::ifstream file(path);
    std::string line;
    size_t count = 0;
    while (std::getline(file, line)) {
        count += line.find(text) != std::string::npos;
    }
    return count;
}

// One start and stop of the service; false when something did not happen.
bool OneRun(SC_HANDLE service, const std::string& journal, bool expectLaunch, Figures* f) {
    std::string log = g_folder + "\\" + kService + ".log";
    size_t launchesBefore = CountLogLines(log, "Started VBoxSVC[");
    std::streamoff mark = FileSize(journal);

    double startAt = NowOfDay();
    if (!StartServiceA(service, 0, nullptr)) {
        fprintf(stderr, "StartService: %lu\n", GetLastError());
        return false;
    }
    std::map<std::string, double> seen;
    double runningAt = WaitForState(service, SERVICE_RUNNING, &seen);
    if (runningAt < 0) {
        fprintf(stderr, "no RUNNING\n");
        return false;
    }
    bool launched = CountLogLines(log, "Started VBoxSVC[") > launchesBefore;
    if (launched != expectLaunch) {
        fprintf(stderr, "VBoxSVC %s launched by the service; run not counted\n",
                launched ? "was" : "was not");
    }
    Sleep(300);

    SERVICE_STATUS status;
    double stopAt = NowOfDay();
    if (!ControlService(service, SERVICE_CONTROL_STOP, &status)) {
        fprintf(stderr, "ControlService: %lu\n", GetLastError());
        return false;
    }
    double stoppedAt = WaitForState(service, SERVICE_STOPPED, &seen);
    if (stoppedAt < 0) {
        fprintf(stderr, "no STOPPED\n");
        return false;
    }
    if (launched != expectLaunch) {
        return true;
    }

    f->start.Add(runningAt - startAt - kLaunchMs - (launched ? kSvcPauseMs : 0));
    f->stop.Add(stoppedAt - stopAt - kPowerOffMs - kTearDownPauseMs);

    std::map<std::string, double> times = JournalTimes(journal, mark);
    times.insert(seen.begin(), seen.end());
    times["(start control)"] = startAt;
    times["(RUNNING seen)"] = runningAt;
    times["(stop control)"] = stopAt;
    times["(STOPPED seen)"] = stoppedAt;
    Phase(&f->toFirstReport, times, "(start control)", "(START_PENDING 1)");
    Phase(&f->toFirstCall, times, "(START_PENDING 1)", "VirtualBox.HomeFolder");
    Phase(&f->connect, times, "VirtualBox.HomeFolder", "Machine.LaunchVMProcess");
    Phase(&f->launch, times, "Machine.LaunchVMProcess", "Progress.WaitForCompletion");
    Phase(&f->launchedToRunning, times, "Progress.WaitForCompletion", "(RUNNING seen)");
    Phase(&f->toStopCall, times, "(stop control)", "Console.PowerDown");
    // The second WaitForCompletion is the power-off's: find it after the PowerDown line.
    std::ifstream file(journal, std::ios::binary);
    file.seekg(mark);
    std::string line;
    bool afterPowerDown = false;
    while (std::getline(file, line)) {
        int h = 0, m = 0, s = 0, ms = 0;
        char member[128] = "";
        if (sscanf(line.c_str(), "%d:%d:%d.%d %*u %127[^(]", &h, &m, &s, &ms, member) != 5) {
            continue;
        }
        double at = ((h * 60.0 + m) * 60.0 + s) * 1000.0 + ms;
        std::string name = member;
        afterPowerDown = afterPowerDown || name == "Console.PowerDown";
        if (afterPowerDown &&
            (name == "Progress.WaitForCompletion" || name == "Session.UnlockMachine" ||
             name == "EventSource.UnregisterListener")) {
            times["(stop) " + name] = at;
        }
    }
    Phase(&f->powerOff, times, "Console.PowerDown", "(stop) Progress.WaitForCompletion");
    Phase(&f->unlockAndWake, times, "(stop) Progress.WaitForCompletion",
          "(stop) Session.UnlockMachine");
    Phase(&f->pauseAndClose, times, "(stop) Session.UnlockMachine",
          "(stop) EventSource.UnregisterListener");
    Phase(&f->closedToStopped, times, "(stop) EventSource.UnregisterListener", "(STOPPED seen)");
    return true;
}

void Print(const char* title, const Figures& f, bool launched) {
    printf("\n%s: %zu runs, median (min, max) in ms\n", title, f.start.values.size());
    printf("  start overhead                           %s\n", f.start.Text().c_str());
    printf("    start control -> START_PENDING 1 seen  %s\n", f.toFirstReport.Text().c_str());
    printf("    START_PENDING 1 -> VirtualBox.HomeFolder %s%s\n", f.toFirstCall.Text().c_str(),
           launched ? "  (holds the 900 ms pause)" : "");
    printf("    HomeFolder -> LaunchVMProcess returns  %s\n", f.connect.Text().c_str());
    printf("    LaunchVMProcess -> launch done         %s  (stand-in: %d)\n",
           f.launch.Text().c_str(), kLaunchMs);
    printf("    launch done -> RUNNING seen            %s\n", f.launchedToRunning.Text().c_str());
    printf("  stop overhead                            %s\n", f.stop.Text().c_str());
    printf("    stop control -> PowerDown returns      %s\n", f.toStopCall.Text().c_str());
    printf("    PowerDown -> power-off done            %s  (stand-in: %d)\n",
           f.powerOff.Text().c_str(), kPowerOffMs);
    printf("    power-off done -> UnlockMachine        %s\n", f.unlockAndWake.Text().c_str());
    printf("    UnlockMachine -> UnregisterListener    %s  (holds the %d ms pause)\n",
           f.pauseAndClose.Text().c_str(), kTearDownPauseMs);
    printf("    UnregisterListener -> STOPPED seen     %s\n", f.closedToStopped.Text().c_str());
    fflush(stdout);
}

double Elapsed(LARGE_INTEGER since) {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - since.QuadPart) * 1000.0 /
           static_cast<double>(frequency.QuadPart);
}

// Pieces of the way to the first VirtualBox call, timed here with the service's own code: a
// Wine process that starts and ends (kelvaran.exe printing its usage), the search for VBoxSVC,
// and a process's first VirtualBox object with one call on it.
void PrintPieces(const std::string& exe, int runs) {
    Series process, scan;
    for (int i = 0; i < runs; ++i) {
        LARGE_INTEGER at;
        QueryPerformanceCounter(&at);
        Run(exe, "-?");
        process.Add(Elapsed(at));
        QueryPerformanceCounter(&at);
        EnsureVBoxSvcRunning();
        scan.Add(Elapsed(at));
    }
    LARGE_INTEGER at;
    QueryPerformanceCounter(&at);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    static const CLSID kVirtualBox = {
        0xB1A7A4F2, 0x47B9, 0x4A1E, {0x82, 0xB2, 0x07, 0xCC, 0xD5, 0x32, 0x3C, 0x3F}};
    IDispatch* vbox = nullptr;
    HRESULT hr = CoCreateInstance(kVirtualBox, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch,
                                  reinterpret_cast<void**>(&vbox));
    double created = Elapsed(at);
    BSTR home = nullptr;
    if (SUCCEEDED(hr)) {
        GetStringProperty(vbox, L"HomeFolder", &home);
    }
    double firstCall = Elapsed(at) - created;
    SysFreeString(home);
    if (vbox != nullptr) {
        vbox->Release();
    }
    CoUninitialize();
    printf("\npieces, timed in this process (ms):\n");
    printf("  a Wine process started and ended (kelvaran.exe -?)  %s\n", process.Text().c_str());
    printf("  search for a running VBoxSVC (EnumProcesses...)    %s\n", scan.Text().c_str());
    printf("  first VirtualBox object of a process (COM start)   %7.1f  (0x%08lx)\n", created,
           static_cast<unsigned long>(hr));
    printf("  its first by-name call (HomeFolder)                %7.1f\n", firstCall);
}

bool WaitForNoVBoxSvc() {
    ULONGLONG end = GetTickCount64() + 20000;
    while (VBoxSvcRuns()) {
        if (GetTickCount64() > end) {
            return false;
        }
        Sleep(100);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int runs = argc > 1 ? atoi(argv[1]) : 10;
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, sizeof path);
    g_bin = path;
    g_bin = g_bin.substr(0, g_bin.find_last_of('\\'));
    GetFullPathNameA((g_bin + "\\..\\vbox").c_str(), sizeof path, path, nullptr);
    g_vbox = path;
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    g_folder = std::string(temp) + "kelvaran-machine-bench";
    g_home = g_folder + "\\home";
    CreateDirectoryA(g_folder.c_str(), nullptr);
    CreateDirectoryA(g_home.c_str(), nullptr);
    SetEnvironmentVariableA("VBOX_USER_HOME", g_home.c_str());

    std::string exe = g_folder + "\\" + kService + ".exe";
    CopyFileA((g_bin + "\\kelvaran.exe").c_str(), exe.c_str(), FALSE);
    std::ofstream ini(g_folder + "\\" + kService + ".ini", std::ios::binary | std::ios::trunc);
    ini << "[Kelvaran]\r\nVboxInstallPath=" << g_vbox << "\r\nVboxUserHome=" << g_home
        << "\r\nVmName=" << kMachine << "\r\nLoglevel=3\r\nShutdownCommand=poweroff\r\n";
    ini.close();
    DeleteFileA((g_folder + "\\" + kService + ".log").c_str());

    Tool("standin-ctl.exe", std::string("remove ") + kMachine);
    Tool("VBoxManage.exe", std::string("createvm --name ") + kMachine + " --register");
    Tool("standin-ctl.exe", std::string("durations ") + kMachine + " " + std::to_string(kLaunchMs) +
                                " " + std::to_string(kPowerOffMs) + " 300");
    std::string journal;
    Tool("standin-ctl.exe", "journal", &journal);
    journal = journal.substr(0, journal.find_first_of("\r\n"));

    Run(exe, "-u");
    if (Run(exe, "-i") != 0) {
        fprintf(stderr, "cannot install the service\n");
        return 1;
    }
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service =
        OpenServiceA(manager, kService, SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS);
    printf("machine-bench: stand-in launch %d ms, power-off %d ms; status polled every ~1 ms\n",
           kLaunchMs, kPowerOffMs);

    // VBoxSVC running: the tools above keep it up, and the run keeps it busy.
    // A run that hangs (VirtualBox not answering) ends the measurements.
    bool hung = false;
    Figures warm;
    for (int i = 0; i < runs && !hung; ++i) {
        Tool("standin-ctl.exe", "pid");
        hung = !OneRun(service, journal, false, &warm);
    }
    Print("VBoxSVC running", warm, false);
    snprintf(ServiceConfig.VboxInstallPath, sizeof ServiceConfig.VboxInstallPath, "%s",
             g_vbox.c_str());
    ServiceConfig.LogLevel = 0;
    PrintPieces(exe, runs);

    // VBoxSVC launched by the service: the server has ended (5 s after its last client).
    Figures cold;
    for (int i = 0; i < runs && !hung; ++i) {
        if (!WaitForNoVBoxSvc()) {
            fprintf(stderr, "VBoxSVC does not end\n");
            break;
        }
        hung = !OneRun(service, journal, true, &cold);
    }
    Print("VBoxSVC launched by the service", cold, true);
    if (hung) {
        printf("\na run hung: see %s\\%s.log and the journal %s\n", g_folder.c_str(), kService,
               journal.c_str());
    }
    fflush(stdout);

    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    Run(exe, "-u");
    Tool("standin-ctl.exe", std::string("remove ") + kMachine);
    return 0;
}
