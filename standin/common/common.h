// Helpers shared by the stand-in's executables: text conversion, paths, HRESULT names, the
// journal and the type library.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>

#include "VirtualBox.h"

namespace standin {

// VirtualBox's own result codes.
constexpr HRESULT kObjectNotFound = static_cast<HRESULT>(0x80BB0001);
constexpr HRESULT kInvalidVmState = static_cast<HRESULT>(0x80BB0002);
constexpr HRESULT kVmError = static_cast<HRESULT>(0x80BB0003);
constexpr HRESULT kFileError = static_cast<HRESULT>(0x80BB0004);
constexpr HRESULT kIprtError = static_cast<HRESULT>(0x80BB0005);
constexpr HRESULT kInvalidObjectState = static_cast<HRESULT>(0x80BB0007);
constexpr HRESULT kObjectInUse = static_cast<HRESULT>(0x80BB000C);

// The "result" of a fault that makes its member hang, as a call into a wedged VM process does,
// until the faults are cleared; the call then runs as if it had only been slow.
constexpr HRESULT kHangFault = S_FALSE;

// The releases the server can play.
enum VBoxRelease : int { kRelease50, kRelease61, kRelease70 };
constexpr int kReleaseCount = 3;

// "5.0", "6.1", "7.0"; and back (false for anything else).
const char* ReleaseName(VBoxRelease release);
bool ParseRelease(const std::wstring& name, VBoxRelease* release);
// VirtualBox.Version of the release: "5.0.40", "6.1.50", "7.0.20".
const wchar_t* ReleaseVersion(VBoxRelease release);

// Machine states in the stand-in's own numbering: 5.0's, plus 7.0's AbortedSaved after the last
// of them. The model and the settings file use it; each release numbers the states its own way
// (ReleaseStateNumber), and clients only ever see that.
enum MachineStateValue : LONG {
    kStateNull = 0,
    kPoweredOff = 1,
    kSaved = 2,
    kTeleported = 3,
    kAborted = 4,
    kRunning = 5,
    kPaused = 6,
    kStuck = 7,
    kTeleporting = 8,
    kLiveSnapshotting = 9,
    kStarting = 10,
    kStopping = 11,
    kSaving = 12,
    kRestoring = 13,
    kTeleportingPausedVm = 14,
    kTeleportingIn = 15,
    kFaultTolerantSyncing = 16,
    kDeletingSnapshotOnline = 17,
    kDeletingSnapshotPaused = 18,
    kOnlineSnapshotting = 19,
    kRestoringSnapshot = 20,
    kDeletingSnapshot = 21,
    kSettingUp = 22,
    kSnapshotting = 23,
    kAbortedSaved = 24,
    kLastState = kAbortedSaved,
};
// A state in the release's numbering, or -1 for a state the release does not have; and back.
LONG ReleaseStateNumber(VBoxRelease release, LONG state);
LONG StateOfReleaseNumber(VBoxRelease release, LONG number);

// Session states and types, lock types and event types.
enum SessionStateValue : LONG { kSessionUnlocked = 1, kSessionLocked = 2, kSessionSpawning = 3 };
enum SessionTypeValue : LONG {
    kSessionTypeNull = 0,
    kSessionWriteLock = 1,
    kSessionRemote = 2,
    kSessionShared = 3
};
enum LockTypeValue : LONG { kLockShared = 1, kLockWrite = 2, kLockVm = 3 };
constexpr LONG kEventAny = 1;
constexpr LONG kOnMachineStateChanged = 32;

// Lower-case state words as VirtualBox's command-line tool prints them ("running", "poweroff"),
// and mixed-case names ("Running", "PoweredOff"), of a state in the stand-in's numbering.
const char* MachineStateWord(LONG state);
const char* MachineStateName(LONG state);
// "VBOX_E_OBJECT_NOT_FOUND", "E_FAIL", ... or nullptr for a code without a known name.
const char* HresultName(HRESULT hr);

// An owned BSTR made from a string, for [in] arguments.
class Bstr {
public:
    explicit Bstr(const std::wstring& text)
        : b_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
    ~Bstr() {
        SysFreeString(b_);
    }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    operator BSTR() const {
        return b_;
    }

private:
    BSTR b_;
};

std::string Utf8(const wchar_t* text, size_t length);
std::string Utf8(const std::wstring& text);
std::wstring Wide(const std::string& text);

// The folder holding the given module (nullptr: the executable), without a trailing backslash.
std::wstring ModuleFolder(HMODULE module);

// Text of an HRESULT as the journal writes it: 0x%08x.
std::string HexCode(HRESULT hr);
// A string as the journal writes it: in double quotes, with \" \\ \n \r \t escaped.
std::string Quoted(const std::wstring& text);

// The journal: one line per call, each written with a single append so that several processes
// can share the file. Lines look like
//   12:04:05.123 4242 Machine.LaunchVMProcess(Session, "headless", "") -> 0x00000000 = Progress
//   @"vm1"
// JournalOpen may be called again with another path; an empty path stops the journal.
void JournalOpen(const std::wstring& path);
void JournalWrite(const char* member, const std::string& args, HRESULT hr, const std::string& value,
                  const std::wstring& machine);

// Loads the stand-in's type libraries from the given file, an executable holding one per release
// as TYPELIB resources 1 (5.0), 2 (6.1) and 3 (7.0): 5.0's, whose interface ids are the header's,
// and the given release's. The first file given in a process is the one used; a library that
// loaded stays loaded.
HRESULT LoadStandinTypeLib(const std::wstring& path, VBoxRelease release = kRelease50);
// An interface of the given release, named by its 5.0 id (__uuidof): its id in that release
// (GUID_NULL when the loaded libraries do not have it), and its vtable type information (or
// nullptr). The private interfaces keep their ids in every release. Both live as long as the
// process.
const IID& ReleaseIid(VBoxRelease release, REFIID iid);
ITypeInfo* InterfaceTypeInfo(VBoxRelease release, REFIID iid);

// The release that this process's objects play unless they are told otherwise: 5.0 until the
// server sets the one it was started for.
void SetProcessRelease(VBoxRelease release);
VBoxRelease ProcessRelease();
// Whether IDispatch::GetTypeInfo answers, for every object of this process (default yes).
void OfferTypeInfo(bool on);
bool TypeInfoOffered();

// CoCreateInstance of the VirtualBox class (local server), tried again (up to three times, 200 ms
// apart) when it meets a server that is just ending: its last client gone, it revokes its class
// while a new client may already hold the class object, whose call then fails with an RPC error.
HRESULT CreateVirtualBoxObject(REFIID iid, void** out);

// Keeps one stub of each of these interfaces alive for the rest of the process (a table-strong
// marshal of an object that never answers a call). Wine's COM unregisters an interface's RPC
// endpoint when its last stub goes, and waits there for that interface's calls in progress while
// holding the lock that any call marshalling a new interface needs: a release racing such a call
// hangs the process. With a stub that never goes, the endpoint is never unregistered.
// Call in the multithreaded apartment; later calls add interfaces.
HRESULT PinInterfaceStubs(const IID* iids, size_t count);

// Marks the calling thread's error information with a description, so that an IDispatch caller
// finds it in EXCEPINFO beside the code.
void SetErrorText(REFIID iid, const std::wstring& text);

}  // namespace standin
