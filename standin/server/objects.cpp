#include "server/objects.h"

#include <string>
#include <vector>

#include "common/automation.h"
#include "common/common.h"
#include "server/model.h"

namespace standin {

namespace {

std::string Kind(IUnknown* object, const char* kind) {
    return object ? kind : "null";
}

std::string Number(long long value) {
    return std::to_string(value);
}

// Runs one API member: an injected fault answers first, otherwise the body does. Either way one
// journal line records the call and its result, and a failure leaves a description in the
// thread's error information for IDispatch callers.
template <class Body>
HRESULT Run(const char* member, const std::wstring& machine, const std::string& args, Body body) {
    HRESULT hr = S_OK;
    std::string value;
    bool faulted = CheckFault(member, machine, &hr);
    if (!faulted) {
        SetErrorInfo(0, nullptr);
        hr = body(&value);
    }
    JournalWrite(member, args, hr, SUCCEEDED(hr) ? value : std::string(), machine);
    if (FAILED(hr)) {
        IErrorInfo* info = nullptr;
        if (!faulted && GetErrorInfo(0, &info) == S_OK && info) {
            SetErrorInfo(0, info);
            info->Release();
        } else {
            const char* name = HresultName(hr);
            SetErrorText(GUID_NULL,
                         Wide(std::string(member) + " failed: " + (name ? name : HexCode(hr)) +
                              (faulted ? " (injected)" : "")));
        }
    }
    return hr;
}

HRESULT NewBstr(const std::wstring& text, BSTR* out) {
    *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
}

std::wstring FromBstr(BSTR text) {
    return text ? std::wstring(text, SysStringLen(text)) : std::wstring();
}

// An array of strings as the journal writes it: ["A=1", "B=2"]; a null array is an empty one.
HRESULT StringsText(SAFEARRAY* array, std::string* text) {
    *text = "[";
    VARTYPE type = VT_EMPTY;
    if (array && (SafeArrayGetDim(array) != 1 || FAILED(SafeArrayGetVartype(array, &type)) ||
                  type != VT_BSTR)) {
        return E_INVALIDARG;
    }
    LONG low = 0, high = -1;
    if (array) {
        SafeArrayGetLBound(array, 1, &low);
        SafeArrayGetUBound(array, 1, &high);
    }
    for (LONG i = low; i <= high; ++i) {
        BSTR item = nullptr;
        SafeArrayGetElement(array, &i, &item);
        *text += (i == low ? "" : ", ") + Quoted(FromBstr(item));
        SysFreeString(item);
    }
    *text += "]";
    return S_OK;
}

std::wstring NameOfId(const std::wstring& id) {
    MachineRef machine;
    return SUCCEEDED(FindMachine(id, &machine)) ? MachineName(machine) : std::wstring();
}

template <class T>
void Hand(T* object, T** out) {
    *out = object;
}

class ProgressObj : public ComObject<IProgress> {
public:
    ProgressObj(ProgressRef progress, std::wstring machine)
        : progress_(std::move(progress)), machine_(std::move(machine)) {}

    HRESULT STDMETHODCALLTYPE get_Completed(LONG* completed) override {
        return Run("Progress.Completed", machine_, "", [&](std::string* value) {
            HRESULT result = S_OK;
            *completed = ProgressCompleted(progress_, &result) ? 1 : 0;
            *value = Number(*completed);
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE get_ResultCode(LONG* code) override {
        return Run("Progress.ResultCode", machine_, "", [&](std::string* value) {
            HRESULT result = S_OK;
            bool completed = ProgressCompleted(progress_, &result);
            *code = completed ? result : S_OK;
            *value = HexCode(*code);
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE get_Percent(ULONG* percent) override {
        return Run("Progress.Percent", machine_, "", [&](std::string* value) {
            HRESULT result = S_OK;
            *percent = ProgressCompleted(progress_, &result) ? 100 : 0;
            *value = Number(*percent);
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE WaitForCompletion(LONG timeout) override {
        return Run("Progress.WaitForCompletion", machine_, Number(timeout), [&](std::string*) {
            WaitProgress(progress_, timeout);
            return S_OK;
        });
    }

private:
    ProgressRef progress_;
    std::wstring machine_;
};

class VrdeServerObj : public ComObject<IVRDEServer> {
public:
    explicit VrdeServerObj(MachineRef machine) : machine_(std::move(machine)) {}

    HRESULT STDMETHODCALLTYPE get_Enabled(LONG* enabled) override {
        *enabled = 0;
        return Run("VRDEServer.Enabled", MachineName(machine_), "", [&](std::string* value) {
            *enabled = Facts(machine_).vrdeEnabled ? 1 : 0;
            *value = Number(*enabled);
            return S_OK;
        });
    }

private:
    MachineRef machine_;
};

class VrdeInfoObj : public ComObject<IVRDEServerInfo> {
public:
    VrdeInfoObj(MachineRef machine, uint64_t run) : machine_(std::move(machine)), run_(run) {}

    HRESULT STDMETHODCALLTYPE get_Active(LONG* active) override {
        *active = 0;
        return Run("VRDEServerInfo.Active", MachineName(machine_), "", [&](std::string* value) {
            LONG port = 0;
            bool on = false;
            HRESULT hr = VrdePort(machine_, run_, &port, &on);
            *active = on ? 1 : 0;
            *value = Number(*active);
            return hr;
        });
    }
    HRESULT STDMETHODCALLTYPE get_Port(LONG* port) override {
        *port = 0;
        return Run("VRDEServerInfo.Port", MachineName(machine_), "", [&](std::string* value) {
            bool on = false;
            HRESULT hr = VrdePort(machine_, run_, port, &on);
            *value = Number(*port);
            return hr;
        });
    }

private:
    MachineRef machine_;
    uint64_t run_;
};

class DisplayObj : public ComObject<IDisplay> {
public:
    DisplayObj(MachineRef machine, uint64_t run) : machine_(std::move(machine)), run_(run) {}

    HRESULT STDMETHODCALLTYPE GetScreenResolution(ULONG screen, ULONG* width, ULONG* height,
                                                  ULONG* bitsPerPixel, LONG* xOrigin, LONG* yOrigin,
                                                  LONG* status) override {
        if (!width || !height || !bitsPerPixel || !xOrigin || !yOrigin || !status) {
            return E_POINTER;
        }
        *width = *height = *bitsPerPixel = 0;
        *xOrigin = *yOrigin = *status = 0;
        return Run("Display.GetScreenResolution", MachineName(machine_), Number(screen),
                   [&](std::string* value) {
                       HRESULT hr = ScreenResolution(machine_, run_, screen, width, height);
                       if (SUCCEEDED(hr)) {
                           *bitsPerPixel = 32;
                           *status = 1;  // GuestMonitorStatus_Enabled
                           *value =
                               "(" + Number(*width) + ", " + Number(*height) + ", 32, 0, 0, 1)";
                       }
                       return hr;
                   });
    }

private:
    MachineRef machine_;
    uint64_t run_;
};

class MachineObj;

class ConsoleObj : public ComObject<IConsole> {
public:
    ConsoleObj(MachineRef machine, uint64_t run, SessionRef session)
        : machine_(std::move(machine)), run_(run), session_(std::move(session)) {}

    HRESULT STDMETHODCALLTYPE get_Machine(IMachine** machine) override;
    HRESULT STDMETHODCALLTYPE get_State(LONG* state) override {
        *state = 0;
        return Run("Console.State", MachineName(machine_), "", [&](std::string* value) {
            *state = ReleaseStateNumber(played(), Facts(machine_).state);
            *value = Number(*state);
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE get_Display(IDisplay** display) override {
        *display = nullptr;
        return Run("Console.Display", MachineName(machine_), "", [&](std::string* value) {
            Hand<IDisplay>(new DisplayObj(machine_, run_), display);
            *value = "Display";
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE get_VRDEServerInfo(IVRDEServerInfo** info) override {
        *info = nullptr;
        return Run("Console.VRDEServerInfo", MachineName(machine_), "", [&](std::string* value) {
            Hand<IVRDEServerInfo>(new VrdeInfoObj(machine_, run_), info);
            *value = "VRDEServerInfo";
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE PowerDown(IProgress** progress) override {
        *progress = nullptr;
        std::wstring name = MachineName(machine_);
        return Run("Console.PowerDown", name, "", [&](std::string* value) {
            ProgressRef p;
            HRESULT hr = standin::PowerDown(machine_, run_, &p);
            if (SUCCEEDED(hr)) {
                Hand<IProgress>(new ProgressObj(p, name), progress);
                *value = "Progress";
            }
            return hr;
        });
    }
    HRESULT STDMETHODCALLTYPE PowerButton() override {
        return Run("Console.PowerButton", MachineName(machine_), "",
                   [&](std::string*) { return PressButton(machine_, run_, false); });
    }
    HRESULT STDMETHODCALLTYPE SleepButton() override {
        return Run("Console.SleepButton", MachineName(machine_), "",
                   [&](std::string*) { return PressButton(machine_, run_, true); });
    }
    HRESULT STDMETHODCALLTYPE Pause() override {
        return Run("Console.Pause", MachineName(machine_), "",
                   [&](std::string*) { return PauseVm(machine_, run_, true); });
    }
    HRESULT STDMETHODCALLTYPE Resume() override {
        return Run("Console.Resume", MachineName(machine_), "",
                   [&](std::string*) { return PauseVm(machine_, run_, false); });
    }

private:
    MachineRef machine_;
    uint64_t run_;
    SessionRef session_;
};

class SessionObj;

// Finds the server-side session behind a client's in-process Session object: the server calls
// back into the client (as VirtualBox does), which hands over the session object it holds here.
HRESULT ResolveSession(IDispatch* client, SessionRef* session);

class MachineObj : public ComObject<IMachine> {
public:
    // session: the session whose machine this is (Session.Machine), or null for a plain one.
    MachineObj(MachineRef machine, SessionRef session)
        : machine_(std::move(machine)), session_(std::move(session)) {}

    const MachineRef& machine() const {
        return machine_;
    }

    HRESULT STDMETHODCALLTYPE get_Id(BSTR* id) override {
        *id = nullptr;
        MachineFacts facts = Facts(machine_);
        return Run("Machine.Id", facts.name, "", [&](std::string* value) {
            *value = Quoted(facts.id);
            return NewBstr(facts.id, id);
        });
    }
    HRESULT STDMETHODCALLTYPE get_Name(BSTR* name) override {
        *name = nullptr;
        MachineFacts facts = Facts(machine_);
        return Run("Machine.Name", facts.name, "", [&](std::string* value) {
            *value = Quoted(facts.name);
            return NewBstr(facts.name, name);
        });
    }
    HRESULT STDMETHODCALLTYPE get_SettingsFilePath(BSTR* path) override {
        *path = nullptr;
        MachineFacts facts = Facts(machine_);
        return Run("Machine.SettingsFilePath", facts.name, "", [&](std::string* value) {
            std::wstring file = standin::SettingsFilePath(facts.name);
            *value = Quoted(file);
            return NewBstr(file, path);
        });
    }
    HRESULT STDMETHODCALLTYPE get_State(LONG* state) override {
        *state = 0;
        MachineFacts facts = Facts(machine_);
        return Run("Machine.State", facts.name, "", [&](std::string* value) {
            *state = ReleaseStateNumber(played(), facts.state);
            *value = Number(*state);
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE get_SessionState(LONG* state) override {
        *state = 0;
        MachineFacts facts = Facts(machine_);
        return Run("Machine.SessionState", facts.name, "", [&](std::string* value) {
            *state = facts.sessionState;
            *value = Number(*state);
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE get_SessionPID(ULONG* pid) override {
        *pid = 0;
        MachineFacts facts = Facts(machine_);
        return Run("Machine.SessionPID", facts.name, "", [&](std::string* value) {
            *pid = facts.sessionPid;
            *value = Number(*pid);
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE get_VRDEServer(IVRDEServer** server) override {
        *server = nullptr;
        return Run("Machine.VRDEServer", MachineName(machine_), "", [&](std::string* value) {
            Hand<IVRDEServer>(new VrdeServerObj(machine_), server);
            *value = "VRDEServer";
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE LockMachine(IDispatch* session, LONG lockType) override {
        return Run("Machine.LockMachine", MachineName(machine_),
                   Kind(session, "Session") + ", " + Number(lockType), [&](std::string*) {
                       SessionRef target;
                       HRESULT hr = ResolveSession(session, &target);
                       return SUCCEEDED(hr) ? standin::LockMachine(machine_, target, lockType) : hr;
                   });
    }
    // One vtable serves every release: from 6.1 on, the slot of 5.0's BSTR environment carries
    // a SAFEARRAY(BSTR) of environment changes, as the release's type library declares.
    HRESULT STDMETHODCALLTYPE LaunchVMProcess(IDispatch* session, BSTR type, BSTR environment,
                                              IProgress** progress) override {
        *progress = nullptr;
        std::wstring name = MachineName(machine_);
        std::string changes = Quoted(FromBstr(environment));
        HRESULT changesResult =
            played() == kRelease50
                ? S_OK
                : StringsText(reinterpret_cast<SAFEARRAY*>(environment), &changes);
        std::string args =
            Kind(session, "Session") + ", " + Quoted(FromBstr(type)) + ", " + changes;
        return Run("Machine.LaunchVMProcess", name, args, [&](std::string* value) {
            SessionRef target;
            HRESULT hr = FAILED(changesResult) ? changesResult : ResolveSession(session, &target);
            ProgressRef p;
            if (SUCCEEDED(hr)) {
                hr = LaunchVm(machine_, target, FromBstr(type), &p);
            }
            if (SUCCEEDED(hr)) {
                Hand<IProgress>(new ProgressObj(p, name), progress);
                *value = "Progress";
            }
            return hr;
        });
    }
    HRESULT STDMETHODCALLTYPE SaveState(IProgress** progress) override {
        *progress = nullptr;
        std::wstring name = MachineName(machine_);
        return Run("Machine.SaveState", name, "", [&](std::string* value) {
            MachineRef held;
            bool hasConsole = false;
            uint64_t run = 0;
            if (!session_ || FAILED(SessionMachine(session_, &held, &hasConsole, &run)) ||
                held != machine_) {
                SetErrorText(__uuidof(IMachine),
                             L"SaveState needs the machine of a locked session (Session.Machine)");
                return kInvalidObjectState;
            }
            if (!hasConsole) {
                return kInvalidVmState;
            }
            ProgressRef p;
            HRESULT hr = standin::SaveState(machine_, run, &p);
            if (SUCCEEDED(hr)) {
                Hand<IProgress>(new ProgressObj(p, name), progress);
                *value = "Progress";
            }
            return hr;
        });
    }
    HRESULT STDMETHODCALLTYPE Unregister(LONG cleanupMode, SAFEARRAY** media) override {
        *media = nullptr;
        return Run("Machine.Unregister", MachineName(machine_), Number(cleanupMode),
                   [&](std::string* value) {
                       HRESULT hr = UnregisterMachine(machine_);
                       if (SUCCEEDED(hr)) {
                           // No media are modelled: the list of detached media is empty.
                           *media = SafeArrayCreateVector(VT_DISPATCH, 0, 0);
                           *value = "[]";
                       }
                       return hr;
                   });
    }

private:
    MachineRef machine_;
    SessionRef session_;
};

HRESULT ConsoleObj::get_Machine(IMachine** machine) {
    *machine = nullptr;
    return Run("Console.Machine", MachineName(machine_), "", [&](std::string* value) {
        Hand<IMachine>(new MachineObj(machine_, session_), machine);
        *value = "Machine";
        return S_OK;
    });
}

// The server side of a client's Session object. Its members are reached through the client's
// in-process Session object, which writes their journal lines; faults are decided here.
class SessionObj : public ComObject<ISession> {
public:
    SessionObj() : session_(NewSession()) {}
    ~SessionObj() override {
        SessionGone(session_);
    }

    const SessionRef& session() const {
        return session_;
    }

    HRESULT STDMETHODCALLTYPE get_State(LONG* state) override {
        HRESULT hr = S_OK;
        *state = 0;
        if (CheckFault("Session.State", L"", &hr)) {
            return hr;
        }
        *state = SessionStateOf(session_);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Type(LONG* type) override {
        HRESULT hr = S_OK;
        *type = 0;
        if (CheckFault("Session.Type", L"", &hr)) {
            return hr;
        }
        *type = SessionTypeOf(session_);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Machine(IMachine** machine) override {
        *machine = nullptr;
        MachineRef m;
        bool hasConsole = false;
        uint64_t run = 0;
        HRESULT hr = SessionMachine(session_, &m, &hasConsole, &run);
        if (FAILED(hr) || CheckFault("Session.Machine", MachineName(m), &hr)) {
            return hr;
        }
        *machine = new MachineObj(m, session_);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Console(IConsole** console) override {
        *console = nullptr;
        MachineRef m;
        bool hasConsole = false;
        uint64_t run = 0;
        HRESULT hr = SessionMachine(session_, &m, &hasConsole, &run);
        if (FAILED(hr) || CheckFault("Session.Console", MachineName(m), &hr)) {
            return hr;
        }
        // A write lock on a machine that does not run comes without a console.
        if (hasConsole) {
            *console = new ConsoleObj(m, run, session_);
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE UnlockMachine() override {
        HRESULT hr = S_OK;
        MachineRef m;
        bool hasConsole = false;
        uint64_t run = 0;
        SessionMachine(session_, &m, &hasConsole, &run);
        if (CheckFault("Session.UnlockMachine", m ? MachineName(m) : L"", &hr)) {
            return hr;
        }
        return UnlockSession(session_);
    }

private:
    SessionRef session_;
};

HRESULT ResolveSession(IDispatch* client, SessionRef* session) {
    if (!client) {
        return E_INVALIDARG;
    }
    IStandinSessionLink* link = nullptr;
    HRESULT hr =
        client->QueryInterface(__uuidof(IStandinSessionLink), reinterpret_cast<void**>(&link));
    if (FAILED(hr)) {
        SetErrorText(__uuidof(IMachine), L"The session argument is no Session object");
        return E_INVALIDARG;
    }
    IDispatch* held = nullptr;
    hr = link->get_ServerSession(&held);
    link->Release();
    if (FAILED(hr)) {
        return hr;
    }
    SessionObj* object = ObjectFrom<SessionObj>(held);
    if (held) {
        held->Release();
    }
    if (!object) {
        SetErrorText(__uuidof(IMachine), L"The session belongs to another server");
        return E_INVALIDARG;
    }
    *session = object->session();
    object->Release();
    return S_OK;
}

class EventSourceObj;

class EventObj : public ComObject<IMachineStateChangedEvent> {
public:
    explicit EventObj(EventData event)
        : event_(std::move(event)), name_(NameOfId(event_.machineId)) {}

    uint64_t serial() const {
        return event_.serial;
    }

    HRESULT STDMETHODCALLTYPE get_Type(LONG* type) override {
        *type = 0;
        return Run("Event.Type", name_, "", [&](std::string* value) {
            *type = event_.type;
            *value = Number(*type);
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE get_Source(IEventSource** source) override;
    HRESULT STDMETHODCALLTYPE get_MachineId(BSTR* id) override {
        *id = nullptr;
        return Run("MachineStateChangedEvent.MachineId", name_, "", [&](std::string* value) {
            *value = Quoted(event_.machineId);
            return NewBstr(event_.machineId, id);
        });
    }
    HRESULT STDMETHODCALLTYPE get_State(LONG* state) override {
        *state = 0;
        return Run("MachineStateChangedEvent.State", name_, "", [&](std::string* value) {
            *state = ReleaseStateNumber(played(), event_.state);
            *value = Number(*state);
            return S_OK;
        });
    }

protected:
    bool QueryOther(REFIID iid, void** out) override {
        if (IsIid(iid, __uuidof(IEvent))) {
            *out = static_cast<IEvent*>(this);
            return true;
        }
        return false;
    }

private:
    EventData event_;
    std::wstring name_;
};

class ListenerObj : public ComObject<IEventListener> {
public:
    ListenerObj() : listener_(NewListener()) {}

    const ListenerRef& listener() const {
        return listener_;
    }

private:
    ListenerRef listener_;
};

HRESULT ResolveListener(IDispatch* object, ListenerRef* listener) {
    ListenerObj* found = ObjectFrom<ListenerObj>(object);
    if (!found) {
        SetErrorText(__uuidof(IEventSource),
                     L"The listener argument is no listener of this server");
        return E_INVALIDARG;
    }
    *listener = found->listener();
    found->Release();
    return S_OK;
}

// Reads the wanted event types, as VT_I4 elements or as variants holding numbers.
HRESULT EventTypes(SAFEARRAY* array, std::vector<LONG>* types, std::string* text) {
    VARTYPE type = VT_EMPTY;
    if (!array || SafeArrayGetDim(array) != 1 || FAILED(SafeArrayGetVartype(array, &type))) {
        return E_INVALIDARG;
    }
    LONG low = 0, high = -1;
    SafeArrayGetLBound(array, 1, &low);
    SafeArrayGetUBound(array, 1, &high);
    for (LONG i = low; i <= high; ++i) {
        LONG value = 0;
        if (type == VT_I4 || type == VT_UI4 || type == VT_INT || type == VT_UINT) {
            SafeArrayGetElement(array, &i, &value);
        } else if (type == VT_VARIANT) {
            VARIANT item;
            VariantInit(&item);
            SafeArrayGetElement(array, &i, &item);
            HRESULT hr = VariantChangeType(&item, &item, 0, VT_I4);
            value = SUCCEEDED(hr) ? V_I4(&item) : 0;
            VariantClear(&item);
            if (FAILED(hr)) {
                return E_INVALIDARG;
            }
        } else {
            return E_INVALIDARG;
        }
        types->push_back(value);
        *text += (i == low ? "" : ", ") + Number(value);
    }
    return S_OK;
}

class EventSourceObj : public ComObject<IEventSource> {
public:
    HRESULT STDMETHODCALLTYPE CreateListener(IEventListener** listener) override {
        *listener = nullptr;
        return Run("EventSource.CreateListener", L"", "", [&](std::string* value) {
            Hand<IEventListener>(new ListenerObj(), listener);
            *value = "EventListener";
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE RegisterListener(IDispatch* listener, SAFEARRAY* interesting,
                                               LONG active) override {
        std::vector<LONG> types;
        std::string list;
        HRESULT typesResult = EventTypes(interesting, &types, &list);
        std::string args = Kind(listener, "EventListener") + ", [" + list + "], " + Number(active);
        return Run("EventSource.RegisterListener", L"", args, [&](std::string*) {
            ListenerRef target;
            HRESULT hr = ResolveListener(listener, &target);
            if (SUCCEEDED(hr) && FAILED(typesResult)) {
                hr = typesResult;
            }
            if (SUCCEEDED(hr) && active) {
                SetErrorText(__uuidof(IEventSource), L"Only passive listeners are available");
                hr = E_INVALIDARG;
            }
            return SUCCEEDED(hr) ? standin::RegisterListener(target, types) : hr;
        });
    }
    HRESULT STDMETHODCALLTYPE UnregisterListener(IDispatch* listener) override {
        return Run("EventSource.UnregisterListener", L"", Kind(listener, "EventListener"),
                   [&](std::string*) {
                       ListenerRef target;
                       HRESULT hr = ResolveListener(listener, &target);
                       return SUCCEEDED(hr) ? standin::UnregisterListener(target) : hr;
                   });
    }
    HRESULT STDMETHODCALLTYPE GetEvent(IDispatch* listener, LONG timeout, IEvent** event) override {
        *event = nullptr;
        std::string args = Kind(listener, "EventListener") + ", " + Number(timeout);
        return Run("EventSource.GetEvent", L"", args, [&](std::string* value) {
            ListenerRef target;
            HRESULT hr = ResolveListener(listener, &target);
            EventData data;
            bool got = false;
            if (SUCCEEDED(hr)) {
                hr = standin::GetEvent(target, timeout, &data, &got);
            }
            *value = "null";
            if (SUCCEEDED(hr) && got) {
                *event = new EventObj(data);
                *value = "MachineStateChangedEvent " +
                         Number(ReleaseStateNumber(played(), data.state)) + " " +
                         Quoted(data.machineId);
            }
            return hr;
        });
    }
    HRESULT STDMETHODCALLTYPE EventProcessed(IDispatch* listener, IDispatch* event) override {
        std::string args = Kind(listener, "EventListener") + ", " + Kind(event, "Event");
        return Run("EventSource.EventProcessed", L"", args, [&](std::string*) {
            ListenerRef target;
            HRESULT hr = ResolveListener(listener, &target);
            if (FAILED(hr)) {
                return hr;
            }
            // Serial 0 stands for "no event of this server"; the listener is checked first.
            uint64_t serial = 0;
            if (EventObj* object = ObjectFrom<EventObj>(event)) {
                serial = object->serial();
                object->Release();
            }
            return standin::EventProcessed(target, serial);
        });
    }
};

HRESULT EventObj::get_Source(IEventSource** source) {
    *source = nullptr;
    return Run("Event.Source", name_, "", [&](std::string* value) {
        Hand<IEventSource>(new EventSourceObj(), source);
        *value = "EventSource";
        return S_OK;
    });
}

class VirtualBoxObj;

// The control tool's interface, a tear-off of the VirtualBox object that shares its identity.
class ControlObj : public ComObject<IStandinControl> {
public:
    explicit ControlObj(IVirtualBox* owner) : owner_(owner) {
        owner_->AddRef();
    }
    ~ControlObj() override {
        owner_->Release();
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (iid == __uuidof(IStandinControl) || iid == kIidObjectBase) {
            return ComObject<IStandinControl>::QueryInterface(iid, out);
        }
        return owner_->QueryInterface(iid, out);
    }

    HRESULT STDMETHODCALLTYPE get_ServerPid(ULONG* pid) override {
        *pid = GetCurrentProcessId();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_JournalPath(BSTR* path) override {
        return NewBstr(JournalFilePath(), path);
    }
    HRESULT STDMETHODCALLTYPE get_PlayedRelease(BSTR* release) override {
        return NewBstr(Wide(ReleaseName(standin::PlayedRelease())), release);
    }
    HRESULT STDMETHODCALLTYPE get_NextRelease(BSTR* release) override {
        return NewBstr(Wide(ReleaseName(standin::NextRelease())), release);
    }
    HRESULT STDMETHODCALLTYPE put_NextRelease(BSTR release) override {
        VBoxRelease chosen = kRelease50;
        if (!ParseRelease(FromBstr(release), &chosen)) {
            SetErrorText(__uuidof(IStandinControl), L"The releases are 5.0, 6.1 and 7.0");
            return E_INVALIDARG;
        }
        ChooseRelease(chosen);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_TypeInfoOffered(LONG* on) override {
        *on = TypeInfoOn() ? 1 : 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_TypeInfoOffered(LONG on) override {
        SetTypeInfoOn(on != 0);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE CreateSession(IDispatch** session) override {
        *session = nullptr;
        return Run("Session.Create", L"", "", [&](std::string* value) {
            *session = static_cast<ISession*>(new SessionObj());
            *value = "Session";
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE SetAcpiReaction(BSTR machine, LONG button, LONG after) override {
        return standin::SetAcpiReaction(FromBstr(machine), button, after);
    }
    HRESULT STDMETHODCALLTYPE SetScreen(BSTR machine, ULONG width, ULONG height) override {
        return standin::SetScreen(FromBstr(machine), width, height);
    }
    HRESULT STDMETHODCALLTYPE SetVrde(BSTR machine, LONG enabled, LONG port) override {
        return standin::SetVrde(FromBstr(machine), enabled != 0, port);
    }
    HRESULT STDMETHODCALLTYPE SetDurations(BSTR machine, LONG launchMs, LONG powerOffMs,
                                           LONG saveMs) override {
        return standin::SetDurations(FromBstr(machine), launchMs, powerOffMs, saveMs);
    }
    HRESULT STDMETHODCALLTYPE SetOperationResult(BSTR machine, LONG save, LONG result) override {
        return standin::SetOperationResult(FromBstr(machine), save != 0, result);
    }
    HRESULT STDMETHODCALLTYPE SetFault(BSTR member, LONG hr, LONG count, BSTR machine) override {
        return standin::SetFault(FromBstr(member), hr, count, FromBstr(machine));
    }
    HRESULT STDMETHODCALLTYPE ClearFaults(BSTR member) override {
        return standin::ClearFaults(FromBstr(member));
    }
    HRESULT STDMETHODCALLTYPE ListFaults(BSTR* list) override {
        return NewBstr(standin::ListFaults(), list);
    }
    HRESULT STDMETHODCALLTYPE DescribeMachine(BSTR machine, BSTR* description) override {
        *description = nullptr;
        std::wstring text;
        HRESULT hr = standin::DescribeMachine(FromBstr(machine), &text);
        return SUCCEEDED(hr) ? NewBstr(text, description) : hr;
    }
    HRESULT STDMETHODCALLTYPE KillVMProcess(BSTR machine) override {
        return KillVmProcess(FromBstr(machine));
    }
    HRESULT STDMETHODCALLTYPE DiscardMachine(BSTR machine) override {
        return standin::DiscardMachine(FromBstr(machine));
    }

private:
    IVirtualBox* owner_;
};

class VirtualBoxObj : public ComObject<IVirtualBox> {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (iid == __uuidof(IStandinControl)) {
            *out = static_cast<IStandinControl*>(new ControlObj(this));
            return S_OK;
        }
        return ComObject<IVirtualBox>::QueryInterface(iid, out);
    }

    HRESULT STDMETHODCALLTYPE get_Version(BSTR* version) override {
        *version = nullptr;
        return Run("VirtualBox.Version", L"", "", [&](std::string* value) {
            *value = Quoted(ReleaseVersion(played()));
            return NewBstr(ReleaseVersion(played()), version);
        });
    }
    HRESULT STDMETHODCALLTYPE get_HomeFolder(BSTR* home) override {
        *home = nullptr;
        return Run("VirtualBox.HomeFolder", L"", "", [&](std::string* value) {
            std::wstring folder = standin::HomeFolder();
            *value = Quoted(folder);
            return NewBstr(folder, home);
        });
    }
    HRESULT STDMETHODCALLTYPE get_EventSource(IEventSource** source) override {
        *source = nullptr;
        return Run("VirtualBox.EventSource", L"", "", [&](std::string* value) {
            Hand<IEventSource>(new EventSourceObj(), source);
            *value = "EventSource";
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE get_Machines(SAFEARRAY** machines) override {
        *machines = nullptr;
        return Run("VirtualBox.Machines", L"", "", [&](std::string* value) {
            std::vector<MachineRef> all = RegisteredMachines();
            SAFEARRAY* array =
                SafeArrayCreateVector(VT_DISPATCH, 0, static_cast<ULONG>(all.size()));
            if (!array) {
                return E_OUTOFMEMORY;
            }
            for (LONG i = 0; i < static_cast<LONG>(all.size()); ++i) {
                IDispatch* item = static_cast<IMachine*>(new MachineObj(all[i], nullptr));
                SafeArrayPutElement(array, &i, item);
                item->Release();
            }
            *machines = array;
            *value = "[" + Number(static_cast<long long>(all.size())) + " Machine]";
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE FindMachine(BSTR nameOrId, IMachine** machine) override {
        *machine = nullptr;
        std::wstring key = FromBstr(nameOrId);
        return Run("VirtualBox.FindMachine", L"", Quoted(key), [&](std::string* value) {
            MachineRef found;
            HRESULT hr = standin::FindMachine(key, &found);
            if (SUCCEEDED(hr)) {
                Hand<IMachine>(new MachineObj(found, nullptr), machine);
                *value = "Machine " + Quoted(MachineName(found));
            } else {
                SetErrorText(__uuidof(IVirtualBox),
                             L"Could not find a registered machine named '" + key + L"'");
            }
            return hr;
        });
    }
    HRESULT STDMETHODCALLTYPE CreateMachine(BSTR settingsFile, BSTR name, SAFEARRAY*, BSTR osTypeId,
                                            BSTR flags, IMachine** machine) override {
        *machine = nullptr;
        std::string args = Quoted(FromBstr(settingsFile)) + ", " + Quoted(FromBstr(name)) +
                           ", [], " + Quoted(FromBstr(osTypeId)) + ", " + Quoted(FromBstr(flags));
        return Run("VirtualBox.CreateMachine", L"", args, [&](std::string* value) {
            MachineRef created;
            HRESULT hr = standin::CreateMachine(FromBstr(name), &created);
            if (SUCCEEDED(hr)) {
                Hand<IMachine>(new MachineObj(created, nullptr), machine);
                *value = "Machine";
            }
            return hr;
        });
    }
    HRESULT STDMETHODCALLTYPE RegisterMachine(IDispatch* machine) override {
        MachineObj* object = ObjectFrom<MachineObj>(machine);
        std::wstring name = object ? MachineName(object->machine()) : L"";
        HRESULT hr =
            Run("VirtualBox.RegisterMachine", name, Kind(machine, "Machine"), [&](std::string*) {
                return object ? standin::RegisterMachine(object->machine()) : E_INVALIDARG;
            });
        if (object) {
            object->Release();
        }
        return hr;
    }
};

}  // namespace

HRESULT NewVirtualBoxObject(REFIID iid, void** out) {
    VirtualBoxObj* object = new VirtualBoxObj();
    HRESULT hr = object->QueryInterface(iid, out);
    object->Release();
    return hr;
}

}  // namespace standin
