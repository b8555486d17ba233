// The control pipe end to end: copies of kelvaran.exe installed under Wine's Service Control
// Manager keep stand-in machines running, and the tests talk to them as the tray companion and
// an administrator would, through the real pipes.
#include "tests/pipe/pipe_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "pipe/pipe.h"
#include "tests/standin/support/standin_support.h"

namespace {

using pipe_test::Ask;
using pipe_test::AskOrNoReply;
using pipe_test::Exchange;
using pipe_test::WireResult;
using pipe_test::Word;
using testsupport::CountLogMessages;
using testsupport::ProcessResult;
using testsupport::ReadLogMessages;

const DWORD kRequests[] = {RequestVrdeEnabled, RequestVrdePort, RequestScreenSize,
                           RequestMachineState};

// A copy of kelvaran.exe installed for one stand-in machine; removed with the object.
class MachineService {
public:
    MachineService(const testsupport::TempFolder& folder, const std::string& exeName,
                   const std::string& vm)
        : leftoverRemoved_(RemoveLeftover(exeName)),
          copy_(folder, exeName),
          pipe_(pipe_test::ControlPipeName(vm)) {
        copy_.WriteIni(testsupport::CompleteIni({{"VboxInstallPath", standin_test::StandinFolder()},
                                                 {"VboxUserHome", pipe_test::GroupHome()},
                                                 {"VmName", vm},
                                                 {"ShutdownCommand", "poweroff"},
                                                 {"Loglevel", "3"}}));
        ProcessResult installed = copy_.Run("-i");
        EXPECT_EQ(installed.exitCode, 0u) << installed.output;
    }

    // Starts the service and waits until its machine runs.
    void Start() {
        ASSERT_EQ(testsupport::StartByName(copy_.Name()), 0u);
        ASSERT_TRUE(testsupport::WaitForState(copy_.Name(), SERVICE_RUNNING))
            << testsupport::ReadFileContent(LogPath());
    }

    void Stop() {
        ASSERT_EQ(testsupport::ControlByName(copy_.Name(), SERVICE_CONTROL_STOP), 0u);
        ASSERT_TRUE(testsupport::WaitForState(copy_.Name(), SERVICE_STOPPED))
            << testsupport::ReadFileContent(LogPath());
    }

    DWORD Pid() const {
        SERVICE_STATUS_PROCESS status = {};
        EXPECT_EQ(testsupport::QueryStatus(copy_.Name(), &status), 0u);
        return status.dwProcessId;
    }

    const std::string& Pipe() const {
        return pipe_;
    }
    std::string LogPath() const {
        return copy_.LogPath();
    }

private:
    // A service an interrupted run left behind is auto-started with the prefix and holds its
    // executable, which the copy would then fail to replace.
    static bool RemoveLeftover(std::string exeName) {
        exeName.resize(exeName.size() - 4);
        std::replace(exeName.begin(), exeName.end(), ' ', '_');
        testsupport::RemoveService(exeName);
        return true;
    }

    bool leftoverRemoved_;
    testsupport::ServiceCopy copy_;
    std::string pipe_;
};

class PipeServiceTest : public testing::Test {
protected:
    void SetUp() override {
        pipe_test::GroupHome();
        standin_test::SetServerIdleExit(1000);
        hold_.reset(new standin_test::ServerHold);
    }

    void TearDown() override {
        service_.reset();
        for (const std::string& vm : machines_) {
            standin_test::RemoveMachine(vm);
        }
        hold_.reset();
    }

    // A fresh stand-in machine, removed with the test.
    void CreateMachine(const std::string& vm) {
        machines_.push_back(vm);
        standin_test::CreateMachine(vm);
    }

    // A fresh machine and a started service for it.
    void StartService(const std::string& exeName, const std::string& vm) {
        CreateMachine(vm);
        service_.reset(new MachineService(folder_, exeName, vm));
        service_->Start();
    }

    static void VBoxManage(const std::string& arguments) {
        ProcessResult result = standin_test::VBoxManage(arguments);
        EXPECT_EQ(result.exitCode, 0u) << "VBoxManage " << arguments << ":\n" << result.output;
    }

    // Pauses or resumes the machine from outside, as a user would, and waits for the state.
    static void Control(const std::string& vm, const std::string& action, LONG state) {
        VBoxManage("controlvm " + vm + " " + action);
        EXPECT_TRUE(standin_test::WaitForMachineState(vm, state)) << vm << " " << action;
    }

    static ProcessResult Query(const std::string& arguments, DWORD timeoutMs = 60000) {
        return testsupport::RunProcess(testsupport::BinFolder() + "\\kelvaran-query.exe", arguments,
                                       timeoutMs);
    }

    testsupport::TempFolder folder_{" svc"};
    std::unique_ptr<standin_test::ServerHold> hold_;
    std::vector<std::string> machines_;
    std::unique_ptr<MachineService> service_;
};

// The four answers carry the stand-in's facts as they are at each request: the packed screen
// size, the VRDE switch, the port bit for bit (the -1 of a VRDE server that does not run, and
// a port with the top bit set), the state through a pause and a resume. A failing screen read
// gives 0 once, then the size again. kelvaran-query shows the same facts readably and raw, and
// says so when the service has stopped. The stop powers the machine off.
TEST_F(PipeServiceTest, AnswersFollowTheMachine) {
    const std::string vm = "pipe-answers";
    CreateMachine(vm);
    standin_test::Ctl("vrde " + vm + " on 3390");
    service_.reset(new MachineService(folder_, "Pipe Answers.exe", vm));
    ASSERT_NO_FATAL_FAILURE(service_->Start());
    const std::string& pipe = service_->Pipe();

    EXPECT_EQ(AskOrNoReply(pipe, RequestMachineState), 5u);
    EXPECT_EQ(AskOrNoReply(pipe, RequestScreenSize), 0x03000400u);  // 1024x768
    EXPECT_EQ(AskOrNoReply(pipe, RequestVrdeEnabled), 1u);
    EXPECT_EQ(AskOrNoReply(pipe, RequestVrdePort), 3390u);

    standin_test::Ctl("vrde " + vm + " off 3390");
    EXPECT_EQ(AskOrNoReply(pipe, RequestVrdeEnabled), 0u);
    EXPECT_EQ(AskOrNoReply(pipe, RequestVrdePort), 0xFFFFFFFFu);
    standin_test::Ctl("vrde " + vm + " on -2147483647");
    EXPECT_EQ(AskOrNoReply(pipe, RequestVrdePort), 0x80000001u);
    standin_test::Ctl("screen " + vm + " 1920x1080");
    EXPECT_EQ(AskOrNoReply(pipe, RequestScreenSize), 0x04380780u);
    standin_test::Ctl("fault set Display.GetScreenResolution 0x80004005 once " + vm);
    EXPECT_EQ(AskOrNoReply(pipe, RequestScreenSize), 0u);
    EXPECT_EQ(AskOrNoReply(pipe, RequestScreenSize), 0x04380780u);

    Control(vm, "pause", standin_test::kPaused);
    EXPECT_EQ(AskOrNoReply(pipe, RequestMachineState), 6u);
    Control(vm, "resume", standin_test::kRunning);
    EXPECT_EQ(AskOrNoReply(pipe, RequestMachineState), 5u);

    ProcessResult shown = Query(vm);
    EXPECT_EQ(shown.exitCode, 0u);
    EXPECT_EQ(shown.output,
              "State: Running (5)\nScreen: 1920x1080\nVRDE port: -2147483647\nVRDE: enabled\n");
    shown = Query(vm + " --raw");
    EXPECT_EQ(shown.exitCode, 0u);
    EXPECT_EQ(shown.output,
              "State: 0x00000005\nScreen: 0x04380780\nVRDE port: 0x80000001\nVRDE: 0x00000001\n");

    ASSERT_NO_FATAL_FAILURE(service_->Stop());
    EXPECT_EQ(standin_test::MachineState(vm), standin_test::kPoweredOff);
    shown = Query(vm + " state");
    EXPECT_NE(shown.exitCode, 0u);
    EXPECT_EQ(shown.output.rfind("No answer from " + pipe, 0), 0u) << shown.output;
}

// Whatever a client writes, the connection ends and the service goes on: a word that is no
// request (260, 0) and a partial word get no reply and no log line; of two requests written at
// once only the first is answered; a client that connects and closes without writing costs
// exactly one "ERROR reading from client".
TEST_F(PipeServiceTest, BadInputOnTheWire) {
    ASSERT_NO_FATAL_FAILURE(StartService("Pipe Wire.exe", "pipe-wire"));
    const std::string& pipe = service_->Pipe();
    const std::vector<std::string> quiet = ReadLogMessages(service_->LogPath());

    auto expectNoReply = [&pipe](const std::string& bytes, const std::string& what) {
        WireResult result = Exchange(pipe, bytes);
        EXPECT_TRUE(result.opened) << what;
        EXPECT_EQ(result.reply, "") << what;
        EXPECT_TRUE(result.closed) << what;
    };
    expectNoReply(Word(260), "260");
    expectNoReply(Word(0), "0");
    for (size_t bytes = 1; bytes <= 3; ++bytes) {
        expectNoReply(Word(RequestMachineState).substr(0, bytes),
                      std::to_string(bytes) + " bytes of a request");
    }
    WireResult two = Exchange(pipe, Word(RequestMachineState) + Word(RequestScreenSize));
    EXPECT_EQ(two.reply, Word(5));
    EXPECT_TRUE(two.closed);
    EXPECT_EQ(ReadLogMessages(service_->LogPath()), quiet);

    const std::string error = "ERROR reading from client";
    ASSERT_TRUE(pipe_test::WaitForPipe(pipe));
    HANDLE silent = CreateFileA(pipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(silent, INVALID_HANDLE_VALUE) << GetLastError();
    CloseHandle(silent);
    for (int i = 0; i < 100 && CountLogMessages(service_->LogPath(), error) == 0; ++i) {
        Sleep(50);
    }
    EXPECT_EQ(AskOrNoReply(pipe, RequestMachineState), 5u);
    std::vector<std::string> expected = quiet;
    expected.push_back(error);
    EXPECT_EQ(ReadLogMessages(service_->LogPath()), expected);
}

// The companion hears of every state change of the service's machine (starting, running,
// paused, running, stopping, powered off), one word 512 per change, and of none of another
// machine's, however that one is driven.
TEST_F(PipeServiceTest, NotifiesEveryStateChangeOfItsMachineOnly) {
    const std::string vm = "pipe-notify";
    const std::string other = "pipe-notify-other";
    CreateMachine(vm);
    CreateMachine(other);
    pipe_test::TrayListener listener;
    service_.reset(new MachineService(folder_, "Pipe Notify.exe", vm));
    ASSERT_NO_FATAL_FAILURE(service_->Start());
    auto expectCount = [&listener](size_t count, const std::string& after) {
        EXPECT_TRUE(listener.WaitForCount(count)) << after;
        Sleep(500);
        EXPECT_EQ(listener.Count(), count) << after;
    };
    expectCount(2, "start");

    VBoxManage("startvm " + other + " --type headless");
    EXPECT_TRUE(standin_test::WaitForMachineState(other, standin_test::kRunning));
    Control(other, "pause", standin_test::kPaused);
    Control(other, "resume", standin_test::kRunning);
    Control(other, "poweroff", standin_test::kPoweredOff);
    expectCount(2, "the other machine's life");

    Control(vm, "pause", standin_test::kPaused);
    expectCount(3, "pause");
    Control(vm, "resume", standin_test::kRunning);
    expectCount(4, "resume");
    ASSERT_NO_FATAL_FAILURE(service_->Stop());
    expectCount(6, "stop");
    for (const std::string& received : listener.Received()) {
        EXPECT_EQ(received, Word(TrayStateChanged));
    }
}

// Two services for two machines (two copies of the executable, each with its own INI file)
// answer on two pipes, each for its own machine, and both notify the one companion pipe, here
// kelvaran-query --listen.
TEST_F(PipeServiceTest, TwoServicesTwoPipesOneCompanion) {
    CreateMachine("pipe-two-a");
    CreateMachine("pipe-two-b");
    standin_test::Ctl("screen pipe-two-a 800x600");
    standin_test::Ctl("screen pipe-two-b 1280x1024");
    MachineService a(folder_, "Pipe Two A.exe", "pipe-two-a");
    MachineService b(folder_, "Pipe Two B.exe", "pipe-two-b");
    ASSERT_NO_FATAL_FAILURE(a.Start());
    ASSERT_NO_FATAL_FAILURE(b.Start());
    EXPECT_EQ(AskOrNoReply(a.Pipe(), RequestScreenSize), 0x02580320u);
    EXPECT_EQ(AskOrNoReply(b.Pipe(), RequestScreenSize), 0x04000500u);

    ProcessResult heard;
    std::thread companion([&heard] { heard = Query("--listen 2 --timeout 60", 70000); });
    EXPECT_TRUE(pipe_test::WaitForPipe(TrayPipeName));
    Control("pipe-two-a", "pause", standin_test::kPaused);
    Control("pipe-two-b", "pause", standin_test::kPaused);
    companion.join();
    EXPECT_EQ(heard.exitCode, 0u) << heard.output;
    const std::string listening = "Listening on " + std::string(TrayPipeName) + "\n";
    ASSERT_EQ(heard.output.rfind(listening, 0), 0u) << heard.output;
    std::string rest = heard.output.substr(listening.size());
    // "[HH:MM:SS.mmm] machine state changed 0x00000200\n" twice.
    const std::string line = "] machine state changed 0x00000200\n";
    ASSERT_EQ(rest.size(), 2 * (13 + line.size())) << heard.output;
    EXPECT_EQ(rest.substr(13, line.size()), line) << heard.output;
    EXPECT_EQ(rest.substr(13 + line.size() + 13, line.size()), line) << heard.output;
    ASSERT_NO_FATAL_FAILURE(a.Stop());
    ASSERT_NO_FATAL_FAILURE(b.Stop());
}

// 64 clients at once, each asking the four questions over four connections: every one gets the
// right answer, none is turned away, and none finds the pipe without an instance (which would be
// a squatter's moment to take the name). Then hostile clients at once, 64 that connect and never
// write, 64 that write a request and never read, and 1000 that connect and close: an ordinary
// client still has its answer within a second, each hostile one is let go within seconds, and
// the thousand make a line or two in the log, not a thousand (the service counts them all by its
// end). Then 10 000 requests one after another. Afterwards the service has the handles, threads
// and private bytes it had after the 64, within a little: no connection keeps anything. (The 64
// run queries at the limit of how many may run at once, and Wine's COM grows a pool of worker
// threads to match, which it keeps. The state request: every connection runs the whole path, a
// query thread, the link's lock and a lookup in VirtualBox, at the lowest cost.)
TEST_F(PipeServiceTest, CrowdsAndHostileClientsLeaveNothingBehind) {
    ASSERT_NO_FATAL_FAILURE(StartService("Pipe Crowd.exe", "pipe-crowd"));
    const std::map<DWORD, DWORD> facts = {{RequestVrdeEnabled, 1},
                                          {RequestVrdePort, 3389},
                                          {RequestScreenSize, 0x03000400},
                                          {RequestMachineState, 5}};
    const std::string& pipe = service_->Pipe();
    DWORD pid = service_->Pid();
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<int> right{0};
    std::vector<std::string> wrong(64);
    std::vector<std::thread> crowd;
    for (size_t c = 0; c < wrong.size(); ++c) {
        crowd.emplace_back([&, c] {
            WaitForSingleObject(go, INFINITE);
            for (DWORD request : kRequests) {
                DWORD reply = AskOrNoReply(pipe, request);
                if (reply == facts.at(request)) {
                    ++right;
                } else {
                    wrong[c] += std::to_string(request) + " -> " + std::to_string(reply) + "; ";
                }
            }
        });
    }
    SetEvent(go);
    for (std::thread& client : crowd) {
        client.join();
    }
    CloseHandle(go);
    EXPECT_EQ(right, 256);
    for (size_t c = 0; c < wrong.size(); ++c) {
        EXPECT_EQ(wrong[c], "") << "client " << c;
    }
    EXPECT_EQ(pipe_test::missingInstanceRetries, 0);
    Sleep(300);
    int handles = pipe_test::CountHandles(pid);
    int threads = pipe_test::CountThreads(pid);
    SIZE_T bytes = pipe_test::PrivateBytes(pid);

    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<int> holding{0};
    std::atomic<int> keptTooLong{0};
    std::vector<std::thread> holders;
    for (int i = 0; i < 128; ++i) {
        holders.emplace_back([&, i] {
            DWORD error = 0;
            HANDLE client = pipe_test::OpenPipe(pipe, 10000, &error, 0);
            if (client == INVALID_HANDLE_VALUE) {
                return;
            }
            DWORD request = RequestMachineState;
            DWORD written = 0;
            if (i % 2 == 1) {
                WriteFile(client, &request, sizeof request, &written, nullptr);
            }
            ++holding;
            WaitForSingleObject(release, INFINITE);
            keptTooLong += PeekNamedPipe(client, nullptr, 0, nullptr, nullptr, nullptr) ? 1 : 0;
            CloseHandle(client);
        });
    }
    for (int i = 0; i < 1000 && holding < 128; ++i) {
        Sleep(10);
    }
    ULONGLONG held = GetTickCount64();
    std::atomic<int> closed{0};
    std::vector<std::thread> closers;
    for (int c = 0; c < 4; ++c) {
        closers.emplace_back([&] {
            for (int i = 0; i < 250; ++i) {
                DWORD error = 0;
                HANDLE client = pipe_test::OpenPipe(pipe, 10000, &error, 0);
                if (client != INVALID_HANDLE_VALUE) {
                    CloseHandle(client);
                    ++closed;
                }
            }
        });
    }
    int asked = 0;
    int answered = 0;
    ULONGLONG slowest = 0;
    do {
        ULONGLONG start = GetTickCount64();
        ++asked;
        answered += AskOrNoReply(pipe, RequestMachineState) == 5 ? 1 : 0;
        slowest = std::max(slowest, GetTickCount64() - start);
    } while (closed < 1000 && GetTickCount64() < held + 20000);
    for (std::thread& closer : closers) {
        closer.join();
    }
    ULONGLONG flood = GetTickCount64() - held;
    // Two seconds to send a request, two to take the reply, and some time to spare.
    Sleep(static_cast<DWORD>(std::max<LONGLONG>(0, held + 6000 - GetTickCount64())));
    SetEvent(release);
    for (std::thread& holder : holders) {
        holder.join();
    }
    CloseHandle(release);
    EXPECT_EQ(holding, 128);
    EXPECT_EQ(closed, 1000);
    EXPECT_EQ(answered, asked);
    EXPECT_LT(slowest, 1000u);
    EXPECT_EQ(keptTooLong, 0);

    int failed = 0;
    ULONGLONG start = GetTickCount64();
    for (int i = 0; i < 10000; ++i) {
        failed += AskOrNoReply(pipe, RequestMachineState) == 5 ? 0 : 1;
    }
    ULONGLONG took = GetTickCount64() - start;
    // The last query thread may still be on its way out.
    for (int i = 0; i < 50 && pipe_test::CountThreads(pid) > threads + 5; ++i) {
        Sleep(100);
    }
    int handlesAfter = pipe_test::CountHandles(pid);
    int threadsAfter = pipe_test::CountThreads(pid);
    SIZE_T bytesAfter = pipe_test::PrivateBytes(pid);
    EXPECT_EQ(failed, 0);
    EXPECT_LE(handlesAfter, handles + 5) << handles << " -> " << handlesAfter;
    EXPECT_LE(threadsAfter, threads + 5) << threads << " -> " << threadsAfter;
    EXPECT_LE(bytesAfter, bytes + 1024 * 1024) << bytes << " -> " << bytesAfter;
    printf(
        "%d answers among hostile clients for %llu ms, the slowest in %llu ms; 10000 requests in "
        "%llu ms; handles %d -> %d, threads %d -> %d, private bytes %llu -> %llu KB\n",
        asked, flood, slowest, took, handles, handlesAfter, threads, threadsAfter,
        static_cast<unsigned long long>(bytes / 1024),
        static_cast<unsigned long long>(bytesAfter / 1024));

    ASSERT_NO_FATAL_FAILURE(service_->Stop());
    int lines = 0;
    unsigned long clients = 0;
    for (const std::string& message : ReadLogMessages(service_->LogPath())) {
        unsigned long more = 0;
        if (message == "ERROR reading from client") {
            ++lines;
            ++clients;
        } else if (sscanf(message.c_str(), "ERROR reading from client (%lu more", &more) == 1) {
            ++lines;
            clients += more;
        }
    }
    EXPECT_LE(lines, 3);
    EXPECT_EQ(clients, 64u + 1000u) << testsupport::ReadFileContent(service_->LogPath());
}

// A service without its pipe logs why, but still keeps its machine running and stops it when
// told to: with a machine name too long for the pipe's name (no pipe under a name cut short,
// which another machine's service could own), or with the name taken by another process first
// (whose instance the stop's wake-up then reaches, and finds never reading).
TEST_F(PipeServiceTest, WithoutItsPipeTheServiceKeepsItsMachine) {
    struct Case {
        std::string exeName;
        std::string vm;
        bool squatted;
    };
    const Case cases[] = {
        {"Pipe Long.exe", "pipe-long-" + std::string(228, 'n'), false},
        {"Pipe Squatted.exe", "pipe-squatted", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.exeName);
        const std::string pipe = pipe_test::ControlPipeName(c.vm);
        HANDLE squatter =
            c.squatted ? CreateNamedPipeA(pipe.c_str(), PIPE_ACCESS_DUPLEX, 0, 1, 0, 0, 0, nullptr)
                       : INVALID_HANDLE_VALUE;
        ASSERT_TRUE(!c.squatted || squatter != INVALID_HANDLE_VALUE) << GetLastError();
        ASSERT_NO_FATAL_FAILURE(StartService(c.exeName, c.vm));
        const std::string logged =
            c.squatted ? pipe_test::NameInUseMessage() : "Error creating pipe (0x000000ce)";
        EXPECT_EQ(CountLogMessages(service_->LogPath(), logged), 1)
            << testsupport::ReadFileContent(service_->LogPath());
        ASSERT_NO_FATAL_FAILURE(service_->Stop());
        EXPECT_EQ(standin_test::MachineState(c.vm), standin_test::kPoweredOff);
        if (c.squatted) {
            CloseHandle(squatter);
        } else {
            EXPECT_FALSE(pipe_test::WaitForPipe(pipe.substr(0, 255), 300));
        }
    }
}

}  // namespace
