// The companion's running parts: the pipe it listens on, its icons, its window.
#pragma once

#include <windows.h>

#include <atomic>

#include "tray/tray.h"

namespace tray {

// Shared by the window and the listener thread.
struct ListenerLink {
    HANDLE quit;    // set when the companion ends
    HANDLE wanted;  // set for every refresh the listener asks for
    std::atomic<bool> taken{false};
};

// Owns "\\.\pipe\kelvarantray" until quit is set, and sets wanted for every state-change word.
// While another process holds the name it sets taken, asks for a refresh every 5 s and tries
// again.
DWORD WINAPI ListenerThread(void* link);

// A monitor whose screen has the severity's colour, drawn at run time for the icon and the menu.
HICON DrawIcon(Severity severity, int size);
HBITMAP DrawBitmap(Severity severity, int size);

// Runs the companion until its Exit. Returns the process's exit code.
int RunCompanion(HINSTANCE instance);

}  // namespace tray
