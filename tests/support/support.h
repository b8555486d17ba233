// Test equipment of every group: folders and files of a test's own, child processes, Wine's
// Service Control Manager, the VirtualBox stand-in (its tools, machines, journal and server), and
// clients of the service's pipes.
//
// Every test of a group runs in the group's one Wine prefix. Tests keep apart by names: a test's
// folder, its services and its machines are named after the test itself.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace testsupport {

// ---- Files, logs and processes --------------------------------------------------------------

// "Suite.Name" of the running case (a parameterised one's index included), with the characters
// that a file or service name cannot hold replaced by '_'.
std::string TestName();
// The folder of the running test executable, where the build puts every executable.
std::string BinFolder();
// %TEMP%\kelvaran-<group>-home, made if need be, as this process's VBOX_USER_HOME: the VirtualBox
// home of a group of tests, which every server and tool started from here inherits.
std::string GroupHome(const std::string& group);
// Polls done every 20 ms until it holds; false after timeoutMs.
bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs = 10000);

// %TEMP%\kelvaran-tests\<TestName()><suffix>, emptied first; removed when the test passed, kept
// for a look when it failed. The suffix may hold blanks.
class TempFolder {
public:
    explicit TempFolder(const std::string& suffix = "");
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::string& Path() const {
        return path_;
    }
    std::string File(const std::string& name) const {
        return path_ + "\\" + name;
    }

private:
    std::string path_;
};

std::string ReadFileContent(const std::string& path);
void WriteFileContent(const std::string& path, const std::string& content);

using IniKeys = std::vector<std::pair<std::string, std::string>>;
// How a user's editor saves an INI file: UTF-8 (Notepad's default), with a BOM, or UTF-16LE.
enum class IniForm { Utf8, Utf8Bom, Utf16 };
// Writes keys in that order into the section [Kelvaran].
void WriteIni(const std::string& path, const IniKeys& keys, IniForm form = IniForm::Utf8);
// keys, where each key of extra replaces the one of its name, or follows them.
IniKeys MergeIni(IniKeys keys, const IniKeys& extra);
// The three keys a complete configuration needs, with harmless values, merged with extra.
IniKeys CompleteIni(const IniKeys& extra = {});
// Path with its last four characters replaced by extension, as the service derives its files.
std::string SiblingPath(const std::string& exePath, const std::string& extension);

// The messages of a log in order, without their "[MM/DD/YY HH:MM:SS] " stamps. The test fails
// when a line lacks the stamp or its CR LF.
std::vector<std::string> ReadLog(const std::string& path);
// How many messages begin with prefix.
size_t CountLog(const std::vector<std::string>& log, const std::string& prefix);
// The lines appear in the log in this order, whole; others may stand between them.
void ExpectLogInOrder(const std::vector<std::string>& log, const std::vector<std::string>& lines);

struct ProcessResult {
    DWORD exitCode;
    std::string output;  // standard output and error, CR LF as LF
};
// Runs exe with a command-line tail (quoted by the caller) and input on its standard input; the
// test fails when it cannot start or must be ended after timeoutMs.
ProcessResult RunProcess(const std::string& exe, const std::string& arguments = "",
                         DWORD timeoutMs = 60000, const std::string& input = "");
// The one user every process of a prefix runs as, services included: "COMPUTER\user".
std::string WineUser();
// The ids of the processes with this executable base name (exact case).
std::vector<DWORD> ProcessesNamed(const std::string& name);

// What the prefix's services report to Windows' event log from the moment of construction on, as
// Wine prints it into the prefix's events.log (scripts/wine-prefix.sh): "TYPE ID: insert | ...",
// an event each, TYPE 1 for an error, 2 a warning, 4 information (whose inserts Wine does not
// print), ID in decimal.
class EventRecord {
public:
    EventRecord();
    std::vector<std::string> Since() const;

private:
    std::string path_;
    size_t mark_;
};

// The name of a table's row, for a parameterised test whose rows have a field name.
template <typename Row>
std::string RowName(const testing::TestParamInfo<Row>& info) {
    return info.param.name;
}

// ---- Calls of the product's code in this process ----------------------------------------------

// Points this executable's import slots that hold from at to: the product code linked into the
// test then calls to. Where Wine keeps nothing of what the product asks for (failure actions), or
// shows something else (a pipe client's impersonation level), a test records the call instead.
template <typename F>
void Repoint(F from, F to) {
    auto* base = reinterpret_cast<BYTE*>(GetModuleHandleA(nullptr));
    const IMAGE_DATA_DIRECTORY& iat =
        reinterpret_cast<IMAGE_NT_HEADERS*>(base +
                                            reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew)
            ->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IAT];
    auto** slots = reinterpret_cast<void**>(base + iat.VirtualAddress);
    DWORD was = 0;
    VirtualProtect(slots, iat.Size, PAGE_READWRITE, &was);
    std::replace(slots, slots + iat.Size / sizeof *slots, reinterpret_cast<void*>(from),
                 reinterpret_cast<void*>(to));
    VirtualProtect(slots, iat.Size, was, &was);
}

// The system's own function of that type, as the import slots hold it before any Repoint.
template <typename F>
F System(F, const char* module, const char* name) {
    return reinterpret_cast<F>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA(module), name)));
}

// ---- The Service Control Manager ------------------------------------------------------------

using Statuses = std::vector<SERVICE_STATUS_PROCESS>;

// Each returns 0 or the Windows error of the step that failed.
DWORD QueryStatus(const std::string& service, SERVICE_STATUS_PROCESS* status);
DWORD StartByName(const std::string& service);
DWORD ControlByName(const std::string& service, DWORD control);
bool WaitForState(const std::string& service, DWORD state, DWORD timeoutMs = 30000);

// The registration as QueryServiceConfig and QueryServiceConfig2 show it.
struct ServiceSettings {
    DWORD serviceType, startType, errorControl, preshutdownTimeout;
    std::string binaryPath, displayName, description, account;
};
DWORD QuerySettings(const std::string& service, ServiceSettings* settings);

// "START_PENDING:1 START_PENDING:2 RUNNING:0": each report's state and checkpoint.
std::string Sequence(const Statuses& statuses);
// The states, a run of equal ones as one: "START_PENDING RUNNING STOP_PENDING STOPPED".
std::string States(const Statuses& statuses);
// What every run must report: type (0x110 as "-i" registers it) and controls 0x105 in each of the
// service's reports, pending checkpoints growing and never handed out twice, RUNNING and STOPPED
// with checkpoint 0 and wait hint 0, exit code 0 before STOPPED, and nothing after STOPPED.
void ExpectWellFormed(const Statuses& statuses, DWORD type = 0x110);
// The final report is STOPPED with these exit codes.
void ExpectStoppedWith(const Statuses& statuses, DWORD win32, DWORD specific);
std::string Describe(const Statuses& statuses);

// A copy of kelvaran.exe (or another executable of the build) under its own name in a folder:
// its service name, INI file and log derive from that name. A service of that name left by an
// earlier run is removed first, and the destructor removes it again.
class ServiceCopy {
public:
    ServiceCopy(const TempFolder& folder, const std::string& exeName,
                const std::string& source = "kelvaran.exe");
    ~ServiceCopy();
    ServiceCopy(const ServiceCopy&) = delete;
    ServiceCopy& operator=(const ServiceCopy&) = delete;

    const std::string& ExePath() const {
        return exePath_;
    }
    // The base name less its last four characters, blanks as '_'. exeName may lead through a
    // folder of the folder, which is made.
    const std::string& Name() const {
        return name_;
    }
    std::string IniPath() const {
        return SiblingPath(exePath_, ".ini");
    }
    std::string LogPath() const {
        return SiblingPath(exePath_, ".log");
    }
    std::vector<std::string> Log() const {
        return ReadLog(LogPath());
    }
    void WriteIni(const IniKeys& keys, IniForm form = IniForm::Utf8) const {
        testsupport::WriteIni(IniPath(), keys, form);
    }
    // Runs the copy from a console: Run("-i") installs it, Run("-u") removes it.
    ProcessResult Run(const std::string& arguments, const std::string& input = "") const {
        return RunProcess(exePath_, arguments, 60000, input);
    }

private:
    std::string exePath_;
    std::string name_;
};

// Polls a service's status about once a millisecond on a thread of its own and keeps every
// status that differs from the one before, so a test can assert the sequence of reports (a report
// replaced within the same millisecond can be missed). The service must exist.
class StatusRecorder {
public:
    explicit StatusRecorder(const std::string& service);
    ~StatusRecorder();
    StatusRecorder(const StatusRecorder&) = delete;
    StatusRecorder& operator=(const StatusRecorder&) = delete;

    // The statuses recorded so far, from index from on.
    Statuses Since(size_t from = 0) const;
    size_t Count() const;
    // Waits for a status with state at index from or later; false after timeoutMs.
    bool WaitFor(DWORD state, size_t from = 0, DWORD timeoutMs = 20000) const;

private:
    void Record();

    SC_HANDLE manager_;
    SC_HANDLE service_;
    mutable std::mutex lock_;
    Statuses statuses_;
    std::atomic<bool> running_{true};
    std::thread thread_;
};

// ---- The VirtualBox stand-in ----------------------------------------------------------------

// Machine states in VirtualBox 5.0's numbering, whatever release the stand-in plays.
enum : LONG {
    kPoweredOff = 1,
    kSaved = 2,
    kAborted = 4,
    kRunning = 5,
    kPaused = 6,
    kStopping = 11,
    kSaving = 12,
    kAbortedSaved = 24  // 7.0's, which has no 5.0 number
};

// The folder of VBoxSVC.exe and its siblings, the VboxInstallPath to configure.
std::string StandinFolder();
ProcessResult VBoxManage(const std::string& arguments);
// Runs standin-ctl; the test fails unless it exits with 0.
std::string Ctl(const std::string& arguments);

// Plays this release ("5.0", "6.1", "7.0") from now on: a server of the prefix that plays another
// one is waited for, or ended.
void UseRelease(const std::string& release);
// A fresh registered machine with these timings in ms (-1: the operation never completes).
void CreateMachine(const std::string& name, int launchMs = 300, int powerOffMs = 200,
                   int saveMs = 200);
// Ends the machine's VM process if it runs, and unregisters it; quiet when there is none.
void RemoveMachine(const std::string& name);
// The machine's state, -1 when the stand-in does not know it; and a wait for one.
LONG MachineState(const std::string& name);
bool WaitForMachineState(const std::string& name, LONG state, DWORD timeoutMs = 10000);

// One journal line: "HH:MM:SS.mmm PID Object.Member(ARGS) -> 0xHRESULT[ = VALUE][ @"MACHINE"]".
struct JournalEntry {
    DWORD pid = 0;
    std::string member;  // "Machine.LaunchVMProcess"
    std::string args;    // "Session, \"headless\", []"
    HRESULT result = S_OK;
    std::string value;    // "Progress", "5", or empty
    std::string machine;  // without quotes, or empty
    std::string line;
};

// The journal of the prefix's server from a mark on: others keep the file open, so it is never
// emptied.
class Journal {
public:
    Journal();
    // The call lines since the mark; those of one machine when it is given (the server's calls
    // on it, its look-ups by name, and the Session calls of process pid, when pid is given).
    std::vector<JournalEntry> Entries(const std::string& machine = "", DWORD pid = 0) const;

private:
    std::string path_;
    unsigned long long mark_ = 0;
};
size_t CountCalls(const std::vector<JournalEntry>& entries, const std::string& member);
// Whether the members occur in this order among the entries (others may stand between).
bool InOrder(const std::vector<JournalEntry>& entries, const std::vector<std::string>& members);
std::string Members(const std::vector<JournalEntry>& entries);

// The pid of the prefix's running VBoxSVC.exe, or 0.
DWORD FindVBoxSvc();
// Kills the prefix's VBoxSVC.exe and restarts Wine's RPC service, which would otherwise hand the
// dead server's class object to the next client.
void KillVBoxSvc();
// Gives the prefix's VBoxSVC.exe timeoutMs to end by itself, as a server does soon after its last
// client, and kills it when it does not.
void EndVBoxSvc(DWORD timeoutMs);
// Holds the server's class object and a VirtualBox object for a test's duration. Wine's COM
// deadlocks a server when its last class-object reference goes during a call (it unregisters the
// interface's stub while holding the lock every marshalling needs), so tests never let it go.
class ServerHold {
public:
    ServerHold();
    ~ServerHold();
    ServerHold(const ServerHold&) = delete;
    ServerHold& operator=(const ServerHold&) = delete;

private:
    IUnknown* factory_ = nullptr;
    IUnknown* virtualBox_ = nullptr;
};

// ---- The pipes --------------------------------------------------------------------------------

// "\\.\pipe\kelvaran.<vm>".
std::string ControlPipeName(const std::string& vm);
// One connection: writes bytes, reads a reply of up to 4 bytes. Returns the number of reply bytes
// (0 when none came before the server closed), or -1 when the pipe could not be opened.
int Exchange(const std::string& pipe, const std::string& bytes, DWORD* reply);
// A request word and its reply; the test fails when no whole reply comes.
DWORD Ask(const std::string& pipe, DWORD request);

// Plays the tray companion: owns "\\.\pipe\kelvarantray" with a few instances and counts the
// connections that carry the word 512 alone.
class TrayListener {
public:
    TrayListener();
    ~TrayListener();
    TrayListener(const TrayListener&) = delete;
    TrayListener& operator=(const TrayListener&) = delete;

    size_t Heard() const;
    bool WaitHeard(size_t count, DWORD timeoutMs = 10000) const;

private:
    void Serve(HANDLE pipe);

    std::vector<HANDLE> pipes_;
    std::vector<std::thread> threads_;
    mutable std::mutex lock_;
    size_t heard_ = 0;
};

}  // namespace testsupport
