// The service end to end under Wine's Service Control Manager, driving a machine of the
// VirtualBox stand-in: a copy of kelvaran.exe per test, installed under the test's name, whose
// INI names the stand-in's folder, the group's VirtualBox home and a machine of the test's name.
//
// Every test checks three records: the status reports the manager saw, the service's log, and the
// stand-in's journal of the calls made on the test's machine.
#pragma once

#include <gtest/gtest.h>
#include <objbase.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/standin/support/standin_support.h"
#include "tests/support/support.h"

namespace machine_test {

using Statuses = std::vector<SERVICE_STATUS_PROCESS>;
using standin_test::JournalEntry;
using standin_test::ServerHold;
using testsupport::IniKeys;

// The INI's MaxWaitTimeout unless a test sets its own: the bound of a stop that waits for the
// machine, with room for a slow host.
constexpr DWORD kMaxWaitTimeout = 10000;

// The VirtualBox home that the group's tests, their stand-in server and every service share. The
// first call makes it this process's VBOX_USER_HOME, which a server started by this process (or
// by the tools it runs) inherits.
const std::string& GroupHome();

// Makes sure that the stand-in's server runs for GroupHome(), started by a service (so that it
// outlives the test): one left by a test that used another home is waited for, or ended.
void UseGroupServer();

// The reports as "START_PENDING:1 START_PENDING:2 RUNNING:0 ...": each state with its checkpoint.
std::string Sequence(const Statuses& statuses);

// The states in order, a run of equal states as one: "START_PENDING RUNNING STOP_PENDING STOPPED".
std::string States(const Statuses& statuses);

// What every run of the service must report: type 0x110 and controls 0x105 in each of its own
// reports, no checkpoint handed out twice nor going back, RUNNING and STOPPED with checkpoint 0
// and wait hint 0, exit code 0 everywhere but in the final STOPPED, and nothing after STOPPED.
void ExpectWellFormed(const Statuses& statuses);

// The final report: STOPPED with these exit codes.
void ExpectStoppedWith(const Statuses& statuses, DWORD win32, DWORD specific);

// The reports of a stop from its first STOP_PENDING on: each STOP_PENDING of the handler or the
// heartbeat has wait hint waitHint (the watcher's own, for Stopping or Saving, have 0), there are
// at least minimum of them, and STOPPED with exit code 0 ends them.
void ExpectStopReports(const Statuses& statuses, DWORD waitHint, size_t minimum = 1);

// The messages appear in the log in this order; others may stand between them.
void ExpectLogInOrder(const std::vector<std::string>& log, const std::vector<std::string>& lines);
bool LogContains(const std::vector<std::string>& log, const std::string& line);
// How many messages begin with prefix.
size_t CountLog(const std::vector<std::string>& log, const std::string& prefix);

// How many of the entries are calls of member.
size_t CountCalls(const std::vector<JournalEntry>& entries, const std::string& member);

class MachineTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The test's machine, registered afresh with the stand-in with these timings (ms).
    void CreateMachine(int launchMs = 300, int powerOffMs = 200, int saveMs = 200);
    // The stand-in's guest reaction to both ACPI buttons: "ignore" or a delay in ms.
    void SetAcpi(const std::string& reaction);

    // The INI of the test's service: the stand-in's folder, the group home, the test's machine,
    // Loglevel 3 and kMaxWaitTimeout, then extra (which may replace any of them).
    IniKeys Ini(const IniKeys& extra = {}) const;
    // Copies kelvaran.exe under the test's name, writes its INI and installs it with "-i".
    void Install(const IniKeys& extra = {});

    // Starts the service, and watches its reports and the journal from there on.
    void Start();
    // Starts the service and waits for RUNNING; false, with a failure, without it.
    bool StartToRunning();
    // Waits for a report of state since the start; false after timeoutMs.
    bool WaitForReport(DWORD state, DWORD timeoutMs = 20000);
    // Asks for a stop; the manager's answer.
    DWORD SendStop();
    // Waits for STOPPED and returns every report since the start, which must be well formed
    // (ExpectWellFormed); the test fails without STOPPED.
    Statuses WaitStopped(DWORD timeoutMs = 20000);
    // A stop control, then the same; took, if given, receives the time from the control until
    // STOPPED was seen.
    Statuses Stop(ULONGLONG* took = nullptr);
    // The reports since the start, so far.
    Statuses Reports() const;

    // The service's log, messages without stamps.
    std::vector<std::string> Log() const;
    // The journal's calls on the test's machine since the start: those the server tags with
    // it, its look-ups by name, and the service's Session calls.
    std::vector<JournalEntry> Journal() const;
    // Every call of the journal since the start, of any machine or none.
    std::vector<JournalEntry> WholeJournal() const;
    // The service process's id as the manager reported it since the start (0 before).
    DWORD ServicePid() const;

    // The test's machine started, or controlled, by VirtualBox's own tool, as a user would.
    void LaunchOutside();
    void ControlOutside(const std::string& action);
    // The same without waiting: the VBoxManage process, for the caller to wait for and close.
    HANDLE ControlOutsideAsync(const std::string& action);
    // A value of "VBoxManage showvminfo --machinereadable" (SessionPID, VMState...), unquoted.
    std::string MachineInfo(const std::string& key) const;

    std::string name_;  // the test's machine and service
    std::unique_ptr<testsupport::TempFolder> folder_;
    std::unique_ptr<testsupport::ServiceCopy> service_;
    std::unique_ptr<testsupport::StatusRecorder> recorder_;
    std::unique_ptr<standin_test::JournalReader> journal_;
    size_t startMark_ = 0;
    std::unique_ptr<ServerHold> hold_;
};

}  // namespace machine_test
