#include "common/common.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <vector>

namespace standin {

std::atomic<long> g_liveObjects{0};

namespace {

struct StateNames {
    const char* word;
    const char* name;
};

const StateNames kStateNames[] = {
    {"null", "Null"},
    {"poweroff", "PoweredOff"},
    {"saved", "Saved"},
    {"teleported", "Teleported"},
    {"aborted", "Aborted"},
    {"running", "Running"},
    {"paused", "Paused"},
    {"gurumeditation", "Stuck"},
    {"teleporting", "Teleporting"},
    {"livesnapshotting", "LiveSnapshotting"},
    {"starting", "Starting"},
    {"stopping", "Stopping"},
    {"saving", "Saving"},
    {"restoring", "Restoring"},
    {"teleportingpausedvm", "TeleportingPausedVM"},
    {"teleportingin", "TeleportingIn"},
    {"faulttolerantsyncing", "FaultTolerantSyncing"},
    {"deletingsnapshotlive", "DeletingSnapshotOnline"},
    {"deletingsnapshotlivepaused", "DeletingSnapshotPaused"},
    {"onlinesnapshotting", "OnlineSnapshotting"},
    {"restoringsnapshot", "RestoringSnapshot"},
    {"deletingsnapshot", "DeletingSnapshot"},
    {"settingup", "SettingUp"},
    {"snapshotting", "Snapshotting"},
    {"abortedsaved", "AbortedSaved"},
};

struct ReleaseFacts {
    const char* name;
    const wchar_t* version;
};

const ReleaseFacts kReleases[kReleaseCount] = {
    {"5.0", L"5.0.40"}, {"6.1", L"6.1.50"}, {"7.0", L"7.0.20"}};

struct NamedCode {
    HRESULT hr;
    const char* name;
};

const NamedCode kCodeNames[] = {
    {S_OK, "S_OK"},
    {static_cast<HRESULT>(0x80BB0001), "VBOX_E_OBJECT_NOT_FOUND"},
    {static_cast<HRESULT>(0x80BB0002), "VBOX_E_INVALID_VM_STATE"},
    {static_cast<HRESULT>(0x80BB0003), "VBOX_E_VM_ERROR"},
    {static_cast<HRESULT>(0x80BB0004), "VBOX_E_FILE_ERROR"},
    {static_cast<HRESULT>(0x80BB0005), "VBOX_E_IPRT_ERROR"},
    {static_cast<HRESULT>(0x80BB0006), "VBOX_E_PDM_ERROR"},
    {static_cast<HRESULT>(0x80BB0007), "VBOX_E_INVALID_OBJECT_STATE"},
    {static_cast<HRESULT>(0x80BB0008), "VBOX_E_HOST_ERROR"},
    {static_cast<HRESULT>(0x80BB0009), "VBOX_E_NOT_SUPPORTED"},
    {static_cast<HRESULT>(0x80BB000A), "VBOX_E_XML_ERROR"},
    {static_cast<HRESULT>(0x80BB000B), "VBOX_E_INVALID_SESSION_STATE"},
    {static_cast<HRESULT>(0x80BB000C), "VBOX_E_OBJECT_IN_USE"},
    {E_FAIL, "E_FAIL"},
    {E_INVALIDARG, "E_INVALIDARG"},
    {E_NOTIMPL, "E_NOTIMPL"},
    {E_NOINTERFACE, "E_NOINTERFACE"},
    {E_POINTER, "E_POINTER"},
    {E_OUTOFMEMORY, "E_OUTOFMEMORY"},
    {E_ACCESSDENIED, "E_ACCESSDENIED"},
    {E_UNEXPECTED, "E_UNEXPECTED"},
    {RPC_E_DISCONNECTED, "RPC_E_DISCONNECTED"},
    {static_cast<HRESULT>(0x800706BA), "RPC_S_SERVER_UNAVAILABLE"},
    {static_cast<HRESULT>(0x800706BE), "RPC_S_CALL_FAILED"},
    {static_cast<HRESULT>(0x800706BF), "RPC_S_CALL_FAILED_DNE"},
    {REGDB_E_CLASSNOTREG, "REGDB_E_CLASSNOTREG"},
    {CO_E_SERVER_EXEC_FAILURE, "CO_E_SERVER_EXEC_FAILURE"},
};

std::mutex g_journalLock;
HANDLE g_journal = INVALID_HANDLE_VALUE;
HANDLE g_journalWriters = nullptr;  // lives as long as the process

struct InterfaceFacts {
    IID iid;
    ITypeInfo* vtable;
};

// The type libraries and what was looked up in them, never released.
std::mutex g_typeLibLock;
std::wstring g_typeLibFile;
ITypeLib* g_typeLibs[kReleaseCount] = {};
std::map<std::wstring, InterfaceFacts> g_interfaces[kReleaseCount];

std::atomic<int> g_processRelease{kRelease50};
std::atomic<bool> g_typeInfoOffered{true};

std::wstring GuidKey(REFGUID guid) {
    wchar_t key[40];
    StringFromGUID2(guid, key, 40);
    return key;
}

// The type information of the release's interface that has the name of the 5.0 one with this
// id (the type of a dual interface's entry: its dispatch side), or nullptr.
ITypeInfo* ReleaseEntryLocked(VBoxRelease release, REFIID iid) {
    ITypeLib* base = g_typeLibs[kRelease50];
    ITypeLib* library = g_typeLibs[release];
    ITypeInfo* found = nullptr;
    if (!base || !library || FAILED(base->GetTypeInfoOfGuid(iid, &found)) ||
        release == kRelease50) {
        return found;
    }
    BSTR name = nullptr;
    found->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr);
    found->Release();
    found = nullptr;
    for (UINT i = 0; name && !found && i < library->GetTypeInfoCount(); ++i) {
        BSTR other = nullptr;
        if (SUCCEEDED(library->GetDocumentation(static_cast<INT>(i), &other, nullptr, nullptr,
                                                nullptr)) &&
            other && wcscmp(name, other) == 0) {
            library->GetTypeInfo(i, &found);
        }
        SysFreeString(other);
    }
    SysFreeString(name);
    return found;
}

const InterfaceFacts& InterfaceLocked(VBoxRelease release, REFIID iid) {
    std::wstring key = GuidKey(iid);
    auto known = g_interfaces[release].find(key);
    if (known != g_interfaces[release].end()) {
        return known->second;
    }
    InterfaceFacts facts = {GUID_NULL, nullptr};
    if (ITypeInfo* entry = ReleaseEntryLocked(release, iid)) {
        TYPEATTR* attributes = nullptr;
        if (SUCCEEDED(entry->GetTypeAttr(&attributes))) {
            facts.iid = attributes->guid;
            entry->ReleaseTypeAttr(attributes);
        }
        // A dual interface's entry describes its dispatch side; the vtable side is the one that
        // ITypeInfo::Invoke needs to call the members directly.
        HREFTYPE ref = 0;
        if (SUCCEEDED(entry->GetRefTypeOfImplType(-1, &ref))) {
            entry->GetRefTypeInfo(ref, &facts.vtable);
        }
        entry->Release();
    }
    return g_interfaces[release][key] = facts;
}

}  // namespace

const char* ReleaseName(VBoxRelease release) {
    return kReleases[release].name;
}

bool ParseRelease(const std::wstring& name, VBoxRelease* release) {
    for (int r = 0; r < kReleaseCount; ++r) {
        if (name == Wide(kReleases[r].name)) {
            *release = static_cast<VBoxRelease>(r);
            return true;
        }
    }
    return false;
}

const wchar_t* ReleaseVersion(VBoxRelease release) {
    return kReleases[release].version;
}

// 6.1 dropped FaultTolerantSyncing, and the states after it moved down by one; 7.0 put
// AbortedSaved after Aborted, and the states after it moved up by one.
LONG ReleaseStateNumber(VBoxRelease release, LONG state) {
    if (state < 0 || state > kLastState) {
        return -1;
    }
    if (state == kAbortedSaved) {
        return release == kRelease70 ? kAborted + 1 : -1;
    }
    if (release == kRelease50) {
        return state;
    }
    if (state == kFaultTolerantSyncing) {
        return -1;
    }
    LONG number = state > kFaultTolerantSyncing ? state - 1 : state;
    return release == kRelease70 && state > kAborted ? number + 1 : number;
}

LONG StateOfReleaseNumber(VBoxRelease release, LONG number) {
    for (LONG state = 0; state <= kLastState && number >= 0; ++state) {
        if (ReleaseStateNumber(release, state) == number) {
            return state;
        }
    }
    return -1;
}

const char* MachineStateWord(LONG state) {
    if (state < 0 || state > kLastState) {
        return "unknown";
    }
    return kStateNames[state].word;
}

const char* MachineStateName(LONG state) {
    if (state < 0 || state > kLastState) {
        return "Unknown";
    }
    return kStateNames[state].name;
}

const char* HresultName(HRESULT hr) {
    for (const NamedCode& code : kCodeNames) {
        if (code.hr == hr) {
            return code.name;
        }
    }
    return nullptr;
}

std::string Utf8(const wchar_t* text, size_t length) {
    if (length == 0) {
        return std::string();
    }
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr,
                                    nullptr);
    std::string out(bytes, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), &out[0], bytes, nullptr,
                        nullptr);
    return out;
}

std::string Utf8(const std::wstring& text) {
    return Utf8(text.data(), text.size());
}

std::wstring Wide(const std::string& text) {
    if (text.empty()) {
        return std::wstring();
    }
    int chars =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(chars, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], chars);
    return out;
}

std::wstring ModuleFolder(HMODULE module) {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
    std::wstring folder(path, length);
    size_t slash = folder.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring(L".") : folder.substr(0, slash);
}

std::string HexCode(HRESULT hr) {
    char text[16];
    snprintf(text, sizeof(text), "0x%08lx", static_cast<unsigned long>(hr));
    return text;
}

std::string Quoted(const std::wstring& text) {
    std::string out = "\"";
    for (char c : Utf8(text)) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                out += c;
        }
    }
    return out + "\"";
}

void JournalOpen(const std::wstring& path) {
    std::lock_guard<std::mutex> hold(g_journalLock);
    if (g_journal != INVALID_HANDLE_VALUE) {
        CloseHandle(g_journal);
        g_journal = INVALID_HANDLE_VALUE;
    }
    if (path.empty()) {
        return;
    }
    // Append-only access: every WriteFile lands at the end of the file, whoever else writes.
    g_journal = CreateFileW(path.c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    // Under Wine an append is not atomic across processes, and the server and every client's
    // Session DLL write the one journal: a mutex of the name makes each line whole.
    if (g_journalWriters == nullptr) {
        g_journalWriters = CreateMutexW(nullptr, FALSE, L"Local\\standin-journal");
    }
}

void JournalWrite(const char* member, const std::string& args, HRESULT hr, const std::string& value,
                  const std::wstring& machine) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    char head[64];
    snprintf(head, sizeof(head), "%02u:%02u:%02u.%03u %lu ", now.wHour, now.wMinute, now.wSecond,
             now.wMilliseconds, GetCurrentProcessId());
    std::string line = head;
    line += member;
    line += "(" + args + ") -> " + HexCode(hr);
    if (!value.empty()) {
        line += " = " + value;
    }
    if (!machine.empty()) {
        line += " @" + Quoted(machine);
    }
    line += "\r\n";
    std::lock_guard<std::mutex> hold(g_journalLock);
    if (g_journal == INVALID_HANDLE_VALUE) {
        return;
    }
    // WAIT_ABANDONED (a writer that died) hands the mutex on all the same.
    bool held =
        g_journalWriters != nullptr && WaitForSingleObject(g_journalWriters, 5000) != WAIT_TIMEOUT;
    DWORD written = 0;
    WriteFile(g_journal, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    if (held) {
        ReleaseMutex(g_journalWriters);
    }
}

HRESULT LoadStandinTypeLib(const std::wstring& path, VBoxRelease release) {
    std::lock_guard<std::mutex> hold(g_typeLibLock);
    if (g_typeLibFile.empty()) {
        g_typeLibFile = path;
    }
    HRESULT hr = S_OK;
    for (VBoxRelease r : {kRelease50, release}) {
        if (!g_typeLibs[r] && SUCCEEDED(hr)) {
            std::wstring file =
                g_typeLibFile + (r == kRelease50 ? L"" : L"\\" + std::to_wstring(r + 1));
            hr = LoadTypeLibEx(file.c_str(), REGKIND_NONE, &g_typeLibs[r]);
        }
    }
    return hr;
}

const IID& ReleaseIid(VBoxRelease release, REFIID iid) {
    std::lock_guard<std::mutex> hold(g_typeLibLock);
    return InterfaceLocked(release, iid).iid;
}

ITypeInfo* InterfaceTypeInfo(VBoxRelease release, REFIID iid) {
    std::lock_guard<std::mutex> hold(g_typeLibLock);
    return InterfaceLocked(release, iid).vtable;
}

void SetProcessRelease(VBoxRelease release) {
    g_processRelease = release;
}

VBoxRelease ProcessRelease() {
    return static_cast<VBoxRelease>(g_processRelease.load());
}

void OfferTypeInfo(bool on) {
    g_typeInfoOffered = on;
}

bool TypeInfoOffered() {
    return g_typeInfoOffered;
}

namespace {

// Answers QueryInterface for the interfaces it is marshalled as (and nothing else: not IMarshal
// and the like, which COM asks for). No call ever reaches it, as its marshal data is never
// unmarshalled. Lives as long as the process.
class StubAnchor : public IDispatch {
public:
    void Add(const IID* iids, size_t count) {
        std::lock_guard<std::mutex> hold(lock_);
        iids_.insert(iids_.end(), iids, iids + count);
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        *out = nullptr;
        std::lock_guard<std::mutex> hold(lock_);
        bool known = iid == IID_IUnknown || iid == IID_IDispatch ||
                     std::find(iids_.begin(), iids_.end(), iid) != iids_.end();
        if (!known) {
            return E_NOINTERFACE;
        }
        *out = static_cast<IDispatch*>(this);
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override {
        return 2;
    }
    ULONG STDMETHODCALLTYPE Release() override {
        return 1;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                     UINT*) override {
        return E_NOTIMPL;
    }

private:
    std::mutex lock_;
    std::vector<IID> iids_;
};

StubAnchor g_anchor;

}  // namespace

HRESULT CreateVirtualBoxObject(REFIID iid, void** out) {
    HRESULT hr = E_FAIL;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (attempt > 0) {
            Sleep(200);
        }
        hr = CoCreateInstance(CLSID_VirtualBox, nullptr, CLSCTX_LOCAL_SERVER, iid, out);
        if (hr != HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE) && hr != RPC_E_DISCONNECTED &&
            hr != CO_E_SERVER_STOPPING && hr != HRESULT_FROM_WIN32(RPC_S_CALL_FAILED) &&
            hr != HRESULT_FROM_WIN32(RPC_S_CALL_FAILED_DNE) &&
            hr != HRESULT_FROM_WIN32(RPC_S_UNKNOWN_IF)) {
            break;
        }
    }
    return hr;
}

HRESULT PinInterfaceStubs(const IID* iids, size_t count) {
    g_anchor.Add(iids, count);
    HRESULT result = S_OK;
    for (size_t i = 0; i < count; ++i) {
        IStream* stream = nullptr;
        HRESULT hr = CreateStreamOnHGlobal(nullptr, TRUE, &stream);
        if (SUCCEEDED(hr)) {
            // The marshal data is never released: its stub lives until the process ends.
            hr = CoMarshalInterface(stream, iids[i], &g_anchor, MSHCTX_LOCAL, nullptr,
                                    MSHLFLAGS_TABLESTRONG);
            stream->Release();
        }
        if (FAILED(hr)) {
            result = hr;
        }
    }
    return result;
}

void SetErrorText(REFIID iid, const std::wstring& text) {
    ICreateErrorInfo* create = nullptr;
    if (FAILED(CreateErrorInfo(&create))) {
        return;
    }
    create->SetGUID(iid);
    create->SetSource(const_cast<LPOLESTR>(L"VirtualBox"));
    create->SetDescription(const_cast<LPOLESTR>(text.c_str()));
    IErrorInfo* info = nullptr;
    if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
        SetErrorInfo(0, info);
        info->Release();
    }
    create->Release();
}

}  // namespace standin
