// The service end to end under Wine's Service Control Manager, driving a machine of the
// VirtualBox stand-in: a copy of kelvaran.exe per test, installed under the test's name, whose INI
// names the stand-in's folder, the group's VirtualBox home and a machine of the test's name.
//
// The group runs once per VirtualBox release the stand-in plays (--release=5.0|6.1|7.0 on the
// command line, --typeinfo=off for a VirtualBox without type information). Cases of the suite
// EveryRelease run in every group; the others in two 7.0 groups of their own.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/support/support.h"

namespace machine_test {

using namespace testsupport;

// The INI's MaxWaitTimeout unless a case sets its own, with room for a slow host.
constexpr DWORD kMaxWaitTimeout = 10000;
// The bound of the cases whose stop must run out of it.
constexpr DWORD kShortWait = 2000;

// What the group plays, from its command line.
struct GroupOptions {
    std::string release = "7.0";
    bool typeInfo = true;
};
const GroupOptions& Options();

class MachineTest : public testing::Test {
protected:
    MachineTest();
    // Plays the group's release, with or without type information, in a server that a service
    // started: Wine hands a process's standard error down to every process it starts, and a
    // server started from this process's tree would hold ctest's pipe until its idle exit. (Per
    // case, not per suite: ctest runs one case a process, and a suite's set-up that fails shows
    // as a skipped case, not a failed one.)
    void SetUp() override;
    void TearDown() override;

    // The test's machine, registered afresh with these timings (ms; -1: never completes).
    void CreateMachine(int launchMs = 300, int powerOffMs = 200, int saveMs = 200);
    // VBoxManage controlvm on the test's machine, as a user would; startvm for "start".
    void Outside(const std::string& action);
    // The INI of a service for vm: the stand-in's folder, the group home, the machine, Loglevel 3
    // and kMaxWaitTimeout; a key of extra replaces one of these, or follows them.
    IniKeys Ini(const std::string& vm, const IniKeys& extra = {}) const;
    // Copies kelvaran.exe as exe_, writes Ini(machine_, extra) in that form and installs it.
    void Install(const IniKeys& extra = {}, IniForm form = IniForm::Utf8);
    // Starts the service, and watches its reports and the journal from there on.
    void Start();
    bool WaitFor(DWORD state, DWORD timeoutMs = 20000) const;
    // Waits for STOPPED: the reports since the start, well formed.
    Statuses WaitStopped(DWORD timeoutMs = 20000) const;
    // A stop control, then WaitStopped; took, if given, is the time from the control on.
    Statuses Stop(ULONGLONG* took = nullptr) const;
    Statuses Reports() const;
    std::vector<std::string> Log() const {
        return service_->Log();
    }
    // The calls on the test's machine since the start, the service's Session calls included.
    std::vector<JournalEntry> Calls() const;
    DWORD ServicePid() const;
    std::string Pipe() const {
        return ControlPipeName(machine_);
    }

    std::string name_;
    std::string machine_ = name_;       // the test's machine
    std::string exe_ = name_ + ".exe";  // its service's copy of kelvaran.exe, in folder_
    TempFolder folder_;
    std::unique_ptr<ServerHold> hold_;
    std::unique_ptr<ServiceCopy> service_;
    std::unique_ptr<StatusRecorder> recorder_;
    std::unique_ptr<Journal> journal_;
    size_t mark_ = 0;
};

// The stop's reports from its first STOP_PENDING on: those of the handler and the heartbeat have
// wait hint waitHint (the watcher's own, for Stopping or Saving, 0), at least minimum of them, and
// STOPPED with exit code 0 ends them.
void ExpectStopReports(const Statuses& statuses, DWORD waitHint, size_t minimum = 1);

}  // namespace machine_test
