// The control pipe server: one 4-byte request per connection, at most one 4-byte reply, a thread
// per connection.
#include "pipe/pipe.h"

#include "config/config.h"
#include "vbox/vbox.h"

#include <aclapi.h>
#include <process.h>
#include <stdio.h>

#include <atomic>

// Read and write for the system. Interactive users get the same but for the right to create
// instances, so that none of them can answer the service's clients in its place.
static const DWORD SystemAccess = 0x0112019F;
static const DWORD InteractiveAccess = SystemAccess & ~FILE_CREATE_PIPE_INSTANCE;
static const DWORD PipeBufferSize = 16;
static const size_t PipeNameSize = 256;
static const DWORD WordWriteTimeout = 1000;

// Set by the server when it starts, cleared by StopControlPipeServer; the server goes on
// accepting connections while it is set.
static std::atomic<bool> PipeServerRunning{false};

int FormControlPipeName(char* name, size_t size) {
    int length = snprintf(name, size, "%s.%s", ControlPipePrefix, ServiceConfig.VmName);
    return ((length >= 0) && (static_cast<size_t>(length) < size)) ? 1 : 0;
}

// The pipe's security: INTERACTIVE and SYSTEM, by their well-known SIDs (their names differ
// between Windows languages); nobody else may open it. Returns a Windows error code; on success
// the caller frees *acl and *descriptor with LocalFree.
static DWORD BuildPipeSecurity(PACL* acl, PSECURITY_DESCRIPTOR* descriptor) {
    *acl = nullptr;
    *descriptor = nullptr;
    BYTE interactive[SECURITY_MAX_SID_SIZE];
    BYTE system[SECURITY_MAX_SID_SIZE];
    DWORD interactiveSize = sizeof(interactive);
    DWORD systemSize = sizeof(system);
    if (!CreateWellKnownSid(WinInteractiveSid, nullptr, interactive, &interactiveSize) ||
        !CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &systemSize)) {
        return GetLastError();
    }
    EXPLICIT_ACCESS_A access[2] = {};
    const DWORD rights[2] = {InteractiveAccess, SystemAccess};
    PSID sids[2] = {interactive, system};
    for (int i = 0; i < 2; ++i) {
        access[i].grfAccessPermissions = rights[i];
        access[i].grfAccessMode = GRANT_ACCESS;
        access[i].grfInheritance = NO_INHERITANCE;
        BuildTrusteeWithSidA(&access[i].Trustee, sids[i]);
    }
    DWORD error = SetEntriesInAclA(2, access, nullptr, acl);
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
static DWORD AnswerRequest(DWORD request) {
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

static bool IsRequest(DWORD word) {
    return (word >= RequestVrdeEnabled) && (word <= RequestMachineState);
}

void ControlPipeClientThread(void* instance) {
    HANDLE pipe = static_cast<HANDLE>(instance);
    DWORD word = 0;
    DWORD bytesRead = 0;
    if (!ReadFile(pipe, &word, sizeof(word), &bytesRead, nullptr) || (bytesRead == 0)) {
        LogMessage(1, "ERROR reading from client");
    } else if ((bytesRead == sizeof(word)) && IsRequest(word)) {
        DWORD reply = AnswerRequest(word);
        DWORD written = 0;
        WriteFile(pipe, &reply, sizeof(reply), &written, nullptr);
    }
    // A partial word, the wake word and any other word get no reply.
    FlushFileBuffers(pipe);
    DisconnectNamedPipe(pipe);
    CloseHandle(pipe);
}

void ControlPipeServerThread(void*) {
    PACL acl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    char name[PipeNameSize];
    PipeServerRunning.store(true);

    // A pipe under a name cut short, or with other security than intended, is no pipe to serve.
    DWORD error = FormControlPipeName(name, sizeof(name)) != 0
                      ? BuildPipeSecurity(&acl, &descriptor)
                      : ERROR_FILENAME_EXCED_RANGE;
    if (error != ERROR_SUCCESS) {
        LogMessage(1, "Error creating pipe (0x%08x)", static_cast<unsigned>(error));
    }
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
    while (error == ERROR_SUCCESS) {
        HANDLE pipe = CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX, 0, PIPE_UNLIMITED_INSTANCES,
                                       PipeBufferSize, PipeBufferSize, 0, &attributes);
        if (pipe == INVALID_HANDLE_VALUE) {
            error = GetLastError();
            LogMessage(1, "Error creating pipe (0x%08x)", static_cast<unsigned>(error));
            break;
        }
        // A stop that came while no instance waited could not connect to wake us: it is seen
        // here. One that comes after this check finds this instance waiting.
        if (!PipeServerRunning.load()) {
            CloseHandle(pipe);
            break;
        }
        BOOL connected = ConnectNamedPipe(pipe, nullptr);
        DWORD connectError = connected ? ERROR_SUCCESS : GetLastError();
        if (connected || (connectError == ERROR_PIPE_CONNECTED)) {
            // The client thread owns the instance from here on.
            if (_beginthread(ControlPipeClientThread, 0, pipe) == static_cast<uintptr_t>(-1)) {
                DisconnectNamedPipe(pipe);
                CloseHandle(pipe);
            }
        } else {
            CloseHandle(pipe);
        }
        if (!PipeServerRunning.load()) {
            break;
        }
    }
    LocalFree(descriptor);
    LocalFree(acl);
}

// Opens a pipe as its client and writes one word, nothing read back, every failure ignored. The
// reader is given WordWriteTimeout to take the word: anyone may put up an instance that accepts
// and never reads (interactive users may create instances of both pipes), and neither the
// watcher nor the supervisor may hang on it.
static void SendWord(const char* name, DWORD access, DWORD word) {
    HANDLE pipe = CreateFileA(name, access, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED | IdentifyOnly, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
        return;
    }
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
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

void StopControlPipeServer() {
    // Cleared first: the server then finds it cleared when it accepts the wake connection.
    PipeServerRunning.store(false);
    char name[PipeNameSize];
    if (FormControlPipeName(name, sizeof(name)) != 0) {
        SendWord(name, GENERIC_WRITE, WakeWord);
    }
}

void NotifyTray() {
    SendWord(TrayPipeName, GENERIC_READ | GENERIC_WRITE, TrayStateChanged);
}
