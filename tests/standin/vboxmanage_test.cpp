// VBoxManage.exe of the stand-in, as tests and the demo use it: every command, its output and
// its exit status, in any release.
#include "tests/standin/fixture.h"

namespace standin_test {
namespace {

using testsupport::ProcessResult;

class VBoxManageTest : public StandinTest {
protected:
    void TearDown() override {
        StandinTest::TearDown();
        UseRelease("5.0");
    }
    ProcessResult Run(const std::string& arguments) {
        return VBoxManage(arguments);
    }
    std::string Quoted() const {
        return "\"" + name_ + "\"";
    }
};

// createvm, list, showvminfo, startvm, controlvm's six actions and unregistervm, in a machine's
// life under 7.0, whose numbers differ most from 5.0's; showvminfo's VMState follows the state,
// and a restored machine whose VM process dies is AbortedSaved.
TEST_F(VBoxManageTest, EveryCommandAlongAMachinesLife) {
    UseRelease("7.0");
    CreateMachine(name_);
    EXPECT_NE(std::string::npos, Run("list vms").output.find(Quoted() + " {"));
    ProcessResult info = Run("showvminfo " + Quoted() + " --machinereadable");
    EXPECT_EQ(0u, info.exitCode);
    EXPECT_NE(std::string::npos, info.output.find("VMState=\"poweroff\"")) << info.output;
    EXPECT_NE(std::string::npos, info.output.find("name=" + Quoted())) << info.output;
    EXPECT_EQ(std::string::npos, Run("list runningvms").output.find(Quoted()));

    ProcessResult start = Run("startvm " + Quoted() + " --type headless");
    EXPECT_EQ(0u, start.exitCode) << start.output;
    EXPECT_NE(std::string::npos, start.output.find("has been successfully started"))
        << start.output;
    EXPECT_NE(std::string::npos, Run("list runningvms").output.find(Quoted()));
    EXPECT_NE(
        std::string::npos,
        Run("showvminfo " + Quoted() + " --machinereadable").output.find("VMState=\"running\""));

    struct Step {
        const char* action;
        LONG state;
    };
    for (Step step :
         {Step{"pause", kPaused}, Step{"resume", kRunning}, Step{"savestate", kSaved}}) {
        ProcessResult result = Run("controlvm " + Quoted() + " " + step.action);
        EXPECT_EQ(0u, result.exitCode) << step.action << ": " << result.output;
        EXPECT_EQ(step.state, MachineState(name_)) << step.action;
    }
    EXPECT_NE(
        std::string::npos,
        Run("showvminfo " + Quoted() + " --machinereadable").output.find("VMState=\"saved\""));
    ASSERT_EQ(0u, Run("startvm " + Quoted()).exitCode);
    Ctl("kill " + Quoted());
    EXPECT_TRUE(WaitForMachineState(name_, kAbortedSaved));
    EXPECT_NE(std::string::npos, Run("showvminfo " + Quoted() + " --machinereadable")
                                     .output.find("VMState=\"abortedsaved\""));
    ASSERT_EQ(0u, Run("startvm " + Quoted()).exitCode);
    EXPECT_EQ(0u, Run("controlvm " + Quoted() + " poweroff").exitCode);
    EXPECT_EQ(kPoweredOff, MachineState(name_));

    Ctl("acpi " + Quoted() + " both 100");
    for (const char* button : {"acpipowerbutton", "acpisleepbutton"}) {
        ASSERT_EQ(0u, Run("startvm " + Quoted()).exitCode);
        EXPECT_EQ(0u, Run("controlvm " + Quoted() + " " + button).exitCode) << button;
        EXPECT_TRUE(WaitForMachineState(name_, kPoweredOff)) << button;
    }

    EXPECT_EQ(0u, Run("unregistervm " + Quoted()).exitCode);
    EXPECT_EQ(std::string::npos, Run("list vms").output.find(Quoted()));
}

// Failures name what went wrong and exit with 1; a bad command line exits with 2.
TEST_F(VBoxManageTest, ErrorsAndExitCodes) {
    ProcessResult missing = Run("showvminfo \"no such machine\" --machinereadable");
    EXPECT_EQ(1u, missing.exitCode);
    EXPECT_NE(std::string::npos, missing.output.find("VBOX_E_OBJECT_NOT_FOUND")) << missing.output;

    CreateMachine(name_);
    ProcessResult notRunning = Run("controlvm " + Quoted() + " poweroff");
    EXPECT_EQ(1u, notRunning.exitCode);
    EXPECT_NE(std::string::npos, notRunning.output.find("is not currently running"))
        << notRunning.output;
    EXPECT_EQ(1u, Run("createvm --name " + Quoted() + " --register").exitCode)
        << "a duplicate name";

    ASSERT_EQ(0u, Run("startvm " + Quoted()).exitCode);
    EXPECT_EQ(1u, Run("startvm " + Quoted()).exitCode) << "the machine runs already";
    EXPECT_EQ(1u, Run("unregistervm " + Quoted()).exitCode) << "a running machine stays registered";
    EXPECT_EQ(1u, Run("controlvm " + Quoted() + " resume").exitCode)
        << "resuming a running machine";

    Ctl("launch-result " + Quoted() + " 0x80bb0003");
    Run("controlvm " + Quoted() + " poweroff");
    ProcessResult failed = Run("startvm " + Quoted());
    EXPECT_EQ(1u, failed.exitCode);
    EXPECT_NE(std::string::npos, failed.output.find("VBOX_E_VM_ERROR")) << failed.output;

    EXPECT_EQ(2u, Run("controlvm " + Quoted() + " reboot").exitCode);
    EXPECT_EQ(2u, Run("list").exitCode);
    EXPECT_EQ(2u, Run("").exitCode);
}

}  // namespace
}  // namespace standin_test
