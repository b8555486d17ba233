// Test equipment of the control-pipe group: a client of the control pipe that speaks raw bytes, a
// stand-in tray companion, the pipe server run inside the test process, counts of another
// process's handles and threads, and import patching to make one system call fail.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/support.h"

namespace pipe_test {

// "\\.\pipe\kelvaran.<vm>".
std::string ControlPipeName(const std::string& vm);

// The VirtualBox user home every process of the group works on: the stand-in's server keeps its
// machines there, and a service whose VboxUserHome differs waits 16.5 s for a server of its own.
// Also sets VBOX_USER_HOME in this process, so that the stand-in's tools (and a server they
// start) use it as well.
std::string GroupHome();

// ---- The wire ---------------------------------------------------------------------------------

// What one connection gave back: the bytes read until the server closed its end.
struct WireResult {
    bool opened = false;
    DWORD openError = 0;
    std::string reply;    // every byte read, in order
    bool closed = false;  // the last read failed because the server ended the connection
};

// Connects (waiting while the pipe is busy or, for a moment, has no instance at all), writes bytes
// with one WriteFile (none when empty), then reads until the server ends the connection or
// timeoutMs passes.
WireResult Exchange(const std::string& pipe, const std::string& bytes, DWORD timeoutMs = 10000);

// Opens the pipe as Exchange does, with the CreateFile flags given; INVALID_HANDLE_VALUE with
// *error after timeoutMs.
HANDLE OpenPipe(const std::string& pipe, DWORD timeoutMs, DWORD* error,
                DWORD flags = FILE_FLAG_OVERLAPPED);

// How often a connection found the pipe without any instance and tried again.
extern std::atomic<long> missingInstanceRetries;

// The four bytes of a word, little-endian.
std::string Word(DWORD word);

// One request over its own connection; true with the reply when exactly four bytes came back.
bool Ask(const std::string& pipe, DWORD request, DWORD* reply);
// The reply, or 0xDEADDEAD when there was none (so that 0 is an answer).
constexpr DWORD kNoReply = 0xDEADDEAD;
DWORD AskOrNoReply(const std::string& pipe, DWORD request);

// Waits until a server instance of the pipe exists; false after timeoutMs.
bool WaitForPipe(const std::string& pipe, DWORD timeoutMs = 10000);

// ---- Squatters and impersonation ------------------------------------------------------------

// What the server logs when a squatter holds its pipe's name with an instance of its own, one at
// most: Windows refuses a first instance of a name in use (ERROR_ACCESS_DENIED); Wine 8 ignores
// FILE_FLAG_FIRST_PIPE_INSTANCE and refuses it only for the squatter's limit (ERROR_PIPE_BUSY).
std::string NameInUseMessage();

// The impersonation level of the token a pipe's owner gets from ImpersonateNamedPipeClient, once
// it has read from its client; -1 when there is none.
int ClientLevel(HANDLE pipe);
// The level a client that opened with IdentifyOnly lends its pipe's owner: SecurityIdentification.
// Wine 8 has the owner impersonate itself, at SecurityImpersonation, whatever its client asked
// for (a client in another process with other privileges lends the owner's own): there the level
// tells nothing.
int LevelLentByIdentifyOnly();

// ---- A tray companion -------------------------------------------------------------------------

// Listens on "\\.\pipe\kelvarantray" with several waiting instances, as a companion should, and
// keeps every word that arrives. Each connection's bytes are read until the writer closes.
class TrayListener {
public:
    explicit TrayListener(int instances = 4);
    ~TrayListener();
    TrayListener(const TrayListener&) = delete;
    TrayListener& operator=(const TrayListener&) = delete;

    // Every connection's bytes so far, one string per connection.
    std::vector<std::string> Received() const;
    // The ClientLevel of each connection, in the same order.
    std::vector<int> Levels() const;
    size_t Count() const;
    // Waits until count connections have delivered; false after timeoutMs.
    bool WaitForCount(size_t count, DWORD timeoutMs = 10000) const;

private:
    void Serve();

    std::atomic<bool> stopping_{false};
    std::atomic<int> waiting_{0};  // instances waiting for a writer
    mutable std::mutex lock_;
    std::vector<std::string> received_;
    std::vector<int> levels_;
    std::vector<std::thread> threads_;
};

// ---- The server inside the test process ------------------------------------------------------

// Runs ControlPipeServerThread on a thread of its own, for the ServiceConfig.VmName set by the
// caller. The destructor stops a server that still runs and waits for it.
class ServerThread {
public:
    ServerThread();
    ~ServerThread();
    ServerThread(const ServerThread&) = delete;
    ServerThread& operator=(const ServerThread&) = delete;

    // Whether the server thread has returned within timeoutMs.
    bool WaitForEnd(DWORD timeoutMs);

private:
    HANDLE thread_;
};

// Calls function on a thread of its own; true when it returned within timeoutMs. A call that
// has not returned is left running: the test has failed, and the process ends it.
bool ReturnsWithin(void (*function)(), DWORD timeoutMs);

// ---- Other processes --------------------------------------------------------------------------

// The handles a process holds, counted one by one (Wine reports other processes' counts only
// roughly). Needs PROCESS_DUP_HANDLE on the process.
int CountHandles(DWORD pid);
// The threads a process runs.
int CountThreads(DWORD pid);
// A process's private bytes.
SIZE_T PrivateBytes(DWORD pid);
// Starts a copy of wine-keeper.exe (a sleeper) at path; returns its process id, 0 on failure.
DWORD StartSleeper(const std::string& path);
// Ends the process, and the console host Wine may have given it.
void EndProcess(DWORD pid);

// ---- Import patching --------------------------------------------------------------------------

// Points this executable's imports of module!function at replacement for the object's lifetime,
// so that the product code linked into the test calls the replacement.
class ImportPatch {
public:
    ImportPatch(const char* module, const char* function, void* replacement);
    ~ImportPatch();
    ImportPatch(const ImportPatch&) = delete;
    ImportPatch& operator=(const ImportPatch&) = delete;

    void* Original() const {
        return original_;
    }

private:
    void* original_;
    std::vector<void**> slots_;
};

// ---- Logs -------------------------------------------------------------------------------------

// Makes the product code in this process log everything to folder\kelvaran.log.
void LogInto(const testsupport::TempFolder& folder);

}  // namespace pipe_test
