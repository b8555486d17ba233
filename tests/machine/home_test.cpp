// A VirtualBox server that works on another user home than the service's VboxUserHome.
#include "tests/machine/machine_fixture.h"

#include <objbase.h>

namespace machine_test {
namespace {

using testsupport::Describe;

class HomeFolderTest : public MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        // The group's server must be gone, or the test's client would reach it; it is idle,
        // and ending it is quicker than waiting for it to end by itself.
        standin_test::KillVBoxSvc();
        ASSERT_EQ(standin_test::FindVBoxSvc(), 0u);
        SetEnvironmentVariableA("VBOX_USER_HOME", foreignHome_.c_str());
        // The foreign server is started from this process: ctest waits for it to end.
        standin_test::SetServerIdleExit(1000);
        hold_.reset(new ServerHold());
        ASSERT_HRESULT_SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    }

    void TearDown() override {
        // The machine goes while the foreign server is still held.
        standin_test::RemoveMachine(name_);
        foreign_ = standin_test::Disp();
        CoUninitialize();
        standin_test::SetServerIdleExit(0);
        SetEnvironmentVariableA("VBOX_USER_HOME", GroupHome().c_str());
        MachineTest::TearDown();
    }

    const std::string foreignHome_ = GroupHome() + "-foreign";
    standin_test::Disp foreign_;
};

// The server this process holds works on another home: the service drops it twice, pausing
// 5.5 s each time, keeps the third after another pause, says which home it uses, and runs its
// machine there.
TEST_F(HomeFolderTest, ForeignServerDroppedTwiceThenKept) {
    ASSERT_HRESULT_SUCCEEDED(standin_test::CreateVirtualBox(&foreign_));
    std::wstring home;
    ASSERT_HRESULT_SUCCEEDED(foreign_.GetString(L"HomeFolder", &home));
    ASSERT_EQ(std::string(home.begin(), home.end()), foreignHome_);
    CreateMachine();
    Install();

    ULONGLONG startAt = GetTickCount64();
    Start();
    ASSERT_TRUE(WaitForReport(SERVICE_RUNNING, 40000)) << Describe(Reports());
    ULONGLONG took = GetTickCount64() - startAt;
    EXPECT_GE(took, 3 * 5500u) << "three pauses";
    size_t homeReads = 0;
    for (const JournalEntry& entry : WholeJournal()) {
        homeReads += entry.member == "VirtualBox.HomeFolder";
    }
    EXPECT_EQ(homeReads, 3u);
    std::vector<std::string> log = Log();
    ExpectLogInOrder(log, {"Initializing VirtualBox interface",
                           "Using VBOX_USER_HOME: " + foreignHome_, "VM '" + name_ + "' started"});
    EXPECT_EQ(CountLog(log, "ERROR") + CountLog(log, "Error"), 0u);

    Statuses statuses = Stop();
    ExpectStopReports(statuses, kMaxWaitTimeout);
    EXPECT_EQ(standin_test::MachineState(name_), standin_test::kPoweredOff);
}

}  // namespace
}  // namespace machine_test
