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
// Registered: a second start posts it to the first, maybe across integrity levels.
const wchar_t ShowMessageName[] = L"KelvaranTrayShowYourself";
const wchar_t WhereText[] =
    L"Kelvaran shows your machines here, in the notification area. Not in sight? Look under the "
    L"arrow beside the clock, and drag the icon onto the taskbar to keep it there.";
const UINT IconId = 1;
const UINT IconMessage = WM_APP + 1;
const UINT RefreshedMessage = WM_APP + 2;
const UINT ActionDoneMessage = WM_APP + 3;
const UINT_PTR PeriodicTimer = 1;
const UINT_PTR PendingTimer = 2;
const UINT_PTR IconTimer = 3;
const UINT RefreshPeriod = 30000;
// How soon to look again at a service that is settling.
const UINT PendingPeriod = 1000;
// How soon to offer the icon again to a shell that refused it (busy, or not there yet).
const UINT IconRetryPeriod = 2000;
// The least time between two surveys: notifications meanwhile merge into the next one.
const DWORD SurveyGap = 1000;
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

// Starts a program of System32 by its full path: by its bare name it would be looked for in the
// companion's folder and the current one first. Returns 0 or the Windows error.
DWORD StartSystemProgram(const wchar_t* program, const std::wstring& arguments) {
    wchar_t folder[MAX_PATH];
    UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return length == 0 ? GetLastError() : ERROR_BUFFER_OVERFLOW;
    }
    std::wstring path = std::wstring(folder, length) + L"\\" + program;
    std::wstring command = L"\"" + path + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(path.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return GetLastError();
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return ERROR_SUCCESS;
}

// A menu shows '&' as a mnemonic unless doubled.
std::wstring MenuText(const std::wstring& text) {
    std::wstring escaped;
    for (wchar_t c : text) {
        escaped += c == L'&' ? L"&&" : std::wstring(1, c);
    }
    return escaped;
}

// The DPI that GetSystemMetrics answers for.
UINT SystemDpi() {
    HDC screen = GetDC(nullptr);
    int dpi = screen != nullptr ? GetDeviceCaps(screen, LOGPIXELSX) : 0;
    ReleaseDC(nullptr, screen);
    return dpi > 0 ? static_cast<UINT>(dpi) : 96;
}

// The taskbar's DPI (its monitor's), else the system's; user32 has GetDpiForWindow since
// Windows 10.
UINT TaskbarDpi() {
    using GetDpi = UINT(WINAPI*)(HWND);
    static const auto getDpi = reinterpret_cast<GetDpi>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    HWND taskbar = FindWindowW(L"Shell_TrayWnd", nullptr);
    UINT dpi = getDpi != nullptr && taskbar != nullptr ? getDpi(taskbar) : 0;
    return dpi != 0 ? dpi : SystemDpi();
}

class Companion {
public:
    int Run(HINSTANCE instance, bool tellWhere);

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static DWORD WINAPI RefreshThread(void* self);
    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
    void Refreshed();
    NOTIFYICONDATAW IconData(UINT flags) const;
    void ShowIcon();
    void Balloon(const std::wstring& text, DWORD flags);
    void ShowMenu(bool keyboard);
    void MenuIcon(UINT message, LPARAM lParam);
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
    UINT showMessage_ = 0;
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
    // A balloon waits here until the icon is there to carry it.
    std::wstring balloon_;
    DWORD balloonFlags_ = 0;
    int iconSize_ = 16;
    HICON icons_[4] = {};
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
        DWORD error = Survey(&machines, self->link_.quit);
        {
            std::lock_guard<std::mutex> hold(self->lock_);
            self->latest_ = machines;
            self->latestError_ = error;
        }
        PostMessageW(self->window_, RefreshedMessage, 0, 0);
        // A burst of notifications sets wanted (auto-reset) many times: one survey after the gap.
        if (WaitForSingleObject(self->link_.quit, SurveyGap) == WAIT_OBJECT_0) {
            break;
        }
    }
    return 0;
}

LRESULT Companion::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == taskbarCreated_ && message != 0) {
        // The shell restarted, or the scaling changed and the shell may still hold the icon:
        // removed first, the add cannot fail for an icon that is there.
        NOTIFYICONDATAW data = IconData(0);
        Shell_NotifyIconW(NIM_DELETE, &data);
        iconShown_ = false;
        DrawIcons();
        ShowIcon();
        return 0;
    }
    if (message == showMessage_ && message != 0) {
        Balloon(WhereText, NIIF_INFO);
        return 0;
    }
    switch (message) {
        case IconMessage:
            if (lParam == WM_CONTEXTMENU || lParam == NIN_KEYSELECT ||
                (lParam == WM_RBUTTONUP && !version3_)) {
                ShowMenu(lParam == NIN_KEYSELECT);
            } else if (lParam == WM_LBUTTONDBLCLK) {
                DoubleClick();
            }
            return 0;
        case WM_DPICHANGED:
        case WM_SETTINGCHANGE:
        case WM_SYSCOLORCHANGE:
        case WM_DISPLAYCHANGE:
            // Another scale, or high contrast turned on or off: the icons are drawn again.
            DrawIcons();
            ShowIcon();
            return 0;
        case WM_MEASUREITEM:
        case WM_DRAWITEM:
            MenuIcon(message, lParam);
            return TRUE;
        case RefreshedMessage:
            Refreshed();
            return 0;
        case ActionDoneMessage:
            ActionDone(reinterpret_cast<ServiceAction*>(lParam));
            return 0;
        case WM_TIMER:
            if (wParam == IconTimer) {
                KillTimer(window_, IconTimer);
                ShowIcon();
                return 0;
            }
            if (wParam == PendingTimer) {
                KillTimer(window_, PendingTimer);
            }
            SetEvent(link_.wanted);
            return 0;
        case WM_CLOSE:
            DestroyWindow(window_);
            return 0;
        case WM_DESTROY: {
            NOTIFYICONDATAW data = IconData(0);
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
        for (const std::wstring& text : watch_.Update(machines_, GetTickCount64())) {
            news += (news.empty() ? L"" : L"\n") + text;
        }
        if (!news.empty()) {
            Balloon(news, (severity_ == Severity::Red ? NIIF_ERROR : NIIF_WARNING) |
                              NIIF_RESPECT_QUIET_TIME);
        }
    }
}

NOTIFYICONDATAW Companion::IconData(UINT flags) const {
    NOTIFYICONDATAW data = {};
    data.cbSize = sizeof data;
    data.hWnd = window_;
    data.uID = IconId;
    data.uFlags = flags;
    return data;
}

void Companion::ShowIcon() {
    NOTIFYICONDATAW data = IconData(NIF_ICON | NIF_TIP | NIF_MESSAGE);
    data.uCallbackMessage = IconMessage;
    data.hIcon = icons_[static_cast<int>(severity_)];
    lstrcpynW(data.szTip, tip_.c_str(), ARRAYSIZE(data.szTip));
    // The shell may have lost the icon (no shell yet at logon, a restart), or kept it while one
    // change failed (a busy Explorer): whichever call fits, and failing both a timer tries again
    // (as does the next refresh), with what is to be shown by then.
    bool modified = iconShown_ && Shell_NotifyIconW(NIM_MODIFY, &data);
    bool added = !modified && Shell_NotifyIconW(NIM_ADD, &data);
    iconShown_ = modified || added || Shell_NotifyIconW(NIM_MODIFY, &data);
    if (!iconShown_) {
        SetTimer(window_, IconTimer, IconRetryPeriod, nullptr);
    }
    if (added) {
        data.uVersion = NOTIFYICON_VERSION;
        version3_ = Shell_NotifyIconW(NIM_SETVERSION, &data);
    }
    NOTIFYICONDATAW info = IconData(NIF_INFO);
    info.dwInfoFlags = balloonFlags_;
    lstrcpynW(info.szInfoTitle, Title, ARRAYSIZE(info.szInfoTitle));
    lstrcpynW(info.szInfo, balloon_.c_str(), ARRAYSIZE(info.szInfo));
    if (iconShown_ && !balloon_.empty() && Shell_NotifyIconW(NIM_MODIFY, &info)) {
        balloon_.clear();
    }
}

void Companion::Balloon(const std::wstring& text, DWORD flags) {
    balloon_ = text;
    balloonFlags_ = flags;
    ShowIcon();
}

void Companion::ShowMenu(bool keyboard) {
    // The menu acts on the machines it shows, whatever a refresh brings meanwhile.
    std::vector<Machine> shown = machines_;
    bool defaultSet = false;
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
        AppendMenuW(sub, MF_STRING | MF_GRAYED, 0, MenuText(facts).c_str());
        AppendMenuW(sub, MF_SEPARATOR, 0, nullptr);
        item(base + ItemRemoteDesktop, L"&Remote desktop", state.remoteDesktop);
        item(base + ItemStart, L"&Start service", state.startService);
        item(base + ItemStop, L"S&top service", state.stopService);
        AppendMenuW(sub, MF_SEPARATOR, 0, nullptr);
        item(base + ItemLog, L"Open &log", state.openLog);
        // What a double click does (DoubleClick takes the first such machine) is shown in bold.
        if (state.remoteDesktop && !defaultSet) {
            defaultSet = SetMenuDefaultItem(sub, base + ItemRemoteDesktop, FALSE) != FALSE;
        }
        AppendMenuW(menu, MF_POPUP, reinterpret_cast<UINT_PTR>(sub),
                    MenuText(machine.Label()).c_str());
        // Drawn by WM_DRAWITEM: a bitmap of the item would be inverted when highlighted.
        MENUITEMINFOW info = {};
        info.cbSize = sizeof info;
        info.fMask = MIIM_BITMAP | MIIM_DATA;
        info.hbmpItem = HBMMENU_CALLBACK;
        info.dwItemData = static_cast<ULONG_PTR>(SeverityOf(machine));
        SetMenuItemInfoW(menu, static_cast<UINT>(i), TRUE, &info);
    }
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, MenuExit, L"E&xit");
    // The menu opens at the pointer that clicked the icon; opened from the keyboard (the pointer
    // is elsewhere), at the icon. It never covers the icon: above or below it.
    NOTIFYICONIDENTIFIER identifier = {sizeof identifier, window_, IconId, {}};
    TPMPARAMS around = {sizeof around, {}};
    bool placed = SUCCEEDED(Shell_NotifyIconGetRect(&identifier, &around.rcExclude));
    POINT at = {};
    GetCursorPos(&at);
    keyboard |= placed && !PtInRect(&around.rcExclude, at);
    if (placed && keyboard) {
        at = {around.rcExclude.left, around.rcExclude.top};
    }
    // Without the foreground the menu would not close when the user clicks elsewhere.
    SetForegroundWindow(window_);
    UINT id = TrackPopupMenuEx(
        menu, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_NONOTIFY | (placed ? TPM_VERTICAL : 0), at.x,
        at.y, window_, placed ? &around : nullptr);
    PostMessageW(window_, WM_NULL, 0, 0);
    DestroyMenu(menu);
    if (id == 0 && keyboard) {
        // Escape: the keyboard's focus goes back to the notification area.
        NOTIFYICONDATAW data = IconData(0);
        Shell_NotifyIconW(NIM_SETFOCUS, &data);
    }
    Command(id, shown);
}

void Companion::MenuIcon(UINT message, LPARAM lParam) {
    if (message == WM_MEASUREITEM) {
        auto* measure = reinterpret_cast<MEASUREITEMSTRUCT*>(lParam);
        measure->itemWidth = measure->itemHeight = static_cast<UINT>(iconSize_);
        return;
    }
    auto* draw = reinterpret_cast<DRAWITEMSTRUCT*>(lParam);
    int top = (draw->rcItem.top + draw->rcItem.bottom - iconSize_) / 2;
    DrawIconEx(draw->hDC, draw->rcItem.left, top, icons_[draw->itemData % 4], iconSize_, iconSize_,
               0, nullptr, DI_NORMAL);
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
    ShowMenu(false);  // nothing to connect to: show why
}

void Companion::RemoteDesktop(const Machine& machine) {
    DWORD error = StartSystemProgram(
        L"mstsc.exe", L"/v:localhost:" + std::to_wstring(RemoteDesktopPort(machine)));
    if (error != ERROR_SUCCESS) {
        Fail(L"Remote desktop to " + machine.Label() + L" could not start.", error);
    }
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
        error = StartSystemProgram(L"notepad.exe", L"\"" + machine.logPath + L"\"");
    }
    if (error != ERROR_SUCCESS) {
        Fail(L"The log " + machine.logPath + L" could not be opened.", error);
    }
}

void Companion::Fail(const std::wstring& what, DWORD error) {
    std::wstring text = what + L"\n\n" + ErrorText(error);
    MessageBoxW(window_, text.c_str(), Title, MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
}

void Companion::DrawIcons() {
    // The small icon's size at the DPI of the taskbar's monitor.
    iconSize_ = MulDiv(GetSystemMetrics(SM_CXSMICON), static_cast<int>(TaskbarDpi()),
                       static_cast<int>(SystemDpi()));
    HIGHCONTRASTW contrast = {sizeof contrast, 0, nullptr};
    bool highContrast = SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof contrast, &contrast, 0) &&
                        (contrast.dwFlags & HCF_HIGHCONTRASTON) != 0;
    for (int i = 0; i < 4; ++i) {
        if (icons_[i] != nullptr) {
            DestroyIcon(icons_[i]);
        }
        icons_[i] = DrawIcon(static_cast<Severity>(i), iconSize_, highContrast);
    }
}

int Companion::Run(HINSTANCE instance, bool tellWhere) {
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
            WaitForSingleObject(listener.Get(), INFINITE);
        }
        return 1;
    }
    taskbarCreated_ = RegisterWindowMessageW(L"TaskbarCreated");
    showMessage_ = RegisterWindowMessageW(ShowMessageName);
    // Started elevated, the companion still hears the shell's restart and a second start.
    ChangeWindowMessageFilterEx(window_, taskbarCreated_, MSGFLT_ALLOW, nullptr);
    ChangeWindowMessageFilterEx(window_, showMessage_, MSGFLT_ALLOW, nullptr);
    DrawIcons();
    ShowIcon();
    if (tellWhere) {
        Balloon(WhereText, NIIF_INFO);
    }
    SetTimer(window_, PeriodicTimer, RefreshPeriod, nullptr);
    SetEvent(link_.wanted);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    // Both threads use this object (the link, lock_, latest_): it outlives them. They end soon
    // after quit: the listener at once, the refresher after the machine it is asking (every
    // step of a question is bounded).
    SetEvent(link_.quit);
    HANDLE threads[] = {listener.Get(), refresher.Get()};
    WaitForMultipleObjects(2, threads, TRUE, INFINITE);
    for (HICON icon : icons_) {
        DestroyIcon(icon);
    }
    if (SUCCEEDED(com)) {
        CoUninitialize();
    }
    return 0;
}

}  // namespace

int RunCompanion(HINSTANCE instance, bool tellWhere) {
    Companion companion;
    return companion.Run(instance, tellWhere);
}

DWORD ShowRunningCompanion() {
    HWND window = FindWindowW(WindowClass, nullptr);
    DWORD error = window == nullptr ? ERROR_NOT_FOUND : ERROR_SUCCESS;
    UINT message = RegisterWindowMessageW(ShowMessageName);
    if (error == ERROR_SUCCESS && (message == 0 || !PostMessageW(window, message, 0, 0))) {
        error = GetLastError();
    }
    return error;
}

}  // namespace tray
