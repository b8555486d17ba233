// The service's reports as Wine's Service Control Manager sees them, from start to stop.
#include "tests/support/support.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using testsupport::CompleteIni;
using testsupport::Describe;
using testsupport::IniKeys;
using testsupport::ServiceCopy;
using testsupport::StatusRecorder;
using testsupport::TempFolder;

using Statuses = std::vector<SERVICE_STATUS_PROCESS>;

// A copy of kelvaran.exe, installed under exeName from a folder whose path holds a blank, as
// under C:\Program Files.
class ControlTest : public testing::Test {
protected:
    void Install(const std::string& exeName, const IniKeys& ini) {
        service_.reset(new ServiceCopy(folder_, exeName));
        service_->WriteIni(ini);
        ASSERT_EQ(service_->Run("-i").exitCode, 0u);
    }

    // Starts the service and waits for its own first report.
    void Start(StatusRecorder& recorder) {
        ASSERT_EQ(testsupport::StartByName(service_->Name()), 0u);
        DWORD start = GetTickCount();
        while (FirstReport(recorder.Statuses(), SERVICE_START_PENDING, 1) == nullptr) {
            ASSERT_LT(GetTickCount() - start, 30000u)
                << "no START_PENDING with checkpoint 1" << Describe(recorder.Statuses());
            Sleep(10);
        }
    }

    static const SERVICE_STATUS_PROCESS* FirstReport(const Statuses& statuses, DWORD state,
                                                     DWORD checkpoint) {
        for (const SERVICE_STATUS_PROCESS& status : statuses) {
            if (status.dwCurrentState == state && status.dwCheckPoint == checkpoint) {
                return &status;
            }
        }
        return nullptr;
    }

    TempFolder folder_{" with blanks"};
    std::unique_ptr<ServiceCopy> service_;
};

// The SCM starts the quoted path without an argument: the program becomes the service, logs its
// banner at level 3 with the four numbers of its version, and reports START_PENDING with
// checkpoints 1 and 2 and the controls it accepts. Without VirtualBox it cannot start its
// machine: it says why, and ends with the service-specific error. (The service with a machine
// is tested in the group "machine".) The pre-shutdown time-out follows MaxWaitTimeout, set by
// "-i" and again by every start, so an edited INI holds without a reinstall. (Wine keeps nothing
// of the failure actions that "-i" sets, so they cannot be read back here.)
TEST_F(ControlTest, StartWithoutVirtualBoxEndsWithServiceError) {
    Install("Control Start.exe", CompleteIni({{"Loglevel", "3"}, {"MaxWaitTimeout", "400000"}}));
    testsupport::ServiceSettings settings{};
    ASSERT_EQ(testsupport::QuerySettings(service_->Name(), &settings), 0u);
    EXPECT_EQ(settings.preshutdownTimeout, 400000u);
    service_->WriteIni(CompleteIni({{"Loglevel", "3"}, {"MaxWaitTimeout", "500000"}}));
    StatusRecorder recorder(service_->Name());
    size_t mark = recorder.Count();
    Start(recorder);
    EXPECT_TRUE(recorder.WaitFor(SERVICE_STOPPED, mark)) << Describe(recorder.Statuses());
    Sleep(100);

    Statuses statuses = recorder.Stop();
    const SERVICE_STATUS_PROCESS* first = FirstReport(statuses, SERVICE_START_PENDING, 1);
    const SERVICE_STATUS_PROCESS* second = FirstReport(statuses, SERVICE_START_PENDING, 2);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr) << Describe(statuses);
    for (const SERVICE_STATUS_PROCESS* report : {first, second}) {
        EXPECT_EQ(report->dwControlsAccepted, 0x105u);
        EXPECT_EQ(report->dwWaitHint, 0u);
        EXPECT_EQ(report->dwWin32ExitCode, 0u);
        EXPECT_EQ(report->dwServiceType, 0x110u);
    }
    const SERVICE_STATUS_PROCESS& stopped = statuses.back();
    EXPECT_EQ(stopped.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED)) << Describe(statuses);
    EXPECT_EQ(stopped.dwCheckPoint, 0u);
    EXPECT_EQ(stopped.dwWin32ExitCode, static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR));
    EXPECT_EQ(stopped.dwServiceSpecificExitCode, 0x80800001u);
    ASSERT_EQ(testsupport::QuerySettings(service_->Name(), &settings), 0u);
    EXPECT_EQ(settings.preshutdownTimeout, 500000u);

    std::vector<std::string> log = testsupport::ReadLogMessages(service_->LogPath());
    std::vector<std::string> expected = {
        "Kelvaran Service v" KELVARAN_VERSION4 " (x64) started",
        "Could not manually start VBoxSVC: 0x00000003",
        "Initializing VirtualBox interface",
        "ERROR creating VirtualBox instance (rc = 0x80040154)",
        "ERROR: Can't find VBoxHeadless executable. Check your VboxInstallPath option in " +
            service_->IniPath(),
        "Closing VirtualBox interface",
    };
    size_t next = 0;
    for (const std::string& message : log) {
        next += next < expected.size() && message == expected[next];
    }
    EXPECT_EQ(next, expected.size()) << "missing: " << expected[next];
}

// A configuration that has become incomplete since the install ends the start at once: STOPPED
// with exit code 0 and no START_PENDING of the service's own; the log says why.
TEST_F(ControlTest, IncompleteConfigurationStopsAtOnce) {
    Install("Control Incomplete.exe", CompleteIni());
    service_->WriteIni({{"VboxInstallPath", "C:\\VirtualBox"}, {"VboxUserHome", "C:\\H"}});
    StatusRecorder recorder(service_->Name());
    size_t mark = recorder.Count();
    // Wine's StartService answers 1053 when the service has ended before it got its answer.
    testsupport::StartByName(service_->Name());
    EXPECT_TRUE(recorder.WaitFor(SERVICE_STOPPED, mark)) << Describe(recorder.Statuses());
    Sleep(100);

    Statuses statuses = recorder.Stop();
    for (const SERVICE_STATUS_PROCESS& status : statuses) {
        EXPECT_EQ(status.dwCheckPoint, 0u) << Describe(statuses);
    }
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.back().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(statuses.back().dwWin32ExitCode, 0u);
    EXPECT_TRUE(testsupport::LogHolds(service_->LogPath(), "ERROR: No VmName configured"));
}

}  // namespace
