// Test equipment around the VirtualBox stand-in (standin/), for every group whose tests need a
// VirtualBox: find the stand-in's folder, run its tools, create and remove machines, wait for a
// machine's state, read its journal, and find or end its server process. A group that uses it
// registers the stand-in in its prefix with kelvaran_test_group(<group> STANDIN).
//
// Also: calls by name through IDispatch, as the service makes them, for tests that are COM
// clients themselves (initialise COM with COINIT_MULTITHREADED first).
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <string>
#include <vector>

#include "tests/support/support.h"

namespace standin_test {

// The stand-in's class ids, and VirtualBox 5.0's interface ids (a server playing a later release
// refuses them: see UseRelease).
extern const CLSID kClsidVirtualBox;
extern const CLSID kClsidSession;
extern const IID kIidVirtualBox;
extern const IID kIidSession;
extern const IID kIidMachineStateChangedEvent;

// VirtualBox's codes, and the machine states that tests meet most by VirtualBox 5.0's numbers,
// plus kAbortedSaved for 7.0's AbortedSaved, which 5.0 does not have. MachineState and
// WaitForMachineState use these whatever release the server plays.
constexpr HRESULT kObjectNotFound = static_cast<HRESULT>(0x80BB0001);
constexpr HRESULT kInvalidVmState = static_cast<HRESULT>(0x80BB0002);
constexpr HRESULT kInvalidObjectState = static_cast<HRESULT>(0x80BB0007);
enum : LONG {
    kPoweredOff = 1,
    kSaved = 2,
    kAborted = 4,
    kRunning = 5,
    kPaused = 6,
    kStarting = 10,
    kStopping = 11,
    kSaving = 12,
    kRestoring = 13,
    kAbortedSaved = 24
};

// ---- The stand-in's folder and tools --------------------------------------------------------

// The folder holding VBoxSVC.exe and its siblings (what VboxInstallPath names): the environment
// variable KELVARAN_STANDIN_DIR when set, else the build's "vbox" folder beside BinFolder().
std::string StandinFolder();

// Runs VBoxManage.exe or standin-ctl.exe of that folder with a command-line tail.
testsupport::ProcessResult VBoxManage(const std::string& arguments, DWORD timeoutMs = 60000);
testsupport::ProcessResult StandinCtl(const std::string& arguments, DWORD timeoutMs = 60000);

// Runs standin-ctl and adds a test failure unless it exits with 0.
void Ctl(const std::string& arguments);

// Makes the server play a release ("5.0", "6.1", "7.0") from its next start, and sees to it that
// the next start comes: a server playing another release is waited for briefly, then ended
// (KillVBoxSvc). Tests that change the release put back "5.0", which the others expect.
void UseRelease(const std::string& release);

// ---- Machines -------------------------------------------------------------------------------

// Registers a fresh machine of that name (an earlier one of the name is removed first) with quick
// timings: launch, power-off and save take the given milliseconds.
void CreateMachine(const std::string& name, int launchMs = 300, int powerOffMs = 200,
                   int saveMs = 200);
// Ends the machine's VM process if it runs, and unregisters it. Quiet when there is none.
void RemoveMachine(const std::string& name);
// The machine's state by the numbers above, or -1 when the stand-in does not know the machine.
LONG MachineState(const std::string& name);
// Polls the state until it is the wanted one; false after timeoutMs.
bool WaitForMachineState(const std::string& name, LONG state, DWORD timeoutMs = 10000);

// ---- The journal ----------------------------------------------------------------------------

// One journal line: "HH:MM:SS.mmm PID Object.Member(ARGS) -> 0xHRESULT[ = VALUE][ @"MACHINE"]".
struct JournalEntry {
    std::string time;
    DWORD pid = 0;
    std::string member;  // "Machine.LaunchVMProcess"
    std::string args;    // "Session, \"headless\", \"\""
    HRESULT result = S_OK;
    std::string value;    // "Progress", "5", "\"5.0.40\"", or empty
    std::string machine;  // the machine's name without quotes, or empty
    std::string line;     // the whole line
};

// Splits one line; false for a line that is not a call (notes start with '#').
bool ParseJournalLine(const std::string& line, JournalEntry* entry);

// The journal of the running server, read from a mark on: lines written before the reader was
// made are skipped, so tests need not empty a file that other processes keep open.
class JournalReader {
public:
    JournalReader();  // asks standin-ctl for the journal's path
    explicit JournalReader(const std::string& path);

    const std::string& Path() const {
        return path_;
    }
    // Every call line written since the mark, optionally only those of a machine.
    std::vector<JournalEntry> Entries(const std::string& machine = "") const;
    // Lines since the mark that could not be parsed (torn or interleaved writes).
    std::vector<std::string> BadLines() const;
    // Moves the mark to the journal's current end.
    void Mark();
    // Waits until a line with this member (and machine, if given) has been written.
    bool WaitFor(const std::string& member, const std::string& machine = "",
                 DWORD timeoutMs = 10000) const;

private:
    std::string Tail() const;

    std::string path_;
    unsigned long long mark_ = 0;
};

// Whether the members occur in this order among the entries (others may stand between).
bool InOrder(const std::vector<JournalEntry>& entries, const std::vector<std::string>& members);
// The members of the entries, in order.
std::vector<std::string> Members(const std::vector<JournalEntry>& entries);

// ---- The server process ---------------------------------------------------------------------

// The process id of a running VBoxSVC.exe of this prefix, or 0.
DWORD FindVBoxSvc();
// Whether a process of that id still runs.
bool ProcessAlive(DWORD pid);
// Waits for the process to end; false after timeoutMs.
bool WaitForExit(DWORD pid, DWORD timeoutMs);
// Makes servers that this process (or its children) start end ms after their last client
// instead of VirtualBox's 5 s: under Wine such a server holds this process's standard error open
// until it ends, and ctest waits for that. 0 restores the 5 s.
void SetServerIdleExit(DWORD ms);

// Kills every running VBoxSVC.exe of the prefix and waits for them to end (their machines'
// VM processes end by themselves), then restarts Wine's RPC service, which would otherwise keep
// handing the dead server's class object to new clients. The next client starts a new server.
void KillVBoxSvc();

// Holds the server's class object and one VirtualBox object from this process, for a test's
// duration, so that the server stays up for the whole test. Holding the class object also keeps
// Wine from ever unregistering IClassFactory's interface stub in the server: when a client drops
// the last class-object reference, Wine's COM calls RpcServerUnregisterIf and waits for the calls
// in progress while it holds the lock that every other call needs to marshal an interface, and
// the server deadlocks (seen as a service stuck creating its Session while its watcher polled).
class ServerHold {
public:
    ServerHold();
    ~ServerHold();
    ServerHold(const ServerHold&) = delete;
    ServerHold& operator=(const ServerHold&) = delete;

private:
    IClassFactory* factory_ = nullptr;
    IUnknown* virtualBox_ = nullptr;
};

// ---- IDispatch by name ----------------------------------------------------------------------

// An owned IDispatch pointer with by-name calls. Every call returns the member's HRESULT: the
// EXCEPINFO code when Invoke answers DISP_E_EXCEPTION (then InvokeResult() tells so).
class Disp {
public:
    Disp() = default;
    explicit Disp(IDispatch* adopted) : p_(adopted) {}
    Disp(const Disp& other);
    Disp& operator=(const Disp& other);
    ~Disp();

    IDispatch* get() const {
        return p_;
    }
    IDispatch** put();
    explicit operator bool() const {
        return p_ != nullptr;
    }

    // A property get or a method call; args in the member's order, taken over and cleared.
    HRESULT Call(const wchar_t* name, std::vector<VARIANT> args, VARIANT* result,
                 WORD flags = DISPATCH_METHOD | DISPATCH_PROPERTYGET) const;
    HRESULT Get(const wchar_t* name, VARIANT* result) const;
    // Shorthands: a property or method result of one type. Failures give 0, "" or null.
    HRESULT GetLong(const wchar_t* name, LONG* value) const;
    HRESULT GetString(const wchar_t* name, std::wstring* value) const;
    HRESULT GetObject(const wchar_t* name, Disp* object) const;
    HRESULT CallObject(const wchar_t* name, std::vector<VARIANT> args, Disp* object) const;

    // What the last call's Invoke itself returned (DISP_E_EXCEPTION for a failing member).
    HRESULT InvokeResult() const {
        return lastInvoke_;
    }
    // The description EXCEPINFO carried on the last failing call.
    const std::wstring& LastDescription() const {
        return lastDescription_;
    }

private:
    IDispatch* p_ = nullptr;
    mutable HRESULT lastInvoke_ = S_OK;
    mutable std::wstring lastDescription_;
};

// VARIANT makers for arguments: each owns its string or reference until a call clears it.
VARIANT VLong(LONG value);
VARIANT VString(const std::wstring& value);
VARIANT VObject(IDispatch* object);
VARIANT VNullString();
// A one-dimensional VT_ARRAY|VT_I4 (lower bound 0), as RegisterListener takes event types.
VARIANT VLongArray(const std::vector<LONG>& values);

// Creates the VirtualBox object and a Session object, as the service does, asking for 5.0's
// IVirtualBox and ISession (or IDispatch with iid IID_IDispatch). The first tries again when it
// meets a server that is just ending (RPC_S_SERVER_UNAVAILABLE or RPC_E_DISCONNECTED).
HRESULT CreateVirtualBox(Disp* vbox, REFIID iid = kIidVirtualBox);
HRESULT CreateSession(Disp* session, REFIID iid = kIidSession);

}  // namespace standin_test
