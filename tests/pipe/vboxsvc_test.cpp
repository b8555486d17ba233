// EnsureVBoxSvcRunning inside the test process: when it starts VirtualBox's COM server, how, and
// what it logs. The prefix's own stand-in server is ended first, so that "none runs" holds;
// copies of wine-keeper.exe (a sleeper) play the servers and the decoys.
#include "tests/pipe/pipe_support.h"

#include <gtest/gtest.h>

#include <string>

#include "config/config.h"
#include "tests/standin/support/standin_support.h"
#include "vbox/vbox.h"

namespace {

using testsupport::ReadLogMessages;

// What the product passed to CreateProcessA; the call itself goes on to the system.
struct LaunchRecord {
    int calls = 0;
    std::string application;
    std::string commandLine;
    DWORD flags = 0;
};
LaunchRecord launch;
void* realCreateProcess = nullptr;

BOOL WINAPI RecordingCreateProcess(LPCSTR application, LPSTR commandLine,
                                   LPSECURITY_ATTRIBUTES processAttributes,
                                   LPSECURITY_ATTRIBUTES threadAttributes, BOOL inherit,
                                   DWORD flags, LPVOID environment, LPCSTR folder,
                                   LPSTARTUPINFOA startup, LPPROCESS_INFORMATION process) {
    ++launch.calls;
    launch.application = application != nullptr ? application : "(null)";
    launch.commandLine = commandLine != nullptr ? commandLine : "(null)";
    launch.flags = flags;
    return reinterpret_cast<decltype(&CreateProcessA)>(realCreateProcess)(
        application, commandLine, processAttributes, threadAttributes, inherit, flags, environment,
        folder, startup, process);
}

class VBoxSvcTest : public testing::Test {
protected:
    void SetUp() override {
        pipe_test::LogInto(folder_);
        ServiceConfig.PriorityClass = NORMAL_PRIORITY_CLASS;
        if (standin_test::FindVBoxSvc() != 0) {
            standin_test::KillVBoxSvc();
        }
        ASSERT_EQ(standin_test::FindVBoxSvc(), 0u);
    }

    void TearDown() override {
        // A console host that Wine starts for a launched server has come up by then.
        if (!started_.empty()) {
            Sleep(500);
        }
        for (DWORD pid : started_) {
            pipe_test::EndProcess(pid);
        }
    }

    void SetInstallPath(const std::string& folder) {
        snprintf(ServiceConfig.VboxInstallPath, sizeof ServiceConfig.VboxInstallPath, "%s",
                 folder.c_str());
    }

    // Runs a sleeper under that path (its folder is created) and ends it with the test.
    DWORD RunCopy(const std::string& path) {
        CreateDirectoryA(path.substr(0, path.find_last_of('\\')).c_str(), nullptr);
        DWORD pid = pipe_test::StartSleeper(path);
        started_.push_back(pid);
        return pid;
    }

    // EnsureVBoxSvcRunning with CreateProcessA recorded.
    int Ensure() {
        launch = LaunchRecord();
        pipe_test::ImportPatch patch("kernel32.dll", "CreateProcessA",
                                     reinterpret_cast<void*>(RecordingCreateProcess));
        realCreateProcess = patch.Original();
        return EnsureVBoxSvcRunning();
    }

    std::vector<std::string> Log() const {
        return ReadLogMessages(ServiceConfig.LogPath);
    }

    testsupport::TempFolder folder_;
    std::vector<DWORD> started_;
};

// None of its user runs; a vboxsvc.exe and a VBoxSVC.EXE do (other programs, as far as the
// service can tell). The server is started from a folder whose path holds a blank, where an
// unquoted command line would run "...\Kel.exe" instead, with this account's rights. It gets
// the configured priority and no console window, and its pid is logged. Once it runs, a second
// call finds it: result 0, nothing started, nothing logged.
TEST_F(VBoxSvcTest, StartsTheServerWhenNoneOfItsUserRuns) {
    RunCopy(folder_.File("decoy\\vboxsvc.exe"));
    RunCopy(folder_.File("decoy2\\VBoxSVC.EXE"));
    const std::string install = folder_.File("Kel Test");
    CreateDirectoryA(install.c_str(), nullptr);
    ASSERT_TRUE(CopyFileA((testsupport::BinFolder() + "\\wine-keeper.exe").c_str(),
                          (install + "\\VBoxSVC.exe").c_str(), FALSE));
    ASSERT_TRUE(CopyFileA((testsupport::BinFolder() + "\\wine-keeper.exe").c_str(),
                          folder_.File("Kel.exe").c_str(), FALSE));
    SetInstallPath(install);
    ServiceConfig.PriorityClass = IDLE_PRIORITY_CLASS;

    EXPECT_EQ(Ensure(), 1);
    ASSERT_EQ(launch.calls, 1);
    EXPECT_EQ(launch.application, install + "\\VBoxSVC.exe");
    EXPECT_EQ(launch.commandLine, "\"" + install + "\\VBoxSVC.exe\"");
    EXPECT_EQ(launch.flags, static_cast<DWORD>(IDLE_PRIORITY_CLASS | CREATE_NO_WINDOW));

    std::vector<std::string> log = Log();
    ASSERT_EQ(log.size(), 1u) << testing::PrintToString(log);
    std::vector<DWORD> servers = testsupport::ProcessesNamed("VBoxSVC.exe");
    ASSERT_EQ(servers.size(), 1u);
    started_.push_back(servers[0]);
    EXPECT_EQ(log[0], "Started VBoxSVC[" + std::to_string(servers[0]) + "]");
    EXPECT_TRUE(testsupport::ProcessesNamed("Kel.exe").empty());

    EXPECT_EQ(Ensure(), 0);
    EXPECT_EQ(launch.calls, 0);
    EXPECT_EQ(Log().size(), 1u) << testing::PrintToString(Log());
}

// A launch that fails is logged at level 2 with its Windows error, and the result is still 1
// (the service waits and tries to connect all the same): a folder without VBoxSVC.exe gives
// ERROR_FILE_NOT_FOUND; a folder whose VBoxSVC.exe path would not fit the 260-byte command line
// is refused before any launch with ERROR_FILENAME_EXCED_RANGE, rather than run cut short.
TEST_F(VBoxSvcTest, LaunchFailuresAreLoggedWithTheirCode) {
    CreateDirectoryA(folder_.File("empty").c_str(), nullptr);
    SetInstallPath(folder_.File("empty"));
    EXPECT_EQ(Ensure(), 1);
    EXPECT_EQ(launch.calls, 1);
    std::string tooLong = folder_.File(std::string(247 - folder_.Path().size(), 'f'));
    ASSERT_EQ(tooLong.size(), 248u);
    SetInstallPath(tooLong);
    EXPECT_EQ(Ensure(), 1);
    EXPECT_EQ(launch.calls, 0);
    const std::vector<std::string> expected = {"Could not manually start VBoxSVC: 0x00000002",
                                               "Could not manually start VBoxSVC: 0x000000ce"};
    EXPECT_EQ(Log(), expected);

    ServiceConfig.LogLevel = 2;
    EXPECT_EQ(Ensure(), 1);
    ServiceConfig.LogLevel = 1;
    EXPECT_EQ(Ensure(), 1);
    EXPECT_EQ(Log().size(), 3u) << "the failure is a level-2 line";
}

}  // namespace
