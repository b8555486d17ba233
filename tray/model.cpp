// What the companion shows of its machines: severity, texts, menu and the machines that went down.
#include "tray/tray.h"

#include <algorithm>

namespace tray {
namespace {

// The state words of the control pipe, in VirtualBox 5.0's numbering.
enum : DWORD {
    Null = 0,
    PoweredOff = 1,
    Saved = 2,
    Teleported = 3,
    Aborted = 4,
    Running = 5,
    Paused = 6,
    Stuck = 7,
    LastState = 23,
};

const wchar_t* const StateWords[] = {
    L"state unknown",  // 0 is also the reply to any failure
    L"powered off",
    L"saved",
    L"teleported",
    L"aborted",
    L"running",
    L"paused",
    L"stuck",
    L"teleporting",
    L"taking a live snapshot",
    L"starting",
    L"stopping",
    L"saving",
    L"restoring",
    L"teleporting paused",
    L"teleporting in",
    L"syncing for fault tolerance",
    L"deleting a snapshot",
    L"deleting a snapshot, paused",
    L"taking a snapshot",
    L"restoring a snapshot",
    L"deleting a snapshot",
    L"setting up",
    L"taking a snapshot",
};

// The service's own exit codes, under ERROR_SERVICE_SPECIFIC_ERROR.
struct Failure {
    DWORD code;
    const wchar_t* text;
};
const Failure Failures[] = {
    {0x80800001, L"the machine could not start"},
    {0x80800002, L"the machine aborted"},
    {0x80800003, L"VirtualBox was lost"},
};

std::wstring StateWord(DWORD state) {
    return state <= LastState ? StateWords[state] : L"state " + std::to_wstring(state);
}

std::wstring Capitalised(std::wstring text) {
    if (!text.empty()) {
        text[0] = towupper(text[0]);
    }
    return text;
}

bool Stopped(const Machine& machine) {
    return machine.status.dwCurrentState == SERVICE_STOPPED;
}

// A service never started since the computer started reports ERROR_SERVICE_NEVER_STARTED.
bool Failed(const Machine& machine) {
    DWORD code = machine.status.dwWin32ExitCode;
    return Stopped(machine) && code != NO_ERROR && code != ERROR_SERVICE_NEVER_STARTED;
}

// The machine's own state counts only while its service runs and answered itself.
bool Reported(const Machine& machine) {
    return machine.status.dwCurrentState == SERVICE_RUNNING && machine.answered &&
           !machine.impostor;
}

std::wstring FailureText(const SERVICE_STATUS_PROCESS& status) {
    if (status.dwWin32ExitCode != ERROR_SERVICE_SPECIFIC_ERROR) {
        return L"error " + std::to_wstring(status.dwWin32ExitCode);
    }
    for (const Failure& failure : Failures) {
        if (failure.code == status.dwServiceSpecificExitCode) {
            return failure.text;
        }
    }
    wchar_t code[16];
    swprintf(code, 16, L"0x%08lX", static_cast<unsigned long>(status.dwServiceSpecificExitCode));
    return std::wstring(L"code ") + code;
}

std::wstring ServiceWord(const Machine& machine) {
    switch (machine.status.dwCurrentState) {
        case SERVICE_STOPPED:
            return Failed(machine) ? L"service failed: " + FailureText(machine.status)
                                   : L"service stopped";
        case SERVICE_START_PENDING:
            return L"service starting";
        case SERVICE_STOP_PENDING:
            return L"service stopping";
        case SERVICE_RUNNING:
            return L"service running";
        default:
            return L"service paused";
    }
}

// ", 1280x800, RDP 3389" for a machine whose console is there.
std::wstring ConsoleFacts(const Machine& machine) {
    std::wstring facts;
    if (machine.state != Running && machine.state != Paused) {
        return facts;
    }
    if (machine.screen != 0) {
        facts += L", " + std::to_wstring(machine.screen & 0xFFFF) + L"x" +
                 std::to_wstring(machine.screen >> 16);
    }
    if (RemoteDesktopPort(machine) != 0) {
        facts += L", RDP " + std::to_wstring(RemoteDesktopPort(machine));
    }
    return facts;
}

std::wstring MachineFacts(const Machine& machine) {
    if (machine.impostor) {
        return L"pipe held by another process";
    }
    if (!machine.answered) {
        return L"no answer on its pipe";
    }
    return Capitalised(StateWord(machine.state)) + ConsoleFacts(machine);
}

std::wstring Joined(const std::vector<std::wstring>& lines) {
    std::wstring text;
    for (const std::wstring& line : lines) {
        text += (text.empty() ? L"" : L"\n") + line;
    }
    return text;
}

std::wstring Cut(const std::wstring& line, size_t limit) {
    return line.size() <= limit ? line : line.substr(0, limit - 1) + L"\x2026";
}

const wchar_t TakenNote[] = L"State changes unheard (pipe taken): polling every 5 s";

}  // namespace

Severity SeverityOf(const Machine& machine) {
    if (machine.vm.empty() || Stopped(machine)) {
        return Failed(machine) ? Severity::Red : Severity::Grey;
    }
    if (machine.status.dwCurrentState != SERVICE_RUNNING) {
        return Severity::Amber;
    }
    if (!machine.impostor && (!machine.answered || machine.state < Aborted)) {
        return Severity::Grey;
    }
    if (machine.impostor || machine.state == Aborted || machine.state == Stuck) {
        return Severity::Red;
    }
    return machine.state == Running ? Severity::Green : Severity::Amber;
}

Severity WorstSeverity(const std::vector<Machine>& machines) {
    if (machines.empty()) {
        return Severity::Grey;
    }
    Severity worst = Severity::Green;
    for (const Machine& machine : machines) {
        worst = std::max(worst, SeverityOf(machine));
    }
    return worst;
}

std::wstring Facts(const Machine& machine) {
    if (machine.vm.empty()) {
        return L"no VmName in its INI file";
    }
    return machine.status.dwCurrentState == SERVICE_RUNNING ? MachineFacts(machine)
                                                            : ServiceWord(machine);
}

std::wstring StatusLine(const Machine& machine) {
    std::wstring line = machine.Label();
    if (machine.Label() != machine.service) {
        line += L" (" + machine.service + L")";
    }
    line += L": " + ServiceWord(machine);
    if (machine.vm.empty()) {
        line += L"; " + Facts(machine);
    } else if (machine.status.dwCurrentState == SERVICE_RUNNING) {
        line += Reported(machine) ? L"; machine " + MachineFacts(machine)
                                  : L"; " + MachineFacts(machine);
    }
    return line;
}

std::wstring FullText(const std::vector<Machine>& machines, bool pipeTaken) {
    std::vector<std::wstring> lines;
    if (pipeTaken) {
        lines.push_back(TakenNote);
    }
    for (const Machine& machine : machines) {
        lines.push_back(machine.Label() + L": " + Facts(machine));
    }
    if (machines.empty()) {
        lines.push_back(L"Kelvaran: no machine found");
    }
    return Joined(lines);
}

std::wstring TooltipText(const std::vector<Machine>& machines, bool pipeTaken) {
    std::wstring full = FullText(machines, pipeTaken);
    if (full.size() <= TooltipLimit) {
        return full;
    }
    // Too long: the worst first, each by its state alone, and a count of those left out.
    std::vector<const Machine*> order;
    for (const Machine& machine : machines) {
        order.push_back(&machine);
    }
    std::stable_sort(order.begin(), order.end(), [](const Machine* a, const Machine* b) {
        return SeverityOf(*a) > SeverityOf(*b);
    });
    std::vector<std::wstring> lines;
    if (pipeTaken) {
        lines.push_back(L"Pipe taken: polling every 5 s");
    }
    for (size_t i = 0; i < order.size(); ++i) {
        std::wstring facts = Facts(*order[i]);
        std::wstring line = Cut(order[i]->Label() + L": " + facts.substr(0, facts.find(L',')), 40);
        std::wstring more = L"+" + std::to_wstring(order.size() - i - 1) + L" more";
        bool last = i + 1 == order.size();
        lines.push_back(line);
        if (Joined(lines).size() + (last ? 0 : 1 + more.size()) > TooltipLimit) {
            lines.back() = L"+" + std::to_wstring(order.size() - i) + L" more";
            break;
        }
    }
    return Joined(lines);
}

bool Settling(const Machine& machine) {
    DWORD service = machine.status.dwCurrentState;
    bool steady = machine.state == Running || machine.state == Paused || machine.state == Stuck;
    return service == SERVICE_START_PENDING || service == SERVICE_STOP_PENDING ||
           (Reported(machine) && machine.state != Null && !steady);
}

int RemoteDesktopPort(const Machine& machine) {
    LONG port = static_cast<LONG>(machine.vrdePort);
    bool offered = Reported(machine) && machine.vrdeEnabled != 0 && port > 0 && port <= 65535;
    return offered ? static_cast<int>(port) : 0;
}

MenuState MenuFor(const Machine& machine) {
    DWORD state = machine.status.dwCurrentState;
    bool stoppable = (machine.status.dwControlsAccepted & SERVICE_ACCEPT_STOP) != 0 &&
                     state != SERVICE_STOPPED && state != SERVICE_STOP_PENDING;
    return {machine.state == Running && RemoteDesktopPort(machine) != 0, state == SERVICE_STOPPED,
            stoppable, machine.logExists};
}

std::vector<std::wstring> DownWatch::Update(const std::vector<Machine>& machines, ULONGLONG now) {
    std::vector<std::wstring> texts;
    std::set<std::wstring> seen;
    for (const Machine& machine : machines) {
        seen.insert(machine.service);
        bool up = Reported(machine) && machine.state >= Running;
        bool down = Stopped(machine) ||
                    (Reported(machine) && machine.state > Null && machine.state <= Aborted);
        if (up) {
            up_.insert(machine.service);
        } else if (down) {
            bool wasUp = up_.erase(machine.service) != 0;
            if (stoppedHere_.erase(machine.service) != 0 || !wasUp) {
                continue;
            }
            auto told = told_.find(machine.service);
            if (told != told_.end() && now - told->second < QuietSpan) {
                continue;
            }
            told_[machine.service] = now;
            std::wstring why = Reported(machine) ? StateWord(machine.state)
                               : Failed(machine) ? FailureText(machine.status)
                                                 : L"service stopped";
            texts.push_back(machine.Label() + L" stopped: " + why);
        }
    }
    // A removed service takes its memories with it.
    for (auto it = up_.begin(); it != up_.end();) {
        it = seen.count(*it) != 0 ? std::next(it) : up_.erase(it);
    }
    for (auto it = told_.begin(); it != told_.end();) {
        it = seen.count(it->first) != 0 ? std::next(it) : told_.erase(it);
    }
    return texts;
}

}  // namespace tray
