// NotifyTray inside the test process, against companions of every kind: none, a busy one, a
// proper one, and one that accepts and never reads. The watcher calls it after each state
// change, so it must never hold its caller.
#include "tests/pipe/pipe_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "config/config.h"
#include "pipe/pipe.h"

namespace {

using pipe_test::ReturnsWithin;

// The product's opens of the companion's pipe, and those that lend an identification token only.
std::atomic<int> trayOpens{0};
std::atomic<int> identifyOnlyTrayOpens{0};
void* realCreateFileA = nullptr;

HANDLE WINAPI RecordingCreateFileA(LPCSTR name, DWORD access, DWORD share,
                                   LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                   HANDLE templateFile) {
    if (strcmp(name, TrayPipeName) == 0) {
        ++trayOpens;
        const DWORD quality = SECURITY_SQOS_PRESENT | SECURITY_CONTEXT_TRACKING |
                              SECURITY_EFFECTIVE_ONLY | SECURITY_DELEGATION;
        identifyOnlyTrayOpens += (flags & quality) == IdentifyOnly ? 1 : 0;
    }
    return reinterpret_cast<decltype(&CreateFileA)>(realCreateFileA)(
        name, access, share, security, disposition, flags, templateFile);
}

class NotifyTrayTest : public testing::Test {
protected:
    void SetUp() override {
        pipe_test::LogInto(folder_);
    }

    // An instance of the companion's pipe, accepting one client on a thread of its own.
    struct Instance {
        explicit Instance(DWORD bufferSize) {
            pipe = CreateNamedPipeA(TrayPipeName, PIPE_ACCESS_DUPLEX, 0, PIPE_UNLIMITED_INSTANCES,
                                    bufferSize, bufferSize, 0, nullptr);
            EXPECT_NE(pipe, INVALID_HANDLE_VALUE) << GetLastError();
            accept = std::thread([this] { ConnectNamedPipe(pipe, nullptr); });
        }
        ~Instance() {
            // Lets the accepting thread go should nobody have connected.
            HANDLE wake = CreateFileA(TrayPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
            accept.join();
            if (wake != INVALID_HANDLE_VALUE) {
                CloseHandle(wake);
            }
            CloseHandle(pipe);
        }
        HANDLE pipe;
        std::thread accept;
    };

    testsupport::TempFolder folder_;
};

// Nobody listens: the call returns without waiting for a companion to come, and logs nothing.
// A companion whose only instance is taken counts as absent: no waiting for it either.
TEST_F(NotifyTrayTest, ReturnsAtOnceWithoutAFreeCompanion) {
    EXPECT_TRUE(ReturnsWithin(NotifyTray, 1000));
    Instance instance(16);
    HANDLE taken = CreateFileA(TrayPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(taken, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_TRUE(ReturnsWithin(NotifyTray, 1000));
    CloseHandle(taken);
    EXPECT_FALSE(testsupport::FileExists(ServiceConfig.LogPath));
}

// A companion gets one connection per notification, carrying the word 512 and nothing else.
// Anyone may own the companion's pipe: the service (LocalSystem) opens it so that its owner may
// learn who writes but never act as the service. Wine does not show the level the owner gets
// (see LevelLentByIdentifyOnly), so the flags of the open are checked as well.
TEST_F(NotifyTrayTest, EachNotificationIsOneConnectionWithOneWord) {
    pipe_test::TrayListener listener;
    {
        pipe_test::ImportPatch patch("kernel32.dll", "CreateFileA",
                                     reinterpret_cast<void*>(RecordingCreateFileA));
        realCreateFileA = patch.Original();
        for (int i = 0; i < 3; ++i) {
            NotifyTray();
        }
    }
    ASSERT_TRUE(listener.WaitForCount(3));
    Sleep(200);
    const std::vector<std::string> expected(3, pipe_test::Word(TrayStateChanged));
    EXPECT_EQ(listener.Received(), expected);
    EXPECT_EQ(trayOpens, 3);
    EXPECT_EQ(identifyOnlyTrayOpens, 3);
    EXPECT_EQ(listener.Levels(), std::vector<int>(3, pipe_test::LevelLentByIdentifyOnly()));
}

// Anyone may create the companion's pipe. One that accepts and never reads (no buffer, so the
// word can only be handed over to a read) must not hold the watcher for good: the watcher would
// stop following the machine, and the service's stop would wait for it forever.
TEST_F(NotifyTrayTest, ACompanionThatNeverReadsDoesNotHoldTheCaller) {
    Instance instance(0);
    EXPECT_TRUE(ReturnsWithin(NotifyTray, 5000));
}

}  // namespace
