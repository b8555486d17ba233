// Child processes with their output captured.
#include "tests/support/support.h"

#include <gtest/gtest.h>

namespace testsupport {

ProcessResult RunProcess(const std::string& exe, const std::string& arguments, DWORD timeoutMs) {
    ProcessResult result = {STILL_ACTIVE, ""};
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) {
        ADD_FAILURE() << "CreatePipe: " << GetLastError();
        return result;
    }
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    HANDLE input = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               &inheritable, OPEN_EXISTING, 0, nullptr);

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    PROCESS_INFORMATION process{};
    std::string commandLine = "\"" + exe + "\" " + arguments;
    BOOL started = CreateProcessA(exe.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                                  nullptr, &startup, &process);
    DWORD startError = GetLastError();
    CloseHandle(writeEnd);
    CloseHandle(input);
    if (!started) {
        ADD_FAILURE() << "cannot start " << commandLine << ": " << startError;
        CloseHandle(readEnd);
        return result;
    }

    // The reader ends when the last writer closes: at the child's exit, or when it is killed.
    std::string output;
    std::thread reader([&output, readEnd] {
        char buffer[4096];
        DWORD read = 0;
        while (ReadFile(readEnd, buffer, sizeof buffer, &read, nullptr) && read > 0) {
            output.append(buffer, read);
        }
    });
    if (WaitForSingleObject(process.hProcess, timeoutMs) != WAIT_OBJECT_0) {
        ADD_FAILURE() << commandLine << " still runs after " << timeoutMs << " ms; killed";
        TerminateProcess(process.hProcess, STILL_ACTIVE);
        WaitForSingleObject(process.hProcess, INFINITE);
    }
    reader.join();
    GetExitCodeProcess(process.hProcess, &result.exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    CloseHandle(readEnd);

    for (size_t i = 0; i < output.size(); ++i) {
        if (output[i] != '\r' || i + 1 == output.size() || output[i + 1] != '\n') {
            result.output += output[i];
        }
    }
    return result;
}

}  // namespace testsupport
