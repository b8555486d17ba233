// A thread that records each distinct status a service reports.
#include "tests/support/support.h"

namespace testsupport {

namespace {

bool SameReport(const SERVICE_STATUS_PROCESS& a, const SERVICE_STATUS_PROCESS& b) {
    return a.dwCurrentState == b.dwCurrentState && a.dwControlsAccepted == b.dwControlsAccepted &&
           a.dwWin32ExitCode == b.dwWin32ExitCode &&
           a.dwServiceSpecificExitCode == b.dwServiceSpecificExitCode &&
           a.dwCheckPoint == b.dwCheckPoint && a.dwWaitHint == b.dwWaitHint;
}

}  // namespace

StatusRecorder::StatusRecorder(const std::string& service)
    : service_(service), thread_([this] { Poll(); }) {}

StatusRecorder::~StatusRecorder() {
    Stop();
}

void StatusRecorder::Poll() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = nullptr;
    while (running_) {
        if (service == nullptr && manager != nullptr) {
            service = OpenServiceA(manager, service_.c_str(), SERVICE_QUERY_STATUS);
        }
        SERVICE_STATUS_PROCESS status{};
        DWORD needed = 0;
        if (service != nullptr &&
            QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                 sizeof status, &needed)) {
            std::lock_guard<std::mutex> hold(lock_);
            if (statuses_.empty() || !SameReport(statuses_.back(), status)) {
                statuses_.push_back(status);
            }
        }
        Sleep(1);
    }
    if (service != nullptr) {
        CloseServiceHandle(service);
    }
    if (manager != nullptr) {
        CloseServiceHandle(manager);
    }
}

bool StatusRecorder::WaitFor(DWORD state, DWORD timeoutMs) const {
    DWORD start = GetTickCount();
    do {
        {
            std::lock_guard<std::mutex> hold(lock_);
            for (const SERVICE_STATUS_PROCESS& status : statuses_) {
                if (status.dwCurrentState == state) {
                    return true;
                }
            }
        }
        Sleep(5);
    } while (GetTickCount() - start < timeoutMs);
    return false;
}

std::vector<SERVICE_STATUS_PROCESS> StatusRecorder::Statuses() const {
    std::lock_guard<std::mutex> hold(lock_);
    return statuses_;
}

std::vector<SERVICE_STATUS_PROCESS> StatusRecorder::Stop() {
    running_ = false;
    if (thread_.joinable()) {
        thread_.join();
    }
    return Statuses();
}

}  // namespace testsupport
