// The control pipe server: one 4-byte request per connection, at most one 4-byte reply. One thread
// drives every connection with overlapped I/O on a completion port, so a client that never writes
// or never reads holds an instance for a bounded time and no thread; only complete requests reach
// the query threads.
#include "pipe/pipe.h"

#include "config/config.h"
#include "vbox/vbox.h"

#include <aclapi.h>
#include <process.h>
#include <stdio.h>

#include <atomic>
#include <initializer_list>

namespace {

// Read and write for the system. Interactive users get the same but for the right to create
// instances, so that none of them can answer the service's clients in its place.
const DWORD SystemAccess = 0x0112019F;
const DWORD InteractiveAccess = SystemAccess & ~FILE_CREATE_PIPE_INSTANCE;
const DWORD InBufferSize = 16;
// No outbound buffer: a reply's write completes only once the client has read it, so the write's
// deadline bounds the delivery.
const DWORD OutBufferSize = 0;
const size_t PipeNameLimit = 255;
const DWORD WordWriteTimeout = 1000;
// How long a client may take to send its request, and again to take its reply.
const ULONGLONG ClientTimeout = 2000;
// Instances kept waiting, so that a client finds one at once.
const int ListeningInstances = 4;
// Instances held at once, the most a pipe may limit itself to; further clients wait for one
// (ERROR_PIPE_BUSY, then WaitNamedPipe).
const int InstanceLimit = 254;
const int QueryLimit = 32;
// The server looks at its deadlines and at the running flag at least this often: the stop's
// wake-up cannot connect while every instance is taken.
const DWORD SweepPeriod = 250;
const ULONGLONG PacedLinePeriod = 60000;

// Completion keys: the pipe's own I/O, or a query thread handing a reply back.
const ULONG_PTR IoKey = 1;
const ULONG_PTR ReplyKey = 2;

// Set by the server when it starts, cleared by StopControlPipeServer; the server goes on
// accepting connections while it is set.
std::atomic<bool> PipeServerRunning{false};

// Set while no server runs. Created once and never closed: it lives as long as the process.
HANDLE ServerEnded() {
    static const HANDLE ended = [] {
        HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
        if (event == nullptr) {
            DWORD error = GetLastError();
            LogMessage(1, "ERROR creating the pipe server's end event (0x%08x)",
                       static_cast<unsigned>(error));
        }
        return event;
    }();
    return ended;
}

// The pipe's security: INTERACTIVE and SYSTEM, by their well-known SIDs (their names differ
// between Windows languages), and the service's own account when that is a user's: a new instance
// of a pipe needs the right to create one from the pipe's DACL, its creator's included. Nobody else
// may open it. Returns a Windows error code; on success the caller frees *acl and *descriptor
// with LocalFree.
DWORD BuildPipeSecurity(PACL* acl, PSECURITY_DESCRIPTOR* descriptor) {
    *acl = nullptr;
    *descriptor = nullptr;
    BYTE interactive[SECURITY_MAX_SID_SIZE];
    BYTE system[SECURITY_MAX_SID_SIZE];
    BYTE self[SECURITY_MAX_SID_SIZE];
    DWORD interactiveSize = sizeof(interactive);
    DWORD systemSize = sizeof(system);
    if (!CreateWellKnownSid(WinInteractiveSid, nullptr, interactive, &interactiveSize) ||
        !CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &systemSize)) {
        return GetLastError();
    }
    DWORD error = ProcessUserSid(self);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    EXPLICIT_ACCESS_W access[3] = {};
    const DWORD rights[3] = {InteractiveAccess, SystemAccess, SystemAccess};
    PSID sids[3] = {interactive, system, self};
    const ULONG entries = IsWellKnownSid(self, WinLocalSystemSid) ? 2 : 3;
    for (ULONG i = 0; i < entries; ++i) {
        access[i].grfAccessPermissions = rights[i];
        access[i].grfAccessMode = GRANT_ACCESS;
        access[i].grfInheritance = NO_INHERITANCE;
        BuildTrusteeWithSidW(&access[i].Trustee, sids[i]);
    }
    error = SetEntriesInAclW(entries, access, nullptr, acl);
    if (error != ERROR_SUCCESS) {
        *acl = nullptr;
        return error;
    }
    *descriptor = LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH);
    if (*descriptor == nullptr) {
        error = GetLastError();
    } else if (!InitializeSecurityDescriptor(*descriptor, SECURITY_DESCRIPTOR_REVISION) ||
               !SetSecurityDescriptorDacl(*descriptor, TRUE, *acl, FALSE)) {
        error = GetLastError();
    }
    if (error != ERROR_SUCCESS) {
        LocalFree(*descriptor);
        LocalFree(*acl);
        *descriptor = nullptr;
        *acl = nullptr;
    }
    return error;
}

// The reply to one request; 0 while the link to VirtualBox is not there.
DWORD AnswerRequest(DWORD request) {
    if (BeginLinkUse() == 0) {
        return 0;
    }
    DWORD reply = 0;
    switch (request) {
        case RequestVrdeEnabled:
            reply = QueryVrdeEnabled();
            break;
        case RequestVrdePort:
            reply = QueryVrdePort();
            break;
        case RequestScreenSize:
            reply = QueryScreenSize();
            break;
        default:
            reply = QueryMachineState();
            break;
    }
    EndLinkUse();
    return reply;
}

bool IsRequest(DWORD word) {
    return (word >= RequestVrdeEnabled) && (word <= RequestMachineState);
}

// Idle: disconnected but kept open, the server's last instance while no new one can be made.
enum class Stage { Free, Idle, Listening, Reading, Queued, Querying, Writing };

// One instance of the pipe. The server thread alone touches it, except while it is Querying:
// then its query thread alone does, until the thread's post hands it back.
struct Connection {
    OVERLAPPED overlapped;
    HANDLE pipe;
    HANDLE port;
    Stage stage;
    bool cancelled;      // the pending operation's deadline passed and it was cancelled
    ULONGLONG deadline;  // of the pending read or write, or of the wait in the queue
    DWORD request;
    DWORD reply;
    Connection* next;  // in the queue for a query thread
};

void QueryThread(void* argument) {
    Connection* connection = static_cast<Connection*>(argument);
    connection->reply = AnswerRequest(connection->request);
    // The server frees nothing of the connection before this post has come through, and waits
    // for it before it returns: it must go out. After it, the connection is not touched again.
    bool logged = false;
    while (!PostQueuedCompletionStatus(connection->port, 0, ReplyKey, &connection->overlapped)) {
        DWORD error = GetLastError();
        if (!logged) {
            LogMessage(1, "ERROR handing a reply to the pipe server (0x%08x)",
                       static_cast<unsigned>(error));
            logged = true;
        }
        Sleep(SweepPeriod);
    }
}

// A kind of failure that may repeat without end: its line, with the Windows error, and the line
// that counts the ones not logged since, with the last one's error. Each is an event of its own.
struct PacedKind {
    const char* line;
    const char* counted;
};
const PacedKind ReadFailure = {
    "ERROR reading from client (0x%08x)",
    "ERROR reading from client (0x%08x) (%lu more since the last such line)"};
const PacedKind WaitFailure = {
    "ERROR waiting for a client of the pipe (0x%08x)",
    "ERROR waiting for a client of the pipe (0x%08x) (%lu more since the last such line)"};
const PacedKind CreateFailure = {
    "Error creating pipe (0x%08x)",
    "Error creating pipe (0x%08x) (%lu more since the last such line)"};

// A failure that may repeat without end (a client that left without a request or took too long,
// an instance that cannot be made): the first line at once, the next ones counted into one line a
// minute at most, so that the log, and the event log, cannot grow without limit.
class PacedLine {
public:
    void Count(ULONGLONG now, const PacedKind& kind, DWORD error) {
        last_ = &kind;
        error_ = error;
        if ((unlogged_ == 0) && (!logged_ || (now - lastLine_ >= PacedLinePeriod))) {
            LogMessage(1, kind.line, static_cast<unsigned>(error));
            logged_ = true;
            lastLine_ = now;
        } else {
            ++unlogged_;
        }
    }

    void Flush(ULONGLONG now, bool ending) {
        if ((unlogged_ != 0) && (ending || (now - lastLine_ >= PacedLinePeriod))) {
            LogMessage(1, last_->counted, static_cast<unsigned>(error_), unlogged_);
            unlogged_ = 0;
            lastLine_ = now;
        }
    }

private:
    const PacedKind* last_ = &ReadFailure;
    DWORD error_ = ERROR_SUCCESS;
    bool logged_ = false;
    ULONGLONG lastLine_ = 0;
    unsigned long unlogged_ = 0;
};

class PipeServer {
public:
    PipeServer(const wchar_t* name, SECURITY_ATTRIBUTES* attributes, HANDLE port)
        : name_(name), attributes_(attributes), port_(port) {
        for (Connection& connection : connections_) {
            connection.port = port;
        }
    }

    // Takes the pipe's name with a first instance, or returns the Windows error (logged) without
    // serving. Then serves until the running flag is cleared, closes every instance and waits for
    // every query thread's post. A later failure to make or arm an instance is logged, paced, and
    // tried again at the next sweep; the instances held keep the name meanwhile, so that nobody
    // else can answer the service's clients in its place.
    DWORD Run() {
        ULONGLONG now = GetTickCount64();
        DWORD error = Create(&connections_[0]);
        if (error != ERROR_SUCCESS) {
            LogMessage(1, "Error creating pipe (0x%08x)", static_cast<unsigned>(error));
            return error;
        }
        Arm(&connections_[0], now);
        Listen(now);
        ULONGLONG nextSweep = now + SweepPeriod;
        while (PipeServerRunning.load()) {
            now = GetTickCount64();
            DWORD wait = now < nextSweep ? static_cast<DWORD>(nextSweep - now) : 0;
            Connection* connection = nullptr;
            ULONG_PTR key = 0;
            DWORD bytes = 0;
            DWORD error = ERROR_SUCCESS;
            BOOL ok = Dequeue(wait, &connection, &key, &bytes, &error);
            now = GetTickCount64();
            if (connection != nullptr) {
                Completed(connection, key, ok ? ERROR_SUCCESS : error, bytes, now);
            }
            if (now >= nextSweep) {
                Sweep(now);
                nextSweep = now + SweepPeriod;
            }
            Listen(now);
        }
        Drain();
        return ERROR_SUCCESS;
    }

private:
    // One packet of the port, or none (connection null) after wait ms. A failure without a packet
    // is logged once and paced, should it last.
    // *error is the failure of a packet's transfer.
    BOOL Dequeue(DWORD wait, Connection** connection, ULONG_PTR* key, DWORD* bytes, DWORD* error) {
        OVERLAPPED* overlapped = nullptr;
        BOOL ok = GetQueuedCompletionStatus(port_, bytes, key, &overlapped, wait);
        *error = ok ? ERROR_SUCCESS : GetLastError();
        DWORD failure = *error;
        if (overlapped != nullptr) {
            *connection = CONTAINING_RECORD(overlapped, Connection, overlapped);
        } else if (failure != WAIT_TIMEOUT) {
            if (!portFailureLogged_) {
                LogMessage(1, "ERROR waiting for the pipe's clients (0x%08x)",
                           static_cast<unsigned>(failure));
                portFailureLogged_ = true;
            }
            Sleep(SweepPeriod);
        }
        return ok;
    }

    // A new instance of the pipe for a Free connection, tied to the port. The first takes the
    // name, or the server serves nothing: never beside an instance of whoever took it before.
    // Returns a Windows error code.
    DWORD Create(Connection* connection) {
        DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED |
                         (held_ == 0 ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
        HANDLE pipe = CreateNamedPipeW(
            name_, openMode,
            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
            InstanceLimit, OutBufferSize, InBufferSize, 0, attributes_);
        DWORD error = pipe == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
        if ((error == ERROR_SUCCESS) &&
            (CreateIoCompletionPort(pipe, port_, IoKey, 0) == nullptr)) {
            error = GetLastError();
            CloseHandle(pipe);
        }
        if (error == ERROR_SUCCESS) {
            ++held_;
            connection->pipe = pipe;
            connection->stage = Stage::Idle;
        }
        return error;
    }

    // Waits for a client on an Idle instance; a wait that cannot begin is tried again later.
    void Arm(Connection* connection, ULONGLONG now) {
        Begin(connection, Stage::Listening, now);
        if (ConnectNamedPipe(connection->pipe, &connection->overlapped)) {
            ++listening_;
            return;
        }
        DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            ++listening_;
        } else if ((error == ERROR_PIPE_CONNECTED) || (error == ERROR_NO_DATA)) {
            // A client came (and maybe went) before the wait: no packet, it is served now.
            StartRead(connection, now);
        } else {
            InstanceFailed(now, WaitFailure, error);
            Close(connection);
        }
    }

    void InstanceFailed(ULONGLONG now, const PacedKind& kind, DWORD error) {
        instanceErrors_.Count(now, kind, error);
        retryAt_ = now + SweepPeriod;
    }

    // Tops the instances waiting for a client up to ListeningInstances, within InstanceLimit: the
    // Idle one first, then new ones.
    void Listen(ULONGLONG now) {
        for (Stage stage : {Stage::Idle, Stage::Free}) {
            for (Connection& connection : connections_) {
                if ((listening_ >= ListeningInstances) || (now < retryAt_)) {
                    return;
                }
                if (connection.stage != stage) {
                    continue;
                }
                if (stage == Stage::Free) {
                    if (held_ >= InstanceLimit) {
                        return;
                    }
                    DWORD error = Create(&connection);
                    if (error != ERROR_SUCCESS) {
                        InstanceFailed(now, CreateFailure, error);
                        return;
                    }
                }
                Arm(&connection, now);
            }
        }
    }

    static void Begin(Connection* connection, Stage stage, ULONGLONG now) {
        connection->stage = stage;
        connection->cancelled = false;
        connection->deadline = now + ClientTimeout;
        ZeroMemory(&connection->overlapped, sizeof(connection->overlapped));
    }

    // error is the transfer's failure, 0 when it went through.
    void Completed(Connection* connection, ULONG_PTR key, DWORD error, DWORD bytes, ULONGLONG now) {
        const bool ok = error == ERROR_SUCCESS;
        if (key == ReplyKey) {
            --querying_;
            StartWrite(connection, now);
            while ((queued_ != nullptr) && (querying_ < QueryLimit)) {
                Connection* next = queued_;
                queued_ = next->next;
                StartQuery(next, now);
            }
            return;
        }
        switch (connection->stage) {
            case Stage::Listening:
                --listening_;
                if (ok) {
                    StartRead(connection, now);
                } else {
                    Close(connection);
                }
                break;
            case Stage::Reading:
                if (ok && (bytes == sizeof(connection->request)) &&
                    IsRequest(connection->request)) {
                    StartQuery(connection, now);
                } else {
                    // A partial word, the wake word and any other word get no reply.
                    if (!ok || (bytes == 0)) {
                        readErrors_.Count(now, ReadFailure, ok ? ERROR_NO_DATA : error);
                    }
                    Close(connection);
                }
                break;
            default:
                Close(connection);
                break;
        }
    }

    void StartRead(Connection* connection, ULONGLONG now) {
        Begin(connection, Stage::Reading, now);
        connection->request = 0;
        DWORD error = ReadFile(connection->pipe, &connection->request, sizeof(connection->request),
                               nullptr, &connection->overlapped)
                          ? ERROR_SUCCESS
                          : GetLastError();
        if ((error != ERROR_SUCCESS) && (error != ERROR_IO_PENDING)) {
            readErrors_.Count(now, ReadFailure, error);
            Close(connection);
        }
    }

    // A request beyond QueryLimit waits in the queue, as long as a client may wait for its reply:
    // query threads that never return must not hold every instance.
    void StartQuery(Connection* connection, ULONGLONG now) {
        if (querying_ >= QueryLimit) {
            Begin(connection, Stage::Queued, now);
            connection->next = nullptr;
            Connection** tail = &queued_;
            while (*tail != nullptr) {
                tail = &(*tail)->next;
            }
            *tail = connection;
            return;
        }
        connection->stage = Stage::Querying;
        if (_beginthread(QueryThread, 0, connection) == static_cast<uintptr_t>(-1)) {
            DWORD error = GetLastError();
            LogMessage(1, "ERROR starting a pipe query thread (0x%08x)",
                       static_cast<unsigned>(error));
            Close(connection);
            return;
        }
        ++querying_;
    }

    void StartWrite(Connection* connection, ULONGLONG now) {
        Begin(connection, Stage::Writing, now);
        if (!WriteFile(connection->pipe, &connection->reply, sizeof(connection->reply), nullptr,
                       &connection->overlapped) &&
            (GetLastError() != ERROR_IO_PENDING)) {
            Close(connection);
        }
    }

    // Only once no operation of the instance is pending. The last instance stays open, Idle,
    // while the server runs: it holds the name when no new instance can be made.
    void Close(Connection* connection) {
        DisconnectNamedPipe(connection->pipe);
        if ((held_ == 1) && !ending_) {
            connection->stage = Stage::Idle;
            return;
        }
        CloseHandle(connection->pipe);
        connection->pipe = INVALID_HANDLE_VALUE;
        connection->stage = Stage::Free;
        --held_;
    }

    // Cancels the reads and writes whose deadline has passed (their completion, aborted or not,
    // still comes through the port and frees them), and ends the waits in the queue that have
    // passed theirs, without a reply.
    void Sweep(ULONGLONG now) {
        for (Connection& connection : connections_) {
            if (((connection.stage == Stage::Reading) || (connection.stage == Stage::Writing)) &&
                !connection.cancelled && (now >= connection.deadline)) {
                Cancel(&connection);
            }
        }
        for (Connection** link = &queued_; *link != nullptr;) {
            Connection* connection = *link;
            if (now >= connection->deadline) {
                *link = connection->next;
                Close(connection);
            } else {
                link = &connection->next;
            }
        }
        readErrors_.Flush(now, false);
        instanceErrors_.Flush(now, false);
    }

    static void Cancel(Connection* connection) {
        connection->cancelled = true;
        // Not found: the operation has just completed, and its packet is on its way.
        if (!CancelIoEx(connection->pipe, &connection->overlapped)) {
            DWORD error = GetLastError();
            if (error != ERROR_NOT_FOUND) {
                LogMessage(1, "ERROR cancelling a pipe client's transfer (0x%08x)",
                           static_cast<unsigned>(error));
            }
        }
    }

    // Ends every connection without a word (the stop's wake-up is among them): cancels what is
    // pending and closes each instance once its packet, or its query thread's post, has come.
    void Drain() {
        ending_ = true;
        for (Connection& connection : connections_) {
            if ((connection.stage == Stage::Listening) || (connection.stage == Stage::Reading) ||
                (connection.stage == Stage::Writing)) {
                Cancel(&connection);
            } else if ((connection.stage == Stage::Queued) || (connection.stage == Stage::Idle)) {
                Close(&connection);
            }
        }
        queued_ = nullptr;
        while (held_ > 0) {
            Connection* connection = nullptr;
            ULONG_PTR key = 0;
            DWORD bytes = 0;
            DWORD error = ERROR_SUCCESS;
            Dequeue(INFINITE, &connection, &key, &bytes, &error);
            if (connection != nullptr) {
                querying_ -= key == ReplyKey ? 1 : 0;
                Close(connection);
            }
        }
        ULONGLONG now = GetTickCount64();
        readErrors_.Flush(now, true);
        instanceErrors_.Flush(now, true);
    }

    const wchar_t* name_;
    SECURITY_ATTRIBUTES* attributes_;
    HANDLE port_;
    Connection connections_[InstanceLimit] = {};
    int held_ = 0;       // instances not Free
    int listening_ = 0;  // instances with a pending ConnectNamedPipe
    int querying_ = 0;   // query threads whose post has not come yet
    Connection* queued_ = nullptr;
    PacedLine readErrors_;
    PacedLine instanceErrors_;
    ULONGLONG retryAt_ = 0;  // no instance is made or armed before, after a failure
    bool ending_ = false;
    bool portFailureLogged_ = false;
};

// Opens a pipe as its client and writes one word, nothing read back, every failure ignored. The
// reader is given WordWriteTimeout to take the word: anyone may put up an instance that accepts
// and never reads (anyone can create the companion's pipe, or the control pipe's name before the
// service), and neither the watcher nor the supervisor may hang on it.
void SendWord(const wchar_t* name, DWORD access, DWORD word) {
    HANDLE pipe = CreateFileW(name, access, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED | IdentifyOnly, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
        return;
    }
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if ((overlapped.hEvent != nullptr) &&
        !WriteFile(pipe, &word, sizeof(word), nullptr, &overlapped) &&
        (GetLastError() == ERROR_IO_PENDING)) {
        if (WaitForSingleObject(overlapped.hEvent, WordWriteTimeout) != WAIT_OBJECT_0) {
            CancelIo(pipe);
        }
        // The write, or its cancellation, is done with the record before the record goes.
        DWORD written = 0;
        GetOverlappedResult(pipe, &overlapped, &written, TRUE);
    }
    if (overlapped.hEvent != nullptr) {
        CloseHandle(overlapped.hEvent);
    }
    CloseHandle(pipe);
}

}  // namespace

int FormControlPipeName(std::wstring* name) {
    *name = Wide(ControlPipePrefix) + L"." + Wide(ServiceConfig.VmName);
    return name->size() <= PipeNameLimit ? 1 : 0;
}

void ControlPipeServerThread(void*) {
    PipeServerRunning.store(true);
    ResetEvent(ServerEnded());
    PACL acl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    HANDLE port = nullptr;
    std::wstring name;
    // A pipe under a name cut short, or with other security than intended, is no pipe to serve.
    DWORD error = FormControlPipeName(&name) != 0 ? BuildPipeSecurity(&acl, &descriptor)
                                                  : ERROR_FILENAME_EXCED_RANGE;
    if (error == ERROR_SUCCESS) {
        port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
        error = port == nullptr ? GetLastError() : ERROR_SUCCESS;
    }
    if (error != ERROR_SUCCESS) {
        LogMessage(1, "Error creating pipe (0x%08x)", static_cast<unsigned>(error));
    } else {
        SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
        // Query threads point into the server: it returns only once each has posted its reply.
        PipeServer server(name.c_str(), &attributes, port);
        server.Run();
        CloseHandle(port);
    }
    LocalFree(descriptor);
    LocalFree(acl);
    SetEvent(ServerEnded());
}

void StopControlPipeServer(DWORD bound) {
    // Cleared first: the server then finds it cleared when it accepts the wake connection.
    PipeServerRunning.store(false);
    std::wstring name;
    if (FormControlPipeName(&name) != 0) {
        SendWord(name.c_str(), GENERIC_WRITE, WakeWord);
    }
    // The server's last log line and the closing of its instances come before the service
    // reports STOPPED and its process ends, unless a query never returns from VirtualBox.
    WaitForSingleObject(ServerEnded(), bound);
}

void NotifyTray() {
    SendWord(Wide(TrayPipeName).c_str(), GENERIC_READ | GENERIC_WRITE, TrayStateChanged);
}
