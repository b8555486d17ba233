// The control pipe: a named pipe on which the tray companion asks about the machine, the four
// machine status queries that answer it, and the notification written to the companion's pipe.
#pragma once

#include <windows.h>

#include <string>

// Every message on either pipe is one 32-bit little-endian word.
enum PipeRequest : DWORD {
    RequestVrdeEnabled = 256,
    RequestVrdePort = 257,
    RequestScreenSize = 258,
    RequestMachineState = 259,
};
constexpr DWORD WakeWord = 0;
constexpr DWORD TrayStateChanged = 512;

constexpr char ControlPipePrefix[] = "\\\\.\\pipe\\kelvaran";
constexpr char TrayPipeName[] = "\\\\.\\pipe\\kelvarantray";

// CreateFile flags for every client of either pipe: the pipe's owner may learn who its client is
// but never act as it (the service runs as LocalSystem, and anyone may own the companion's pipe).
constexpr DWORD IdentifyOnly = SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;

// Forms "<prefix>.<VmName>" in UTF-16. Returns 0, leaving nothing usable, when that is longer than
// the 255 characters a pipe's name may have: a name cut short would be another machine's.
int FormControlPipeName(std::wstring* name);

// Thread body, started with _beginthread. Ends when it cannot take the pipe's name as its first
// instance, or after StopControlPipeServer, having closed every instance. A later failure to make
// an instance is retried: the instances it holds keep the name meanwhile.
void ControlPipeServerThread(void* unused);

// Ends the server and waits for its end, at most bound ms: a query that never returns from
// VirtualBox holds it.
void StopControlPipeServer(DWORD bound);
void NotifyTray();

// The machine's facts for one request each; 0 whenever a step fails. Callers hold the link open
// (BeginLinkUse) while a query runs.
DWORD QueryVrdeEnabled();
DWORD QueryVrdePort();
DWORD QueryScreenSize();
DWORD QueryMachineState();
