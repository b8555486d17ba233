// The tray companion's model of the machines it shows, and the probe that fills it from the
// Service Control Manager, the services' INI files and their control pipes. The window, the icon
// and the menu (app.cpp) only render what these functions decide.
#pragma once

#include <windows.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace tray {

// How bad a machine's state is, in rising order; the icon shows the worst.
enum class Severity { Green, Amber, Grey, Red };

// One installed service whose executable is a copy of kelvaran.exe, and what its control pipe said.
struct Machine {
    std::wstring service;  // the service's name
    std::wstring vm;       // VmName from the INI beside the executable; empty when it has none
    std::wstring exePath;
    std::wstring logPath;  // beside the executable, as the service writes it
    SERVICE_STATUS_PROCESS status{};
    bool answered = false;  // the control pipe answered the four questions
    bool impostor = false;  // another process than the service holds the control pipe
    DWORD state = 0;        // VirtualBox 5.0's numbering; 0 for a failure
    DWORD screen = 0;       // height << 16 | width
    DWORD vrdePort = 0;     // signed, passed on bit for bit
    DWORD vrdeEnabled = 0;
    bool logExists = false;

    // The name the user knows the machine by.
    const std::wstring& Label() const {
        return vm.empty() ? service : vm;
    }
};

Severity SeverityOf(const Machine& machine);
// Grey when there is no machine at all: nothing runs.
Severity WorstSeverity(const std::vector<Machine>& machines);

// "Running, 1280x800, RDP 3389", "service stopped", "service failed: the machine aborted", ...
std::wstring Facts(const Machine& machine);
// The line of --status: "office: service running; machine Running, 1280x800, RDP 3389", with the
// service's name in brackets after the machine's when they differ.
std::wstring StatusLine(const Machine& machine);

// The notification area shows this many characters of a tooltip.
constexpr size_t TooltipLimit = 127;
// A line per machine, shortened, and at last summarised, to fit TooltipLimit. pipeTaken adds the
// note that state changes are not heard.
std::wstring TooltipText(const std::vector<Machine>& machines, bool pipeTaken);
// Every machine's line in full, as the companion's window title carries it.
std::wstring FullText(const std::vector<Machine>& machines, bool pipeTaken);

// A service between states, or running a machine that is not up and steady: it will change
// without a word to the companion (services tell only their machine's changes).
bool Settling(const Machine& machine);

// The port to give remote desktop, or 0 when the machine offers none.
int RemoteDesktopPort(const Machine& machine);

struct MenuState {
    bool remoteDesktop, startService, stopService, openLog;
};
MenuState MenuFor(const Machine& machine);

// Tells which machines went down since the last update and were not stopped from the companion:
// "office stopped: aborted", one text each; a machine at most once within QuietSpan, however
// often its service fails and is restarted meanwhile.
class DownWatch {
public:
    // A stop the user asked for here: its machine's end is no news.
    void ExpectStop(const std::wstring& service) {
        stoppedHere_.insert(service);
    }
    // The stop failed, or the service was started again.
    void CancelStop(const std::wstring& service) {
        stoppedHere_.erase(service);
    }
    // now: GetTickCount64's milliseconds.
    std::vector<std::wstring> Update(const std::vector<Machine>& machines, ULONGLONG now);

    static constexpr ULONGLONG QuietSpan = 5 * 60 * 1000;

private:
    std::set<std::wstring> up_;
    std::set<std::wstring> stoppedHere_;
    std::map<std::wstring, ULONGLONG> told_;  // when each machine's last text was given
};

// ---- The probe ---------------------------------------------------------------------------------

// A service as the Service Control Manager lists it.
struct ServiceEntry {
    std::wstring name;
    std::wstring command;  // the image path, arguments and quotes included
    SERVICE_STATUS_PROCESS status;
};

// The executable a service's command line starts, resolved as CreateProcess would.
std::wstring ExecutableOf(const std::wstring& command);
// The machines among the services: those whose executable's product name is "Kelvaran Service",
// with VmName read from the INI beside it, ordered by name.
std::vector<Machine> Discover(const std::vector<ServiceEntry>& services);
// Every Win32 service. Returns 0 or the Windows error of the step that failed.
DWORD ListServices(std::vector<ServiceEntry>* services);
// Asks a running machine's control pipe its four questions, unless a process other than the
// service's holds the pipe: then the machine is an impostor's, and nothing it says is taken.
void AskMachine(Machine* machine);
// ListServices, Discover, then AskMachine for each until stop (an event, or null) is set.
// Returns 0 or ListServices' error.
DWORD Survey(std::vector<Machine>* machines, HANDLE stop = nullptr);

// Windows' own text for an error, without its line break: "Access is denied.".
std::wstring ErrorText(DWORD error);

}  // namespace tray
