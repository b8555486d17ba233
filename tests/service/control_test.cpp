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

    // Stops the service and returns every status recorded up to STOPPED.
    Statuses Stop(StatusRecorder& recorder) {
        size_t mark = recorder.Count();
        EXPECT_EQ(testsupport::ControlByName(service_->Name(), SERVICE_CONTROL_STOP), 0u);
        EXPECT_TRUE(recorder.WaitFor(SERVICE_STOPPED, mark)) << Describe(recorder.Statuses());
        Sleep(100);
        return recorder.Stop();
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

    // Expects the stop's reports: STOP_PENDING with waitHint and growing checkpoints that go on
    // from nextCheckpoint, then STOPPED with checkpoint 0 and exit code 0, and nothing after.
    // The handler's report and the heartbeat's first come within a millisecond, so the recorder
    // may see only the second.
    static void ExpectStopReports(const Statuses& statuses, DWORD waitHint, DWORD nextCheckpoint) {
        size_t first = 0;
        while (first < statuses.size() && statuses[first].dwCurrentState != SERVICE_STOP_PENDING) {
            ++first;
        }
        ASSERT_LT(first, statuses.size()) << "no STOP_PENDING" << Describe(statuses);
        EXPECT_GE(statuses[first].dwCheckPoint, nextCheckpoint) << Describe(statuses);
        EXPECT_LE(statuses[first].dwCheckPoint, nextCheckpoint + 1) << Describe(statuses);
        size_t i = first;
        for (; i < statuses.size() && statuses[i].dwCurrentState == SERVICE_STOP_PENDING; ++i) {
            EXPECT_EQ(statuses[i].dwWaitHint, waitHint) << Describe(statuses);
            EXPECT_EQ(statuses[i].dwControlsAccepted, 0x105u) << Describe(statuses);
            if (i > first) {
                EXPECT_GT(statuses[i].dwCheckPoint, statuses[i - 1].dwCheckPoint)
                    << Describe(statuses);
            }
        }
        ASSERT_EQ(i + 1, statuses.size()) << "STOPPED must end the reports" << Describe(statuses);
        const SERVICE_STATUS_PROCESS& stopped = statuses.back();
        EXPECT_EQ(stopped.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
        EXPECT_EQ(stopped.dwCheckPoint, 0u);
        EXPECT_EQ(stopped.dwWaitHint, 0u);
        EXPECT_EQ(stopped.dwWin32ExitCode, 0u);
        EXPECT_EQ(stopped.dwServiceSpecificExitCode, 0u);
    }

    TempFolder folder_{" with blanks"};
    std::unique_ptr<ServiceCopy> service_;
};

// The SCM starts the quoted path without an argument: the program becomes the service, logs its
// banner at level 3 with the four numbers of its version, and reports START_PENDING with
// checkpoint 1 and the controls it accepts.
TEST_F(ControlTest, StartReportsStartPendingWithCheckpointOne) {
    Install("Control Start.exe", CompleteIni({{"Loglevel", "3"}}));
    StatusRecorder recorder(service_->Name());
    Start(recorder);

    Statuses statuses = recorder.Statuses();
    const SERVICE_STATUS_PROCESS* report = FirstReport(statuses, SERVICE_START_PENDING, 1);
    ASSERT_NE(report, nullptr);
    EXPECT_EQ(report->dwControlsAccepted, 0x105u);
    EXPECT_EQ(report->dwWaitHint, 0u);
    EXPECT_EQ(report->dwWin32ExitCode, 0u);
    EXPECT_EQ(report->dwServiceType, 0x110u);
    EXPECT_TRUE(testsupport::LogHolds(service_->LogPath(),
                                      "Kelvaran Service v" KELVARAN_VERSION4 " (x64) started"));
    Stop(recorder);
}

// A stop reports STOP_PENDING with the MaxWaitTimeout of the INI file as it is at the stop (it
// was edited while the service ran), the reports number on from checkpoint 2, and STOPPED with
// exit code 0 ends them. Below level 3 there is no banner, and a clean run logs nothing at all.
TEST_F(ControlTest, StopReportsStopPendingThenStopped) {
    Install("Control Stop.exe", CompleteIni({{"MaxWaitTimeout", "12345"}, {"Loglevel", "2"}}));
    testsupport::RemoveFile(service_->LogPath());
    StatusRecorder recorder(service_->Name());
    Start(recorder);

    service_->WriteIni(CompleteIni({{"MaxWaitTimeout", "54321"}, {"Loglevel", "2"}}));
    Statuses statuses = Stop(recorder);
    ExpectStopReports(statuses, 54321, 2);
    EXPECT_FALSE(testsupport::FileExists(service_->LogPath()))
        << testsupport::ReadFileContent(service_->LogPath());
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
