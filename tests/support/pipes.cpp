// Clients of the service's control pipe, and a tray companion that listens on its own pipe.
#include "tests/support/support.h"

#include <gtest/gtest.h>

namespace testsupport {
namespace {

const char kTrayPipe[] = "\\\\.\\pipe\\kelvarantray";
const int kTrayInstances = 4;

}  // namespace

std::string ControlPipeName(const std::string& vm) {
    return "\\\\.\\pipe\\kelvaran." + vm;
}

int Exchange(const std::string& pipe, const std::string& bytes, DWORD* reply) {
    HANDLE handle = INVALID_HANDLE_VALUE;
    // Busy while the server hands its waiting instances on: wait for one, as a companion does.
    for (int attempt = 0; attempt < 50 && handle == INVALID_HANDLE_VALUE; ++attempt) {
        handle = CreateFileA(pipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
        if (handle == INVALID_HANDLE_VALUE &&
            (GetLastError() != ERROR_PIPE_BUSY || !WaitNamedPipeA(pipe.c_str(), 5000))) {
            return -1;
        }
    }
    DWORD written = 0;
    DWORD read = 0;
    *reply = 0;
    WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    for (DWORD got = 0; read < sizeof *reply; read += got) {
        if (!ReadFile(handle, reinterpret_cast<char*>(reply) + read, sizeof *reply - read, &got,
                      nullptr) ||
            got == 0) {
            break;
        }
    }
    CloseHandle(handle);
    return static_cast<int>(read);
}

DWORD Ask(const std::string& pipe, DWORD request) {
    DWORD reply = 0;
    EXPECT_EQ(Exchange(pipe, std::string(reinterpret_cast<char*>(&request), 4), &reply), 4)
        << "no reply to " << request << " on " << pipe;
    return reply;
}

TrayListener::TrayListener() {
    for (int i = 0; i < kTrayInstances; ++i) {
        HANDLE pipe = CreateNamedPipeA(kTrayPipe, PIPE_ACCESS_DUPLEX, 0, PIPE_UNLIMITED_INSTANCES,
                                       16, 16, 0, nullptr);
        EXPECT_NE(pipe, INVALID_HANDLE_VALUE)
            << "cannot own " << kTrayPipe << ": " << GetLastError();
        pipes_.push_back(pipe);
    }
    // Every instance waits before the constructor returns: no notification is turned away.
    for (HANDLE pipe : pipes_) {
        threads_.emplace_back([this, pipe] { Serve(pipe); });
    }
}

TrayListener::~TrayListener() {
    // Each thread waits for a client: a connection of ours without a word ends it.
    for (size_t i = 0; i < pipes_.size(); ++i) {
        HANDLE wake = CreateFileA(kTrayPipe, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (wake != INVALID_HANDLE_VALUE) {
            CloseHandle(wake);
        }
    }
    for (std::thread& thread : threads_) {
        thread.join();
    }
    for (HANDLE pipe : pipes_) {
        CloseHandle(pipe);
    }
}

void TrayListener::Serve(HANDLE pipe) {
    while (pipe != INVALID_HANDLE_VALUE) {
        if (!ConnectNamedPipe(pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
            return;
        }
        DWORD word = 0;
        DWORD read = 0;
        bool got = ReadFile(pipe, &word, sizeof word, &read, nullptr) && read == sizeof word;
        // A notification is the word alone: its writer closes after it.
        char more = 0;
        bool alone = got && !ReadFile(pipe, &more, sizeof more, &read, nullptr);
        DisconnectNamedPipe(pipe);
        if (!got) {
            return;  // the destructor's wake-up
        }
        std::lock_guard<std::mutex> hold(lock_);
        heard_ += word == 512 && alone;
    }
}

size_t TrayListener::Heard() const {
    std::lock_guard<std::mutex> hold(lock_);
    return heard_;
}

bool TrayListener::WaitHeard(size_t count, DWORD timeoutMs) const {
    return WaitUntil([&] { return Heard() >= count; }, timeoutMs);
}

}  // namespace testsupport
