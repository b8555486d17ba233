#include "tests/support/child.h"

namespace testsupport {

// Moves what the pipe holds now into text, without waiting for more.
static void Drain(HANDLE readEnd, std::string* text) {
    char buffer[4096];
    DWORD available = 0;
    DWORD read = 0;
    while (PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr) && available > 0 &&
           ReadFile(readEnd, buffer, sizeof buffer, &read, nullptr) && read > 0) {
        text->append(buffer, read);
    }
}

DWORD RunChild(const std::string& exe, const std::string& arguments, DWORD timeoutMs,
               std::string* output, std::string* problem, const std::string& input) {
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) {
        *problem = "CreatePipe: " + std::to_string(GetLastError());
        return STILL_ACTIVE;
    }
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    HANDLE inputEnd = nullptr;
    HANDLE fed = nullptr;
    DWORD written = 0;
    if (CreatePipe(&inputEnd, &fed, &inheritable, 0)) {
        WriteFile(fed, input.data(), static_cast<DWORD>(input.size()), &written, nullptr);
        CloseHandle(fed);
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inputEnd;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    PROCESS_INFORMATION process{};
    std::string commandLine = "\"" + exe + "\" " + arguments;
    DWORD startError = 0;
    // Under load Wine now and then loses a child while it initialises (ERROR_INTERNAL_ERROR);
    // a second start goes through.
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::string line = commandLine;
        if (CreateProcessA(exe.c_str(), &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                           &startup, &process)) {
            startError = 0;
            break;
        }
        startError = GetLastError();
        if (startError != ERROR_INTERNAL_ERROR) {
            break;
        }
        Sleep(200);
    }
    CloseHandle(writeEnd);
    CloseHandle(inputEnd);
    DWORD exitCode = STILL_ACTIVE;
    std::string text;
    if (startError != 0) {
        *problem = "cannot start " + commandLine + ": " + std::to_string(startError);
    } else {
        // The output is read while the child runs and once more after its exit, never up to
        // the pipe's end: a process the child started (Wine's desktop, a console host) may
        // inherit the write end and keep it open for good.
        DWORD started = GetTickCount();
        while (WaitForSingleObject(process.hProcess, 20) == WAIT_TIMEOUT) {
            Drain(readEnd, &text);
            if (GetTickCount() - started >= timeoutMs) {
                *problem =
                    commandLine + " still runs after " + std::to_string(timeoutMs) + " ms; ended";
                TerminateProcess(process.hProcess, STILL_ACTIVE);
                WaitForSingleObject(process.hProcess, INFINITE);
                break;
            }
        }
        Drain(readEnd, &text);
        GetExitCodeProcess(process.hProcess, &exitCode);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(readEnd);

    output->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r' || i + 1 == text.size() || text[i + 1] != '\n') {
            *output += text[i];
        }
    }
    return exitCode;
}

}  // namespace testsupport
