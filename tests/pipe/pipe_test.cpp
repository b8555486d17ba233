// The control pipe's server and queries, the tray notification, VirtualBox's server launch and
// kelvaran-query's own arguments: the product's functions run inside the test process.
#include <aclapi.h>
#include <gtest/gtest.h>
#include <sddl.h>
#include <winternl.h>

#include <algorithm>
#include <array>
#include <memory>
#include <regex>

#include "config/config.h"
#include "pipe/pipe.h"
#include "tests/support/support.h"
#include "vbox/vbox.h"

namespace {

using namespace testsupport;

// The wire's words: the VRDE switch, its port, the screen size, the machine's state.
const DWORD kRequests[] = {256, 257, 258, 259};
// What every client of either pipe lends the pipe's owner: its identity, nothing to act with.
const DWORD kIdentifyOnly = SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;

std::string Word(DWORD word) {
    return std::string(reinterpret_cast<const char*>(&word), sizeof word);
}

template <size_t N>
void Set(char (&field)[N], const std::string& value) {
    snprintf(field, N, "%s", value.c_str());
}

const auto systemCreateFileW = System(CreateFileW, "kernel32", "CreateFileW");
const auto systemCreateProcessW = System(CreateProcessW, "kernel32", "CreateProcessW");
const auto systemSetEntriesInAclW = System(SetEntriesInAclW, "advapi32", "SetEntriesInAclW");
const auto systemCreateNamedPipeW = System(CreateNamedPipeW, "kernel32", "CreateNamedPipeW");

// The quality-of-service flags of the opens of the watched pipe: Wine does not show the level a
// client lends its pipe's owner.
const char* watched = "";
std::vector<DWORD> opens;
HANDLE WINAPI RecordingCreateFileW(LPCWSTR name, DWORD access, DWORD share,
                                   LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                   HANDLE model) {
    if (Utf8(name) == watched) {
        opens.push_back(flags & (SECURITY_SQOS_PRESENT | SECURITY_VALID_SQOS_FLAGS));
    }
    return systemCreateFileW(name, access, share, security, disposition, flags, model);
}

// Runs call on a thread of its own, recording its opens of pipe; whether it returned in time.
bool ReturnsWithin(DWORD ms, void (*call)(), const char* pipe = "") {
    watched = pipe;
    Repoint(systemCreateFileW, &RecordingCreateFileW);
    HANDLE thread = CreateThread(
        nullptr, 0, [](void* f) -> DWORD { return reinterpret_cast<void (*)()>(f)(), 0; },
        reinterpret_cast<void*>(call), 0, nullptr);
    bool returned = WaitForSingleObject(thread, ms) == WAIT_OBJECT_0;
    Repoint(&RecordingCreateFileW, systemCreateFileW);
    return returned;
}

std::vector<std::string> launches;  // "application | command line | flags"
BOOL WINAPI RecordingCreateProcessW(LPCWSTR application, LPWSTR line, LPSECURITY_ATTRIBUTES process,
                                    LPSECURITY_ATTRIBUTES thread, BOOL inherit, DWORD flags,
                                    LPVOID environment, LPCWSTR folder, LPSTARTUPINFOW startup,
                                    LPPROCESS_INFORMATION started) {
    launches.push_back(Utf8(application) + " | " + Utf8(line) + " | " + std::to_string(flags));
    // Detached: Wine gives a windowless child a console host, which would hold ctest's pipe.
    return systemCreateProcessW(application, line, process, thread, inherit,
                                (flags & ~CREATE_NO_WINDOW) | DETACHED_PROCESS, environment, folder,
                                startup, started);
}

// The open and pipe modes of every instance the server makes; from the one after madeUntil on,
// the creation fails for want of resources (1450).
std::mutex createsLock;
std::vector<std::pair<DWORD, DWORD>> creates;
size_t madeUntil = 0;
HANDLE WINAPI LimitedCreateNamedPipeW(LPCWSTR name, DWORD openMode, DWORD pipeMode, DWORD instances,
                                      DWORD out, DWORD in, DWORD timeout,
                                      LPSECURITY_ATTRIBUTES security) {
    std::lock_guard<std::mutex> hold(createsLock);
    creates.emplace_back(openMode, pipeMode);
    if (creates.size() > madeUntil) {
        SetLastError(ERROR_NO_SYSTEM_RESOURCES);
        return INVALID_HANDLE_VALUE;
    }
    return systemCreateNamedPipeW(name, openMode, pipeMode, instances, out, in, timeout, security);
}

DWORD WINAPI FailingSetEntriesInAclW(ULONG, PEXPLICIT_ACCESS_W, PACL, PACL* acl) {
    *acl = nullptr;
    return ERROR_NOT_ENOUGH_MEMORY;
}

// This process's live handles (Wine's count in the system's list is its table's size), and its
// threads and private bytes from that list (Wine's own calls for them read 0).
std::array<size_t, 3> Resources() {
    size_t handles = 0;
    for (ULONG_PTR value = 4; value < 4 * 65536; value += 4) {
        DWORD flags = 0;
        handles += GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags) != 0;
    }
    std::vector<BYTE> list(1 << 22);
    NtQuerySystemInformation(SystemProcessInformation, list.data(), list.size(), nullptr);
    auto* entry = reinterpret_cast<SYSTEM_PROCESS_INFORMATION*>(list.data());
    while (HandleToULong(entry->UniqueProcessId) != GetCurrentProcessId()) {
        entry = reinterpret_cast<SYSTEM_PROCESS_INFORMATION*>(reinterpret_cast<BYTE*>(entry) +
                                                              entry->NextEntryOffset);
    }
    return {handles, entry->NumberOfThreads, entry->VirtualMemoryCounters.PagefileUsage};
}

// A client that lends no token, waiting a while when every instance is taken.
HANDLE Open(const std::string& pipe, DWORD waitMs = 2000) {
    HANDLE client = INVALID_HANDLE_VALUE;
    while ((client = CreateFileA(pipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, 0, nullptr)) == INVALID_HANDLE_VALUE &&
           GetLastError() == ERROR_PIPE_BUSY && WaitNamedPipeA(pipe.c_str(), waitMs)) {
    }
    return client;
}

// The product's server on a thread of this process, logging everything into the test's folder;
// on demand, the supervisor's link to the stand-in.
class PipeTest : public testing::Test {
protected:
    PipeTest() {
        Set(ServiceConfig.VmName, vm_);
        Set(ServiceConfig.LogPath, folder_.File("kelvaran.log"));
        ServiceConfig.LogLevel = 3;
    }
    ~PipeTest() override {
        // A reference never released, or a machine left running, keeps the server up for good.
        if (VirtualBoxLink.VirtualBox != nullptr) {
            CloseVirtualBox(5000);
        }
        if (hold_) {
            RemoveMachine(vm_);
        }
    }

    void Serve(bool waitForPipe = true) {
        server_ = CreateThread(
            nullptr, 0, [](void*) -> DWORD { return ControlPipeServerThread(nullptr), 0; }, nullptr,
            0, nullptr);
        ASSERT_TRUE(!waitForPipe || WaitUntil([&] { return WaitNamedPipeA(pipe_.c_str(), 0); }));
    }
    bool Ended(DWORD ms) const {
        return WaitForSingleObject(server_, ms) == WAIT_OBJECT_0;
    }
    std::vector<std::string> Log() const {
        return ReadLog(ServiceConfig.LogPath);
    }
    void Link(bool open = true, bool registered = true, const std::string& fault = "") {
        // A server this process starts holds its standard error, ctest's pipe, until it ends.
        SetEnvironmentVariableA("STANDIN_IDLE_EXIT_MS", "1000");
        const std::string home = std::string(getenv("USERPROFILE")) + "\\.VirtualBox";
        SetEnvironmentVariableA("VBOX_USER_HOME", home.c_str());
        Set(ServiceConfig.VboxUserHome, home);
        Set(ServiceConfig.VboxInstallPath, StandinFolder());
        ServiceConfig.MaxWaitTimeout = 10000;
        hold_.reset(new ServerHold);
        registered ? CreateMachine(vm_) : RemoveMachine(vm_);
        Ctl(fault.empty() ? "fault clear" : "fault set " + fault + " once " + vm_);
        if (open) {
            OpenVirtualBox([](LinkReport, LONG) {});
        }
    }

    TempFolder folder_;
    std::string vm_ = "pipe-test", pipe_ = ControlPipeName(vm_);
    HANDLE server_ = nullptr;
    std::unique_ptr<ServerHold> hold_;
};

template <typename Row>
class Rows : public PipeTest, public testing::WithParamInterface<Row> {};

// Whatever a client writes, it gets one reply at most (0: no link yet), and the log hears only of
// a client that left without a word.
struct WireRow {
    const char* name;
    std::string bytes, reply;  // no bytes: the client closes without reading
};
const WireRow kWire[] = {
    {"NoRequest260", Word(260), ""},
    {"OneByte", Word(259).substr(0, 1), ""},
    {"ThreeBytes", Word(259).substr(0, 3), ""},
    {"TwoRequestsAtOnce", Word(259) + Word(258), Word(0)},
    {"ConnectAndClose", "", ""},
};
using Wire = Rows<WireRow>;
TEST_P(Wire, OneReplyAtMost) {
    const WireRow& row = GetParam();
    Serve();
    HANDLE client = Open(pipe_);
    DWORD bytes = 0;
    WriteFile(client, row.bytes.data(), static_cast<DWORD>(row.bytes.size()), &bytes, nullptr);
    std::string reply;
    char buffer[16];
    while (!row.bytes.empty() && ReadFile(client, buffer, sizeof buffer, &bytes, nullptr)) {
        reply.append(buffer, bytes);
    }
    CloseHandle(client);
    EXPECT_EQ(reply, row.reply);
    // The client's leaving, ERROR_BROKEN_PIPE.
    const std::vector<std::string> logged(row.bytes.empty(),
                                          "ERROR reading from client (0x0000006d)");
    WaitUntil([&] { return Log() == logged; }, 3000);
    EXPECT_EQ(Log(), logged);
}
INSTANTIATE_TEST_SUITE_P(Rows, Wire, testing::ValuesIn(kWire), RowName<WireRow>);

// A server that cannot build its pipe's security creates no pipe with default security: it says
// why and ends.
TEST_F(PipeTest, NoPipeWithoutItsSecurity) {
    Repoint(systemSetEntriesInAclW, &FailingSetEntriesInAclW);
    ASSERT_NO_FATAL_FAILURE(Serve(false));
    EXPECT_TRUE(Ended(10000)) << "the server runs on";
    EXPECT_FALSE(WaitNamedPipeA(pipe_.c_str(), 0));
    EXPECT_EQ(Log(), std::vector<std::string>{"Error creating pipe (0x00000008)"});
}

// The pipe is open to interactive users, the system and the server's own account (Wine's one user
// here, as for a service installed with --account) alone, and only the last two may create
// instances; checked on two, since each is created anew. A client beyond the instances the
// server may hold waits, and is served once the silent ones have had their time. The stop ends
// the server even when every instance is taken and its wake-up, which lends no token, finds none.
TEST_F(PipeTest, ClientsBeyondTheLimitWaitAndTheStopEndsTheServerAnyway) {
    Serve();
    auto takeEveryInstance = [&] {
        std::vector<HANDLE> taken;
        for (HANDLE client; (client = Open(pipe_, 200)) != INVALID_HANDLE_VALUE;) {
            taken.push_back(client);
        }
        return taken;
    };
    std::vector<HANDLE> silent = takeEveryInstance();
    EXPECT_EQ(silent.size(), 254u);
    for (HANDLE client : {silent.front(), silent.back()}) {
        PSECURITY_DESCRIPTOR security = nullptr;
        char* dacl = nullptr;
        GetSecurityInfo(client, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                        nullptr, nullptr, &security);
        ConvertSecurityDescriptorToStringSecurityDescriptorA(security, SDDL_REVISION_1,
                                                             DACL_SECURITY_INFORMATION, &dacl, 0);
        EXPECT_STREQ(
            dacl, "D:(A;;0x112019b;;;IU)(A;;0x112019f;;;SY)(A;;0x112019f;;;S-1-5-21-0-0-0-1000)");
    }
    DWORD reply = 1;
    EXPECT_EQ(Exchange(pipe_, Word(259), &reply), 4);
    EXPECT_TRUE(WaitUntil([&] {
        return std::none_of(silent.begin(), silent.end(), [](HANDLE client) {
            return PeekNamedPipe(client, nullptr, 0, nullptr, nullptr, nullptr);
        });
    })) << "clients that never write are not let go";
    std::vector<HANDLE> taken = takeEveryInstance();
    EXPECT_TRUE(ReturnsWithin(
        5000, [] { StopControlPipeServer(2000); }, pipe_.c_str()));
    EXPECT_EQ(opens, std::vector<DWORD>{kIdentifyOnly});
    EXPECT_TRUE(Ended(1000)) << "the server waits for its wake-up";
}

// Every instance is overlapped, duplex and for local clients only, and the first also takes the
// name or fails. Once the name is taken, instances that cannot be made are logged (once, and
// counted at the end) and tried again: the server keeps serving on what it holds, down to the last
// instance, which it keeps, so that the name stays its own and nobody can put up the pipe in its
// place.
TEST_F(PipeTest, ALaterInstanceFailureKeepsTheName) {
    madeUntil = 4;
    Repoint(systemCreateNamedPipeW, &LimitedCreateNamedPipeW);
    Serve();
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(Ask(pipe_, 259), 0u) << i;
    }
    // Wine lets anyone add an instance to a pipe that exists, so the name is shown to be the
    // service's by its clients: they still reach the pipe of 254 instances, and are answered.
    HANDLE client = Open(pipe_);
    DWORD instances = 0, reply = 1, bytes = 0;
    EXPECT_TRUE(GetNamedPipeInfo(client, nullptr, nullptr, nullptr, &instances));
    EXPECT_EQ(instances, 254u);
    EXPECT_TRUE(WriteFile(client, &kRequests[3], sizeof(DWORD), &bytes, nullptr));
    EXPECT_TRUE(ReadFile(client, &reply, sizeof reply, &bytes, nullptr) && reply == 0);
    CloseHandle(client);
    Repoint(&LimitedCreateNamedPipeW, systemCreateNamedPipeW);
    StopControlPipeServer(2000);
    ASSERT_TRUE(Ended(1000));
    // PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED (| FILE_FLAG_FIRST_PIPE_INSTANCE), and
    // PIPE_REJECT_REMOTE_CLIENTS.
    std::vector<std::pair<DWORD, DWORD>> expected(creates.size(), {0x40000003, 0x8});
    expected.front().first = 0x40080003;
    EXPECT_EQ(creates, expected);
    EXPECT_GT(creates.size(), 5u) << "tried again";
    const std::vector<std::string> log = Log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0], "Error creating pipe (0x000005aa)");
    EXPECT_EQ(log[1].rfind("Error creating pipe (0x000005aa) (", 0), 0u) << "the count at the end";
}

// 64 ordinary clients at once are all answered. Then 64 clients that never write, 64 that never
// read and 1000 that connect and close: an ordinary client is still answered within a second, the
// handles, threads and memory come back (the first crowd grew Wine's pools), and the log counts
// every leaver in two lines.
TEST_F(PipeTest, HostileClientsLeaveNothingBehind) {
    Serve();
    std::atomic<int> answered{0};
    std::vector<std::thread> crowd;
    for (int i = 0; i < 64; ++i) {
        crowd.emplace_back([&] {
            DWORD reply = 1;
            answered += Exchange(pipe_, Word(259), &reply) == 4 && reply == 0;
        });
    }
    std::for_each(crowd.begin(), crowd.end(), std::mem_fn(&std::thread::join));
    EXPECT_EQ(answered, 64);
    Sleep(300);
    const std::array<size_t, 3> before = Resources();
    const ULONGLONG start = GetTickCount64();
    std::vector<HANDLE> hostile;
    for (DWORD i = 0, written = 0; i < 128; ++i) {
        hostile.push_back(Open(pipe_));
        if (i % 2 != 0) {
            WriteFile(hostile.back(), kRequests, sizeof(DWORD), &written, nullptr);
        }
    }
    std::atomic<bool> done{false};
    std::thread closer([&] {
        for (int i = 0; i < 1000; ++i) {
            CloseHandle(Open(pipe_));
        }
        done = true;
    });
    ULONGLONG slowest = 0;
    for (ULONGLONG asked = 0; !done; slowest = std::max(slowest, GetTickCount64() - asked)) {
        asked = GetTickCount64();
        EXPECT_EQ(Ask(pipe_, 259), 0u);
    }
    closer.join();
    EXPECT_LT(slowest, 1000u) << "an ordinary client among them";
    // Two seconds to write, two to read, and time to spare.
    Sleep(static_cast<DWORD>(std::max<LONGLONG>(0, start + 6000 - GetTickCount64())));
    std::for_each(hostile.begin(), hostile.end(), CloseHandle);
    WaitUntil([&] { return Resources()[1] <= before[1]; }, 5000);
    const std::array<size_t, 3> after = Resources();
    EXPECT_LE(after[0], before[0] + 5) << "handles";
    EXPECT_LE(after[1], before[1] + 2) << "threads";
    EXPECT_LE(after[2], before[2] + (1 << 20)) << "private bytes";
    StopControlPipeServer(2000);
    ASSERT_TRUE(Ended(10000));
    const std::vector<std::string> log = Log();
    EXPECT_TRUE(log.size() == 2 &&
                std::regex_match(log[0] + "|" + log[1],
                                 std::regex("ERROR reading from client \\(0x[0-9a-f]{8}\\)\\|"
                                            "ERROR reading from client \\(0x[0-9a-f]{8}\\) "
                                            "\\(1063 more since the last such line\\)")))
        << testing::PrintToString(log);
}

// The link as a running service has it: not there yet, failed (VirtualBox is asked nothing then),
// for an unknown machine (logged once, at the connection, however often it is asked), without a
// console (the machine alone answers). A request adds nothing to the log.
struct LinkRow {
    const char* name;
    bool open, registered;
    const char* fault;
    std::array<DWORD, 4> replies;  // in the order of kRequests
    bool asksVirtualBox;
};
const LinkRow kLinks[] = {
    {"NotYetOpen", false, true, "", {0, 0, 0, 0}, false},
    {"FailedConnection", true, true, "Machine.Id 0x80004005", {0, 0, 0, 0}, false},
    {"UnknownMachine", true, false, "", {0, 0, 0, 0}, true},
    {"NoConsole", true, true, "", {1, 0, 0, kPoweredOff}, true},
};
using Links = Rows<LinkRow>;
TEST_P(Links, Answers) {
    const LinkRow& row = GetParam();
    ASSERT_NO_FATAL_FAILURE(Link(row.open, row.registered, row.fault));
    EXPECT_EQ(VirtualBoxLink.Session != nullptr, row.asksVirtualBox) << "how the link opened";
    Journal journal;
    Serve();
    for (size_t i = 0; i < 4; ++i) {
        const size_t lines = Log().size();
        EXPECT_EQ(Ask(pipe_, kRequests[i]), row.replies[i]) << kRequests[i];
        EXPECT_EQ(Log().size(), lines) << kRequests[i];
    }
    EXPECT_EQ(CountLog(Log(), "ERROR: Could not find registered VM '" + vm_ + "'"),
              row.open && !row.registered ? 1u : 0u);
    EXPECT_EQ(journal.Entries(vm_).empty(), !row.asksVirtualBox) << Members(journal.Entries(vm_));
}
INSTANTIATE_TEST_SUITE_P(Rows, Links, testing::ValuesIn(kLinks), RowName<LinkRow>);

// Queries that never return (a wedged VM process) hold 32 connections; a request beyond them waits
// in the queue as long as a client may wait for its reply, then gets none, and its connection is
// let go. Once the calls return, their clients get their answers.
TEST_F(PipeTest, StuckQueriesLetTheQueueGo) {
    ASSERT_NO_FATAL_FAILURE(Link());
    ASSERT_EQ(StartMachine(vm_.c_str(), false, [] { return ULONGLONG{0}; }), 1);
    ASSERT_TRUE(WaitForMachineState(vm_, kRunning));
    Serve();
    Ctl("fault set Display.GetScreenResolution hang 32 " + vm_);
    std::atomic<int> answered{0};
    std::vector<std::thread> stuck;
    for (int i = 0; i < 32; ++i) {
        stuck.emplace_back([&] { answered += Ask(pipe_, 258) == 0x03000400; });
    }
    ASSERT_TRUE(WaitUntil([] { return Ctl("fault list").empty(); })) << "32 calls hang";
    std::vector<std::thread> queued;
    std::atomic<int> unanswered{0};
    const ULONGLONG start = GetTickCount64();
    for (int i = 0; i < 8; ++i) {
        queued.emplace_back([&] {
            DWORD reply = 0;
            unanswered += Exchange(pipe_, Word(259), &reply) == 0;
        });
    }
    std::for_each(queued.begin(), queued.end(), std::mem_fn(&std::thread::join));
    EXPECT_EQ(unanswered, 8);
    EXPECT_LT(GetTickCount64() - start, 5000u) << "two seconds in the queue, and a sweep";
    Ctl("fault clear");
    std::for_each(stuck.begin(), stuck.end(), std::mem_fn(&std::thread::join));
    EXPECT_EQ(answered, 32);
    EXPECT_EQ(CloseVirtualBox(5000), 1);
}

// Clients keep asking while the supervisor closes the link: each answer is the fact or 0, the
// process survives, and once the close has returned every answer is 0.
TEST_F(PipeTest, QueriesRacingTheLinksCloseGetTheFactOrZero) {
    ASSERT_NO_FATAL_FAILURE(Link());
    ServiceConfig.MaxWaitTimeout = 0;  // a stop at once; a launch still gets what it needs
    ASSERT_EQ(StartMachine(vm_.c_str(), false, [] { return ULONGLONG{0}; }), 1);
    ASSERT_TRUE(WaitForMachineState(vm_, kRunning));
    Serve();
    const DWORD facts[] = {1, 3389, 0x03000400, kRunning};
    std::atomic<bool> closed{false};
    std::atomic<int> answered{0}, wrong{0};
    std::vector<std::thread> clients;
    for (size_t c = 0; c < 8; ++c) {
        clients.emplace_back([&, c] {
            for (size_t i = c; !closed; ++i) {
                DWORD reply = Ask(pipe_, kRequests[i % 4]);
                answered += reply == facts[i % 4];
                wrong += reply != 0 && reply != facts[i % 4];
            }
        });
    }
    Sleep(1500);
    EXPECT_EQ(CloseVirtualBox(5000), 1);
    for (DWORD request : kRequests) {
        EXPECT_EQ(Ask(pipe_, request), 0u) << "after the close";
    }
    closed = true;
    std::for_each(clients.begin(), clients.end(), std::mem_fn(&std::thread::join));
    EXPECT_GT(answered, 0);
    EXPECT_EQ(wrong, 0);
}

// The watcher notifies after every state change and must never be held, nor log: a companion
// absent, never reading or busy costs a bounded wait; a listening one gets a connection per
// notification with the word 512 alone. The opens lend no token.
TEST_F(PipeTest, NotifyTrayNeverHoldsTheCaller) {
    EXPECT_TRUE(ReturnsWithin(1000, NotifyTray, TrayPipeName)) << "nobody listens";
    HANDLE instance = CreateNamedPipeA(TrayPipeName, PIPE_ACCESS_DUPLEX, 0, 1, 0, 0, 0, nullptr);
    EXPECT_TRUE(ReturnsWithin(5000, NotifyTray, TrayPipeName)) << "it never reads";
    EXPECT_TRUE(ReturnsWithin(1000, NotifyTray, TrayPipeName)) << "its only instance is taken";
    CloseHandle(instance);
    TrayListener listener;
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(ReturnsWithin(1000, NotifyTray, TrayPipeName)) << "a companion listens";
    }
    EXPECT_TRUE(listener.WaitHeard(3));
    EXPECT_EQ(opens, std::vector<DWORD>(6, kIdentifyOnly));
    EXPECT_TRUE(Log().empty());
}

// With no VBoxSVC.exe of its user running, the service starts the one of VboxInstallPath, quoted
// for the blank in its path, windowless at the configured priority; once it runs, nothing more.
// A failed launch is a level-2 line.
TEST_F(PipeTest, EnsureVBoxSvcRunningStartsTheServerOnce) {
    KillVBoxSvc();
    const std::string empty = folder_.File("empty"), install = folder_.File("Kel Test"),
                      server = install + "\\VBoxSVC.exe";
    CreateDirectoryA(empty.c_str(), nullptr);
    CreateDirectoryA(install.c_str(), nullptr);
    ServiceConfig.PriorityClass = IDLE_PRIORITY_CLASS;
    ServiceConfig.LogLevel = 2;
    const std::string flags = " | " + std::to_string(IDLE_PRIORITY_CLASS | CREATE_NO_WINDOW);
    auto ensure = [](const std::string& folder, const std::vector<std::string>& launched) {
        Set(ServiceConfig.VboxInstallPath, folder);
        launches.clear();
        Repoint(systemCreateProcessW, &RecordingCreateProcessW);
        int result = EnsureVBoxSvcRunning();
        Repoint(&RecordingCreateProcessW, systemCreateProcessW);
        EXPECT_EQ(launches, launched) << folder;
        return result;
    };
    EXPECT_EQ(ensure(empty, {empty + "\\VBoxSVC.exe | \"" + empty + "\\VBoxSVC.exe\"" + flags}), 1);
    ServiceConfig.LogLevel = 3;
    ASSERT_TRUE(CopyFileA((BinFolder() + "\\wine-keeper.exe").c_str(), server.c_str(), FALSE));
    EXPECT_EQ(ensure(install, {server + " | \"" + server + "\"" + flags}), 1);
    ASSERT_TRUE(WaitUntil([] { return FindVBoxSvc() != 0; }));
    const DWORD pid = FindVBoxSvc();
    EXPECT_EQ(ensure(install, {}), 0);
    KillVBoxSvc();
    EXPECT_EQ(Log(), (std::vector<std::string>{"Could not manually start VBoxSVC: 0x00000002",
                                               "Started VBoxSVC[" + std::to_string(pid) + "]"}));
}

// kelvaran-query shows its usage without a machine and a question, and for a count or a time-out
// that is no positive number; it says so when no whole answer came: no service, half a word, or a
// question stuck in a wedged VM process, given up after --timeout.
TEST_F(PipeTest, QueryToolWithoutAnAnswer) {
    const std::string tool = BinFolder() + "\\kelvaran-query.exe";
    for (const char* arguments : {"", "--listen foo", "--listen 0", "--listen -3",
                                  "--listen 2 --timeout x", "--listen 2 3", "vm --timeout 0"}) {
        const ProcessResult usage = RunProcess(tool, arguments);
        EXPECT_EQ(usage.exitCode, 1u) << arguments;
        EXPECT_EQ(usage.output.rfind("Usage:", 0), 0u) << arguments << ": " << usage.output;
    }
    const ProcessResult none = RunProcess(tool, vm_ + " state");
    HANDLE pipe = CreateNamedPipeA(pipe_.c_str(), PIPE_ACCESS_DUPLEX, 0, 1, 16, 16, 0, nullptr);
    std::thread server([pipe] {
        DWORD word = 0, bytes = 0;
        ConnectNamedPipe(pipe, nullptr);
        ReadFile(pipe, &word, sizeof word, &bytes, nullptr);
        WriteFile(pipe, &word, 2, &bytes, nullptr);
        FlushFileBuffers(pipe);
        CloseHandle(pipe);
    });
    const ProcessResult half = RunProcess(tool, vm_ + " state");
    server.join();
    ASSERT_NO_FATAL_FAILURE(Link());
    ASSERT_EQ(StartMachine(vm_.c_str(), false, [] { return ULONGLONG{0}; }), 1);
    Serve();
    Ctl("fault set Display.GetScreenResolution hang once " + vm_);
    const ULONGLONG at = GetTickCount64();
    const ProcessResult stuck = RunProcess(tool, vm_ + " screen --timeout 2");
    EXPECT_LT(GetTickCount64() - at, 2000u + 3000u) << "the question's bound and a start";
    Ctl("fault clear");
    for (const ProcessResult& result : {none, half, stuck}) {
        EXPECT_EQ(result.exitCode, 2u);
        EXPECT_EQ(result.output.rfind("No answer from " + pipe_ + " (error ", 0), 0u)
            << result.output;
    }
    EXPECT_EQ(stuck.output, "No answer from " + pipe_ + " (error 1460)\n");
}

}  // namespace
