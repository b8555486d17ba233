// Child processes with their output captured.
#include "tests/support/support.h"

#include <gtest/gtest.h>
#include <psapi.h>

#include "tests/support/child.h"

namespace testsupport {

ProcessResult RunProcess(const std::string& exe, const std::string& arguments, DWORD timeoutMs) {
    ProcessResult result = {STILL_ACTIVE, ""};
    std::string problem;
    result.exitCode = RunChild(exe, arguments, timeoutMs, &result.output, &problem);
    if (!problem.empty()) {
        ADD_FAILURE() << problem;
    }
    return result;
}

std::string ProcessName(DWORD pid) {
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (process == nullptr) {
        return "";
    }
    char name[MAX_PATH] = "";
    GetModuleBaseNameA(process, nullptr, name, sizeof name);
    CloseHandle(process);
    return name;
}

std::vector<DWORD> ProcessesNamed(const std::string& name) {
    std::vector<DWORD> ids(4096);
    DWORD bytes = 0;
    EnumProcesses(ids.data(), static_cast<DWORD>(ids.size() * sizeof(DWORD)), &bytes);
    ids.resize(bytes / sizeof(DWORD));
    std::vector<DWORD> found;
    for (DWORD pid : ids) {
        if (pid != 0 && ProcessName(pid) == name) {
            found.push_back(pid);
        }
    }
    return found;
}

}  // namespace testsupport
