// kelvaran-query: the administrator's window into a running service. Asks the control pipe of a
// machine's service its four questions, or listens on the tray companion's pipe for the
// service's state-change notifications.
#include <windows.h>

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "config/config.h"
#include "pipe/pipe.h"
#include "vbox/vbox.h"

// How long a question may take, from the connection to the reply, unless --timeout says.
static const DWORD QuestionTimeout = 10000;

struct Question {
    const char* word;
    DWORD request;
    const char* label;
};

static const Question Questions[] = {
    {"state", RequestMachineState, "State"},
    {"screen", RequestScreenSize, "Screen"},
    {"vrdeport", RequestVrdePort, "VRDE port"},
    {"vrde", RequestVrdeEnabled, "VRDE"},
};

static int Usage() {
    ConsolePrint(
        STD_OUTPUT_HANDLE,
        "Usage:\n"
        "  kelvaran-query VMNAME [state|screen|vrdeport|vrde|all] [--raw] [--timeout SECONDS]\n"
        "      Ask the service that runs VMNAME (default: all four questions), each question\n"
        "      within SECONDS (default 10). --raw prints each reply word in hex.\n"
        "  kelvaran-query --listen [COUNT] [--timeout SECONDS]\n"
        "      Play the tray companion: print each state-change notification as it arrives,\n"
        "      and end after COUNT of them or after SECONDS.\n");
    return 1;
}

// Waits until deadline at most for an overlapped transfer of wanted bytes, which is cancelled
// then. Returns 1 when all of it was done, 0 with a Windows error code.
static int Finish(HANDLE pipe, OVERLAPPED* io, BOOL started, DWORD wanted, ULONGLONG deadline,
                  DWORD* error) {
    *error = started ? ERROR_SUCCESS : GetLastError();
    if (!started && (*error != ERROR_IO_PENDING)) {
        return 0;
    }
    ULONGLONG now = GetTickCount64();
    bool late = WaitForSingleObject(io->hEvent, deadline > now ? static_cast<DWORD>(deadline - now)
                                                               : 0) != WAIT_OBJECT_0;
    if (late) {
        CancelIo(pipe);
    }
    DWORD moved = 0;
    BOOL done = GetOverlappedResult(pipe, io, &moved, TRUE);
    DWORD failure = done ? ERROR_SUCCESS : GetLastError();
    if (done && (moved == wanted)) {
        return 1;
    }
    *error = late ? ERROR_TIMEOUT : done ? ERROR_NO_DATA : failure;
    return 0;
}

// One request over a fresh connection, answered within timeout ms: a service whose query is stuck
// in a wedged VM process never answers. Returns 1 with the reply, 0 with a Windows error code.
static int Ask(const wchar_t* pipeName, DWORD request, DWORD timeout, DWORD* reply, DWORD* error) {
    const ULONGLONG deadline = GetTickCount64() + timeout;
    HANDLE pipe = INVALID_HANDLE_VALUE;
    for (;;) {
        pipe = CreateFileW(pipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED | IdentifyOnly, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) {
            break;
        }
        *error = GetLastError();
        // Busy: every instance the service holds is taken; one frees within seconds.
        ULONGLONG now = GetTickCount64();
        if ((*error != ERROR_PIPE_BUSY) || (now >= deadline) ||
            !WaitNamedPipeW(pipeName, static_cast<DWORD>(deadline - now))) {
            return 0;
        }
    }
    OVERLAPPED io = {};
    io.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    int answered = 0;
    if (io.hEvent == nullptr) {
        *error = GetLastError();
    } else if (Finish(pipe, &io, WriteFile(pipe, &request, sizeof(request), nullptr, &io),
                      sizeof(request), deadline, error)) {
        ResetEvent(io.hEvent);
        answered = Finish(pipe, &io, ReadFile(pipe, reply, sizeof(*reply), nullptr, &io),
                          sizeof(*reply), deadline, error);
    }
    if (io.hEvent != nullptr) {
        CloseHandle(io.hEvent);
    }
    CloseHandle(pipe);
    return answered;
}

// A whole number from 1 to limit, in decimal digits alone; anything else is bad input.
static bool ParsePositive(const char* text, unsigned long limit, unsigned long* value) {
    char* end = nullptr;
    unsigned long parsed = ((text[0] >= '0') && (text[0] <= '9')) ? strtoul(text, &end, 10) : 0;
    if ((end == nullptr) || (*end != '\0') || (parsed == 0) || (parsed > limit)) {
        return false;
    }
    *value = parsed;
    return true;
}

// "--timeout SECONDS" at argv[*i]: the milliseconds, *i moved past it. false for anything else.
static bool ParseTimeout(const std::vector<std::string>& argv, size_t* i, DWORD* timeout) {
    unsigned long value = 0;
    if ((argv[*i] != "--timeout") || (*i + 1 >= argv.size()) ||
        !ParsePositive(argv[*i + 1].c_str(), (INFINITE - 1) / 1000, &value)) {
        return false;
    }
    *timeout = static_cast<DWORD>(value * 1000);
    ++*i;
    return true;
}

static void PrintAnswer(const Question& question, DWORD reply, bool raw) {
    if (raw) {
        ConsolePrint(STD_OUTPUT_HANDLE, "%s: 0x%08lx\n", question.label,
                     static_cast<unsigned long>(reply));
        return;
    }
    switch (question.request) {
        case RequestMachineState: {
            // The service replies in VirtualBox 5.0's numbering, whatever the release.
            const char* name = reply < static_cast<DWORD>(MachineStateCount)
                                   ? MachineStateNames[reply]
                                   : "unknown";
            ConsolePrint(STD_OUTPUT_HANDLE, "%s: %s (%lu)\n", question.label, name,
                         static_cast<unsigned long>(reply));
            break;
        }
        case RequestScreenSize:
            ConsolePrint(STD_OUTPUT_HANDLE, "%s: %lux%lu\n", question.label,
                         static_cast<unsigned long>(reply & 0xFFFF),
                         static_cast<unsigned long>(reply >> 16));
            break;
        case RequestVrdePort:
            ConsolePrint(STD_OUTPUT_HANDLE, "%s: %ld\n", question.label,
                         static_cast<long>(static_cast<LONG>(reply)));
            break;
        default:
            ConsolePrint(STD_OUTPUT_HANDLE, "%s: %s\n", question.label,
                         reply != 0 ? "enabled" : "disabled");
            break;
    }
}

static int Query(const std::vector<std::string>& argv) {
    const char* what = "all";
    bool raw = false;
    DWORD timeout = QuestionTimeout;
    for (size_t i = 2; i < argv.size(); ++i) {
        if (argv[i] == "--raw") {
            raw = true;
        } else if (argv[i] == "--timeout") {
            if (!ParseTimeout(argv, &i, &timeout)) {
                return Usage();
            }
        } else {
            what = argv[i].c_str();
        }
    }
    // The machine's name goes into the pipe's name whole, as the service forms it.
    const std::wstring pipeName = Wide(ControlPipePrefix) + L"." + Wide(argv[1].c_str());
    if (pipeName.size() > 255) {
        ConsolePrint(STD_ERROR_HANDLE, "The machine name is too long for a pipe name.\n");
        return 1;
    }
    int asked = 0;
    for (const Question& question : Questions) {
        if ((strcmp(what, "all") != 0) && (strcmp(what, question.word) != 0)) {
            continue;
        }
        ++asked;
        DWORD reply = 0;
        DWORD error = 0;
        if (Ask(pipeName.c_str(), question.request, timeout, &reply, &error) == 0) {
            ConsolePrint(STD_OUTPUT_HANDLE, "No answer from %s (error %lu)\n",
                         Utf8(pipeName.c_str()).c_str(), static_cast<unsigned long>(error));
            return 2;
        }
        PrintAnswer(question, reply, raw);
    }
    return asked != 0 ? 0 : Usage();
}

// State shared by the listening threads: how many notifications are still wanted.
static volatile LONG Remaining = -1;
static volatile LONG ListenFailed = 0;
static HANDLE Done = nullptr;

static DWORD WINAPI ListenThread(void*) {
    for (;;) {
        HANDLE pipe = CreateNamedPipeW(Wide(TrayPipeName).c_str(), PIPE_ACCESS_DUPLEX, 0,
                                       PIPE_UNLIMITED_INSTANCES, 16, 16, 0, nullptr);
        if (pipe == INVALID_HANDLE_VALUE) {
            DWORD error = GetLastError();
            ConsolePrint(STD_ERROR_HANDLE, "Cannot listen on %s (error %lu)\n", TrayPipeName,
                         static_cast<unsigned long>(error));
            InterlockedExchange(&ListenFailed, 1);
            SetEvent(Done);
            return 1;
        }
        if (ConnectNamedPipe(pipe, nullptr) || (GetLastError() == ERROR_PIPE_CONNECTED)) {
            DWORD word = 0;
            DWORD bytes = 0;
            if (ReadFile(pipe, &word, sizeof(word), &bytes, nullptr) && (bytes == sizeof(word))) {
                SYSTEMTIME now;
                GetLocalTime(&now);
                ConsolePrint(STD_OUTPUT_HANDLE, "[%02u:%02u:%02u.%03u] %s 0x%08lx\n", now.wHour,
                             now.wMinute, now.wSecond, now.wMilliseconds,
                             word == TrayStateChanged ? "machine state changed" : "unknown word",
                             static_cast<unsigned long>(word));
                if (InterlockedDecrement(&Remaining) == 0) {
                    SetEvent(Done);
                }
            }
            DisconnectNamedPipe(pipe);
        }
        CloseHandle(pipe);
    }
}

static int Listen(const std::vector<std::string>& argv) {
    DWORD timeout = INFINITE;
    bool counted = false;
    for (size_t i = 2; i < argv.size(); ++i) {
        unsigned long value = 0;
        if (ParseTimeout(argv, &i, &timeout)) {
            continue;
        }
        if (!counted && ParsePositive(argv[i].c_str(), LONG_MAX, &value)) {
            Remaining = static_cast<LONG>(value);
            counted = true;
        } else {
            return Usage();
        }
    }
    Done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ConsolePrint(STD_OUTPUT_HANDLE, "Listening on %s\n", TrayPipeName);
    // Several waiting instances, so notifications from several services are not turned away.
    for (int i = 0; i < 4; ++i) {
        CloseHandle(CreateThread(nullptr, 0, ListenThread, nullptr, 0, nullptr));
    }
    WaitForSingleObject(Done, timeout);
    return ListenFailed != 0 ? 2 : 0;
}

int wmain(int argc, wchar_t** wideArgv) {
    std::vector<std::string> argv;
    for (int i = 0; i < argc; ++i) {
        argv.push_back(Utf8(wideArgv[i]));
    }
    if (argc < 2) {
        return Usage();
    }
    if (argv[1] == "--listen") {
        return Listen(argv);
    }
    if (argv[1][0] == '-') {
        return Usage();
    }
    return Query(argv);
}
