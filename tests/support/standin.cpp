// The VirtualBox stand-in: its tools, machines, journal and server process.
#include "tests/support/support.h"

#include <gtest/gtest.h>
#include <objbase.h>

#include <fstream>
#include <sstream>

#include "vbox/vbox.h"

namespace testsupport {
namespace {

const CLSID kClsidVirtualBox = {
    0xB1A7A4F2, 0x47B9, 0x4A1E, {0x82, 0xB2, 0x07, 0xCC, 0xD5, 0x32, 0x3C, 0x3F}};

std::string Quoted(const std::string& name) {
    return "\"" + name + "\"";
}

// 12:04:05.123 4242 Machine.State() -> 0x00000000 = 5 @"vm1"
bool ParseJournalLine(const std::string& line, JournalEntry* entry) {
    size_t pidEnd = line.size() > 13 ? line.find(' ', 13) : std::string::npos;
    size_t open = line.find('(', pidEnd == std::string::npos ? 0 : pidEnd);
    size_t arrow = line.rfind(") -> 0x");
    if (pidEnd == std::string::npos || line[12] != ' ' || open == std::string::npos ||
        arrow == std::string::npos || arrow < open || line.size() < arrow + 15) {
        return false;
    }
    entry->line = line;
    entry->pid = strtoul(line.c_str() + 13, nullptr, 10);
    entry->member = line.substr(pidEnd + 1, open - pidEnd - 1);
    entry->args = line.substr(open + 1, arrow - open - 1);
    entry->result = static_cast<HRESULT>(strtoul(line.c_str() + arrow + 5, nullptr, 16));
    std::string rest = line.substr(arrow + 15);
    size_t at = rest.rfind(" @\"");
    entry->machine = at != std::string::npos ? rest.substr(at + 3, rest.size() - at - 4) : "";
    rest = rest.substr(0, at);
    entry->value = rest.compare(0, 3, " = ") == 0 ? rest.substr(3) : "";
    return entry->member.find('.') != std::string::npos && entry->member[0] != '#';
}

}  // namespace

std::string StandinFolder() {
    char value[MAX_PATH] = "";
    DWORD length = GetEnvironmentVariableA("KELVARAN_STANDIN_DIR", value, sizeof value);
    std::string folder = length > 0 && length < sizeof value ? std::string(value, length)
                                                             : BinFolder() + "\\..\\vbox";
    char full[MAX_PATH] = "";
    GetFullPathNameA(folder.c_str(), sizeof full, full, nullptr);
    return full;
}

ProcessResult VBoxManage(const std::string& arguments) {
    return RunProcess(StandinFolder() + "\\VBoxManage.exe", arguments);
}

std::string Ctl(const std::string& arguments) {
    ProcessResult result = RunProcess(StandinFolder() + "\\standin-ctl.exe", arguments);
    EXPECT_EQ(result.exitCode, 0u) << "standin-ctl " << arguments << ":\n" << result.output;
    return result.output;
}

void UseRelease(const std::string& release) {
    // "6.1", or "6.1 (7.0 from the next start)".
    std::string shown = Ctl("release");
    std::string played = shown.substr(0, shown.find_first_of(" \n"));
    if (played == release && shown.find('(') == std::string::npos) {
        return;
    }
    Ctl("release " + release);
    if (played != release) {
        EndVBoxSvc(2500);
    }
}

void CreateMachine(const std::string& name, int launchMs, int powerOffMs, int saveMs) {
    RemoveMachine(name);
    ProcessResult result = VBoxManage("createvm --name " + Quoted(name) + " --register");
    ASSERT_EQ(result.exitCode, 0u) << result.output;
    Ctl("durations " + Quoted(name) + " " + std::to_string(launchMs) + " " +
        std::to_string(powerOffMs) + " " + std::to_string(saveMs));
}

void RemoveMachine(const std::string& name) {
    Ctl("remove " + Quoted(name));
}

LONG MachineState(const std::string& name) {
    // "6 Running": the number is the played release's; the name is the same in every release.
    ProcessResult result =
        RunProcess(StandinFolder() + "\\standin-ctl.exe", "state " + Quoted(name));
    std::istringstream line(result.output);
    LONG number = -1;
    std::string word;
    if (result.exitCode != 0 || !(line >> number >> word)) {
        return -1;
    }
    for (LONG state = 0; state < MachineStateCount; ++state) {
        if (word == MachineStateNames[state]) {
            return state;
        }
    }
    return word == "AbortedSaved" ? static_cast<LONG>(kAbortedSaved) : -1;
}

bool WaitForMachineState(const std::string& name, LONG state, DWORD timeoutMs) {
    return WaitUntil([&] { return MachineState(name) == state; }, timeoutMs);
}

Journal::Journal() {
    std::string shown = Ctl("journal");
    path_ = shown.substr(0, shown.find('\n'));
    WIN32_FILE_ATTRIBUTE_DATA data;
    mark_ = GetFileAttributesExA(path_.c_str(), GetFileExInfoStandard, &data)
                ? (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow
                : 0;
}

std::vector<JournalEntry> Journal::Entries(const std::string& machine, DWORD pid) const {
    std::ifstream file(path_, std::ios::binary);
    file.seekg(static_cast<std::streamoff>(mark_));
    std::vector<JournalEntry> entries;
    JournalEntry entry;
    for (std::string line; std::getline(file, line);) {
        line.erase(line.find_last_not_of('\r') + 1);
        // A machine's calls: the server tags them, a look-up names it, and the Session calls are
        // the client process's.
        if (ParseJournalLine(line, &entry) &&
            (machine.empty() || entry.machine == machine ||
             (entry.member == "VirtualBox.FindMachine" && entry.args == Quoted(machine)) ||
             (pid != 0 && entry.pid == pid && entry.member.compare(0, 8, "Session.") == 0))) {
            entries.push_back(entry);
        }
    }
    return entries;
}

size_t CountCalls(const std::vector<JournalEntry>& entries, const std::string& member) {
    return std::count_if(entries.begin(), entries.end(),
                         [&](const JournalEntry& e) { return e.member == member; });
}

bool InOrder(const std::vector<JournalEntry>& entries, const std::vector<std::string>& members) {
    size_t next = 0;
    for (const JournalEntry& e : entries) {
        next += next < members.size() && e.member == members[next];
    }
    return next == members.size();
}

std::string Members(const std::vector<JournalEntry>& entries) {
    std::string text;
    for (const JournalEntry& e : entries) {
        text += (text.empty() ? "" : " ") + e.member;
    }
    return text;
}

DWORD FindVBoxSvc() {
    std::vector<DWORD> found = ProcessesNamed("VBoxSVC.exe");
    return found.empty() ? 0 : found.front();
}

void KillVBoxSvc() {
    bool killed = false;
    for (DWORD pid : ProcessesNamed("VBoxSVC.exe")) {
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
        if (process != nullptr) {
            killed = TerminateProcess(process, 1) != FALSE;
            WaitForSingleObject(process, 10000);
            CloseHandle(process);
        }
    }
    if (killed) {
        EXPECT_EQ(ControlByName("RpcSs", SERVICE_CONTROL_STOP), 0u);
        EXPECT_TRUE(WaitForState("RpcSs", SERVICE_STOPPED, 10000));
    }
}

void EndVBoxSvc(DWORD timeoutMs) {
    HANDLE server = OpenProcess(SYNCHRONIZE, FALSE, FindVBoxSvc());
    if (server != nullptr) {
        if (WaitForSingleObject(server, timeoutMs) != WAIT_OBJECT_0) {
            KillVBoxSvc();
        }
        CloseHandle(server);
    }
}

ServerHold::ServerHold() {
    EXPECT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    HRESULT hr = E_FAIL;
    // A server that is just ending its idle run refuses an activation; the next starts anew.
    for (int attempt = 0; attempt < 5 && FAILED(hr); ++attempt) {
        Sleep(attempt * 300);
        hr = CoGetClassObject(kClsidVirtualBox, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory,
                              reinterpret_cast<void**>(&factory_));
    }
    EXPECT_EQ(hr, S_OK) << "no class object of the stand-in";
    if (SUCCEEDED(hr)) {
        EXPECT_EQ(static_cast<IClassFactory*>(factory_)->CreateInstance(
                      nullptr, IID_IUnknown, reinterpret_cast<void**>(&virtualBox_)),
                  S_OK);
    }
}

ServerHold::~ServerHold() {
    if (virtualBox_ != nullptr) {
        virtualBox_->Release();
    }
    if (factory_ != nullptr) {
        factory_->Release();
    }
    CoUninitialize();
}

}  // namespace testsupport
