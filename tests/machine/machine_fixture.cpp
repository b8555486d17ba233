#include "tests/machine/machine_fixture.h"

#include <cstdio>

namespace machine_test {

using testsupport::Describe;

const std::string& GroupHome() {
    static const std::string home = [] {
        char temp[MAX_PATH] = "";
        GetTempPathA(sizeof temp, temp);
        std::string path = std::string(temp) + "kelvaran-machine-home";
        CreateDirectoryA(path.c_str(), nullptr);
        SetEnvironmentVariableA("VBOX_USER_HOME", path.c_str());
        return path;
    }();
    return home;
}

namespace {

const char* StateName(DWORD state) {
    switch (state) {
        case SERVICE_STOPPED:
            return "STOPPED";
        case SERVICE_START_PENDING:
            return "START_PENDING";
        case SERVICE_STOP_PENDING:
            return "STOP_PENDING";
        case SERVICE_RUNNING:
            return "RUNNING";
        default:
            return "OTHER";
    }
}

bool IsPending(DWORD state) {
    return state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
}

// Starts the group's server from a service of its own, whose copy of kelvaran.exe launches
// VBoxSVC.exe before it connects. Wine hands the unix standard error of a process down to every
// process it starts, and ctest waits until the test's output pipes close: a server started from
// this process's tree would hold each test up until the server's idle exit.
void StartServerFromService() {
    testsupport::TempFolder folder("-server");
    testsupport::ServiceCopy starter(folder, "MachineServerStarter.exe");
    starter.WriteIni({{"VboxInstallPath", standin_test::StandinFolder()},
                      {"VboxUserHome", GroupHome()},
                      {"VmName", "no machine"},
                      {"Loglevel", "0"}});
    ASSERT_EQ(starter.Run("-i").exitCode, 0u);
    ASSERT_EQ(testsupport::StartByName(starter.Name()), 0u);
    EXPECT_TRUE(testsupport::WaitForState(starter.Name(), SERVICE_STOPPED));
}

}  // namespace

void UseGroupServer() {
    const std::string& wanted = GroupHome();
    for (int attempt = 0; attempt < 3; ++attempt) {
        DWORD pid = standin_test::FindVBoxSvc();
        if (pid == 0) {
            StartServerFromService();
            continue;
        }
        testsupport::ProcessResult home = standin_test::StandinCtl("home");
        if (home.exitCode == 0 && home.output.substr(0, home.output.find('\n')) == wanted) {
            return;
        }
        // A server of another home (the home folder test's, or one started by hand) ends a few
        // seconds after its last client; one that does not is ended.
        if (!standin_test::WaitForExit(pid, 8000)) {
            standin_test::KillVBoxSvc();
        }
    }
    ADD_FAILURE() << "no stand-in server for " << wanted;
}

std::string Sequence(const Statuses& statuses) {
    std::string text;
    for (const SERVICE_STATUS_PROCESS& status : statuses) {
        text += (text.empty() ? "" : " ") + std::string(StateName(status.dwCurrentState)) + ":" +
                std::to_string(status.dwCheckPoint);
    }
    return text;
}

std::string States(const Statuses& statuses) {
    std::string text;
    DWORD last = 0;
    for (const SERVICE_STATUS_PROCESS& status : statuses) {
        if (status.dwCurrentState != last) {
            text += (text.empty() ? "" : " ") + std::string(StateName(status.dwCurrentState));
            last = status.dwCurrentState;
        }
    }
    return text;
}

void ExpectWellFormed(const Statuses& statuses) {
    DWORD lastCheckpoint = 0;
    // Until the service's first report, Wine's manager shows its own START_PENDING without
    // controls.
    size_t first = 0;
    while (first < statuses.size() && statuses[first].dwCurrentState == SERVICE_START_PENDING &&
           statuses[first].dwControlsAccepted == 0) {
        ++first;
    }
    for (size_t i = first; i < statuses.size(); ++i) {
        const SERVICE_STATUS_PROCESS& status = statuses[i];
        SCOPED_TRACE("report " + std::to_string(i) + ": " + Describe(status) + Describe(statuses));
        EXPECT_EQ(status.dwServiceType, 0x110u);
        EXPECT_EQ(status.dwControlsAccepted, 0x105u);
        if (IsPending(status.dwCurrentState)) {
            EXPECT_GT(status.dwCheckPoint, lastCheckpoint) << "checkpoint handed out twice";
            lastCheckpoint = status.dwCheckPoint;
        } else {
            EXPECT_EQ(status.dwCheckPoint, 0u);
            EXPECT_EQ(status.dwWaitHint, 0u);
        }
        if (status.dwCurrentState != SERVICE_STOPPED) {
            EXPECT_EQ(status.dwWin32ExitCode, 0u);
        } else {
            EXPECT_EQ(i + 1, statuses.size()) << "a report after STOPPED";
        }
    }
}

void ExpectStoppedWith(const Statuses& statuses, DWORD win32, DWORD specific) {
    ASSERT_FALSE(statuses.empty());
    const SERVICE_STATUS_PROCESS& last = statuses.back();
    EXPECT_EQ(last.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED)) << Describe(statuses);
    EXPECT_EQ(last.dwWin32ExitCode, win32) << Describe(statuses);
    EXPECT_EQ(last.dwServiceSpecificExitCode, specific) << Describe(statuses);
}

void ExpectStopReports(const Statuses& statuses, DWORD waitHint, size_t minimum) {
    size_t first = 0;
    while (first < statuses.size() && statuses[first].dwCurrentState != SERVICE_STOP_PENDING) {
        ++first;
    }
    ASSERT_LT(first, statuses.size()) << "no STOP_PENDING" << Describe(statuses);
    size_t counted = 0;
    size_t i = first;
    for (; i < statuses.size() && statuses[i].dwCurrentState == SERVICE_STOP_PENDING; ++i) {
        if (statuses[i].dwWaitHint != 0) {
            EXPECT_EQ(statuses[i].dwWaitHint, waitHint) << Describe(statuses);
            ++counted;
        }
    }
    EXPECT_GE(counted, minimum) << Describe(statuses);
    ASSERT_EQ(i + 1, statuses.size()) << "STOPPED must end the stop" << Describe(statuses);
    ExpectStoppedWith(statuses, 0, 0);
}

void ExpectLogInOrder(const std::vector<std::string>& log, const std::vector<std::string>& lines) {
    size_t next = 0;
    for (const std::string& message : log) {
        if (next < lines.size() && message == lines[next]) {
            ++next;
        }
    }
    std::string text;
    for (const std::string& message : log) {
        text += "\n  " + message;
    }
    EXPECT_EQ(next, lines.size()) << "missing or out of order: \"" << lines[next] << "\" in"
                                  << text;
}

bool LogContains(const std::vector<std::string>& log, const std::string& line) {
    for (const std::string& message : log) {
        if (message == line) {
            return true;
        }
    }
    return false;
}

size_t CountLog(const std::vector<std::string>& log, const std::string& prefix) {
    size_t count = 0;
    for (const std::string& message : log) {
        count += message.compare(0, prefix.size(), prefix) == 0 ? 1 : 0;
    }
    return count;
}

size_t CountCalls(const std::vector<JournalEntry>& entries, const std::string& member) {
    size_t count = 0;
    for (const JournalEntry& entry : entries) {
        count += entry.member == member ? 1 : 0;
    }
    return count;
}

void MachineTest::SetUp() {
    UseGroupServer();
    hold_.reset(new ServerHold());
    name_ = testsupport::TestName();
    folder_.reset(new testsupport::TempFolder());
}

void MachineTest::TearDown() {
    if (HasFailure() && service_) {
        printf("--- log of %s\n%s", name_.c_str(),
               testsupport::ReadFileContent(service_->LogPath()).c_str());
        if (journal_) {
            printf("--- journal since the start\n");
            for (const JournalEntry& entry : WholeJournal()) {
                printf("%s\n", entry.line.c_str());
            }
        }
    }
    recorder_.reset();
    service_.reset();
    // A test that ended the server leaves the next one to be started from outside this process.
    if (standin_test::FindVBoxSvc() == 0) {
        UseGroupServer();
    }
    standin_test::RemoveMachine(name_);
    journal_.reset();
    folder_.reset();
    hold_.reset();
}

void MachineTest::CreateMachine(int launchMs, int powerOffMs, int saveMs) {
    standin_test::CreateMachine(name_, launchMs, powerOffMs, saveMs);
}

void MachineTest::SetAcpi(const std::string& reaction) {
    standin_test::Ctl("acpi \"" + name_ + "\" both " + reaction);
}

IniKeys MachineTest::Ini(const IniKeys& extra) const {
    IniKeys keys = {
        {"VboxInstallPath", standin_test::StandinFolder()},
        {"VboxUserHome", GroupHome()},
        {"VmName", name_},
        {"Loglevel", "3"},
        {"MaxWaitTimeout", std::to_string(kMaxWaitTimeout)},
    };
    // A key given twice takes the later value.
    keys.insert(keys.end(), extra.begin(), extra.end());
    return testsupport::CompleteIni(keys);
}

void MachineTest::Install(const IniKeys& extra) {
    service_.reset(new testsupport::ServiceCopy(*folder_, name_ + ".exe"));
    service_->WriteIni(Ini(extra));
    testsupport::ProcessResult result = service_->Run("-i");
    ASSERT_EQ(result.exitCode, 0u) << result.output;
    recorder_.reset(new testsupport::StatusRecorder(service_->Name()));
}

void MachineTest::Start() {
    journal_.reset(new standin_test::JournalReader());
    startMark_ = recorder_->Count();
    ASSERT_EQ(testsupport::StartByName(service_->Name()), 0u);
}

bool MachineTest::StartToRunning() {
    Start();
    bool running = WaitForReport(SERVICE_RUNNING);
    EXPECT_TRUE(running) << Describe(Reports());
    return running;
}

bool MachineTest::WaitForReport(DWORD state, DWORD timeoutMs) {
    return recorder_->WaitFor(state, startMark_, timeoutMs);
}

DWORD MachineTest::SendStop() {
    return testsupport::ControlByName(service_->Name(), SERVICE_CONTROL_STOP);
}

Statuses MachineTest::WaitStopped(DWORD timeoutMs) {
    EXPECT_TRUE(WaitForReport(SERVICE_STOPPED, timeoutMs)) << Describe(Reports());
    // A report after STOPPED would show within this pause.
    Sleep(100);
    Statuses statuses = Reports();
    ExpectWellFormed(statuses);
    return statuses;
}

Statuses MachineTest::Stop(ULONGLONG* took) {
    ULONGLONG stopAt = GetTickCount64();
    EXPECT_EQ(SendStop(), 0u);
    EXPECT_TRUE(WaitForReport(SERVICE_STOPPED)) << Describe(Reports());
    if (took != nullptr) {
        *took = GetTickCount64() - stopAt;
    }
    return WaitStopped();
}

Statuses MachineTest::Reports() const {
    Statuses all = recorder_->Statuses();
    return Statuses(all.begin() + static_cast<std::ptrdiff_t>(startMark_), all.end());
}

std::vector<std::string> MachineTest::Log() const {
    return testsupport::ReadLogMessages(service_->LogPath());
}

std::vector<JournalEntry> MachineTest::Journal() const {
    // The server tags the calls on a machine with its name; a look-up by name and the Session
    // calls (journaled by the client's process) are the service's as well.
    DWORD pid = ServicePid();
    std::vector<JournalEntry> entries;
    for (const JournalEntry& entry : journal_->Entries()) {
        if (entry.machine == name_ ||
            (entry.member == "VirtualBox.FindMachine" && entry.args == "\"" + name_ + "\"") ||
            (entry.member.compare(0, 8, "Session.") == 0 && entry.pid == pid)) {
            entries.push_back(entry);
        }
    }
    return entries;
}

std::vector<JournalEntry> MachineTest::WholeJournal() const {
    return journal_->Entries();
}

DWORD MachineTest::ServicePid() const {
    for (const SERVICE_STATUS_PROCESS& status : Reports()) {
        if (status.dwProcessId != 0) {
            return status.dwProcessId;
        }
    }
    return 0;
}

void MachineTest::LaunchOutside() {
    testsupport::ProcessResult result =
        standin_test::VBoxManage("startvm \"" + name_ + "\" --type headless");
    ASSERT_EQ(result.exitCode, 0u) << result.output;
    ASSERT_TRUE(standin_test::WaitForMachineState(name_, standin_test::kRunning));
}

void MachineTest::ControlOutside(const std::string& action) {
    testsupport::ProcessResult result =
        standin_test::VBoxManage("controlvm \"" + name_ + "\" " + action);
    EXPECT_EQ(result.exitCode, 0u) << "controlvm " << action << ": " << result.output;
}

HANDLE MachineTest::ControlOutsideAsync(const std::string& action) {
    // Nothing is inherited: a child that held another RunProcess's pipe would hold that call
    // up until this one ends.
    std::string exe = standin_test::StandinFolder() + "\\VBoxManage.exe";
    std::string commandLine = "\"" + exe + "\" controlvm \"" + name_ + "\" " + action;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                        nullptr, nullptr, &startup, &process)) {
        ADD_FAILURE() << "cannot start " << commandLine << ": " << GetLastError();
        return nullptr;
    }
    CloseHandle(process.hThread);
    return process.hProcess;
}

std::string MachineTest::MachineInfo(const std::string& key) const {
    testsupport::ProcessResult result =
        standin_test::VBoxManage("showvminfo \"" + name_ + "\" --machinereadable");
    std::string text = "\n" + result.output;
    size_t at = text.find("\n" + key + "=");
    if (at == std::string::npos) {
        return "";
    }
    at += key.size() + 2;
    std::string value = text.substr(at, text.find('\n', at) - at);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value = value.substr(1, value.size() - 2);
    }
    return value;
}

}  // namespace machine_test
