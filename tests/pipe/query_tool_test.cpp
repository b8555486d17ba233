// kelvaran-query.exe, the administrator's client of the control pipe, against a scripted pipe
// server whose answers the test chooses: what it prints for each answer, its raw mode, and what
// it does when no answer comes.
#include "tests/pipe/pipe_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <string>
#include <thread>

#include "pipe/pipe.h"

namespace {

using testsupport::ProcessResult;

// Serves a pipe name as the service does (one word in, at most one word out, a fresh instance
// per connection), but replies what reply() says: nothing when it gives an empty string.
class ScriptedServer {
public:
    ScriptedServer(const std::string& pipe, std::function<std::string(DWORD)> reply)
        : pipe_(pipe), reply_(std::move(reply)), thread_([this] { Serve(); }) {
        EXPECT_TRUE(pipe_test::WaitForPipe(pipe_));
    }
    ~ScriptedServer() {
        stopping_ = true;
        HANDLE wake =
            CreateFileA(pipe_.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (wake != INVALID_HANDLE_VALUE) {
            CloseHandle(wake);
        }
        thread_.join();
    }

private:
    // The next instance is created before the current one is served, as the service does, so
    // that a client asking one question after another always finds the pipe.
    void Serve() {
        HANDLE next = CreateInstance();
        while (!stopping_ && next != INVALID_HANDLE_VALUE) {
            HANDLE pipe = next;
            bool connected =
                ConnectNamedPipe(pipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED;
            next = CreateInstance();
            DWORD word = 0;
            DWORD bytes = 0;
            if (connected && ReadFile(pipe, &word, sizeof word, &bytes, nullptr) &&
                bytes == sizeof word) {
                std::string reply = reply_(word);
                if (!reply.empty()) {
                    WriteFile(pipe, reply.data(), static_cast<DWORD>(reply.size()), &bytes,
                              nullptr);
                    FlushFileBuffers(pipe);
                }
            }
            DisconnectNamedPipe(pipe);
            CloseHandle(pipe);
        }
        if (next != INVALID_HANDLE_VALUE) {
            CloseHandle(next);
        }
    }

    HANDLE CreateInstance() {
        HANDLE pipe = CreateNamedPipeA(pipe_.c_str(), PIPE_ACCESS_DUPLEX, 0,
                                       PIPE_UNLIMITED_INSTANCES, 16, 16, 0, nullptr);
        EXPECT_NE(pipe, INVALID_HANDLE_VALUE) << "cannot serve " << pipe_ << ": " << GetLastError();
        return pipe;
    }

    std::string pipe_;
    std::function<std::string(DWORD)> reply_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

class QueryToolTest : public testing::Test {
protected:
    ProcessResult Query(const std::string& arguments) {
        return testsupport::RunProcess(testsupport::BinFolder() + "\\kelvaran-query.exe",
                                       arguments);
    }

    // A server that answers each request word from the table.
    std::function<std::string(DWORD)> Answers(std::map<DWORD, DWORD> table) {
        return [table](DWORD request) {
            auto found = table.find(request);
            return found == table.end() ? std::string() : pipe_test::Word(found->second);
        };
    }

    const std::string vm_ = "query-" + testsupport::TestName();
    const std::string pipe_ = pipe_test::ControlPipeName(vm_);
};

// With no question named, all four are asked and each answer is shown as an administrator reads
// it: the state by name and number, the screen as WIDTHxHEIGHT from the packed word, the port as
// the signed number it is (-1: no VRDE server running), the switch as a word.
TEST_F(QueryToolTest, PrintsEachAnswerReadably) {
    {
        ScriptedServer server(pipe_, Answers({{RequestMachineState, 5},
                                              {RequestScreenSize, 0x04380780},
                                              {RequestVrdePort, 0xFFFFFFFF},
                                              {RequestVrdeEnabled, 0}}));
        ProcessResult result = Query(vm_);
        EXPECT_EQ(result.exitCode, 0u);
        EXPECT_EQ(result.output,
                  "State: Running (5)\nScreen: 1920x1080\nVRDE port: -1\nVRDE: disabled\n");
    }
    // A state the table of names does not know is still shown by number; any nonzero switch is
    // "enabled".
    ScriptedServer server(pipe_, Answers({{RequestMachineState, 99},
                                          {RequestScreenSize, 0x03000400},
                                          {RequestVrdePort, 3389},
                                          {RequestVrdeEnabled, 7}}));
    ProcessResult result = Query(vm_);
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.output,
              "State: unknown (99)\nScreen: 1024x768\nVRDE port: 3389\nVRDE: enabled\n");
    result = Query(vm_ + " state");
    EXPECT_EQ(result.output, "State: unknown (99)\n");
    result = Query(vm_ + " vrdeport");
    EXPECT_EQ(result.output, "VRDE port: 3389\n");
}

// --raw shows each reply word as it came off the wire, for answers the readable form would
// interpret (a port above 32767 as a negative, say).
TEST_F(QueryToolTest, RawModePrintsTheReplyWordsInHex) {
    ScriptedServer server(pipe_, Answers({{RequestMachineState, 6},
                                          {RequestScreenSize, 0x03000400},
                                          {RequestVrdePort, 0x80000001},
                                          {RequestVrdeEnabled, 1}}));
    ProcessResult result = Query(vm_ + " --raw");
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.output,
              "State: 0x00000006\nScreen: 0x03000400\nVRDE port: 0x80000001\nVRDE: 0x00000001\n");
    result = Query(vm_ + " screen --raw");
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.output, "Screen: 0x03000400\n");
}

// No service, a service that closes without answering, and one that answers with less than a
// word: each time the tool says there was no answer and fails, so scripts can tell.
TEST_F(QueryToolTest, NoAnswerIsReportedWithAFailingExitStatus) {
    const std::string said = "No answer from " + pipe_;
    ProcessResult result = Query(vm_);
    EXPECT_NE(result.exitCode, 0u);
    EXPECT_EQ(result.output.compare(0, said.size(), said), 0) << result.output;
    {
        ScriptedServer silent(pipe_, [](DWORD) { return std::string(); });
        result = Query(vm_ + " state");
        EXPECT_NE(result.exitCode, 0u);
        EXPECT_EQ(result.output.compare(0, said.size(), said), 0) << result.output;
    }
    ScriptedServer halfWord(pipe_, [](DWORD) { return std::string("\x05\x00", 2); });
    result = Query(vm_ + " state --raw");
    EXPECT_NE(result.exitCode, 0u);
    EXPECT_EQ(result.output.compare(0, said.size(), said), 0) << result.output;
}

// A question the tool does not know, or no arguments at all, shows the usage and fails.
TEST_F(QueryToolTest, UnknownArgumentsShowTheUsage) {
    for (const std::string& arguments : {std::string(), vm_ + " colour", std::string("-x")}) {
        ProcessResult result = Query(arguments);
        EXPECT_NE(result.exitCode, 0u) << arguments;
        EXPECT_NE(result.output.find("Usage:"), std::string::npos) << arguments;
    }
}

}  // namespace
