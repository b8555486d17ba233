#include "tests/pipe/pipe_support.h"

#include <gtest/gtest.h>
#include <psapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include "config/config.h"
#include "pipe/pipe.h"
#include "tests/standin/support/standin_support.h"

namespace pipe_test {

std::string ControlPipeName(const std::string& vm) {
    return std::string(ControlPipePrefix) + "." + vm;
}

std::string GroupHome() {
    char profile[MAX_PATH] = "";
    DWORD length = GetEnvironmentVariableA("USERPROFILE", profile, sizeof profile);
    std::string home =
        (length > 0 && length < sizeof profile ? std::string(profile) : "C:") + "\\.VirtualBox";
    SetEnvironmentVariableA("VBOX_USER_HOME", home.c_str());
    return home;
}

std::atomic<long> missingInstanceRetries{0};

HANDLE OpenPipe(const std::string& pipe, DWORD timeoutMs, DWORD* error, DWORD flags) {
    ULONGLONG end = GetTickCount64() + timeoutMs;
    for (;;) {
        HANDLE handle = CreateFileA(pipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, flags, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            return handle;
        }
        *error = GetLastError();
        ULONGLONG now = GetTickCount64();
        if ((*error != ERROR_PIPE_BUSY && *error != ERROR_FILE_NOT_FOUND) || now >= end) {
            return INVALID_HANDLE_VALUE;
        }
        // A server that is only starting has no instance yet.
        if (*error == ERROR_FILE_NOT_FOUND) {
            ++missingInstanceRetries;
            Sleep(1);
        } else if (!WaitNamedPipeA(pipe.c_str(), static_cast<DWORD>(end - now))) {
            Sleep(1);
        }
    }
}

namespace {

// One overlapped transfer; the number of bytes, or -1 when it failed (error set) or timed out
// (error WAIT_TIMEOUT).
long Transfer(HANDLE handle, bool write, void* buffer, DWORD size, DWORD timeoutMs, DWORD* error) {
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD bytes = 0;
    BOOL done = write ? WriteFile(handle, buffer, size, nullptr, &overlapped)
                      : ReadFile(handle, buffer, size, nullptr, &overlapped);
    long result = -1;
    *error = done ? ERROR_SUCCESS : GetLastError();
    if (done || *error == ERROR_IO_PENDING) {
        if (WaitForSingleObject(overlapped.hEvent, timeoutMs) != WAIT_OBJECT_0) {
            CancelIo(handle);
            GetOverlappedResult(handle, &overlapped, &bytes, TRUE);
            *error = WAIT_TIMEOUT;
        } else if (GetOverlappedResult(handle, &overlapped, &bytes, FALSE)) {
            result = static_cast<long>(bytes);
        } else {
            *error = GetLastError();
        }
    }
    CloseHandle(overlapped.hEvent);
    return result;
}

}  // namespace

WireResult Exchange(const std::string& pipe, const std::string& bytes, DWORD timeoutMs) {
    WireResult result;
    HANDLE handle = OpenPipe(pipe, timeoutMs, &result.openError);
    if (handle == INVALID_HANDLE_VALUE) {
        return result;
    }
    result.opened = true;
    DWORD error = 0;
    if (!bytes.empty()) {
        std::string copy = bytes;
        Transfer(handle, true, &copy[0], static_cast<DWORD>(copy.size()), timeoutMs, &error);
    }
    for (;;) {
        char buffer[64];
        long read = Transfer(handle, false, buffer, sizeof buffer, timeoutMs, &error);
        if (read < 0) {
            result.closed = error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED;
            break;
        }
        result.reply.append(buffer, static_cast<size_t>(read));
    }
    CloseHandle(handle);
    return result;
}

std::string Word(DWORD word) {
    return std::string(reinterpret_cast<const char*>(&word), sizeof word);
}

bool Ask(const std::string& pipe, DWORD request, DWORD* reply) {
    WireResult result = Exchange(pipe, Word(request));
    if (result.reply.size() != sizeof(DWORD)) {
        return false;
    }
    memcpy(reply, result.reply.data(), sizeof(DWORD));
    return true;
}

DWORD AskOrNoReply(const std::string& pipe, DWORD request) {
    DWORD reply = 0;
    return Ask(pipe, request, &reply) ? reply : kNoReply;
}

bool WaitForPipe(const std::string& pipe, DWORD timeoutMs) {
    ULONGLONG end = GetTickCount64() + timeoutMs;
    do {
        if (WaitNamedPipeA(pipe.c_str(), 100)) {
            return true;
        }
        Sleep(10);
    } while (GetTickCount64() < end);
    return false;
}

int ClientLevel(HANDLE pipe) {
    if (!ImpersonateNamedPipeClient(pipe)) {
        return -1;
    }
    HANDLE token = nullptr;
    SECURITY_IMPERSONATION_LEVEL level = SecurityAnonymous;
    DWORD size = 0;
    bool read = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token) &&
                GetTokenInformation(token, TokenImpersonationLevel, &level, sizeof level, &size);
    if (token != nullptr) {
        CloseHandle(token);
    }
    RevertToSelf();
    return read ? static_cast<int>(level) : -1;
}

namespace {

bool UnderWine() {
    return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

}  // namespace

std::string NameInUseMessage() {
    return UnderWine() ? "Error creating pipe (0x000000e7)" : "Error creating pipe (0x00000005)";
}

int LevelLentByIdentifyOnly() {
    return UnderWine() ? SecurityImpersonation : SecurityIdentification;
}

TrayListener::TrayListener(int instances) {
    for (int i = 0; i < instances; ++i) {
        threads_.emplace_back([this] { Serve(); });
    }
    // A notification that finds every instance busy is dropped: all must be waiting.
    for (int i = 0; i < 500 && waiting_ < instances; ++i) {
        Sleep(10);
    }
    EXPECT_EQ(waiting_.load(), instances) << "the listener's instances did not come up";
}

TrayListener::~TrayListener() {
    stopping_ = true;
    for (std::thread& thread : threads_) {
        thread.join();
    }
}

void TrayListener::Serve() {
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    while (!stopping_) {
        HANDLE pipe = CreateNamedPipeA(TrayPipeName, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, 0,
                                       PIPE_UNLIMITED_INSTANCES, 16, 16, 0, nullptr);
        if (pipe == INVALID_HANDLE_VALUE) {
            ADD_FAILURE() << "cannot listen on " << TrayPipeName << ": " << GetLastError();
            break;
        }
        ResetEvent(overlapped.hEvent);
        bool connected = ConnectNamedPipe(pipe, &overlapped) != FALSE;
        DWORD error = connected ? ERROR_SUCCESS : GetLastError();
        if (error == ERROR_IO_PENDING) {
            ++waiting_;
            while (!stopping_ && WaitForSingleObject(overlapped.hEvent, 50) == WAIT_TIMEOUT) {
            }
            --waiting_;
            DWORD ignored = 0;
            if (stopping_) {
                CancelIo(pipe);
                GetOverlappedResult(pipe, &overlapped, &ignored, TRUE);
            }
            connected = GetOverlappedResult(pipe, &overlapped, &ignored, FALSE) != FALSE;
        } else {
            connected = connected || error == ERROR_PIPE_CONNECTED;
        }
        if (connected) {
            std::string bytes;
            int level = -1;
            char buffer[16];
            long read = 0;
            while ((read = Transfer(pipe, false, buffer, sizeof buffer, 5000, &error)) > 0) {
                level = bytes.empty() ? ClientLevel(pipe) : level;
                bytes.append(buffer, static_cast<size_t>(read));
            }
            std::lock_guard<std::mutex> hold(lock_);
            received_.push_back(bytes);
            levels_.push_back(level);
        }
        DisconnectNamedPipe(pipe);
        CloseHandle(pipe);
    }
    CloseHandle(overlapped.hEvent);
}

std::vector<std::string> TrayListener::Received() const {
    std::lock_guard<std::mutex> hold(lock_);
    return received_;
}

std::vector<int> TrayListener::Levels() const {
    std::lock_guard<std::mutex> hold(lock_);
    return levels_;
}

size_t TrayListener::Count() const {
    std::lock_guard<std::mutex> hold(lock_);
    return received_.size();
}

bool TrayListener::WaitForCount(size_t count, DWORD timeoutMs) const {
    ULONGLONG end = GetTickCount64() + timeoutMs;
    while (Count() < count) {
        if (GetTickCount64() >= end) {
            return false;
        }
        Sleep(20);
    }
    return true;
}

namespace {

DWORD WINAPI RunServer(void*) {
    ControlPipeServerThread(nullptr);
    return 0;
}

DWORD WINAPI RunFunction(void* function) {
    reinterpret_cast<void (*)()>(function)();
    return 0;
}

}  // namespace

ServerThread::ServerThread() {
    thread_ = CreateThread(nullptr, 0, RunServer, nullptr, 0, nullptr);
    EXPECT_NE(thread_, nullptr);
}

ServerThread::~ServerThread() {
    if (thread_ == nullptr) {
        return;
    }
    if (WaitForSingleObject(thread_, 0) == WAIT_TIMEOUT) {
        StopControlPipeServer();
        EXPECT_EQ(WaitForSingleObject(thread_, 10000), WAIT_OBJECT_0) << "the server runs on";
    }
    CloseHandle(thread_);
}

bool ServerThread::WaitForEnd(DWORD timeoutMs) {
    return WaitForSingleObject(thread_, timeoutMs) == WAIT_OBJECT_0;
}

bool ReturnsWithin(void (*function)(), DWORD timeoutMs) {
    HANDLE thread =
        CreateThread(nullptr, 0, RunFunction, reinterpret_cast<void*>(function), 0, nullptr);
    bool returned = WaitForSingleObject(thread, timeoutMs) == WAIT_OBJECT_0;
    CloseHandle(thread);
    return returned;
}

int CountHandles(DWORD pid) {
    HANDLE process = OpenProcess(PROCESS_DUP_HANDLE, FALSE, pid);
    if (process == nullptr) {
        ADD_FAILURE() << "cannot open process " << pid << ": " << GetLastError();
        return -1;
    }
    // Handle values are multiples of 4; a live one can be duplicated.
    int count = 0;
    for (ULONG_PTR value = 4; value < 4 * 65536; value += 4) {
        HANDLE copy = nullptr;
        if (DuplicateHandle(process, reinterpret_cast<HANDLE>(value), GetCurrentProcess(), &copy, 0,
                            FALSE, DUPLICATE_SAME_ACCESS)) {
            ++count;
            CloseHandle(copy);
        }
    }
    CloseHandle(process);
    return count;
}

int CountThreads(DWORD pid) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    int count = 0;
    if (Thread32First(snapshot, &entry)) {
        do {
            if (entry.th32OwnerProcessID == pid) {
                ++count;
            }
        } while (Thread32Next(snapshot, &entry));
    }
    CloseHandle(snapshot);
    return count;
}

SIZE_T PrivateBytes(DWORD pid) {
    // GetProcessMemoryInfo reads 0 for another process under Wine; the system's list does not.
    std::vector<BYTE> buffer(1 << 20);
    ULONG length = 0;
    NTSTATUS status = NtQuerySystemInformation(SystemProcessInformation, buffer.data(),
                                               static_cast<ULONG>(buffer.size()), &length);
    EXPECT_EQ(status, 0) << "cannot list the processes";
    for (BYTE* at = buffer.data(); status == 0;) {
        auto* process = reinterpret_cast<SYSTEM_PROCESS_INFORMATION*>(at);
        if (reinterpret_cast<ULONG_PTR>(process->UniqueProcessId) == pid) {
            return process->VirtualMemoryCounters.PagefileUsage;
        }
        if (process->NextEntryOffset == 0) {
            break;
        }
        at += process->NextEntryOffset;
    }
    ADD_FAILURE() << "no process " << pid;
    return 0;
}

DWORD StartSleeper(const std::string& path) {
    std::string source = testsupport::BinFolder() + "\\wine-keeper.exe";
    if (!CopyFileA(source.c_str(), path.c_str(), FALSE)) {
        ADD_FAILURE() << "cannot copy " << source << " to " << path << ": " << GetLastError();
        return 0;
    }
    std::string commandLine = "\"" + path + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(path.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        ADD_FAILURE() << "cannot start " << path << ": " << GetLastError();
        return 0;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return process.dwProcessId;
}

namespace {

void Terminate(DWORD pid) {
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
    if (process != nullptr) {
        TerminateProcess(process, 1);
        WaitForSingleObject(process, 10000);
        CloseHandle(process);
    }
}

}  // namespace

void EndProcess(DWORD pid) {
    // Wine gives a process started with CREATE_NO_WINDOW a console host of its own, which holds
    // the standard error of the test (and so ctest's pipe) open, and may outlive the process
    // when that is ended early: it is ended as well.
    std::vector<DWORD> hosts;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    if (Process32First(snapshot, &entry)) {
        do {
            if (entry.th32ParentProcessID == pid && _stricmp(entry.szExeFile, "conhost.exe") == 0) {
                hosts.push_back(entry.th32ProcessID);
            }
        } while (Process32Next(snapshot, &entry));
    }
    CloseHandle(snapshot);
    Terminate(pid);
    for (DWORD host : hosts) {
        Terminate(host);
    }
}

ImportPatch::ImportPatch(const char* module, const char* function, void* replacement) {
    original_ = reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA(module), function));
    EXPECT_NE(original_, nullptr) << module << "!" << function;
    BYTE* base = reinterpret_cast<BYTE*>(GetModuleHandleA(nullptr));
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    auto* descriptor = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
    // The loader resolved every import to its final address, forwarders followed, as
    // GetProcAddress does: the slots to patch are those that hold the original.
    for (; original_ != nullptr && descriptor->Name != 0; ++descriptor) {
        auto* slot = reinterpret_cast<void**>(base + descriptor->FirstThunk);
        for (; *slot != nullptr; ++slot) {
            if (*slot == original_) {
                slots_.push_back(slot);
            }
        }
    }
    EXPECT_FALSE(slots_.empty()) << "no import of " << module << "!" << function;
    for (void** slot : slots_) {
        DWORD protection = 0;
        VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &protection);
        *slot = replacement;
        VirtualProtect(slot, sizeof *slot, protection, &protection);
    }
}

ImportPatch::~ImportPatch() {
    for (void** slot : slots_) {
        DWORD protection = 0;
        VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &protection);
        *slot = original_;
        VirtualProtect(slot, sizeof *slot, protection, &protection);
    }
}

void LogInto(const testsupport::TempFolder& folder) {
    snprintf(ServiceConfig.LogPath, sizeof ServiceConfig.LogPath, "%s",
             folder.File("kelvaran.log").c_str());
    ServiceConfig.LogLevel = 3;
}

}  // namespace pipe_test
