// The companion's running parts: the pipe it listens on, its icons, its window.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

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

// A monitor whose screen shows the severity by colour and shape, drawn at run time for the icon
// and the menu; in the system's colours for high contrast.
HICON DrawIcon(Severity severity, int size, bool highContrast);
// The icon's pixels as drawn for a taskbar in colour: size * size, top-down, premultiplied
// 0xAARRGGBB, each opaque or 0.
std::vector<DWORD> IconPixels(Severity severity, int size);
// Every state at 100, 150 and 200 % on a light and a dark taskbar, as a 32-bit BMP file.
// Returns 0 or the Windows error.
DWORD WriteIconSheet(const std::wstring& path);

// Runs the companion until its Exit. Returns the process's exit code. tellWhere: it tells in a
// balloon where its icon is (at the first start by hand).
int RunCompanion(HINSTANCE instance, bool tellWhere);
// Asks the companion already running in this session to show where it is. Returns 0 or the
// Windows error.
DWORD ShowRunningCompanion();

}  // namespace tray
