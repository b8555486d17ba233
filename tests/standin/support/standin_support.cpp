#include "tests/standin/support/standin_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "standin/common/common.h"

namespace standin_test {

const CLSID kClsidVirtualBox = {
    0xB1A7A4F2, 0x47B9, 0x4A1E, {0x82, 0xB2, 0x07, 0xCC, 0xD5, 0x32, 0x3C, 0x3F}};
const CLSID kClsidSession = {
    0x3C02F46D, 0xC9D2, 0x4F11, {0xA3, 0x84, 0x53, 0xF0, 0xCF, 0x91, 0x72, 0x14}};
const IID kIidVirtualBox = {
    0x0169423F, 0x46B4, 0xCDE9, {0x91, 0xAF, 0x1E, 0x9D, 0x5B, 0x6C, 0xD9, 0x45}};
const IID kIidSession = {
    0x7844AA05, 0xB02E, 0x4CDD, {0xA0, 0x4F, 0xAD, 0xE4, 0xA7, 0x62, 0xE6, 0xB7}};
const IID kIidMachineStateChangedEvent = {
    0x5748F794, 0x48DF, 0x438D, {0x85, 0xEB, 0x98, 0xFF, 0xD7, 0x0D, 0x18, 0xC9}};

std::string StandinFolder() {
    char value[MAX_PATH] = "";
    DWORD length = GetEnvironmentVariableA("KELVARAN_STANDIN_DIR", value, sizeof value);
    std::string folder = length > 0 && length < sizeof value
                             ? std::string(value, length)
                             : testsupport::BinFolder() + "\\..\\vbox";
    char full[MAX_PATH] = "";
    GetFullPathNameA(folder.c_str(), sizeof full, full, nullptr);
    return full;
}

testsupport::ProcessResult VBoxManage(const std::string& arguments, DWORD timeoutMs) {
    return testsupport::RunProcess(StandinFolder() + "\\VBoxManage.exe", arguments, timeoutMs);
}

testsupport::ProcessResult StandinCtl(const std::string& arguments, DWORD timeoutMs) {
    return testsupport::RunProcess(StandinFolder() + "\\standin-ctl.exe", arguments, timeoutMs);
}

void Ctl(const std::string& arguments) {
    testsupport::ProcessResult result = StandinCtl(arguments);
    EXPECT_EQ(0u, result.exitCode) << "standin-ctl " << arguments << ":\n" << result.output;
}

void CreateMachine(const std::string& name, int launchMs, int powerOffMs, int saveMs) {
    RemoveMachine(name);
    testsupport::ProcessResult result = VBoxManage("createvm --name \"" + name + "\" --register");
    ASSERT_EQ(0u, result.exitCode) << result.output;
    Ctl("durations \"" + name + "\" " + std::to_string(launchMs) + " " +
        std::to_string(powerOffMs) + " " + std::to_string(saveMs));
}

void RemoveMachine(const std::string& name) {
    Ctl("remove \"" + name + "\"");
}

LONG MachineState(const std::string& name) {
    testsupport::ProcessResult result = StandinCtl("state \"" + name + "\"");
    // "6 Running": the number is the played release's, the name is the same in every release.
    std::istringstream line(result.output);
    LONG number = -1;
    std::string stateName;
    if (result.exitCode != 0 || !(line >> number >> stateName)) {
        return -1;
    }
    for (LONG state = 0; state <= standin::kLastState; ++state) {
        if (stateName == standin::MachineStateName(state)) {
            return state;
        }
    }
    return -1;
}

void UseRelease(const std::string& release) {
    // "6.1", or "6.1 (7.0 from the next start)".
    std::string shown = StandinCtl("release").output;
    std::string played = shown.substr(0, shown.find_first_of(" \r\n"));
    if (played == release && shown.find('(') == std::string::npos) {
        return;
    }
    Ctl("release " + release);
    DWORD pid = FindVBoxSvc();
    if (played != release && pid != 0 && !WaitForExit(pid, 2500)) {
        KillVBoxSvc();
    }
}

bool WaitForMachineState(const std::string& name, LONG state, DWORD timeoutMs) {
    ULONGLONG end = GetTickCount64() + timeoutMs;
    do {
        if (MachineState(name) == state) {
            return true;
        }
        Sleep(50);
    } while (GetTickCount64() < end);
    return false;
}

bool ParseJournalLine(const std::string& line, JournalEntry* entry) {
    // 12:04:05.123 4242 Machine.State() -> 0x00000000 = 5 @"vm1"
    size_t timeEnd = line.find(' ');
    size_t pidEnd = timeEnd == std::string::npos ? timeEnd : line.find(' ', timeEnd + 1);
    if (pidEnd == std::string::npos || timeEnd != 12) {
        return false;
    }
    size_t open = line.find('(', pidEnd);
    size_t arrow = line.rfind(") -> 0x");
    if (open == std::string::npos || arrow == std::string::npos || arrow < open ||
        line.size() < arrow + 15) {
        return false;
    }
    entry->line = line;
    entry->time = line.substr(0, timeEnd);
    entry->pid = strtoul(line.c_str() + timeEnd + 1, nullptr, 10);
    entry->member = line.substr(pidEnd + 1, open - pidEnd - 1);
    entry->args = line.substr(open + 1, arrow - open - 1);
    entry->result = static_cast<HRESULT>(strtoul(line.substr(arrow + 5, 10).c_str(), nullptr, 16));
    std::string rest = line.substr(arrow + 15);
    size_t at = rest.rfind(" @\"");
    if (at != std::string::npos && rest.back() == '"') {
        entry->machine = rest.substr(at + 3, rest.size() - at - 4);
        rest = rest.substr(0, at);
    } else {
        entry->machine.clear();
    }
    entry->value = rest.compare(0, 3, " = ") == 0 ? rest.substr(3) : std::string();
    return entry->member.find('.') != std::string::npos && entry->member[0] != '#';
}

JournalReader::JournalReader() {
    testsupport::ProcessResult result = StandinCtl("journal");
    EXPECT_EQ(0u, result.exitCode) << result.output;
    path_ = result.output.substr(0, result.output.find('\n'));
    Mark();
}

JournalReader::JournalReader(const std::string& path) : path_(path) {
    Mark();
}

void JournalReader::Mark() {
    WIN32_FILE_ATTRIBUTE_DATA data;
    mark_ = GetFileAttributesExA(path_.c_str(), GetFileExInfoStandard, &data)
                ? (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow
                : 0;
}

std::string JournalReader::Tail() const {
    std::ifstream file(path_, std::ios::binary);
    file.seekg(static_cast<std::streamoff>(mark_));
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}

std::vector<JournalEntry> JournalReader::Entries(const std::string& machine) const {
    std::vector<JournalEntry> entries;
    std::istringstream lines(Tail());
    std::string line;
    JournalEntry entry;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (ParseJournalLine(line, &entry) && (machine.empty() || entry.machine == machine)) {
            entries.push_back(entry);
        }
    }
    return entries;
}

std::vector<std::string> JournalReader::BadLines() const {
    std::vector<std::string> bad;
    std::string tail = Tail();
    std::istringstream lines(tail);
    std::string line;
    JournalEntry entry;
    while (std::getline(lines, line)) {
        bool crlf = !line.empty() && line.back() == '\r';
        if (crlf) {
            line.pop_back();
        }
        if (!crlf || (line.find(" # ") == std::string::npos && !ParseJournalLine(line, &entry))) {
            bad.push_back(line);
        }
    }
    return bad;
}

bool JournalReader::WaitFor(const std::string& member, const std::string& machine,
                            DWORD timeoutMs) const {
    ULONGLONG end = GetTickCount64() + timeoutMs;
    do {
        for (const JournalEntry& e : Entries(machine)) {
            if (e.member == member) {
                return true;
            }
        }
        Sleep(50);
    } while (GetTickCount64() < end);
    return false;
}

bool InOrder(const std::vector<JournalEntry>& entries, const std::vector<std::string>& members) {
    size_t next = 0;
    for (const JournalEntry& e : entries) {
        if (next < members.size() && e.member == members[next]) {
            ++next;
        }
    }
    return next == members.size();
}

std::vector<std::string> Members(const std::vector<JournalEntry>& entries) {
    std::vector<std::string> members;
    for (const JournalEntry& e : entries) {
        members.push_back(e.member);
    }
    return members;
}

DWORD FindVBoxSvc() {
    std::vector<DWORD> found = testsupport::ProcessesNamed("VBoxSVC.exe");
    return found.empty() ? 0 : found.front();
}

bool ProcessAlive(DWORD pid) {
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (!process) {
        return false;
    }
    bool alive = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return alive;
}

bool WaitForExit(DWORD pid, DWORD timeoutMs) {
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (!process) {
        return true;
    }
    bool ended = WaitForSingleObject(process, timeoutMs) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended;
}

void SetServerIdleExit(DWORD ms) {
    SetEnvironmentVariableA("STANDIN_IDLE_EXIT_MS", ms ? std::to_string(ms).c_str() : nullptr);
}

void KillVBoxSvc() {
    bool killed = false;
    for (DWORD pid : testsupport::ProcessesNamed("VBoxSVC.exe")) {
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
        if (process) {
            killed = TerminateProcess(process, 1) != FALSE;
            WaitForSingleObject(process, 10000);
            CloseHandle(process);
        }
    }
    if (killed) {
        // Wine's RPC service keeps the dead server's class registration, and every later
        // activation gets RPC_S_SERVER_UNAVAILABLE from it; a restart of the service forgets it.
        // The next COM client starts the service again.
        EXPECT_EQ(0u, testsupport::ControlByName("RpcSs", SERVICE_CONTROL_STOP));
        EXPECT_TRUE(testsupport::WaitForState("RpcSs", SERVICE_STOPPED, 10000));
    }
}

ServerHold::ServerHold() {
    EXPECT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    HRESULT hr = E_FAIL;
    // A server that is just ending its idle run refuses an activation; the next starts anew.
    for (int attempt = 0; attempt < 5 && FAILED(hr); ++attempt) {
        if (attempt > 0) {
            Sleep(300);
        }
        hr = CoGetClassObject(kClsidVirtualBox, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory,
                              reinterpret_cast<void**>(&factory_));
    }
    EXPECT_EQ(hr, S_OK) << "no class object of the stand-in";
    if (SUCCEEDED(hr)) {
        EXPECT_EQ(
            factory_->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&virtualBox_)),
            S_OK);
    }
}

ServerHold::~ServerHold() {
    if (virtualBox_ != nullptr) {
        virtualBox_->Release();
    }
    if (factory_ != nullptr) {
        factory_->Release();
    }
    CoUninitialize();
}

Disp::Disp(const Disp& other) : p_(other.p_) {
    if (p_) {
        p_->AddRef();
    }
}

Disp& Disp::operator=(const Disp& other) {
    if (other.p_) {
        other.p_->AddRef();
    }
    if (p_) {
        p_->Release();
    }
    p_ = other.p_;
    return *this;
}

Disp::~Disp() {
    if (p_) {
        p_->Release();
    }
}

IDispatch** Disp::put() {
    if (p_) {
        p_->Release();
        p_ = nullptr;
    }
    return &p_;
}

HRESULT Disp::Call(const wchar_t* name, std::vector<VARIANT> args, VARIANT* result,
                   WORD flags) const {
    VariantInit(result);
    lastInvoke_ = E_POINTER;
    lastDescription_.clear();
    HRESULT hr = E_POINTER;
    DISPID id = DISPID_UNKNOWN;
    if (p_) {
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        hr = p_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
        lastInvoke_ = hr;
    }
    if (SUCCEEDED(hr)) {
        // IDispatch takes arguments last first.
        std::vector<VARIANT> reversed(args.rbegin(), args.rend());
        DISPPARAMS params = {reversed.empty() ? nullptr : reversed.data(), nullptr,
                             static_cast<UINT>(reversed.size()), 0};
        EXCEPINFO exception = {};
        UINT badArgument = 0;
        hr = p_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, &exception,
                        &badArgument);
        lastInvoke_ = hr;
        if (hr == DISP_E_EXCEPTION) {
            if (exception.pfnDeferredFillIn) {
                exception.pfnDeferredFillIn(&exception);
            }
            hr = exception.scode;
            if (exception.bstrDescription) {
                lastDescription_ = exception.bstrDescription;
            }
            SysFreeString(exception.bstrDescription);
            SysFreeString(exception.bstrSource);
            SysFreeString(exception.bstrHelpFile);
        }
    }
    for (VARIANT& arg : args) {
        VariantClear(&arg);
    }
    return hr;
}

HRESULT Disp::Get(const wchar_t* name, VARIANT* result) const {
    return Call(name, {}, result, DISPATCH_PROPERTYGET);
}

HRESULT Disp::GetLong(const wchar_t* name, LONG* value) const {
    VARIANT result;
    HRESULT hr = Get(name, &result);
    *value = 0;
    if (SUCCEEDED(hr) && SUCCEEDED(VariantChangeType(&result, &result, 0, VT_I4))) {
        *value = V_I4(&result);
    }
    VariantClear(&result);
    return hr;
}

HRESULT Disp::GetString(const wchar_t* name, std::wstring* value) const {
    VARIANT result;
    HRESULT hr = Get(name, &result);
    value->clear();
    if (SUCCEEDED(hr) && V_VT(&result) == VT_BSTR && V_BSTR(&result)) {
        *value = std::wstring(V_BSTR(&result), SysStringLen(V_BSTR(&result)));
    }
    VariantClear(&result);
    return hr;
}

HRESULT Disp::GetObject(const wchar_t* name, Disp* object) const {
    return CallObject(name, {}, object);
}

HRESULT Disp::CallObject(const wchar_t* name, std::vector<VARIANT> args, Disp* object) const {
    VARIANT result;
    HRESULT hr = Call(name, std::move(args), &result);
    IDispatch** out = object->put();
    if (SUCCEEDED(hr) && V_VT(&result) == VT_DISPATCH && V_DISPATCH(&result)) {
        *out = V_DISPATCH(&result);
        (*out)->AddRef();
    }
    VariantClear(&result);
    return hr;
}

VARIANT VLong(LONG value) {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_I4;
    V_I4(&v) = value;
    return v;
}

VARIANT VString(const std::wstring& value) {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = SysAllocStringLen(value.data(), static_cast<UINT>(value.size()));
    return v;
}

VARIANT VNullString() {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = nullptr;
    return v;
}

VARIANT VLongArray(const std::vector<LONG>& values) {
    SAFEARRAY* array = SafeArrayCreateVector(VT_I4, 0, static_cast<ULONG>(values.size()));
    for (LONG i = 0; i < static_cast<LONG>(values.size()); ++i) {
        LONG value = values[i];
        SafeArrayPutElement(array, &i, &value);
    }
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_ARRAY | VT_I4;
    V_ARRAY(&v) = array;
    return v;
}

VARIANT VObject(IDispatch* object) {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_DISPATCH;
    V_DISPATCH(&v) = object;
    if (object) {
        object->AddRef();
    }
    return v;
}

HRESULT CreateVirtualBox(Disp* vbox, REFIID iid) {
    return standin::CreateVirtualBoxObject(iid, reinterpret_cast<void**>(vbox->put()));
}

HRESULT CreateSession(Disp* session, REFIID iid) {
    return CoCreateInstance(kClsidSession, nullptr, CLSCTX_INPROC_SERVER, iid,
                            reinterpret_cast<void**>(session->put()));
}

}  // namespace standin_test
