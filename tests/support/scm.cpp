// Wine's Service Control Manager, driven through the SCM API as an administrator would, and the
// rules every run of the service must keep in its reports.
#include "tests/support/support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstddef>
#include <cstring>

namespace testsupport {
namespace {

// Owns one SCM handle.
struct ScHandle {
    SC_HANDLE handle;
    explicit ScHandle(SC_HANDLE h) : handle(h) {}
    ~ScHandle() {
        if (handle != nullptr) {
            CloseServiceHandle(handle);
        }
    }
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;
};

// Opens the service; on failure the handle is null and *error tells why.
SC_HANDLE OpenByName(const std::string& service, DWORD access, DWORD* error) {
    ScHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    SC_HANDLE handle =
        manager.handle != nullptr ? OpenServiceA(manager.handle, service.c_str(), access) : nullptr;
    *error = handle != nullptr ? ERROR_SUCCESS : GetLastError();
    return handle;
}

DWORD LastErrorUnless(BOOL done) {
    return done ? ERROR_SUCCESS : GetLastError();
}

const char* StateName(DWORD state) {
    static const char* const names[] = {"OTHER", "STOPPED", "START_PENDING", "STOP_PENDING",
                                        "RUNNING"};
    return names[state <= SERVICE_RUNNING ? state : 0];
}

// Stops the service when it runs, and deletes it; quiet when there is none.
void RemoveService(const std::string& name) {
    SERVICE_STATUS_PROCESS status{};
    if (QueryStatus(name, &status) != 0) {
        return;
    }
    if (status.dwCurrentState != SERVICE_STOPPED) {
        ControlByName(name, SERVICE_CONTROL_STOP);
        WaitForState(name, SERVICE_STOPPED, 15000);
    }
    DWORD error = 0;
    ScHandle handle(OpenByName(name, DELETE, &error));
    if (handle.handle != nullptr) {
        DeleteService(handle.handle);
    }
}

bool IsPending(DWORD state) {
    return state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
}

}  // namespace

DWORD QueryStatus(const std::string& service, SERVICE_STATUS_PROCESS* status) {
    DWORD error = 0;
    ScHandle handle(OpenByName(service, SERVICE_QUERY_STATUS, &error));
    DWORD needed = 0;
    return handle.handle == nullptr
               ? error
               : LastErrorUnless(QueryServiceStatusEx(handle.handle, SC_STATUS_PROCESS_INFO,
                                                      reinterpret_cast<BYTE*>(status),
                                                      sizeof *status, &needed));
}

DWORD StartByName(const std::string& service) {
    DWORD error = 0;
    ScHandle handle(OpenByName(service, SERVICE_START, &error));
    // Under load Wine's manager now and then loses the new process while it initialises
    // (ERROR_INTERNAL_ERROR), as CreateProcess does: a second start goes through.
    for (int attempt = 0; attempt < 3 && handle.handle != nullptr; ++attempt) {
        error = LastErrorUnless(StartServiceA(handle.handle, 0, nullptr));
        if (error != ERROR_INTERNAL_ERROR) {
            break;
        }
    }
    return error;
}

DWORD ControlByName(const std::string& service, DWORD control) {
    DWORD error = 0;
    ScHandle handle(OpenByName(service, SERVICE_STOP | SERVICE_INTERROGATE, &error));
    SERVICE_STATUS status;
    return handle.handle == nullptr
               ? error
               : LastErrorUnless(ControlService(handle.handle, control, &status));
}

bool WaitForState(const std::string& service, DWORD state, DWORD timeoutMs) {
    return WaitUntil(
        [&] {
            SERVICE_STATUS_PROCESS status{};
            return QueryStatus(service, &status) == 0 && status.dwCurrentState == state;
        },
        timeoutMs);
}

DWORD QuerySettings(const std::string& service, ServiceSettings* settings) {
    DWORD error = 0;
    ScHandle handle(OpenByName(service, SERVICE_QUERY_CONFIG, &error));
    if (handle.handle == nullptr) {
        return error;
    }
    DWORD needed = 0;
    QueryServiceConfigA(handle.handle, nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed + 1);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
    if (!QueryServiceConfigA(handle.handle, config, needed, &needed)) {
        return GetLastError();
    }
    settings->serviceType = config->dwServiceType;
    settings->startType = config->dwStartType;
    settings->errorControl = config->dwErrorControl;
    settings->binaryPath = config->lpBinaryPathName != nullptr ? config->lpBinaryPathName : "";
    settings->displayName = config->lpDisplayName != nullptr ? config->lpDisplayName : "";
    settings->account = config->lpServiceStartName != nullptr ? config->lpServiceStartName : "";
    BYTE more[1024] = {};
    auto query = [&](DWORD level) {
        return QueryServiceConfig2A(handle.handle, level, more, sizeof more, &needed);
    };
    auto* description = reinterpret_cast<SERVICE_DESCRIPTIONA*>(more);
    auto* preshutdown = reinterpret_cast<SERVICE_PRESHUTDOWN_INFO*>(more);
    // Each read after its query has filled the block.
    settings->description = query(SERVICE_CONFIG_DESCRIPTION) && description->lpDescription
                                ? description->lpDescription
                                : "";
    settings->preshutdownTimeout =
        query(SERVICE_CONFIG_PRESHUTDOWN_INFO) ? preshutdown->dwPreshutdownTimeout : 0;
    return 0;
}

// The states, with each report's checkpoint, or a run of equal states as one.
std::string Text(const Statuses& statuses, bool checkpoints) {
    std::string text;
    for (size_t i = 0; i < statuses.size(); ++i) {
        DWORD state = statuses[i].dwCurrentState;
        if (checkpoints || i == 0 || state != statuses[i - 1].dwCurrentState) {
            text += (text.empty() ? "" : " ") + std::string(StateName(state)) +
                    (checkpoints ? ":" + std::to_string(statuses[i].dwCheckPoint) : "");
        }
    }
    return text;
}

std::string Sequence(const Statuses& statuses) {
    return Text(statuses, true);
}

std::string States(const Statuses& statuses) {
    return Text(statuses, false);
}

std::string Describe(const Statuses& statuses) {
    std::string text;
    char line[160];
    for (const SERVICE_STATUS_PROCESS& s : statuses) {
        snprintf(line, sizeof line,
                 "\n  state=%lu checkpoint=%lu hint=%lu exit=%lu/0x%08lx controls=0x%lx",
                 s.dwCurrentState, s.dwCheckPoint, s.dwWaitHint, s.dwWin32ExitCode,
                 s.dwServiceSpecificExitCode, s.dwControlsAccepted);
        text += line;
    }
    return text;
}

void ExpectWellFormed(const Statuses& statuses, DWORD type) {
    SCOPED_TRACE(Describe(statuses));
    DWORD lastCheckpoint = 0;
    for (size_t i = 0; i < statuses.size(); ++i) {
        const SERVICE_STATUS_PROCESS& status = statuses[i];
        // Until the service's first report, Wine's manager shows its own START_PENDING.
        if (status.dwControlsAccepted == 0 && status.dwCurrentState == SERVICE_START_PENDING) {
            continue;
        }
        EXPECT_EQ(status.dwServiceType, type) << "report " << i;
        EXPECT_EQ(status.dwControlsAccepted, 0x105u) << "report " << i;
        if (IsPending(status.dwCurrentState)) {
            EXPECT_GT(status.dwCheckPoint, lastCheckpoint) << "report " << i;
            lastCheckpoint = status.dwCheckPoint;
        } else {
            EXPECT_EQ(status.dwCheckPoint, 0u) << "report " << i;
            EXPECT_EQ(status.dwWaitHint, 0u) << "report " << i;
        }
        if (status.dwCurrentState != SERVICE_STOPPED) {
            EXPECT_EQ(status.dwWin32ExitCode, 0u) << "report " << i;
        } else {
            EXPECT_EQ(i + 1, statuses.size()) << "a report after STOPPED";
        }
    }
}

void ExpectStoppedWith(const Statuses& statuses, DWORD win32, DWORD specific) {
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.back().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED))
        << Describe(statuses);
    EXPECT_EQ(statuses.back().dwWin32ExitCode, win32) << Describe(statuses);
    EXPECT_EQ(statuses.back().dwServiceSpecificExitCode, specific) << Describe(statuses);
}

ServiceCopy::ServiceCopy(const TempFolder& folder, const std::string& exeName,
                         const std::string& source)
    : exePath_(folder.File(exeName)), name_(exeName.substr(exeName.rfind('\\') + 1)) {
    CreateDirectoryA(exePath_.substr(0, exePath_.rfind('\\')).c_str(), nullptr);
    name_ = name_.size() > 4 ? name_.substr(0, name_.size() - 4) : "kelvaran";
    std::string from = BinFolder() + "\\" + source;
    EXPECT_TRUE(CopyFileA(from.c_str(), exePath_.c_str(), FALSE))
        << "cannot copy " << from << ": " << GetLastError();
    std::replace(name_.begin(), name_.end(), ' ', '_');
    RemoveService(name_);
}

ServiceCopy::~ServiceCopy() {
    RemoveService(name_);
}

StatusRecorder::StatusRecorder(const std::string& service)
    : manager_(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT)),
      service_(manager_ != nullptr ? OpenServiceA(manager_, service.c_str(), SERVICE_QUERY_STATUS)
                                   : nullptr) {
    EXPECT_NE(service_, nullptr) << "cannot watch " << service << ": " << GetLastError();
    // The status at construction is recorded before the constructor returns: a mark taken then
    // comes after it.
    Record();
    thread_ = std::thread([this] {
        for (; running_; Sleep(1)) {
            Record();
        }
    });
}

void StatusRecorder::Record() {
    SERVICE_STATUS_PROCESS s{};
    DWORD needed = 0;
    if (service_ == nullptr ||
        !QueryServiceStatusEx(service_, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&s),
                              sizeof s, &needed)) {
        return;
    }
    std::lock_guard<std::mutex> hold(lock_);
    const SERVICE_STATUS_PROCESS* last = statuses_.empty() ? nullptr : &statuses_.back();
    // A report as the service made it: the process id comes after it.
    if (last == nullptr || memcmp(last, &s, offsetof(SERVICE_STATUS_PROCESS, dwProcessId)) != 0) {
        statuses_.push_back(s);
    }
}

StatusRecorder::~StatusRecorder() {
    running_ = false;
    thread_.join();
    if (service_ != nullptr) {
        CloseServiceHandle(service_);
    }
    if (manager_ != nullptr) {
        CloseServiceHandle(manager_);
    }
}

Statuses StatusRecorder::Since(size_t from) const {
    std::lock_guard<std::mutex> hold(lock_);
    return Statuses(
        statuses_.begin() + static_cast<std::ptrdiff_t>(std::min(from, statuses_.size())),
        statuses_.end());
}

size_t StatusRecorder::Count() const {
    std::lock_guard<std::mutex> hold(lock_);
    return statuses_.size();
}

bool StatusRecorder::WaitFor(DWORD state, size_t from, DWORD timeoutMs) const {
    return WaitUntil(
        [&] {
            for (const SERVICE_STATUS_PROCESS& status : Since(from)) {
                if (status.dwCurrentState == state) {
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
}

}  // namespace testsupport
