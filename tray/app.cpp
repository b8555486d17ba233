// The companion's hidden window: the notification-area icon, its menu and balloons, and the
// threads that refresh what it shows.
#include "tray/app.h"

#include <objbase.h>
#include <shellapi.h>

#include <mutex>
#include <string>
#include <vector>

#include "tray/handles.h"

namespace tray {
namespace {

const wchar_t WindowClass[] = L"KelvaranTray";
const wchar_t Title[] = L"Kelvaran";
const UINT IconId = 1;
const UINT IconMessage = WM_APP + 1;
const UINT RefreshedMessage = WM_APP + 2;
const UINT ActionDoneMessage = WM_APP + 3;
const UINT_PTR PeriodicTimer = 1;
const UINT_PTR PendingTimer = 2;
const UINT RefreshPeriod = 30000;
// How soon to look again at a service that is settling.
const UINT PendingPeriod = 1000;
const DWORD ThreadEndTimeout = 5000;
// Menu ids: Exit, then a block per machine.
const UINT MenuExit = 1;
const UINT MenuFirst = 100;
const UINT MenuStride = 8;
enum MenuItem : UINT { ItemRemoteDesktop = 1, ItemStart, ItemStop, ItemLog };

// A start or a stop, done off the window's thread: the Service Control Manager may take its time.
struct ServiceAction {
    HWND window;
    std::wstring service;
    bool start;
    DWORD error;
};

DWORD WINAPI ServiceActionThread(void* parameter) {
    auto* action = static_cast<ServiceAction*>(parameter);
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ServiceHandle service(manager.Valid()
                              ? OpenServiceW(manager.Get(), action->service.c_str(),
                                             action->start ? SERVICE_START : SERVICE_STOP)
                              : nullptr);
    SERVICE_STATUS status;
    bool done = service.Valid() &&
                (action->start ? StartServiceW(service.Get(), 0, nullptr)
                               : ControlService(service.Get(), SERVICE_CONTROL_STOP, &status));
    action->error = done ? ERROR_SUCCESS : GetLastError();
    if (!PostMessageW(action->window, ActionDoneMessage, 0, reinterpret_cast<LPARAM>(action))) {
        delete action;  // the window is gone: nobody to tell
    }
    return 0;
}

// A menu shows '&' as a mnemonic unless doubled.
std::wstring MenuText(const std::wstring& text) {
    std::wstring escaped;
    for (wchar_t c : text) {
        escaped += c == L'&' ? L"&&" : std::wstring(1, c);
    }
    return escaped;
}

class Companion {
public:
    int Run(HINSTANCE instance);

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static DWORD WINAPI RefreshThread(void* self);
    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
    void Refreshed();
    void ShowIcon();
    void Balloon(const std::wstring& text, DWORD flags);
    void ShowMenu();
    void Command(UINT id, const std::vector<Machine>& shown);
    void DoubleClick();
    void RemoteDesktop(const Machine& machine);
    void ChangeService(const Machine& machine, bool start);
    void OpenLog(const Machine& machine);
    void ActionDone(ServiceAction* action);
    void Fail(const std::wstring& what, DWORD error);
    void DrawIcons();

    HWND window_ = nullptr;
    UINT taskbarCreated_ = 0;
    ListenerLink link_;
    std::mutex lock_;
    std::vector<Machine> latest_;  // the refresh thread's, under lock_
    DWORD latestError_ = ERROR_SUCCESS;
    std::vector<Machine> machines_;
    DownWatch watch_;
    bool iconShown_ = false;
    bool version3_ = false;
    Severity severity_ = Severity::Grey;
    std::wstring tip_ = L"Kelvaran: looking for machines";
    HICON icons_[4] = {};
    HBITMAP bitmaps_[4] = {};
};

LRESULT CALLBACK Companion::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        static_cast<Companion*>(create->lpCreateParams)->window_ = window;
    }
    auto* self = reinterpret_cast<Companion*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    return self != nullptr ? self->Handle(message, wParam, lParam)
                           : DefWindowProcW(window, message, wParam, lParam);
}

DWORD WINAPI Companion::RefreshThread(void* parameter) {
    auto* self = static_cast<Companion*>(parameter);
    HANDLE waits[] = {self->link_.quit, self->link_.wanted};
    while (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        std::vector<Machine> machines;
        DWORD error = Survey(&machines);
        {
            std::lock_guard<std::mutex> hold(self->lock_);
            self->latest_ = machines;
            self->latestError_ = error;
        }
        PostMessageW(self->window_, RefreshedMessage, 0, 0);
    }
    return 0;
}

LRESULT Companion::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == taskbarCreated_ && message != 0) {
        // The shell (re)started: the icon must be added again, maybe at another size.
        iconShown_ = false;
        DrawIcons();
        ShowIcon();
        return 0;
    }
    switch (message) {
        case IconMessage:
            if (lParam == WM_CONTEXTMENU || lParam == NIN_KEYSELECT ||
                (lParam == WM_RBUTTONUP && !version3_)) {
                ShowMenu();
            } else if (lParam == WM_LBUTTONDBLCLK) {
                DoubleClick();
            }
            return 0;
        case RefreshedMessage:
            Refreshed();
            return 0;
        case ActionDoneMessage:
            ActionDone(reinterpret_cast<ServiceAction*>(lParam));
            return 0;
        case WM_TIMER:
            if (wParam == PendingTimer) {
                KillTimer(window_, PendingTimer);
            }
            SetEvent(link_.wanted);
            return 0;
        case WM_CLOSE:
            DestroyWindow(window_);
            return 0;
        case WM_DESTROY: {
            NOTIFYICONDATAW data = {};
            data.cbSize = sizeof data;
            data.hWnd = window_;
            data.uID = IconId;
            Shell_NotifyIconW(NIM_DELETE, &data);
            PostQuitMessage(0);
            return 0;
        }
        default:
            return DefWindowProcW(window_, message, wParam, lParam);
    }
}

void Companion::Refreshed() {
    DWORD error;
    {
        std::lock_guard<std::mutex> hold(lock_);
        machines_ = latest_;
        error = latestError_;
    }
    bool taken = link_.taken.load();
    std::wstring full = FullText(machines_, taken);
    if (error != ERROR_SUCCESS) {
        full = L"Kelvaran cannot list the services: " + ErrorText(error);
        tip_ = full.substr(0, TooltipLimit);
        severity_ = Severity::Grey;
    } else {
        tip_ = TooltipText(machines_, taken);
        severity_ = WorstSeverity(machines_);
    }
    // The window's title carries the whole text, for tools that read it.
    SetWindowTextW(window_, full.c_str());
    ShowIcon();
    bool settling = false;
    for (const Machine& machine : machines_) {
        settling |= Settling(machine);
    }
    if (settling) {
        SetTimer(window_, PendingTimer, PendingPeriod, nullptr);
    }
    if (error == ERROR_SUCCESS) {
        std::wstring news;
        for (const std::wstring& text : watch_.Update(machines_)) {
            news += (news.empty() ? L"" : L"\n") + text;
        }
        if (!news.empty()) {
            Balloon(news, severity_ == Severity::Red ? NIIF_ERROR : NIIF_WARNING);
        }
    }
}

void Companion::ShowIcon() {
    NOTIFYICONDATAW data = {};
    data.cbSize = sizeof data;
    data.hWnd = window_;
    data.uID = IconId;
    data.uFlags = NIF_ICON | NIF_TIP | NIF_MESSAGE;
    data.uCallbackMessage = IconMessage;
    data.hIcon = icons_[static_cast<int>(severity_)];
    lstrcpynW(data.szTip, tip_.c_str(), ARRAYSIZE(data.szTip));
    if (iconShown_ && Shell_NotifyIconW(NIM_MODIFY, &data)) {
        return;
    }
    // Not there yet (no shell at logon, say): the next refresh, or TaskbarCreated, tries again.
    iconShown_ = Shell_NotifyIconW(NIM_ADD, &data);
    if (iconShown_) {
        data.uVersion = NOTIFYICON_VERSION;
        version3_ = Shell_NotifyIconW(NIM_SETVERSION, &data);
    }
}

void Companion::Balloon(const std::wstring& text, DWORD flags) {
    NOTIFYICONDATAW data = {};
    data.cbSize = sizeof data;
    data.hWnd = window_;
    data.uID = IconId;
    data.uFlags = NIF_INFO;
    data.dwInfoFlags = flags;
    lstrcpynW(data.szInfoTitle, Title, ARRAYSIZE(data.szInfoTitle));
    lstrcpynW(data.szInfo, text.c_str(), ARRAYSIZE(data.szInfo));
    if (iconShown_) {
        Shell_NotifyIconW(NIM_MODIFY, &data);
    }
}

void Companion::ShowMenu() {
    // The menu acts on the machines it shows, whatever a refresh brings meanwhile.
    std::vector<Machine> shown = machines_;
    HMENU menu = CreatePopupMenu();
    if (menu == nullptr) {
        return;
    }
    if (shown.empty()) {
        AppendMenuW(menu, MF_STRING | MF_GRAYED, 0, L"No machine found");
    }
    for (size_t i = 0; i < shown.size(); ++i) {
        const Machine& machine = shown[i];
        MenuState state = MenuFor(machine);
        UINT base = MenuFirst + static_cast<UINT>(i) * MenuStride;
        HMENU sub = CreatePopupMenu();
        auto item = [sub](UINT id, const wchar_t* text, bool enabled) {
            AppendMenuW(sub, MF_STRING | (enabled ? MF_ENABLED : MF_GRAYED), id, text);
        };
        std::wstring facts = Facts(machine);
        facts[0] = towupper(facts[0]);
        AppendMenuW(sub, MF_STRING | MF_DISABLED, 0, MenuText(facts).c_str());
        AppendMenuW(sub, MF_SEPARATOR, 0, nullptr);
        item(base + ItemRemoteDesktop, L"&Remote desktop", state.remoteDesktop);
        item(base + ItemStart, L"&Start service", state.startService);
        item(base + ItemStop, L"S&top service", state.stopService);
        AppendMenuW(sub, MF_SEPARATOR, 0, nullptr);
        item(base + ItemLog, L"Open &log", state.openLog);
        AppendMenuW(menu, MF_POPUP, reinterpret_cast<UINT_PTR>(sub),
                    MenuText(machine.Label()).c_str());
        MENUITEMINFOW info = {};
        info.cbSize = sizeof info;
        info.fMask = MIIM_BITMAP;
        info.hbmpItem = bitmaps_[static_cast<int>(SeverityOf(machine))];
        SetMenuItemInfoW(menu, static_cast<UINT>(i), TRUE, &info);
    }
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, MenuExit, L"E&xit");
    POINT at;
    GetCursorPos(&at);
    // Without the foreground the menu would not close when the user clicks elsewhere.
    SetForegroundWindow(window_);
    UINT id = TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_NONOTIFY, at.x, at.y, 0,
                             window_, nullptr);
    PostMessageW(window_, WM_NULL, 0, 0);
    DestroyMenu(menu);
    Command(id, shown);
}

void Companion::Command(UINT id, const std::vector<Machine>& shown) {
    if (id == MenuExit) {
        PostMessageW(window_, WM_CLOSE, 0, 0);
        return;
    }
    size_t index = (id - MenuFirst) / MenuStride;
    if (id < MenuFirst || index >= shown.size()) {
        return;
    }
    const Machine& machine = shown[index];
    switch ((id - MenuFirst) % MenuStride) {
        case ItemRemoteDesktop:
            RemoteDesktop(machine);
            break;
        case ItemStart:
            ChangeService(machine, true);
            break;
        case ItemStop:
            ChangeService(machine, false);
            break;
        case ItemLog:
            OpenLog(machine);
            break;
        default:
            break;
    }
}

void Companion::DoubleClick() {
    for (const Machine& machine : machines_) {
        if (MenuFor(machine).remoteDesktop) {
            RemoteDesktop(machine);
            return;
        }
    }
    ShowMenu();  // nothing to connect to: show why
}

void Companion::RemoteDesktop(const Machine& machine) {
    std::wstring command = L"mstsc.exe /v:localhost:" + std::to_wstring(RemoteDesktopPort(machine));
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        DWORD error = GetLastError();
        Fail(L"Remote desktop to " + machine.Label() + L" could not start.", error);
        return;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

void Companion::ChangeService(const Machine& machine, bool start) {
    start ? watch_.CancelStop(machine.service) : watch_.ExpectStop(machine.service);
    auto* action = new ServiceAction{window_, machine.service, start, ERROR_SUCCESS};
    HANDLE thread = CreateThread(nullptr, 0, ServiceActionThread, action, 0, nullptr);
    if (thread == nullptr) {
        action->error = GetLastError();
        ActionDone(action);
        return;
    }
    CloseHandle(thread);
}

void Companion::ActionDone(ServiceAction* action) {
    if (action->error != ERROR_SUCCESS) {
        if (!action->start) {
            watch_.CancelStop(action->service);
        }
        Fail(std::wstring(L"The service ") + action->service + L" could not be " +
                 (action->start ? L"started." : L"stopped."),
             action->error);
    }
    delete action;
    SetEvent(link_.wanted);
}

void Companion::OpenLog(const Machine& machine) {
    SHELLEXECUTEINFOW open = {};
    open.cbSize = sizeof open;
    open.fMask = SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
    open.hwnd = window_;
    open.lpVerb = L"open";
    open.lpFile = machine.logPath.c_str();
    open.nShow = SW_SHOWNORMAL;
    if (ShellExecuteExW(&open)) {
        return;
    }
    DWORD error = GetLastError();
    // No program for .log files (Wine tries to run the file itself): Notepad reads them.
    if (error == ERROR_NO_ASSOCIATION || error == ERROR_BAD_EXE_FORMAT) {
        std::wstring quoted = L"\"" + machine.logPath + L"\"";
        open.lpFile = L"notepad.exe";
        open.lpParameters = quoted.c_str();
        if (ShellExecuteExW(&open)) {
            return;
        }
        error = GetLastError();
    }
    Fail(L"The log " + machine.logPath + L" could not be opened.", error);
}

void Companion::Fail(const std::wstring& what, DWORD error) {
    std::wstring text = what + L"\n\n" + ErrorText(error);
    MessageBoxW(window_, text.c_str(), Title, MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
}

void Companion::DrawIcons() {
    int size = GetSystemMetrics(SM_CXSMICON);
    for (int i = 0; i < 4; ++i) {
        if (icons_[i] != nullptr) {
            DestroyIcon(icons_[i]);
        }
        if (bitmaps_[i] != nullptr) {
            DeleteObject(bitmaps_[i]);
        }
        icons_[i] = DrawIcon(static_cast<Severity>(i), size);
        bitmaps_[i] = DrawBitmap(static_cast<Severity>(i), size);
    }
}

int Companion::Run(HINSTANCE instance) {
    // ShellExecuteEx wants COM on the thread that calls it.
    HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    tray::Handle quit(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    tray::Handle wanted(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    link_.quit = quit.Get();
    link_.wanted = wanted.Get();
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = WindowClass;
    bool created = quit.Valid() && wanted.Valid() && RegisterClassExW(&windowClass) != 0 &&
                   CreateWindowExW(0, WindowClass, Title, WS_OVERLAPPED, 0, 0, 0, 0, nullptr,
                                   nullptr, instance, this) != nullptr;
    DWORD error = created ? ERROR_SUCCESS : GetLastError();
    tray::Handle listener(created ? CreateThread(nullptr, 0, ListenerThread, &link_, 0, nullptr)
                                  : nullptr);
    error = created && !listener.Valid() ? GetLastError() : error;
    tray::Handle refresher(
        listener.Valid() ? CreateThread(nullptr, 0, RefreshThread, this, 0, nullptr) : nullptr);
    error = listener.Valid() && !refresher.Valid() ? GetLastError() : error;
    if (error != ERROR_SUCCESS) {
        Fail(L"Kelvaran's tray companion cannot start.", error);
        if (listener.Valid()) {
            SetEvent(link_.quit);
            WaitForSingleObject(listener.Get(), ThreadEndTimeout);
        }
        return 1;
    }
    taskbarCreated_ = RegisterWindowMessageW(L"TaskbarCreated");
    // Started elevated, the companion still hears the shell's restart.
    ChangeWindowMessageFilterEx(window_, taskbarCreated_, MSGFLT_ALLOW, nullptr);
    DrawIcons();
    ShowIcon();
    SetTimer(window_, PeriodicTimer, RefreshPeriod, nullptr);
    SetEvent(link_.wanted);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    SetEvent(link_.quit);
    HANDLE threads[] = {listener.Get(), refresher.Get()};
    WaitForMultipleObjects(2, threads, TRUE, ThreadEndTimeout);
    for (int i = 0; i < 4; ++i) {
        DestroyIcon(icons_[i]);
        DeleteObject(bitmaps_[i]);
    }
    if (SUCCEEDED(com)) {
        CoUninitialize();
    }
    return 0;
}

}  // namespace

int RunCompanion(HINSTANCE instance) {
    Companion companion;
    return companion.Run(instance);
}

}  // namespace tray
