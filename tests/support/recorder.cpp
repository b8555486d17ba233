// A thread that records each distinct status a service reports.
#include "tests/support/support.h"

#include <gtest/gtest.h>

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
    : manager_(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT)),
      service_(manager_ != nullptr ? OpenServiceA(manager_, service.c_str(), SERVICE_QUERY_STATUS)
                                   : nullptr) {
    EXPECT_NE(service_, nullptr) << "cannot watch " << service << ": " << GetLastError();
    Record();
    thread_ = std::thread([this] { Poll(); });
}

StatusRecorder::~StatusRecorder() {
    Stop();
    if (service_ != nullptr) {
        CloseServiceHandle(service_);
    }
    if (manager_ != nullptr) {
        CloseServiceHandle(manager_);
    }
}

void StatusRecorder::Record() {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (service_ != nullptr &&
        QueryServiceStatusEx(service_, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                             sizeof status, &needed)) {
        std::lock_guard<std::mutex> hold(lock_);
        if (statuses_.empty() || !SameReport(statuses_.back(), status)) {
            statuses_.push_back(status);
        }
    }
}

void StatusRecorder::Poll() {
    while (running_) {
        Sleep(1);
        Record();
    }
}

size_t StatusRecorder::Count() const {
    std::lock_guard<std::mutex> hold(lock_);
    return statuses_.size();
}

bool StatusRecorder::WaitFor(DWORD state, size_t from, DWORD timeoutMs) const {
    DWORD start = GetTickCount();
    do {
        {
            std::lock_guard<std::mutex> hold(lock_);
            for (size_t i = from; i < statuses_.size(); ++i) {
                if (statuses_[i].dwCurrentState == state) {
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
