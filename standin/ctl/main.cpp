// standin-ctl.exe: the VirtualBox stand-in's own control tool (not part of VirtualBox). It sets
// what a real machine would decide for itself (guest reactions, screen, timings), injects faults,
// and prints what tests need to observe. Exit status: 0 done, 1 failed, 2 bad command line.
#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/common.h"

namespace standin {
namespace {

int Usage() {
    fprintf(stderr,
            "standin-ctl: control tool of the VirtualBox stand-in\n"
            "  standin-ctl pid | home | journal\n"
            "  standin-ctl show NAME | state NAME\n"
            "  standin-ctl acpi NAME power|sleep|both MS|ignore\n"
            "  standin-ctl screen NAME WIDTHxHEIGHT\n"
            "  standin-ctl vrde NAME on|off PORT\n"
            "  standin-ctl durations NAME LAUNCH_MS POWEROFF_MS SAVE_MS\n"
            "  standin-ctl launch-result NAME HRESULT | save-result NAME HRESULT\n"
            "  standin-ctl fault set MEMBER HRESULT|hang [once|always|COUNT] [MACHINE]\n"
            "  standin-ctl fault clear [MEMBER] | fault list\n"
            "  standin-ctl release [5.0|6.1|7.0]   (played from the server's next start)\n"
            "  standin-ctl typeinfo on|off\n"
            "  standin-ctl kill NAME\n"
            "  standin-ctl remove NAME      (kill if it runs, then unregister; fine if absent)\n");
    return 2;
}

int Report(HRESULT hr) {
    if (SUCCEEDED(hr)) {
        return 0;
    }
    const char* name = HresultName(hr);
    fprintf(stderr, "standin-ctl: failed with %s%s%s\n", HexCode(hr).c_str(), name ? " " : "",
            name ? name : "");
    return 1;
}

bool ParseNumber(const std::wstring& text, long* value) {
    if (text.empty()) {
        return false;
    }
    wchar_t* end = nullptr;
    *value = static_cast<long>(wcstoul(text.c_str(), &end, 0));
    if (text[0] == L'-') {
        *value = wcstol(text.c_str(), &end, 0);
    }
    return *end == L'\0';
}

std::wstring Field(const std::wstring& description, const std::wstring& key) {
    size_t at = description.find(L"\n" + key + L"=");
    if (description.compare(0, key.size() + 1, key + L"=") == 0) {
        at = 0;
    } else if (at != std::wstring::npos) {
        ++at;
    } else {
        return std::wstring();
    }
    size_t start = at + key.size() + 1;
    return description.substr(start, description.find(L'\n', start) - start);
}

int PrintText(HRESULT hr, BSTR text, bool onlyState) {
    if (FAILED(hr)) {
        SysFreeString(text);
        return Report(hr);
    }
    std::wstring all(text, SysStringLen(text));
    SysFreeString(text);
    std::string out = Utf8(onlyState ? Field(all, L"state") + L"\n" : all);
    fputs(out.c_str(), stdout);
    return 0;
}

int Run(IStandinControl* control, const std::vector<std::wstring>& a) {
    size_t n = a.size();
    const std::wstring& command = a[0];
    long number = 0;
    BSTR text = nullptr;
    if (command == L"pid" && n == 1) {
        ULONG pid = 0;
        HRESULT hr = control->get_ServerPid(&pid);
        if (SUCCEEDED(hr)) {
            printf("%lu\n", pid);
        }
        return Report(hr);
    }
    if ((command == L"journal" || command == L"home") && n == 1) {
        HRESULT hr = control->get_JournalPath(&text);
        std::wstring path = SUCCEEDED(hr) ? std::wstring(text, SysStringLen(text)) : L"";
        SysFreeString(text);
        if (command == L"home") {
            path = path.substr(0, path.find_last_of(L'\\'));
        }
        if (SUCCEEDED(hr)) {
            printf("%s\n", Utf8(path).c_str());
        }
        return Report(hr);
    }
    if ((command == L"show" || command == L"state") && n == 2) {
        HRESULT hr = control->DescribeMachine(Bstr(a[1]), &text);
        return PrintText(hr, text, command == L"state");
    }
    if (command == L"acpi" && n == 4) {
        long button = a[2] == L"both" ? 0 : a[2] == L"power" ? 1 : a[2] == L"sleep" ? 2 : -1;
        long after = -1;
        if (button < 0 || (a[3] != L"ignore" && !ParseNumber(a[3], &after))) {
            return Usage();
        }
        return Report(control->SetAcpiReaction(Bstr(a[1]), button, after));
    }
    if (command == L"screen" && n == 3) {
        unsigned long width = 0, height = 0;
        if (swscanf(a[2].c_str(), L"%lux%lu", &width, &height) != 2) {
            return Usage();
        }
        return Report(control->SetScreen(Bstr(a[1]), width, height));
    }
    if (command == L"vrde" && n == 4 && (a[2] == L"on" || a[2] == L"off") &&
        ParseNumber(a[3], &number)) {
        return Report(control->SetVrde(Bstr(a[1]), a[2] == L"on", number));
    }
    if (command == L"durations" && n == 5) {
        long launch = 0, powerOff = 0, save = 0;
        if (!ParseNumber(a[2], &launch) || !ParseNumber(a[3], &powerOff) ||
            !ParseNumber(a[4], &save)) {
            return Usage();
        }
        return Report(control->SetDurations(Bstr(a[1]), launch, powerOff, save));
    }
    if ((command == L"launch-result" || command == L"save-result") && n == 3 &&
        ParseNumber(a[2], &number)) {
        return Report(
            control->SetOperationResult(Bstr(a[1]), command == L"save-result" ? 1 : 0, number));
    }
    if (command == L"fault" && n >= 2) {
        if (a[1] == L"list" && n == 2) {
            HRESULT hr = control->ListFaults(&text);
            return PrintText(hr, text, false);
        }
        if (a[1] == L"clear" && n <= 3) {
            return Report(control->ClearFaults(Bstr(n == 3 ? a[2] : L"")));
        }
        if (a[1] == L"set" && n >= 4 && n <= 6) {
            if (a[3] == L"hang") {
                number = kHangFault;
            } else if (!ParseNumber(a[3], &number)) {
                return Usage();
            }
            long count = 1;
            if (n >= 5 && a[4] == L"always") {
                count = -1;
            } else if (n >= 5 && a[4] != L"once" && !ParseNumber(a[4], &count)) {
                return Usage();
            }
            return Report(control->SetFault(Bstr(a[2]), number, count, Bstr(n == 6 ? a[5] : L"")));
        }
        return Usage();
    }
    if (command == L"release" && n == 1) {
        BSTR next = nullptr;
        HRESULT hr = control->get_PlayedRelease(&text);
        if (SUCCEEDED(hr)) {
            hr = control->get_NextRelease(&next);
        }
        if (SUCCEEDED(hr)) {
            std::wstring played(text, SysStringLen(text)), chosen(next, SysStringLen(next));
            printf("%s", Utf8(played).c_str());
            if (chosen != played) {
                printf(" (%s from the next start)", Utf8(chosen).c_str());
            }
            printf("\n");
        }
        SysFreeString(text);
        SysFreeString(next);
        return Report(hr);
    }
    if (command == L"release" && n == 2 && (a[1] == L"5.0" || a[1] == L"6.1" || a[1] == L"7.0")) {
        return Report(control->put_NextRelease(Bstr(a[1])));
    }
    if (command == L"typeinfo" && n == 2 && (a[1] == L"on" || a[1] == L"off")) {
        return Report(control->put_TypeInfoOffered(a[1] == L"on"));
    }
    if (command == L"kill" && n == 2) {
        return Report(control->KillVMProcess(Bstr(a[1])));
    }
    if (command == L"remove" && n == 2) {
        return Report(control->DiscardMachine(Bstr(a[1])));
    }
    return Usage();
}

}  // namespace
}  // namespace standin

int wmain(int argc, wchar_t** argv) {
    using namespace standin;
    if (argc < 2) {
        return Usage();
    }
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hr)) {
        return Report(hr);
    }
    IStandinControl* control = nullptr;
    hr = CreateVirtualBoxObject(__uuidof(IStandinControl), reinterpret_cast<void**>(&control));
    int status = Report(hr);
    if (SUCCEEDED(hr)) {
        status = Run(control, std::vector<std::wstring>(argv + 1, argv + argc));
        control->Release();
    }
    CoUninitialize();
    return status;
}
