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

static const DWORD BusyWait = 5000;

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
        "  kelvaran-query VMNAME [state|screen|vrdeport|vrde|all] [--raw]\n"
        "      Ask the service that runs VMNAME (default: all four questions).\n"
        "      --raw prints each reply word in hex.\n"
        "  kelvaran-query --listen [COUNT] [--timeout SECONDS]\n"
        "      Play the tray companion: print each state-change notification as it arrives,\n"
        "      and end after COUNT of them or after SECONDS.\n");
    return 1;
}

// One request over a fresh connection. Returns 1 with the reply, 0 with a Windows error code.
static int Ask(const wchar_t* pipeName, DWORD request, DWORD* reply, DWORD* error) {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    for (;;) {
        pipe = CreateFileW(pipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           IdentifyOnly, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) {
            break;
        }
        *error = GetLastError();
        // Busy: every instance the service holds is taken; one frees within seconds.
        if ((*error != ERROR_PIPE_BUSY) || !WaitNamedPipeW(pipeName, BusyWait)) {
            return 0;
        }
    }
    int answered = 0;
    DWORD bytes = 0;
    if (!WriteFile(pipe, &request, sizeof(request), &bytes, nullptr)) {
        *error = GetLastError();
    } else if (!ReadFile(pipe, reply, sizeof(*reply), &bytes, nullptr)) {
        *error = GetLastError();
    } else if (bytes != sizeof(*reply)) {
        *error = ERROR_NO_DATA;
    } else {
        answered = 1;
    }
    CloseHandle(pipe);
    return answered;
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
    for (size_t i = 2; i < argv.size(); ++i) {
        if (argv[i] == "--raw") {
            raw = true;
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
        if (Ask(pipeName.c_str(), question.request, &reply, &error) == 0) {
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

static int Listen(const std::vector<std::string>& argv) {
    DWORD timeout = INFINITE;
    bool counted = false;
    for (size_t i = 2; i < argv.size(); ++i) {
        unsigned long value = 0;
        if ((argv[i] == "--timeout") && (i + 1 < argv.size()) &&
            ParsePositive(argv[i + 1].c_str(), (INFINITE - 1) / 1000, &value)) {
            timeout = static_cast<DWORD>(value * 1000);
            ++i;
        } else if (!counted && ParsePositive(argv[i].c_str(), LONG_MAX, &value)) {
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
