#include "tests/machine/fixture.h"

#include <algorithm>
#include <cstring>

namespace machine_test {
namespace {

GroupOptions options;

// Makes sure a server of the group's home runs, started by a service of its own, whose copy of
// kelvaran.exe launches VBoxSVC.exe before it connects (and then ends: it has no machine).
void UseGroupServer(const std::string& home) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (FindVBoxSvc() != 0) {
            std::string shown = Ctl("home");
            if (shown.substr(0, shown.find('\n')) == home) {
                return;
            }
            EndVBoxSvc(8000);  // another home's server (started by hand, say)
            continue;
        }
        TempFolder folder("-server");
        ServiceCopy starter(folder, "MachineServerStarter.exe");
        starter.WriteIni({{"VboxInstallPath", StandinFolder()},
                          {"VboxUserHome", home},
                          {"VmName", "no machine"},
                          {"Loglevel", "0"}});
        ASSERT_EQ(starter.Run("-i").exitCode, 0u);
        ASSERT_EQ(StartByName(starter.Name()), 0u);
        EXPECT_TRUE(WaitForState(starter.Name(), SERVICE_STOPPED));
    }
    ADD_FAILURE() << "no stand-in server for " << home;
}

}  // namespace

const GroupOptions& Options() {
    return options;
}

void MachineTest::SetUp() {
    std::string home = GroupHome("machine");
    UseGroupServer(home);
    UseRelease(options.release);  // which may end the server
    UseGroupServer(home);
    Ctl(std::string("typeinfo ") + (options.typeInfo ? "on" : "off"));
    hold_.reset(new ServerHold());
}

MachineTest::MachineTest() : name_(TestName()) {}

void MachineTest::TearDown() {
    recorder_.reset();
    service_.reset();
    // A case that ended the server leaves the next to be started from a service.
    if (FindVBoxSvc() == 0) {
        UseGroupServer(GroupHome("machine"));
    }
    Ctl("fault clear");
    RemoveMachine(machine_);
}

void MachineTest::CreateMachine(int launchMs, int powerOffMs, int saveMs) {
    testsupport::CreateMachine(machine_, launchMs, powerOffMs, saveMs);
}

void MachineTest::Outside(const std::string& action) {
    std::string command = action == "start" ? "startvm \"" + machine_ + "\" --type headless"
                                            : "controlvm \"" + machine_ + "\" " + action;
    ProcessResult result = VBoxManage(command);
    EXPECT_EQ(result.exitCode, 0u) << command << ": " << result.output;
}

IniKeys MachineTest::Ini(const std::string& vm, const IniKeys& extra) const {
    return MergeIni({{"VboxInstallPath", StandinFolder()},
                     {"VboxUserHome", GroupHome("machine")},
                     {"VmName", vm},
                     {"Loglevel", "3"},
                     {"MaxWaitTimeout", std::to_string(kMaxWaitTimeout)}},
                    extra);
}

void MachineTest::Install(const IniKeys& extra, IniForm form) {
    // An open handle would keep a service deleted for a new install marked for deletion.
    recorder_.reset();
    service_.reset();
    service_.reset(new ServiceCopy(folder_, exe_));
    service_->WriteIni(Ini(machine_, extra), form);
    ProcessResult result = service_->Run("-i");
    ASSERT_EQ(result.exitCode, 0u) << result.output;
    recorder_.reset(new StatusRecorder(service_->Name()));
}

void MachineTest::Start() {
    journal_.reset(new Journal());
    mark_ = recorder_->Count();
    ASSERT_EQ(StartByName(service_->Name()), 0u);
}

bool MachineTest::WaitFor(DWORD state, DWORD timeoutMs) const {
    return recorder_->WaitFor(state, mark_, timeoutMs);
}

Statuses MachineTest::WaitStopped(DWORD timeoutMs) const {
    EXPECT_TRUE(WaitFor(SERVICE_STOPPED, timeoutMs)) << Describe(Reports());
    Sleep(100);  // a report after STOPPED would show by then
    Statuses statuses = Reports();
    ExpectWellFormed(statuses);
    return statuses;
}

Statuses MachineTest::Stop(ULONGLONG* took) const {
    ULONGLONG at = GetTickCount64();
    EXPECT_EQ(ControlByName(service_->Name(), SERVICE_CONTROL_STOP), 0u);
    EXPECT_TRUE(WaitFor(SERVICE_STOPPED)) << Describe(Reports());
    if (took != nullptr) {
        *took = GetTickCount64() - at;
    }
    return WaitStopped();
}

Statuses MachineTest::Reports() const {
    return recorder_->Since(mark_);
}

std::vector<JournalEntry> MachineTest::Calls() const {
    return journal_ ? journal_->Entries(machine_, ServicePid()) : std::vector<JournalEntry>();
}

DWORD MachineTest::ServicePid() const {
    const Statuses reports = Reports();
    auto found =
        std::find_if(reports.begin(), reports.end(), [](auto& s) { return s.dwProcessId; });
    return found != reports.end() ? found->dwProcessId : 0;
}

void ExpectStopReports(const Statuses& statuses, DWORD waitHint, size_t minimum) {
    size_t i = 0;
    while (i < statuses.size() && statuses[i].dwCurrentState != SERVICE_STOP_PENDING) {
        ++i;
    }
    size_t counted = 0;
    for (; i < statuses.size() && statuses[i].dwCurrentState == SERVICE_STOP_PENDING; ++i) {
        if (statuses[i].dwWaitHint != 0) {
            EXPECT_EQ(statuses[i].dwWaitHint, waitHint) << Describe(statuses);
            ++counted;
        }
    }
    EXPECT_GE(counted, minimum) << Describe(statuses);
    EXPECT_EQ(i + 1, statuses.size()) << "STOPPED must end the stop" << Describe(statuses);
    ExpectStoppedWith(statuses, 0, 0);
}

}  // namespace machine_test

// --release=X and --typeinfo=off choose what the group plays; GoogleTest takes the rest.
int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        if (strncmp(argv[i], "--release=", 10) == 0) {
            machine_test::options.release = argv[i] + 10;
        } else if (strcmp(argv[i], "--typeinfo=off") == 0) {
            machine_test::options.typeInfo = false;
        }
    }
    return RUN_ALL_TESTS();
}
