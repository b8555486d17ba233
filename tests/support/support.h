// Test equipment shared by the test groups: folders of their own per test, copies of the
// build's executables, INI and log files, child processes, and Wine's Service Control Manager.
//
// Every test of a group runs in the group's one Wine prefix, several at a time. Tests keep apart
// by names: a test's folder and its services are named after the test itself.
#pragma once

#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace testsupport {

// ---- Files and folders ----------------------------------------------------------------------

// "Suite.Name" of the running GoogleTest case, with the characters that a file or service name
// cannot hold replaced by '_'.
std::string TestName();

// The folder of the running test executable: the build puts every executable there.
std::string BinFolder();

// A folder of its own for the running test, %TEMP%\kelvaran-tests\<TestName()><suffix>. Whatever
// an earlier run left there goes first. Removed with its contents when the test passed, kept for
// a look when it failed. The suffix may hold blanks.
class TempFolder {
public:
    explicit TempFolder(const std::string& suffix = "");
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::string& Path() const {
        return path_;
    }
    // Path() + "\" + name.
    std::string File(const std::string& name) const;

private:
    std::string path_;
};

// Copies the build's executable source (from BinFolder()) to folder\name; returns the new path.
std::string CopyExecutable(const std::string& folder, const std::string& name,
                           const std::string& source = "kelvaran.exe");

bool FileExists(const std::string& path);
// Whole file, bytes as they are on disk (CR LF stays).
std::string ReadFileContent(const std::string& path);
void WriteFileContent(const std::string& path, const std::string& content);
void RemoveFile(const std::string& path);

// ---- Configuration and log ------------------------------------------------------------------

using IniKeys = std::vector<std::pair<std::string, std::string>>;

// Writes an INI file holding keys, in that order, in one section.
void WriteIni(const std::string& path, const IniKeys& keys,
              const std::string& section = "Kelvaran");

// The three keys a complete configuration needs, with harmless values, then extra (a key given
// in extra replaces the default of the same name).
IniKeys CompleteIni(const IniKeys& extra = {});

// The messages of a log file in order, each without its "[MM/DD/YY HH:MM:SS] " stamp. The test
// fails when a line lacks the stamp or does not end with CR LF.
std::vector<std::string> ReadLogMessages(const std::string& path);

// How many messages of the log equal text (0 when there is no log).
int CountLogMessages(const std::string& logPath, const std::string& text);
// Whether some message of the log equals text.
bool LogHolds(const std::string& logPath, const std::string& text);

// Path with its last four characters replaced by extension, as the service derives its files.
std::string SiblingPath(const std::string& exePath, const std::string& extension);

// ---- Processes ------------------------------------------------------------------------------

struct ProcessResult {
    DWORD exitCode;      // STILL_ACTIVE when the process was killed after the time-out
    std::string output;  // standard output and error, CR LF turned into LF
};

// Runs exe with arguments (a command-line tail, quoted by the caller) and waits for it.
ProcessResult RunProcess(const std::string& exe, const std::string& arguments = "",
                         DWORD timeoutMs = 60000);

// The base name of a process's executable, "" when it cannot be read.
std::string ProcessName(DWORD pid);
// The process ids of processes with this executable base name (exact case).
std::vector<DWORD> ProcessesNamed(const std::string& name);

// ---- The Service Control Manager ------------------------------------------------------------

// Each returns 0 or the Windows error of the step that failed.
DWORD QueryStatus(const std::string& service, SERVICE_STATUS_PROCESS* status);
DWORD StartByName(const std::string& service);
DWORD ControlByName(const std::string& service, DWORD control, SERVICE_STATUS* status = nullptr);
DWORD DeleteByName(const std::string& service);

// The registration as QueryServiceConfig and QueryServiceConfig2 show it.
struct ServiceSettings {
    DWORD serviceType;
    DWORD startType;
    DWORD errorControl;
    std::string binaryPath;
    std::string displayName;
    std::string account;
    std::string description;
    DWORD preshutdownTimeout;
};
DWORD QuerySettings(const std::string& service, ServiceSettings* settings);

// The service's security descriptor (its DACL part) as the manager returns it.
DWORD QuerySecurity(const std::string& service, std::vector<BYTE>* descriptor);

// Waits until the service reports state; false after timeoutMs.
bool WaitForState(const std::string& service, DWORD state, DWORD timeoutMs = 30000);

// Stops the service when it runs, waits for STOPPED, and deletes it. Quiet when it is not there.
void RemoveService(const std::string& service);

// "state=4 checkpoint=0 hint=0 exit=0/0 controls=0x105" for failure messages.
std::string Describe(const SERVICE_STATUS_PROCESS& status);
std::string Describe(const std::vector<SERVICE_STATUS_PROCESS>& statuses);

// A copy of kelvaran.exe under its own name in a test's folder: its service name, INI file and
// log derive from that name. Whatever service of that name an earlier run left is removed first;
// the destructor removes the service again.
class ServiceCopy {
public:
    ServiceCopy(const TempFolder& folder, const std::string& exeName);
    ~ServiceCopy();
    ServiceCopy(const ServiceCopy&) = delete;
    ServiceCopy& operator=(const ServiceCopy&) = delete;

    const std::string& ExePath() const {
        return exePath_;
    }
    // The base name less its last four characters, blanks as '_'.
    const std::string& Name() const {
        return name_;
    }
    std::string IniPath() const {
        return SiblingPath(exePath_, ".ini");
    }
    std::string LogPath() const {
        return SiblingPath(exePath_, ".log");
    }

    void WriteIni(const IniKeys& keys) const;
    // Runs the copy from a console: Run("-i") installs it, Run("-u") removes it.
    ProcessResult Run(const std::string& arguments) const;

private:
    std::string exePath_;
    std::string name_;
};

// Polls a service's status on a thread of its own, about once a millisecond, and keeps every
// status whose reported fields (state, controls, exit codes, checkpoint, wait hint) differ from
// the one before, so that a test can assert the sequence of reports. A report that another
// replaces within the same millisecond can be missed. The service must exist; its status at
// construction is the first one recorded.
class StatusRecorder {
public:
    explicit StatusRecorder(const std::string& service);
    ~StatusRecorder();
    StatusRecorder(const StatusRecorder&) = delete;
    StatusRecorder& operator=(const StatusRecorder&) = delete;

    // How many statuses have been recorded so far: a mark for WaitFor.
    size_t Count() const;
    // Waits until a status with state is recorded at index from or later; false after
    // timeoutMs.
    bool WaitFor(DWORD state, size_t from, DWORD timeoutMs = 30000) const;
    // The statuses recorded so far.
    std::vector<SERVICE_STATUS_PROCESS> Statuses() const;
    // Ends the polling and returns every status recorded.
    std::vector<SERVICE_STATUS_PROCESS> Stop();

private:
    void Record();
    void Poll();

    SC_HANDLE manager_;
    SC_HANDLE service_;
    mutable std::mutex lock_;
    std::vector<SERVICE_STATUS_PROCESS> statuses_;
    std::atomic<bool> running_{true};
    std::thread thread_;
};

}  // namespace testsupport
