// The control handler, called as the dispatcher calls it. Under Wine, ControlService does not
// hand back the handler's answer to every control, so the answers are tested here.
#include "config/config.h"
#include "service/service.h"
#include "tests/support/support.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class HandlerTest : public testing::Test {
protected:
    void SetUp() override {
        ServiceRuntime.StopRequested = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        iniPath_ = testsupport::SiblingPath(ExePath(), ".ini");
        logPath_ = testsupport::SiblingPath(ExePath(), ".log");
    }
    void TearDown() override {
        CloseHandle(ServiceRuntime.StopRequested);
        ServiceRuntime.StopRequested = nullptr;
        testsupport::RemoveFile(iniPath_);
        testsupport::RemoveFile(logPath_);
    }

    static std::string ExePath() {
        char exe[MAX_PATH] = "";
        GetModuleFileNameA(nullptr, exe, sizeof exe);
        return exe;
    }

    // Sends control with MaxWaitTimeout set to waitHint in the INI file, and expects a
    // STOP_PENDING report with that wait hint and the next checkpoint, and the stop signalled.
    void ExpectStop(DWORD control, const char* waitHint) {
        testsupport::WriteIni(iniPath_, testsupport::CompleteIni({{"MaxWaitTimeout", waitHint}}));
        DWORD checkpoint = ServiceRuntime.NextCheckPoint;
        EXPECT_EQ(ServiceCtrlHandler(control, 0, nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
        SERVICE_STATUS status = ReportedServiceStatus();
        EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING)) << control;
        EXPECT_EQ(status.dwWaitHint, strtoul(waitHint, nullptr, 10)) << control;
        EXPECT_EQ(status.dwCheckPoint, checkpoint) << control;
        EXPECT_EQ(WaitForSingleObject(ServiceRuntime.StopRequested, 0),
                  static_cast<DWORD>(WAIT_OBJECT_0))
            << "control " << control << " did not reach the supervisor";
    }

    std::string iniPath_;
    std::string logPath_;
};

// Stop, shutdown and pre-shutdown re-read MaxWaitTimeout from the INI file at that moment,
// report STOP_PENDING with it and signal the supervisor.
TEST_F(HandlerTest, StopControlsReportStopPendingAndSignal) {
    ExpectStop(SERVICE_CONTROL_STOP, "4321");
    ExpectStop(SERVICE_CONTROL_SHUTDOWN, "8765");
    ExpectStop(SERVICE_CONTROL_PRESHUTDOWN, "300000");
}

// Every other control is answered without a report and without a signal: interrogate with 0,
// the rest (pause, continue, parameter change, user-defined codes) with 120.
TEST_F(HandlerTest, OtherControlsChangeNothing) {
    testsupport::WriteIni(iniPath_, testsupport::CompleteIni());
    ReportServiceStatus(SERVICE_START_PENDING, NO_ERROR, 0);
    SERVICE_STATUS before = ReportedServiceStatus();
    DWORD next = ServiceRuntime.NextCheckPoint;

    EXPECT_EQ(ServiceCtrlHandler(SERVICE_CONTROL_INTERROGATE, 0, nullptr, nullptr), 0u);
    const DWORD others[] = {SERVICE_CONTROL_PAUSE,
                            SERVICE_CONTROL_CONTINUE,
                            SERVICE_CONTROL_PARAMCHANGE,
                            128,
                            200,
                            255};
    for (DWORD control : others) {
        EXPECT_EQ(ServiceCtrlHandler(control, 0, nullptr, nullptr),
                  static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED))
            << control;
    }

    SERVICE_STATUS after = ReportedServiceStatus();
    EXPECT_EQ(after.dwCurrentState, before.dwCurrentState);
    EXPECT_EQ(after.dwCheckPoint, before.dwCheckPoint);
    EXPECT_EQ(ServiceRuntime.NextCheckPoint, next);
    EXPECT_EQ(WaitForSingleObject(ServiceRuntime.StopRequested, 0),
              static_cast<DWORD>(WAIT_TIMEOUT));
}

}  // namespace
