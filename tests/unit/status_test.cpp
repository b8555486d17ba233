// Status reports and the stop-pending heartbeat, in process. The test process is no service, so
// SetServiceStatus fails here: the record and the checkpoint counter show what was reported.
#include "config/config.h"
#include "service/service.h"
#include "tests/support/support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <thread>
#include <vector>

namespace {

class StatusTest : public testing::Test {
protected:
    void SetUp() override {
        std::string log = folder_.File("service.log");
        snprintf(ServiceConfig.LogPath, sizeof ServiceConfig.LogPath, "%s", log.c_str());
        ServiceConfig.LogLevel = 0;
        ServiceConfig.MaxWaitTimeout = 4321;
    }

    // Reports state and expects the checkpoint it should carry.
    void ExpectReport(DWORD state, DWORD waitHint, DWORD checkpoint) {
        ReportServiceStatus(state, NO_ERROR, waitHint);
        SERVICE_STATUS status = ReportedServiceStatus();
        EXPECT_EQ(status.dwCurrentState, state);
        EXPECT_EQ(status.dwWaitHint, waitHint);
        EXPECT_EQ(status.dwCheckPoint, checkpoint) << "state " << state;
    }

    // Samples the record until timeoutMs passes and returns each distinct checkpoint seen.
    static std::vector<DWORD> CheckpointsDuring(DWORD timeoutMs) {
        std::vector<DWORD> seen;
        DWORD start = GetTickCount();
        while (GetTickCount() - start < timeoutMs) {
            DWORD checkpoint = ReportedServiceStatus().dwCheckPoint;
            if (seen.empty() || seen.back() != checkpoint) {
                seen.push_back(checkpoint);
            }
            Sleep(20);
        }
        return seen;
    }

    testsupport::TempFolder folder_;
};

// Pending reports number themselves from one counter that never goes back, RUNNING and STOPPED
// carry checkpoint 0 without using a number, and after STOPPED nothing is reported at all.
TEST_F(StatusTest, CheckpointsFollowTheReportedStates) {
    ExpectReport(SERVICE_START_PENDING, 0, 1);
    ExpectReport(SERVICE_START_PENDING, 0, 2);
    ExpectReport(SERVICE_RUNNING, 0, 0);
    ExpectReport(SERVICE_STOP_PENDING, 4321, 3);
    ExpectReport(SERVICE_STOP_PENDING, 0, 4);
    ExpectReport(SERVICE_STOPPED, 0, 0);

    ReportServiceStatus(SERVICE_RUNNING, NO_ERROR, 0);
    ReportServiceStatus(SERVICE_STOP_PENDING, NO_ERROR, 99);
    SERVICE_STATUS status = ReportedServiceStatus();
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(status.dwWaitHint, 0u);
    EXPECT_EQ(ServiceRuntime.NextCheckPoint, 5u) << "a report after STOPPED took a checkpoint";
}

// Five threads report at once: each pending report must take a number of its own.
TEST_F(StatusTest, ConcurrentReportsNeverShareACheckpoint) {
    constexpr int kThreads = 5;
    constexpr int kReports = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < kReports; ++i) {
                ReportServiceStatus(i % 2 ? SERVICE_STOP_PENDING : SERVICE_RUNNING, NO_ERROR, 0);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(ServiceRuntime.NextCheckPoint, 1u + kThreads * kReports / 2);
}

// A long stop stays alive: the heartbeat re-reports STOP_PENDING once a second with a new
// checkpoint and the wait hint of the moment, and ends at its first test after STOPPED.
TEST_F(StatusTest, HeartbeatReportsEachSecondUntilStopped) {
    ReportServiceStatus(SERVICE_STOP_PENDING, NO_ERROR, ServiceConfig.MaxWaitTimeout);
    std::thread heartbeat(StopPendingHeartbeat, nullptr);

    std::vector<DWORD> checkpoints = CheckpointsDuring(2500);
    ASSERT_GE(checkpoints.size(), 3u) << "no heartbeat each second";
    ASSERT_LE(checkpoints.size(), 5u) << "heartbeats come faster than once a second";
    for (size_t i = 1; i < checkpoints.size(); ++i) {
        EXPECT_EQ(checkpoints[i], checkpoints[i - 1] + 1);
    }
    EXPECT_EQ(ReportedServiceStatus().dwWaitHint, 4321u);

    ServiceConfig.MaxWaitTimeout = 999;
    CheckpointsDuring(1100);
    EXPECT_EQ(ReportedServiceStatus().dwWaitHint, 999u)
        << "the heartbeat reads MaxWaitTimeout anew";

    ReportServiceStatus(SERVICE_STOPPED, NO_ERROR, 0);
    heartbeat.join();
    EXPECT_EQ(ReportedServiceState(), static_cast<DWORD>(SERVICE_STOPPED));
}

// The state watcher may report RUNNING during a stop: the heartbeat must end without writing
// STOP_PENDING over it.
TEST_F(StatusTest, HeartbeatEndsWhenAnotherStateIsReported) {
    ReportServiceStatus(SERVICE_STOP_PENDING, NO_ERROR, 4321);
    std::thread heartbeat(StopPendingHeartbeat, nullptr);
    Sleep(300);
    ReportServiceStatus(SERVICE_RUNNING, NO_ERROR, 0);
    DWORD next = ServiceRuntime.NextCheckPoint;
    heartbeat.join();
    EXPECT_EQ(ReportedServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(ServiceRuntime.NextCheckPoint, next);
}

// A stop request that the watcher's RUNNING report has replaced leaves a heartbeat with nothing
// to do: it ends without reporting.
TEST_F(StatusTest, HeartbeatOutsideStopPendingReportsNothing) {
    ReportServiceStatus(SERVICE_START_PENDING, NO_ERROR, 0);
    StopPendingHeartbeat(nullptr);
    EXPECT_EQ(ReportedServiceState(), static_cast<DWORD>(SERVICE_START_PENDING));
    EXPECT_EQ(ServiceRuntime.NextCheckPoint, 2u);
}

// A report the manager refuses is logged with its code, and the record keeps what was stored.
TEST_F(StatusTest, RefusedReportIsLogged) {
    ServiceConfig.LogLevel = 1;
    ReportServiceStatus(SERVICE_START_PENDING, NO_ERROR, 0);

    std::vector<std::string> messages = testsupport::ReadLogMessages(ServiceConfig.LogPath);
    ASSERT_EQ(messages.size(), 1u);
    unsigned code = 0;
    EXPECT_EQ(sscanf(messages[0].c_str(), "ERROR settings service status: 0x%8x", &code), 1)
        << messages[0];
    EXPECT_NE(code, 0u);
    EXPECT_EQ(ReportedServiceState(), static_cast<DWORD>(SERVICE_START_PENDING));
}

}  // namespace
