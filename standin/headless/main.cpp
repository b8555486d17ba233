// VBoxHeadless.exe of the stand-in: the process of a running machine. The server starts it and
// tells it to end (through the named event it passes) when the machine powers off or is saved;
// it also ends when the server goes away. Its death while the machine runs is an abort.
#include <windows.h>

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t** argv) {
    DWORD serverPid = 0;
    std::wstring stopEvent;
    std::wstring machine;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::wstring option = argv[i];
        if (option == L"--standin-server") {
            serverPid = wcstoul(argv[i + 1], nullptr, 10);
        } else if (option == L"--standin-stop") {
            stopEvent = argv[i + 1];
        } else if (option == L"--startvm" || option == L"-s") {
            machine = argv[i + 1];
        }
    }
    if (serverPid == 0 || stopEvent.empty() || machine.empty()) {
        fprintf(stderr,
                "VBoxHeadless (VirtualBox stand-in): machines are started by the server.\n"
                "Use: VBoxManage startvm NAME --type headless\n");
        return 2;
    }
    HANDLE waits[2] = {OpenProcess(SYNCHRONIZE, FALSE, serverPid),
                       OpenEventW(SYNCHRONIZE, FALSE, stopEvent.c_str())};
    if (!waits[0] || !waits[1]) {
        DWORD error = GetLastError();
        fprintf(stderr, "VBoxHeadless: cannot reach the server (error %lu)\n", error);
        return 1;
    }
    WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    CloseHandle(waits[1]);
    CloseHandle(waits[0]);
    return 0;
}
