// pipe-bench.exe: the control pipe's RequestMachineState round trip, as the tray companion sees
// it, from a service running under Wine's Service Control Manager with a stand-in machine,
// against a floor measured in the same run: a bare pipe server in a process of its own (a thread
// per connection) that makes the same one-word exchange and the same cross-process calls by name
// to the stand-in (FindMachine, then State). Also the service's private bytes, handles and
// threads before and after 10 000 requests. Prints figures; asserts nothing (run.sh sets up the
// prefix).
//
//   pipe-bench.exe [REQUESTS]            (default 1000 per configuration)
//   pipe-bench.exe --floor PIPE MACHINE  (the floor's server; started by the bench itself)
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <process.h>
#include <winternl.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "pipe/pipe.h"

namespace {

const char kMachine[] = "kelvaran-pipe-bench";
const char kService[] = "KelvaranPipeBench";
const char kFloorPipe[] = "\\\\.\\pipe\\kelvaran-pipe-bench-floor";
// Words only the floor knows: a reply without any call to the stand-in, and the end of its run.
const DWORD kPipeOnly = 0x1FF;
const DWORD kQuit = 0xFFFFFFFF;

const CLSID kClsidVirtualBox = {
    0xB1A7A4F2, 0x47B9, 0x4A1E, {0x82, 0xB2, 0x07, 0xCC, 0xD5, 0x32, 0x3C, 0x3F}};

double NowMs() {
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return counter.QuadPart * 1000.0 / frequency;
}

// ---- The floor's server -------------------------------------------------------------------------

IDispatch* g_virtualBox = nullptr;
std::wstring g_floorMachine;
std::atomic<bool> g_floorQuit{false};

// A member called by name, as the service calls VirtualBox: GetIDsOfNames, then Invoke.
HRESULT CallByName(IDispatch* object, const wchar_t* name, WORD flags, VARIANT* arg,
                   VARIANT* result) {
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    DISPID id = 0;
    HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) {
        return hr;
    }
    DISPPARAMS params = {arg, nullptr, arg != nullptr ? 1u : 0u, 0};
    EXCEPINFO exception = {};
    UINT bad = 0;
    hr =
        object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, &exception, &bad);
    return hr == DISP_E_EXCEPTION ? exception.scode : hr;
}

DWORD FloorMachineState() {
    VARIANT name;
    VariantInit(&name);
    V_VT(&name) = VT_BSTR;
    V_BSTR(&name) = SysAllocString(g_floorMachine.c_str());
    VARIANT machine;
    VariantInit(&machine);
    DWORD state = 0;
    if (SUCCEEDED(CallByName(g_virtualBox, L"FindMachine", DISPATCH_METHOD, &name, &machine)) &&
        V_VT(&machine) == VT_DISPATCH && V_DISPATCH(&machine) != nullptr) {
        VARIANT value;
        VariantInit(&value);
        if (SUCCEEDED(CallByName(V_DISPATCH(&machine), L"State", DISPATCH_PROPERTYGET, nullptr,
                                 &value)) &&
            SUCCEEDED(VariantChangeType(&value, &value, 0, VT_I4))) {
            state = static_cast<DWORD>(V_I4(&value));
        }
        VariantClear(&value);
    }
    VariantClear(&machine);
    VariantClear(&name);
    return state;
}

void FloorClient(void* instance) {
    HANDLE pipe = instance;
    DWORD word = 0;
    DWORD bytes = 0;
    if (ReadFile(pipe, &word, sizeof word, &bytes, nullptr) && bytes == sizeof word) {
        if (word == kQuit) {
            // The server waits on its next instance: one more connection lets it see the flag.
            g_floorQuit = true;
            HANDLE wake =
                CreateFileA(kFloorPipe, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            if (wake != INVALID_HANDLE_VALUE) {
                CloseHandle(wake);
            }
        } else {
            DWORD reply = word == RequestMachineState ? FloorMachineState() : 0;
            WriteFile(pipe, &reply, sizeof reply, &bytes, nullptr);
        }
    }
    FlushFileBuffers(pipe);
    DisconnectNamedPipe(pipe);
    CloseHandle(pipe);
}

int RunFloor(const char* pipeName, const char* machine) {
    g_floorMachine.assign(machine, machine + strlen(machine));
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) ||
        FAILED(CoCreateInstance(kClsidVirtualBox, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch,
                                reinterpret_cast<void**>(&g_virtualBox)))) {
        fprintf(stderr, "floor: no VirtualBox object\n");
        return 1;
    }
    while (!g_floorQuit) {
        HANDLE pipe = CreateNamedPipeA(pipeName, PIPE_ACCESS_DUPLEX, 0, PIPE_UNLIMITED_INSTANCES,
                                       16, 16, 0, nullptr);
        if (pipe == INVALID_HANDLE_VALUE) {
            return 1;
        }
        if (ConnectNamedPipe(pipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED) {
            _beginthread(FloorClient, 0, pipe);
        } else {
            CloseHandle(pipe);
        }
    }
    Sleep(200);  // the quitting connection's thread is done with the object
    g_virtualBox->Release();
    CoUninitialize();
    return 0;
}

// ---- The client side ----------------------------------------------------------------------------

// One request over a fresh connection; its round trip in ms, or -1 without an answer. A word
// that is no request is timed until the server closes the connection.
double RoundTrip(const char* pipeName, DWORD request, DWORD* reply) {
    bool expectReply =
        (request >= RequestVrdeEnabled && request <= RequestMachineState) || request == kPipeOnly;
    double start = NowMs();
    HANDLE pipe = INVALID_HANDLE_VALUE;
    for (;;) {
        pipe = CreateFileA(pipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
        if (pipe != INVALID_HANDLE_VALUE) {
            break;
        }
        DWORD error = GetLastError();
        if (NowMs() - start > 30000) {
            return -1;
        }
        if (error != ERROR_PIPE_BUSY || !WaitNamedPipeA(pipeName, 30000)) {
            Sleep(1);
        }
    }
    DWORD bytes = 0;
    bool answered = WriteFile(pipe, &request, sizeof request, &bytes, nullptr) &&
                    ReadFile(pipe, reply, sizeof *reply, &bytes, nullptr) && bytes == sizeof *reply;
    answered = answered == expectReply;
    double took = NowMs() - start;
    CloseHandle(pipe);
    return answered ? took : -1;
}

struct Figures {
    double median = 0;
    double p99 = 0;
    int failed = 0;
};

Figures Summarise(std::vector<double> samples) {
    Figures figures;
    samples.erase(std::remove_if(samples.begin(), samples.end(),
                                 [&figures](double s) { return s < 0 && ++figures.failed; }),
                  samples.end());
    if (!samples.empty()) {
        std::sort(samples.begin(), samples.end());
        figures.median = samples[samples.size() / 2];
        figures.p99 = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
    }
    return figures;
}

// count requests in all, spread over clients threads that each ask one after another.
std::vector<double> Measure(const std::string& pipe, DWORD request, int clients, int count) {
    std::vector<std::vector<double>> perClient(clients);
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            for (int i = c; i < count; i += clients) {
                DWORD reply = 0;
                perClient[c].push_back(RoundTrip(pipe.c_str(), request, &reply));
            }
        });
    }
    std::vector<double> all;
    for (int c = 0; c < clients; ++c) {
        threads[c].join();
        all.insert(all.end(), perClient[c].begin(), perClient[c].end());
    }
    return all;
}

// ---- The service and its process ----------------------------------------------------------------

std::string g_bin;

DWORD Run(const std::string& exe, const std::string& arguments) {
    std::string commandLine = "\"" + exe + "\" " + arguments;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                        nullptr, nullptr, &startup, &process)) {
        return GetLastError();
    }
    WaitForSingleObject(process.hProcess, 60000);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

SERVICE_STATUS_PROCESS ServiceStatus() {
    SERVICE_STATUS_PROCESS status = {};
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceA(manager, kService, SERVICE_QUERY_STATUS);
    DWORD needed = 0;
    QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                         sizeof status, &needed);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return status;
}

bool ControlService(bool start) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceA(manager, kService, SERVICE_START | SERVICE_STOP);
    SERVICE_STATUS status = {};
    if (start) {
        StartServiceA(service, 0, nullptr);
    } else {
        ::ControlService(service, SERVICE_CONTROL_STOP, &status);
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    DWORD wanted = start ? SERVICE_RUNNING : SERVICE_STOPPED;
    for (int i = 0; i < 300; ++i) {
        if (ServiceStatus().dwCurrentState == wanted) {
            return true;
        }
        Sleep(100);
    }
    return false;
}

// What Wine reports of another process: SystemProcessInformation, whose layout winternl.h hides.
struct ProcessRecord {
    ULONG NextEntryOffset;
    ULONG NumberOfThreads;
    LARGE_INTEGER Reserved[3];
    LARGE_INTEGER CreateTime, UserTime, KernelTime;
    struct {
        USHORT Length, MaximumLength;
        PWSTR Buffer;
    } ImageName;
    LONG BasePriority;
    HANDLE UniqueProcessId;
    HANDLE InheritedFromUniqueProcessId;
    ULONG HandleCount;
    ULONG SessionId;
    ULONG_PTR UniqueProcessKey;
    SIZE_T PeakVirtualSize, VirtualSize;
    ULONG PageFaultCount;
    SIZE_T PeakWorkingSetSize, WorkingSetSize;
    SIZE_T QuotaPeakPagedPoolUsage, QuotaPagedPoolUsage;
    SIZE_T QuotaPeakNonPagedPoolUsage, QuotaNonPagedPoolUsage;
    SIZE_T PagefileUsage, PeakPagefileUsage, PrivatePageCount;
};

struct Usage {
    SIZE_T privateBytes = 0;  // PagefileUsage: what Windows calls a process's private bytes
    SIZE_T workingSet = 0;
    int handles = 0;
    int threads = 0;
};

Usage UsageOf(DWORD pid) {
    Usage usage;
    std::vector<BYTE> buffer(1 << 20);
    ULONG length = 0;
    if (NtQuerySystemInformation(SystemProcessInformation, buffer.data(),
                                 static_cast<ULONG>(buffer.size()), &length) == 0) {
        for (BYTE* at = buffer.data();;) {
            auto* record = reinterpret_cast<ProcessRecord*>(at);
            if (reinterpret_cast<ULONG_PTR>(record->UniqueProcessId) == pid) {
                usage.privateBytes = record->PagefileUsage;
                usage.workingSet = record->WorkingSetSize;
                usage.threads = static_cast<int>(record->NumberOfThreads);
            }
            if (record->NextEntryOffset == 0) {
                break;
            }
            at += record->NextEntryOffset;
        }
    }
    // Wine reports other processes' handle counts only roughly: count them one by one.
    HANDLE process = OpenProcess(PROCESS_DUP_HANDLE, FALSE, pid);
    for (ULONG_PTR value = 4; process != nullptr && value < 4 * 65536; value += 4) {
        HANDLE copy = nullptr;
        if (DuplicateHandle(process, reinterpret_cast<HANDLE>(value), GetCurrentProcess(), &copy, 0,
                            FALSE, DUPLICATE_SAME_ACCESS)) {
            ++usage.handles;
            CloseHandle(copy);
        }
    }
    if (process != nullptr) {
        CloseHandle(process);
    }
    return usage;
}

void PrintRow(const char* what, const Figures& f) {
    printf("  %-34s %8.2f %8.2f%s\n", what, f.median, f.p99,
           f.failed != 0 ? (" (" + std::to_string(f.failed) + " unanswered)").c_str() : "");
}

int RunBench(int count) {
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, sizeof path);
    g_bin = path;
    g_bin = g_bin.substr(0, g_bin.find_last_of('\\'));
    std::string vbox = g_bin + "\\..\\vbox";
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    std::string folder = std::string(temp) + "kelvaran-pipe-bench";
    CreateDirectoryA(folder.c_str(), nullptr);
    char profile[MAX_PATH] = "C:";
    GetEnvironmentVariableA("USERPROFILE", profile, sizeof profile);
    std::string home = std::string(profile) + "\\.VirtualBox";
    SetEnvironmentVariableA("VBOX_USER_HOME", home.c_str());

    Run(vbox + "\\standin-ctl.exe", std::string("remove ") + kMachine);
    Run(vbox + "\\VBoxManage.exe", std::string("createvm --name ") + kMachine + " --register");
    std::string exe = folder + "\\" + kService + ".exe";
    CopyFileA((g_bin + "\\kelvaran.exe").c_str(), exe.c_str(), FALSE);
    std::string ini = "[Kelvaran]\r\nVboxInstallPath=" + vbox + "\r\nVboxUserHome=" + home +
                      "\r\nVmName=" + kMachine + "\r\nShutdownCommand=poweroff\r\nLoglevel=1\r\n";
    FILE* file = fopen((folder + "\\" + kService + ".ini").c_str(), "wb");
    fwrite(ini.data(), 1, ini.size(), file);
    fclose(file);
    Run(exe, "-i");
    if (!ControlService(true)) {
        fprintf(stderr, "the service did not reach RUNNING\n");
        return 1;
    }
    std::string floorArgs = std::string("--floor ") + kFloorPipe + " " + kMachine;
    std::string floorLine = "\"" + std::string(path) + "\" " + floorArgs;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION floor = {};
    CreateProcessA(path, &floorLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                   &floor);
    for (int i = 0; i < 100 && !WaitNamedPipeA(kFloorPipe, 100); ++i) {
        Sleep(50);
    }

    std::string service = std::string(ControlPipePrefix) + "." + kMachine;
    Measure(service, RequestMachineState, 1, 50);  // warm-up
    Measure(kFloorPipe, RequestMachineState, 1, 50);
    // Interleaved blocks, so that a drift in the machine's load falls on both alike.
    std::vector<double> service1, floor1, service16, floor16;
    for (int block = 0; block < 10; ++block) {
        auto s = Measure(service, RequestMachineState, 1, count / 10);
        auto f = Measure(kFloorPipe, RequestMachineState, 1, count / 10);
        service1.insert(service1.end(), s.begin(), s.end());
        floor1.insert(floor1.end(), f.begin(), f.end());
    }
    for (int block = 0; block < 4; ++block) {
        auto s = Measure(service, RequestMachineState, 16, count / 4);
        auto f = Measure(kFloorPipe, RequestMachineState, 16, count / 4);
        service16.insert(service16.end(), s.begin(), s.end());
        floor16.insert(floor16.end(), f.begin(), f.end());
    }
    Figures fs1 = Summarise(service1), ff1 = Summarise(floor1);
    Figures fs16 = Summarise(service16), ff16 = Summarise(floor16);
    Figures pipeOnly = Summarise(Measure(kFloorPipe, kPipeOnly, 1, count));
    Figures noRequest = Summarise(Measure(service, 260, 1, count));

    printf("RequestMachineState round trip, fresh connection each (%d requests each), ms\n", count);
    printf("  %-34s %8s %8s\n", "", "median", "p99");
    PrintRow("service, 1 client", fs1);
    PrintRow("floor, 1 client", ff1);
    PrintRow("service, 16 clients", fs16);
    PrintRow("floor, 16 clients", ff16);
    printf("  service / floor, medians: 1 client %.2fx, 16 clients %.2fx (target 1.3x)\n",
           fs1.median / ff1.median, fs16.median / ff16.median);
    printf("Parts of the round trip, 1 client, ms\n");
    PrintRow("floor, pipe only (no VirtualBox call)", pipeOnly);
    PrintRow("service, a word that is no request", noRequest);

    DWORD pid = ServiceStatus().dwProcessId;
    Usage before = UsageOf(pid);
    double start = NowMs();
    Figures soak = Summarise(Measure(service, RequestMachineState, 8, 10000));
    double took = NowMs() - start;
    Sleep(1000);
    Usage after = UsageOf(pid);
    printf("The service over 10000 requests (8 clients, %.0f s, %d unanswered)\n", took / 1000,
           soak.failed);
    printf("  private bytes %zu KB -> %zu KB, working set %zu KB -> %zu KB\n",
           before.privateBytes / 1024, after.privateBytes / 1024, before.workingSet / 1024,
           after.workingSet / 1024);
    printf("  handles %d -> %d, threads %d -> %d\n", before.handles, after.handles, before.threads,
           after.threads);

    DWORD reply = 0;
    RoundTrip(kFloorPipe, kQuit, &reply);
    WaitForSingleObject(floor.hProcess, 10000);
    CloseHandle(floor.hThread);
    CloseHandle(floor.hProcess);
    ControlService(false);
    Run(exe, "-u");
    Run(vbox + "\\standin-ctl.exe", std::string("remove ") + kMachine);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && strcmp(argv[1], "--floor") == 0) {
        return RunFloor(argv[2], argv[3]);
    }
    return RunBench(argc > 1 ? atoi(argv[1]) : 1000);
}
