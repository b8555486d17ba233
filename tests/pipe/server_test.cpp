// The control pipe server run inside the test process, without VirtualBox: what it answers while
// there is no link, its security, how it ends, and how it copes when the system refuses it
// something. Each case has a pipe of its own (named after the case), so cases run side by side.
#include "tests/pipe/pipe_support.h"

#include <aclapi.h>
#include <gtest/gtest.h>
#include <sddl.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "config/config.h"
#include "pipe/pipe.h"

namespace {

using pipe_test::AskOrNoReply;
using pipe_test::ControlPipeName;
using pipe_test::Exchange;
using pipe_test::ReturnsWithin;
using pipe_test::ServerThread;
using pipe_test::WaitForPipe;
using pipe_test::WireResult;
using pipe_test::Word;
using testsupport::CountLogMessages;
using testsupport::ReadLogMessages;

class PipeServerTest : public testing::Test {
protected:
    void SetUp() override {
        SetVmName("pipe-" + testsupport::TestName());
        pipe_test::LogInto(folder_);
    }

    void SetVmName(const std::string& vm) {
        snprintf(ServiceConfig.VmName, sizeof ServiceConfig.VmName, "%s", vm.c_str());
        pipe_ = ControlPipeName(vm);
    }

    std::string LogPath() const {
        return ServiceConfig.LogPath;
    }

    // A server that could not create its pipe has ended, logged why once, left no pipe under
    // the name, and leaves nothing for a later stop to do.
    void ExpectServerEndedWith(ServerThread& server, const std::string& message) {
        EXPECT_TRUE(server.WaitForEnd(10000)) << "the server runs on";
        EXPECT_EQ(CountLogMessages(LogPath(), message), 1)
            << testsupport::ReadFileContent(LogPath());
        EXPECT_FALSE(WaitForPipe(pipe_, 300));
        EXPECT_TRUE(ReturnsWithin(StopControlPipeServer, 5000));
    }

    testsupport::TempFolder folder_;
    std::string pipe_;
};

// Just after the service starts, before the supervisor has connected to VirtualBox, every
// request is answered, with 0, and nothing is logged: the companion must never be left waiting.
TEST_F(PipeServerTest, RequestsBeforeTheLinkAreAnsweredWithZero) {
    ServerThread server;
    ASSERT_TRUE(WaitForPipe(pipe_));
    for (DWORD request :
         {RequestVrdeEnabled, RequestVrdePort, RequestScreenSize, RequestMachineState}) {
        WireResult result = Exchange(pipe_, Word(request));
        EXPECT_EQ(result.reply, Word(0)) << "request " << request;
        EXPECT_TRUE(result.closed) << "request " << request;
    }
    EXPECT_TRUE(ReadLogMessages(LogPath()).empty()) << testsupport::ReadFileContent(LogPath());
}

// The pipe is open to interactive users and the system and to nobody else, with read and write
// rights but neither delete nor the right to change its security; interactive users may not
// create instances either (they could answer the service's clients). Checked on two instances,
// since each instance is created anew.
TEST_F(PipeServerTest, DaclHoldsInteractiveAndSystemOnly) {
    ServerThread server;
    for (int instance = 0; instance < 2; ++instance) {
        SCOPED_TRACE("instance " + std::to_string(instance));
        ASSERT_TRUE(WaitForPipe(pipe_));
        HANDLE pipe = CreateFileA(pipe_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(pipe, INVALID_HANDLE_VALUE) << GetLastError();
        PACL dacl = nullptr;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_EQ(GetSecurityInfo(pipe, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                  nullptr, &dacl, nullptr, &descriptor),
                  static_cast<DWORD>(ERROR_SUCCESS));
        ASSERT_NE(dacl, nullptr);
        ASSERT_EQ(dacl->AceCount, 2);
        const char* const trustees[2] = {"S-1-5-4", "S-1-5-18"};  // INTERACTIVE, SYSTEM
        const DWORD masks[2] = {0x0112019B, 0x0112019F};
        for (WORD i = 0; i < dacl->AceCount; ++i) {
            ACCESS_ALLOWED_ACE* ace = nullptr;
            ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
            EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
            EXPECT_EQ(ace->Header.AceFlags, 0);
            EXPECT_EQ(ace->Mask, masks[i]);
            char* sid = nullptr;
            ASSERT_TRUE(ConvertSidToStringSidA(&ace->SidStart, &sid));
            EXPECT_STREQ(sid, trustees[i]);
            LocalFree(sid);
        }
        LocalFree(descriptor);
        CloseHandle(pipe);
    }
}

// Takes every instance the server holds with clients that never write; their handles.
std::vector<HANDLE> TakeEveryInstance(const std::string& pipe) {
    std::vector<HANDLE> taken;
    while (taken.size() < 300) {
        HANDLE client = CreateFileA(pipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
        if (client != INVALID_HANDLE_VALUE) {
            taken.push_back(client);
        } else if ((GetLastError() != ERROR_PIPE_BUSY) || !WaitNamedPipeA(pipe.c_str(), 200)) {
            break;  // none comes free: the server holds what it may
        }
    }
    return taken;
}

// The server holds a bounded number of instances. A client beyond finds the pipe busy and waits:
// it is served once the clients that never write have had their two seconds, and each of those
// is let go. However many, they make two log lines: the first at once, the count of the others
// when the server ends (sooner, once a minute). The supervisor's stop ends the server, also
// one whose every instance is taken, so that its wake-up finds none to connect to; stopping again
// (a server that has already ended) does nothing and does not wait. Neither the wake word nor the
// clients cut off by the stop are logged.
TEST_F(PipeServerTest, ClientsBeyondTheLimitWaitAndTheStopEndsTheServerAnyway) {
    {
        ServerThread server;
        ASSERT_TRUE(WaitForPipe(pipe_));
        std::vector<HANDLE> silent = TakeEveryInstance(pipe_);
        EXPECT_GT(silent.size(), 128u);
        EXPECT_LT(silent.size(), 256u);
        EXPECT_EQ(Exchange(pipe_, Word(RequestMachineState)).reply, Word(0));
        int connected = static_cast<int>(silent.size());
        for (int i = 0; i < 50 && connected > 0; ++i) {
            Sleep(100);
            connected = 0;
            for (HANDLE client : silent) {
                connected += PeekNamedPipe(client, nullptr, 0, nullptr, nullptr, nullptr) ? 1 : 0;
            }
        }
        EXPECT_EQ(connected, 0) << "clients that never write are not let go";
        for (HANDLE client : silent) {
            CloseHandle(client);
        }
        StopControlPipeServer();
        EXPECT_TRUE(server.WaitForEnd(10000)) << "the server runs on after the stop";
        const std::vector<std::string> logged = {"ERROR reading from client",
                                                 "ERROR reading from client (" +
                                                     std::to_string(silent.size() - 1) +
                                                     " more since the last such line)"};
        EXPECT_EQ(ReadLogMessages(LogPath()), logged) << testsupport::ReadFileContent(LogPath());
    }
    ServerThread server;
    ASSERT_TRUE(WaitForPipe(pipe_));
    std::vector<HANDLE> taken = TakeEveryInstance(pipe_);
    StopControlPipeServer();
    EXPECT_TRUE(server.WaitForEnd(1000)) << "the server waits for its wake-up";
    for (HANDLE client : taken) {
        CloseHandle(client);
    }
    EXPECT_FALSE(Exchange(pipe_, Word(RequestMachineState), 300).opened);
    EXPECT_TRUE(ReturnsWithin(StopControlPipeServer, 5000));
}

// A machine name of 238 characters makes the pipe's name one character too long for its
// 256-character buffer. The server must not serve under a name cut short (another machine's
// service could own that name): it logs ERROR_FILENAME_EXCED_RANGE and ends. 237 still fits.
TEST_F(PipeServerTest, MachineNameTooLongForThePipeEndsTheServer) {
    SetVmName(std::string(238, 'm'));
    std::string cutShort = pipe_.substr(0, 255);
    {
        ServerThread server;
        ExpectServerEndedWith(server, "Error creating pipe (0x000000ce)");
        EXPECT_FALSE(WaitForPipe(cutShort, 300));
    }
    SetVmName(std::string(237, 'm'));
    ServerThread server;
    ASSERT_TRUE(WaitForPipe(pipe_));
    EXPECT_EQ(AskOrNoReply(pipe_, RequestMachineState), 0u);
}

DWORD WINAPI FailingSetEntriesInAcl(ULONG, PEXPLICIT_ACCESS_A, PACL, PACL* acl) {
    *acl = nullptr;
    return ERROR_NOT_ENOUGH_MEMORY;
}

// When the pipe's security cannot be built, the server does not fall back to a pipe with
// default security (open to whoever the default lets in): it logs and ends, like a failed
// creation.
TEST_F(PipeServerTest, SecuritySetUpFailureEndsTheServer) {
    pipe_test::ImportPatch patch("advapi32.dll", "SetEntriesInAclA",
                                 reinterpret_cast<void*>(FailingSetEntriesInAcl));
    ServerThread server;
    ExpectServerEndedWith(server, "Error creating pipe (0x00000008)");
}

uintptr_t __cdecl FailingBeginThread(void (*)(void*), unsigned, void*) {
    errno = EAGAIN;
    return static_cast<uintptr_t>(-1);
}

// When no thread can be started for a connection, the server closes that instance itself (the
// client is let go instead of hanging, and no handle is left behind) and goes on serving.
TEST_F(PipeServerTest, ConnectionWithoutAThreadIsClosedAndTheServerGoesOn) {
    ServerThread server;
    ASSERT_TRUE(WaitForPipe(pipe_));
    Exchange(pipe_, Word(RequestMachineState));  // the server's first thread and buffers exist
    int before = pipe_test::CountHandles(GetCurrentProcessId());
    {
        pipe_test::ImportPatch patch("msvcrt.dll", "_beginthread",
                                     reinterpret_cast<void*>(FailingBeginThread));
        for (int i = 0; i < 40; ++i) {
            WireResult result = Exchange(pipe_, Word(RequestMachineState));
            ASSERT_TRUE(result.opened) << "connection " << i;
            EXPECT_TRUE(result.reply.empty()) << "connection " << i;
            EXPECT_TRUE(result.closed) << "connection " << i;
        }
    }
    EXPECT_LE(pipe_test::CountHandles(GetCurrentProcessId()), before + 5);
    EXPECT_EQ(AskOrNoReply(pipe_, RequestMachineState), 0u);
}

// Whoever creates the pipe's name before the service (an interactive user may) could pose as it.
// The server does not serve beside such a squatter: it logs that it cannot create its pipe and
// ends. The stop's wake-up then reaches the squatter, which accepts and never reads: the stop must
// not hang on it, or the supervisor would never close the link and report STOPPED.
TEST_F(PipeServerTest, NameTakenFirstIsNotServedAndDoesNotHoldTheStop) {
    // One instance at most, so that Wine refuses the server's as well (see NameInUseMessage).
    HANDLE squatter = CreateNamedPipeA(pipe_.c_str(), PIPE_ACCESS_DUPLEX, 0, 1, 0, 0, 0, nullptr);
    ASSERT_NE(squatter, INVALID_HANDLE_VALUE) << GetLastError();
    {
        ServerThread server;
        EXPECT_TRUE(server.WaitForEnd(10000)) << "the server runs on";
    }
    EXPECT_EQ(ReadLogMessages(LogPath()), std::vector<std::string>{pipe_test::NameInUseMessage()});
    std::thread accept([squatter] { ConnectNamedPipe(squatter, nullptr); });
    EXPECT_TRUE(ReturnsWithin(StopControlPipeServer, 5000));
    // Lets the accepting thread go should the stop not have connected at all.
    HANDLE wake = CreateFileA(pipe_.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (wake != INVALID_HANDLE_VALUE) {
        CloseHandle(wake);
    }
    accept.join();
    CloseHandle(squatter);
}

}  // namespace
