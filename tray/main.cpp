// kelvaran-tray: every Kelvaran machine's state in the notification area, one companion per logon
// session; or, on its command line, the states printed, or the companion's start at logon.
#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "config/config.h"
#include "tray/app.h"
#include "tray/handles.h"

namespace {

const wchar_t Usage[] =
    L"Usage: kelvaran-tray.exe [--status | --autostart on|off]\n"
    L"  (nothing)           show every Kelvaran machine in the notification area\n"
    L"  --status            print each machine's service state, machine state, screen and\n"
    L"                      remote desktop port; exit 0, or 1 when no machine is found\n"
    L"  --autostart on|off  start the companion at logon, or no longer\n";
const wchar_t RunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const wchar_t RunValue[] = L"Kelvaran Tray";
// One companion per logon session: "Local\" names are the session's own.
const wchar_t InstanceMutex[] = L"Local\\KelvaranTray";
// The Run key's start: no balloon to say where the icon is, the user did not ask for it.
const wchar_t LogonWord[] = L"--logon";
// Where the companion remembers that it told the user where its icon is.
const wchar_t SettingsKey[] = L"Software\\Kelvaran\\Tray";
const wchar_t WhereToldValue[] = L"WhereTold";
// Hidden: writes the icons as a BMP file, for the documentation's picture.
const wchar_t SheetWord[] = L"--icon-sheet";

// Where the command line's answers go: the standard handles a caller gave, else the console of
// the caller, else (started from the desktop) a message box.
class Output {
public:
    Output() {
        out_ = GetStdHandle(STD_OUTPUT_HANDLE);
        err_ = GetStdHandle(STD_ERROR_HANDLE);
        if ((Usable(out_) && Usable(err_)) || !AttachConsole(ATTACH_PARENT_PROCESS)) {
            return;
        }
        console_.Reset(CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                   nullptr));
        out_ = Usable(out_) ? out_ : console_.Get();
        err_ = Usable(err_) ? err_ : console_.Get();
    }
    ~Output() {
        if (!unshown_.empty()) {
            MessageBoxW(nullptr, unshown_.c_str(), L"Kelvaran", MB_OK | MB_ICONINFORMATION);
        }
    }
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    void Print(const std::wstring& text) {
        Write(out_, text);
    }
    void Error(const std::wstring& text) {
        Write(err_, text);
    }

private:
    static bool Usable(HANDLE handle) {
        return handle != nullptr && handle != INVALID_HANDLE_VALUE;
    }
    void Write(HANDLE handle, const std::wstring& text) {
        DWORD mode = 0;
        DWORD written = 0;
        if (!Usable(handle)) {
            unshown_ += text;
        } else if (GetConsoleMode(handle, &mode)) {
            WriteConsoleW(handle, text.c_str(), static_cast<DWORD>(text.size()), &written, nullptr);
        } else {
            // A file or a pipe gets UTF-8, as the service's own files do.
            std::wstring lines;
            for (wchar_t c : text) {
                lines += c == L'\n' ? std::wstring(L"\r\n") : std::wstring(1, c);
            }
            std::string bytes = Utf8(lines.c_str());
            WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        }
    }

    HANDLE out_;
    HANDLE err_;
    tray::Handle console_;
    std::wstring unshown_;
};

int Status(Output* output) {
    std::vector<tray::Machine> machines;
    DWORD error = tray::Survey(&machines);
    if (error != ERROR_SUCCESS) {
        output->Error(L"The services cannot be listed: " + tray::ErrorText(error) + L"\n");
        return 1;
    }
    for (const tray::Machine& machine : machines) {
        output->Print(tray::StatusLine(machine) + L"\n");
    }
    if (machines.empty()) {
        output->Print(L"No machine found: no installed service runs a copy of kelvaran.exe.\n");
        return 1;
    }
    return 0;
}

int Autostart(bool on, Output* output) {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    DWORD error = length == 0 || length == MAX_PATH ? GetLastError() : ERROR_SUCCESS;
    std::wstring command = L"\"" + std::wstring(path, length) + L"\" " + LogonWord;
    if (error == ERROR_SUCCESS && on) {
        error = RegSetKeyValueW(HKEY_CURRENT_USER, RunKey, RunValue, REG_SZ, command.c_str(),
                                static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t)));
    } else if (error == ERROR_SUCCESS) {
        error = RegDeleteKeyValueW(HKEY_CURRENT_USER, RunKey, RunValue);
        error = error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : error;
    }
    if (error != ERROR_SUCCESS) {
        output->Error(L"The logon start could not be changed: " + tray::ErrorText(error) + L"\n");
        return 1;
    }
    output->Print(on ? L"The companion starts at logon: " + command + L"\n"
                     : L"The companion no longer starts at logon.\n");
    return 0;
}

// The balloon that says where the icon is comes once per user, at the first start by hand: a Run
// key written by an older companion starts it without --logon at every logon.
bool FirstStartByHand() {
    DWORD told = 0;
    DWORD size = sizeof told;
    if (RegGetValueW(HKEY_CURRENT_USER, SettingsKey, WhereToldValue, RRF_RT_REG_DWORD, nullptr,
                     &told, &size) == ERROR_SUCCESS &&
        told != 0) {
        return false;
    }
    told = 1;
    RegSetKeyValueW(HKEY_CURRENT_USER, SettingsKey, WhereToldValue, REG_DWORD, &told, sizeof told);
    return true;
}

int Companion(HINSTANCE instance, bool byHand) {
    tray::Handle mutex(CreateMutexW(nullptr, FALSE, InstanceMutex));
    DWORD error = GetLastError();
    // Another companion of the session holds it (one started elevated denies us access): it
    // shows where it is, and this one leaves.
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_ACCESS_DENIED) {
        tray::ShowRunningCompanion();
        return 0;
    }
    return tray::RunCompanion(instance, byHand && FirstStartByHand());
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    // Whatever is loaded by name from now on (by the shell's code too) comes from System32, never
    // from the companion's folder or the current one.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::wstring> words(arguments != nullptr ? arguments + 1 : nullptr,
                                    arguments != nullptr ? arguments + count : nullptr);
    LocalFree(arguments);
    if (words.empty() || (words.size() == 1 && words[0] == LogonWord)) {
        return Companion(instance, words.empty());
    }
    Output output;
    if (words.size() == 2 && words[0] == SheetWord) {
        DWORD error = tray::WriteIconSheet(words[1]);
        if (error != ERROR_SUCCESS) {
            output.Error(L"The icons could not be written: " + tray::ErrorText(error) + L"\n");
        }
        return error == ERROR_SUCCESS ? 0 : 1;
    }
    if (words.size() == 1 && words[0] == L"--status") {
        return Status(&output);
    }
    if (words.size() == 2 && words[0] == L"--autostart" &&
        (words[1] == L"on" || words[1] == L"off")) {
        return Autostart(words[1] == L"on", &output);
    }
    output.Error(Usage);
    return 2;
}
