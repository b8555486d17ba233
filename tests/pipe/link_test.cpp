// The pipe server and the queries inside the test process, over a real link to the VirtualBox
// stand-in: the link states a running service passes through (a failed connection, an unknown
// machine, a session without a console) and the link closing while clients keep asking.
#include "tests/pipe/pipe_support.h"

#include <gtest/gtest.h>
#include <objbase.h>

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "config/config.h"
#include "pipe/pipe.h"
#include "tests/standin/support/standin_support.h"
#include "vbox/vbox.h"

namespace {

using pipe_test::AskOrNoReply;
using pipe_test::ServerThread;
using pipe_test::WaitForPipe;
using testsupport::CountLogMessages;

const DWORD kRequests[] = {RequestVrdeEnabled, RequestVrdePort, RequestScreenSize,
                           RequestMachineState};

class PipeLinkTest : public testing::Test {
protected:
    void SetUp() override {
        // The test's own calls (and the product's) share this multithreaded apartment, which
        // outlives CloseVirtualBox's CoUninitialize.
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        standin_test::SetServerIdleExit(1000);
        Set(ServiceConfig.VboxUserHome, pipe_test::GroupHome());
        hold_.reset(new standin_test::ServerHold);
        Set(ServiceConfig.VboxInstallPath, standin_test::StandinFolder());
        // The launch waits at most MaxWaitTimeout for the machine to come up.
        ServiceConfig.MaxWaitTimeout = 10000;
        pipe_test::LogInto(folder_);
        UseMachine("pipe-link-" + std::to_string(GetCurrentProcessId()));
    }

    void TearDown() override {
        if (VirtualBoxLink.VirtualBox != nullptr) {
            CloseVirtualBox();
        }
        standin_test::RemoveMachine(vm_);
        hold_.reset();
        CoUninitialize();
    }

    template <size_t N>
    static void Set(char (&field)[N], const std::string& value) {
        snprintf(field, N, "%s", value.c_str());
    }

    void UseMachine(const std::string& vm) {
        vm_ = vm;
        Set(ServiceConfig.VmName, vm);
        pipe_ = pipe_test::ControlPipeName(vm);
    }

    std::string LogPath() const {
        return ServiceConfig.LogPath;
    }

    // The four answers, in the order of kRequests.
    std::vector<DWORD> AskAll() {
        std::vector<DWORD> replies;
        for (DWORD request : kRequests) {
            replies.push_back(AskOrNoReply(pipe_, request));
        }
        return replies;
    }

    testsupport::TempFolder folder_;
    std::unique_ptr<standin_test::ServerHold> hold_;
    std::string vm_;
    std::string pipe_;
};

// A connection that failed (here: the machine's id could not be read) leaves no Session object;
// every request is then answered with 0 without asking VirtualBox anything, so that no query
// runs on a link that is half there.
TEST_F(PipeLinkTest, AfterAFailedConnectionEveryRequestIsAnsweredWithZero) {
    standin_test::CreateMachine(vm_);
    standin_test::Ctl("fault set Machine.Id 0x80004005 once " + vm_);
    OpenVirtualBox([](LinkReport, LONG) {});
    ASSERT_NE(VirtualBoxLink.VirtualBox, nullptr);
    ASSERT_EQ(VirtualBoxLink.Session, nullptr) << "the connection did not fail";

    standin_test::JournalReader journal;
    ServerThread server;
    ASSERT_TRUE(WaitForPipe(pipe_));
    EXPECT_EQ(AskAll(), std::vector<DWORD>(4, 0));
    EXPECT_TRUE(journal.Entries(vm_).empty())
        << testing::PrintToString(standin_test::Members(journal.Entries(vm_)));
}

// A VmName VirtualBox does not know: each request is answered with 0, and each adds exactly one
// line to the log, from the machine's lookup.
TEST_F(PipeLinkTest, UnknownMachineGivesZeroAndOneLogLinePerRequest) {
    UseMachine("pipe-link-unknown-" + std::to_string(GetCurrentProcessId()));
    standin_test::RemoveMachine(vm_);
    const std::string line = "ERROR: Could not find registered VM '" + vm_ + "'";
    OpenVirtualBox([](LinkReport, LONG) {});
    ASSERT_NE(VirtualBoxLink.Session, nullptr);
    ASSERT_EQ(CountLogMessages(LogPath(), line), 1) << "the connection's own lookup";

    ServerThread server;
    ASSERT_TRUE(WaitForPipe(pipe_));
    int expected = 1;
    for (DWORD request : kRequests) {
        EXPECT_EQ(AskOrNoReply(pipe_, request), 0u) << "request " << request;
        EXPECT_EQ(CountLogMessages(LogPath(), line), ++expected) << "request " << request;
    }
}

// The service's session gets a console only once it has started or joined the machine. Without
// one (a session never locked, or a write lock on a machine that is off), the screen and the
// port read as 0, while the state and the VRDE switch, read from the machine, still answer.
TEST_F(PipeLinkTest, WithoutAConsoleOnlyTheStateAndTheVrdeSwitchAnswer) {
    standin_test::CreateMachine(vm_);
    standin_test::Ctl("vrde " + vm_ + " on 3390");
    OpenVirtualBox([](LinkReport, LONG) {});
    ASSERT_NE(VirtualBoxLink.Session, nullptr);
    ServerThread server;
    ASSERT_TRUE(WaitForPipe(pipe_));
    const std::vector<DWORD> expected = {1, 0, 0, standin_test::kPoweredOff};
    EXPECT_EQ(AskAll(), expected) << "session never locked";

    IDispatch* machine = nullptr;
    ASSERT_EQ(FindMachineByName(vm_.c_str(), &machine), 1);
    VARIANT args[2] = {DispatchArg(VirtualBoxLink.Session), LongArg(2)};  // LockType_Write
    EXPECT_EQ(CallMethod(machine, L"LockMachine", args, 2, nullptr), S_OK);
    machine->Release();
    EXPECT_EQ(AskAll(), expected) << "write lock without a console";
    CallMethod(VirtualBoxLink.Session, L"UnlockMachine", nullptr, 0, nullptr);
}

// Clients keep asking while the supervisor closes the link under them. Every request is
// answered, each answer is either the machine's fact or 0, and the process survives: no query
// may use an object the close has released. Once the close has returned, every answer is 0.
TEST_F(PipeLinkTest, QueriesRacingTheLinksCloseGetTheFactOrZero) {
    standin_test::CreateMachine(vm_);
    OpenVirtualBox([](LinkReport, LONG) {});
    ASSERT_EQ(StartMachine(vm_.c_str()), 1);
    ASSERT_TRUE(standin_test::WaitForMachineState(vm_, standin_test::kRunning));
    const std::map<DWORD, DWORD> facts = {{RequestVrdeEnabled, 1},
                                          {RequestVrdePort, 3389},
                                          {RequestScreenSize, 0x03000400},
                                          {RequestMachineState, standin_test::kRunning}};
    ServerThread server;
    ASSERT_TRUE(WaitForPipe(pipe_));

    struct Tally {
        int facts = 0;
        int zeros = 0;
        int wrong = 0;
        int zerosAfterClose = 0;
        int factsAfterClose = 0;
        std::string firstWrong;
    };
    std::atomic<bool> closed{false};
    std::atomic<bool> stopping{false};
    std::vector<Tally> tallies(8);
    std::vector<std::thread> clients;
    for (size_t c = 0; c < tallies.size(); ++c) {
        clients.emplace_back([&, c] {
            Tally& tally = tallies[c];
            for (size_t i = c; !stopping; ++i) {
                DWORD request = kRequests[i % 4];
                bool afterClose = closed;
                DWORD reply = AskOrNoReply(pipe_, request);
                if (reply == facts.at(request)) {
                    ++tally.facts;
                    tally.factsAfterClose += afterClose ? 1 : 0;
                } else if (reply == 0) {
                    ++tally.zeros;
                    tally.zerosAfterClose += afterClose ? 1 : 0;
                } else if (tally.wrong++ == 0) {
                    tally.firstWrong = std::to_string(request) + " -> " + std::to_string(reply);
                }
            }
        });
    }
    Sleep(1500);
    CloseVirtualBox();
    closed = true;
    Sleep(1000);
    stopping = true;
    for (std::thread& client : clients) {
        client.join();
    }

    Tally all;
    for (const Tally& tally : tallies) {
        all.facts += tally.facts;
        all.zeros += tally.zeros;
        all.wrong += tally.wrong;
        all.zerosAfterClose += tally.zerosAfterClose;
        all.factsAfterClose += tally.factsAfterClose;
        EXPECT_EQ(tally.wrong, 0) << tally.firstWrong;
    }
    EXPECT_GT(all.facts, 0);
    EXPECT_GT(all.zerosAfterClose, 0);
    EXPECT_EQ(all.factsAfterClose, 0);
    printf("answers: %d facts, %d zeros (%d after the close), %d wrong\n", all.facts, all.zeros,
           all.zerosAfterClose, all.wrong);
}

}  // namespace
