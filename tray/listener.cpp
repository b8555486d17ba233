// The companion's pipe. Services write one word to it when their machine's state changes; anyone
// else may connect too, so every client gets a bounded moment and one message, and nothing a
// client does can hold or end the listener.
#include "tray/app.h"

#include <sddl.h>

#include <algorithm>
#include <string>
#include <vector>

#include "config/config.h"
#include "pipe/pipe.h"
#include "tray/handles.h"

namespace tray {
namespace {

// Several instances wait at once: services notify at the same moment, and a service that finds
// no free instance does not try again.
const int Instances = 8;
// A notifier writes its word as soon as it connects.
const DWORD ClientTimeout = 1000;
const DWORD TakenPoll = 5000;

// The pipe's DACL: SYSTEM and the SERVICE group may read and write (0x0012019B), the user also
// create instances (0x0012019F); nobody else may do anything.
bool BuildSecurity(SECURITY_ATTRIBUTES* attributes) {
    Handle token;
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) {
        return false;
    }
    token.Reset(raw);
    BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    wchar_t* sid = nullptr;
    if (!GetTokenInformation(token.Get(), TokenUser, buffer, sizeof buffer, &size) ||
        !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &sid)) {
        return false;
    }
    std::wstring sddl =
        L"D:P(A;;0x0012019B;;;SY)(A;;0x0012019B;;;SU)(A;;0x0012019F;;;" + std::wstring(sid) + L")";
    LocalFree(sid);
    attributes->nLength = sizeof *attributes;
    attributes->bInheritHandle = FALSE;
    return ConvertStringSecurityDescriptorToSecurityDescriptorW(
        sddl.c_str(), SDDL_REVISION_1, &attributes->lpSecurityDescriptor, nullptr);
}

struct Instance {
    Handle pipe;
    Handle event;
    OVERLAPPED io{};
    DWORD word = 0;
    bool reading = false;
    ULONGLONG deadline = 0;
};

class Listener {
public:
    explicit Listener(ListenerLink* link) : link_(link) {}
    ~Listener() {
        LocalFree(security_.lpSecurityDescriptor);
    }
    void Run();

private:
    bool Take();
    void Serve();
    bool StartRead(Instance* instance);
    bool Listen(Instance* instance);
    void Recycle(Instance* instance);
    void Complete(Instance* instance);

    ListenerLink* link_;
    SECURITY_ATTRIBUTES security_{};
    std::wstring name_ = Wide(TrayPipeName);
    std::vector<Instance> instances_ = std::vector<Instance>(Instances);
};

void Listener::Run() {
    // Without its security the pipe is not created at all: anyone could answer in its place.
    bool secured = BuildSecurity(&security_);
    for (;;) {
        bool taken = !secured || !Take();
        link_->taken.store(taken);
        SetEvent(link_->wanted);
        if (!taken) {
            Serve();
        }
        if (WaitForSingleObject(link_->quit, taken ? TakenPoll : 0) == WAIT_OBJECT_0) {
            return;
        }
    }
}

// Creates every instance; false when the name belongs to someone else.
bool Listener::Take() {
    for (size_t i = 0; i < instances_.size(); ++i) {
        Instance& instance = instances_[i];
        DWORD first = i == 0 ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0;
        instance.pipe.Reset(CreateNamedPipeW(
            name_.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | first,
            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
            Instances, 16, 16, 0, &security_));
        instance.event.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        instance.io.hEvent = instance.event.Get();
        if (!instance.pipe.Valid() || !instance.event.Valid() || !Listen(&instance)) {
            instance.pipe.Reset();
            if (i == 0) {
                return false;
            }
        }
    }
    return true;
}

void Listener::Serve() {
    for (;;) {
        std::vector<HANDLE> waits = {link_->quit};
        ULONGLONG now = GetTickCount64();
        DWORD timeout = INFINITE;
        for (Instance& instance : instances_) {
            if (instance.pipe.Valid()) {
                waits.push_back(instance.event.Get());
                if (instance.reading) {
                    ULONGLONG left = instance.deadline > now ? instance.deadline - now : 0;
                    timeout = std::min<DWORD>(timeout, static_cast<DWORD>(left));
                }
            }
        }
        if (waits.size() == 1) {
            return;  // every instance failed: take the name again
        }
        DWORD woke =
            WaitForMultipleObjects(static_cast<DWORD>(waits.size()), waits.data(), FALSE, timeout);
        if (woke == WAIT_OBJECT_0 || woke == WAIT_FAILED) {
            break;
        }
        now = GetTickCount64();
        for (Instance& instance : instances_) {
            if (!instance.pipe.Valid()) {
                continue;
            }
            if (WaitForSingleObject(instance.event.Get(), 0) == WAIT_OBJECT_0) {
                Complete(&instance);
            } else if (instance.reading && now >= instance.deadline) {
                CancelIo(instance.pipe.Get());
                DWORD bytes = 0;
                GetOverlappedResult(instance.pipe.Get(), &instance.io, &bytes, TRUE);
                Recycle(&instance);
            }
        }
    }
    for (Instance& instance : instances_) {
        if (instance.pipe.Valid()) {
            CancelIo(instance.pipe.Get());
            DWORD bytes = 0;
            GetOverlappedResult(instance.pipe.Get(), &instance.io, &bytes, TRUE);
            instance.pipe.Reset();
        }
    }
}

bool Listener::StartRead(Instance* instance) {
    ResetEvent(instance->io.hEvent);
    instance->word = 0;
    instance->reading = true;
    instance->deadline = GetTickCount64() + ClientTimeout;
    if (ReadFile(instance->pipe.Get(), &instance->word, sizeof instance->word, nullptr,
                 &instance->io)) {
        return true;
    }
    DWORD error = GetLastError();
    return error == ERROR_IO_PENDING || error == ERROR_MORE_DATA;
}

bool Listener::Listen(Instance* instance) {
    instance->reading = false;
    ResetEvent(instance->io.hEvent);
    if (ConnectNamedPipe(instance->pipe.Get(), &instance->io)) {
        return StartRead(instance);
    }
    DWORD error = GetLastError();
    return error == ERROR_IO_PENDING || (error == ERROR_PIPE_CONNECTED && StartRead(instance));
}

// Ends the connection and waits for the next; an instance that cannot is given up.
void Listener::Recycle(Instance* instance) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        DisconnectNamedPipe(instance->pipe.Get());
        if (Listen(instance)) {
            return;
        }
    }
    instance->pipe.Reset();
}

void Listener::Complete(Instance* instance) {
    DWORD bytes = 0;
    BOOL done = GetOverlappedResult(instance->pipe.Get(), &instance->io, &bytes, FALSE);
    DWORD error = done ? ERROR_SUCCESS : GetLastError();
    if (!instance->reading) {
        if ((done || error == ERROR_PIPE_CONNECTED) && StartRead(instance)) {
            return;
        }
    } else if (done && bytes == sizeof instance->word && instance->word == TrayStateChanged) {
        SetEvent(link_->wanted);
    }
    // A partial word, a longer message, another word, or a client gone: nothing to act on.
    Recycle(instance);
}

}  // namespace

DWORD WINAPI ListenerThread(void* link) {
    Listener listener(static_cast<ListenerLink*>(link));
    listener.Run();
    return 0;
}

}  // namespace tray
