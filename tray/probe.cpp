// Finds the machines among the installed services and asks each one's control pipe about it.
#include "tray/tray.h"

#include <algorithm>
#include <cwchar>

#include "config/config.h"
#include "pipe/pipe.h"
#include "tray/handles.h"

namespace tray {
namespace {

const wchar_t Product[] = L"Kelvaran Service";
// The service gives a client 2 s for each step; a squatter on the name gives nothing.
const DWORD StepTimeout = 3000;
const DWORD BusyWait = 2000;
// As the service reads VmName, so that both form the same pipe name.
const DWORD VmNameSize = 255;

bool IsFile(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The service derives its INI file and log by replacing the executable's last four characters.
std::wstring Sibling(const std::wstring& exePath, const wchar_t* extension) {
    return exePath.substr(0, exePath.size() < 4 ? 0 : exePath.size() - 4) + extension;
}

// version.dll from System32 alone: a copy planted beside the companion, or in the folder it was
// started from, is never loaded. Resolved once; the module stays loaded for the process's life.
struct VersionFunctions {
    decltype(&GetFileVersionInfoSizeW) size = nullptr;
    decltype(&GetFileVersionInfoW) read = nullptr;
    decltype(&VerQueryValueW) query = nullptr;
};

const VersionFunctions& Version() {
    static const VersionFunctions functions = [] {
        VersionFunctions found;
        HMODULE module = LoadLibraryExW(L"version.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (module != nullptr) {
            found.size = reinterpret_cast<decltype(found.size)>(
                reinterpret_cast<void*>(GetProcAddress(module, "GetFileVersionInfoSizeW")));
            found.read = reinterpret_cast<decltype(found.read)>(
                reinterpret_cast<void*>(GetProcAddress(module, "GetFileVersionInfoW")));
            found.query = reinterpret_cast<decltype(found.query)>(
                reinterpret_cast<void*>(GetProcAddress(module, "VerQueryValueW")));
        }
        return found;
    }();
    return functions;
}

bool IsKelvaran(const std::wstring& path) {
    const VersionFunctions& version = Version();
    if (version.size == nullptr || version.read == nullptr || version.query == nullptr) {
        return false;
    }
    DWORD size = version.size(path.c_str(), nullptr);
    if (size == 0) {
        return false;
    }
    std::vector<BYTE> block(size);
    if (!version.read(path.c_str(), 0, size, block.data())) {
        return false;
    }
    struct Translation {
        WORD language, codePage;
    }* translations = nullptr;
    UINT length = 0;
    if (!version.query(block.data(), L"\\VarFileInfo\\Translation",
                       reinterpret_cast<void**>(&translations), &length)) {
        return false;
    }
    for (UINT i = 0; i < length / sizeof(Translation); ++i) {
        wchar_t key[64];
        swprintf(key, 64, L"\\StringFileInfo\\%04x%04x\\ProductName", translations[i].language,
                 translations[i].codePage);
        wchar_t* name = nullptr;
        UINT chars = 0;
        if (version.query(block.data(), key, reinterpret_cast<void**>(&name), &chars) &&
            name != nullptr && wcscmp(name, Product) == 0) {
            return true;
        }
    }
    return false;
}

// Waits for an overlapped transfer, cancelled after StepTimeout; true when all of it was done.
bool Finish(HANDLE pipe, OVERLAPPED* io, BOOL started, DWORD wanted) {
    DWORD error = started ? ERROR_SUCCESS : GetLastError();
    if (!started && error != ERROR_IO_PENDING) {
        return false;
    }
    if (WaitForSingleObject(io->hEvent, StepTimeout) != WAIT_OBJECT_0) {
        CancelIo(pipe);
    }
    DWORD moved = 0;
    return GetOverlappedResult(pipe, io, &moved, TRUE) && moved == wanted;
}

// One request over a fresh connection, as the control pipe takes them. Anyone may create a pipe of
// that name before the service does: a connection whose server is not the process serverPid is
// closed unasked, and *impostor set.
bool AskPipe(const std::wstring& name, DWORD serverPid, DWORD request, DWORD* reply,
             bool* impostor) {
    Handle pipe;
    for (int attempt = 0; attempt < 2 && !pipe.Valid(); ++attempt) {
        pipe.Reset(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OVERLAPPED | IdentifyOnly, nullptr));
        DWORD error = pipe.Valid() ? ERROR_SUCCESS : GetLastError();
        // Busy: every instance is taken for a moment.
        if (!pipe.Valid() &&
            (error != ERROR_PIPE_BUSY || !WaitNamedPipeW(name.c_str(), BusyWait))) {
            return false;
        }
    }
    ULONG server = 0;
    if (!pipe.Valid() || !GetNamedPipeServerProcessId(pipe.Get(), &server)) {
        return false;
    }
    if (server != serverPid) {
        *impostor = true;
        return false;
    }
    Handle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event.Valid()) {
        return false;
    }
    OVERLAPPED io = {};
    io.hEvent = event.Get();
    if (!Finish(pipe.Get(), &io, WriteFile(pipe.Get(), &request, sizeof request, nullptr, &io),
                sizeof request)) {
        return false;
    }
    ResetEvent(io.hEvent);
    DWORD word = 0;
    if (!Finish(pipe.Get(), &io, ReadFile(pipe.Get(), &word, sizeof word, nullptr, &io),
                sizeof word)) {
        return false;
    }
    *reply = word;
    return true;
}

// QueryServiceConfigW's image path, or empty when the service cannot be read.
std::wstring CommandOf(SC_HANDLE manager, const wchar_t* name) {
    ServiceHandle service(OpenServiceW(manager, name, SERVICE_QUERY_CONFIG));
    DWORD needed = 0;
    BOOL sized = service.Valid() && !QueryServiceConfigW(service.Get(), nullptr, 0, &needed);
    DWORD error = sized ? GetLastError() : ERROR_SUCCESS;
    if (error != ERROR_INSUFFICIENT_BUFFER) {
        return L"";  // a service this user may not read is no machine of theirs
    }
    std::vector<BYTE> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!QueryServiceConfigW(service.Get(), config, needed, &needed) ||
        config->lpBinaryPathName == nullptr) {
        return L"";
    }
    return config->lpBinaryPathName;
}

}  // namespace

std::wstring ExecutableOf(const std::wstring& command) {
    wchar_t expanded[MAX_PATH * 2];
    DWORD length = ExpandEnvironmentStringsW(command.c_str(), expanded, MAX_PATH * 2);
    std::wstring line = length > 0 && length <= MAX_PATH * 2 ? expanded : command;
    line.erase(0, line.find_first_not_of(L' '));
    if (!line.empty() && line[0] == L'"') {
        return line.substr(1, line.find(L'"', 1) - 1);
    }
    // Unquoted: each blank may end the path, the shortest that names a file wins.
    for (size_t end = line.find(L' ');; end = line.find(L' ', end + 1)) {
        std::wstring path = line.substr(0, end);
        for (const std::wstring& candidate : {path, path + L".exe"}) {
            if (IsFile(candidate)) {
                return candidate;
            }
        }
        if (end == std::wstring::npos) {
            return line.substr(0, line.find(L' '));
        }
    }
}

std::vector<Machine> Discover(const std::vector<ServiceEntry>& services) {
    std::vector<Machine> machines;
    for (const ServiceEntry& entry : services) {
        std::wstring exe = ExecutableOf(entry.command);
        if (!IsKelvaran(exe)) {
            continue;
        }
        Machine machine;
        machine.service = entry.name;
        machine.exePath = exe;
        machine.status = entry.status;
        // Read as the service reads it, whatever the file's encoding.
        IniFile ini;
        wchar_t vm[VmNameSize] = L"";
        if (ReadIniFile(Sibling(exe, L".ini").c_str(), &ini) == ERROR_SUCCESS) {
            GetIniString(ini, ConfigSection, L"VmName", L"", vm, VmNameSize);
        }
        machine.vm = vm;
        machine.logPath = Sibling(exe, L".log");
        machine.logExists = IsFile(machine.logPath);
        machines.push_back(machine);
    }
    std::sort(machines.begin(), machines.end(), [](const Machine& a, const Machine& b) {
        return _wcsicmp(a.Label().c_str(), b.Label().c_str()) < 0;
    });
    return machines;
}

DWORD ListServices(std::vector<ServiceEntry>* services) {
    services->clear();
    ServiceHandle manager(
        OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE));
    if (!manager.Valid()) {
        return GetLastError();
    }
    std::vector<BYTE> buffer(64 * 1024);
    DWORD resume = 0;
    for (;;) {
        DWORD needed = 0;
        DWORD count = 0;
        BOOL done = EnumServicesStatusExW(
            manager.Get(), SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_STATE_ALL, buffer.data(),
            static_cast<DWORD>(buffer.size()), &needed, &count, &resume, nullptr);
        DWORD error = done ? ERROR_SUCCESS : GetLastError();
        if (!done && error != ERROR_MORE_DATA) {
            return error;
        }
        auto* entries = reinterpret_cast<ENUM_SERVICE_STATUS_PROCESSW*>(buffer.data());
        for (DWORD i = 0; i < count; ++i) {
            services->push_back({entries[i].lpServiceName,
                                 CommandOf(manager.Get(), entries[i].lpServiceName),
                                 entries[i].ServiceStatusProcess});
        }
        if (done) {
            return ERROR_SUCCESS;
        }
        buffer.resize(std::max<size_t>(buffer.size(), needed));
    }
}

void AskMachine(Machine* machine) {
    machine->answered = false;
    machine->impostor = false;
    // The service's process of the moment: it may have been restarted since it was listed.
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ServiceHandle service(manager.Valid() ? OpenServiceW(manager.Get(), machine->service.c_str(),
                                                         SERVICE_QUERY_STATUS)
                                          : nullptr);
    SERVICE_STATUS_PROCESS status;
    DWORD size = 0;
    if (service.Valid() &&
        QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO,
                             reinterpret_cast<BYTE*>(&status), sizeof status, &size)) {
        machine->status = status;
    }
    if (machine->status.dwCurrentState != SERVICE_RUNNING || machine->vm.empty()) {
        return;
    }
    std::wstring pipe = Wide(ControlPipePrefix) + L"." + machine->vm;
    DWORD pid = machine->status.dwProcessId;
    bool* impostor = &machine->impostor;
    if (!AskPipe(pipe, pid, RequestMachineState, &machine->state, impostor)) {
        machine->state = 0;
        return;
    }
    machine->answered = true;
    // A fact that gets no answer stays 0, as the service's own failures are.
    AskPipe(pipe, pid, RequestScreenSize, &machine->screen, impostor);
    AskPipe(pipe, pid, RequestVrdePort, &machine->vrdePort, impostor);
    AskPipe(pipe, pid, RequestVrdeEnabled, &machine->vrdeEnabled, impostor);
}

DWORD Survey(std::vector<Machine>* machines, HANDLE stop) {
    std::vector<ServiceEntry> services;
    DWORD error = ListServices(&services);
    *machines = Discover(services);
    for (Machine& machine : *machines) {
        if (stop != nullptr && WaitForSingleObject(stop, 0) == WAIT_OBJECT_0) {
            break;
        }
        AskMachine(&machine);
    }
    return error;
}

std::wstring ErrorText(DWORD error) {
    wchar_t* text = nullptr;
    DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring result = length != 0 ? std::wstring(text, length) : L"";
    LocalFree(text);
    result.erase(result.find_last_not_of(L"\r\n ") + 1);
    return result.empty() ? L"Error " + std::to_wstring(error) + L"." : result;
}

}  // namespace tray
