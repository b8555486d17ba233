// Program entry. Started by the Service Control Manager (no argument) it becomes the service
// process; from a console "-i" installs the service (to run as the account "--account" names),
// "-u" removes it, anything else shows usage.
#include "config/config.h"
#include "install/install.h"
#include "service/service.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

int ShowUsage() {
    WORD version[4];
    if (!ReadProductVersion(version)) {
        return 0;
    }
    const char* name = ServiceConfig.ServiceKeyName;
    ConsolePrint(
        STD_OUTPUT_HANDLE,
        "\nKelvaran Service v%d.%d.%d%s\n\nUsage:\n\t %s -i\t\tInstall %s service\n"
        "\t %s -u\t\tUninstall %s service\n"
        "\t %s -i --account NAME\tInstall %s service to run as NAME (asks for its password)\n",
        version[0], version[1], version[2], " (x64)", name, name, name, name, name, name);
    return 0;
}

// "-i" and the arguments after it. An option is a mistake unless it is "--account NAME": a typo
// must not install the service as LocalSystem. Other words stay ignored.
int Install(int argc, const char* const* argv) {
    InstallOptions options = {
        PreshutdownSupported ? WholeStopBound(ServiceConfig.MaxWaitTimeout) : 0, nullptr};
    for (int i = 2; i < argc; ++i) {
        if (_stricmp(argv[i], "--account") == 0) {
            if (i + 1 == argc || argv[i + 1][0] == '\0') {
                ReportInstallFailure("--account needs an account name");
                return 2;
            }
            options.Account = argv[++i];
        } else if (strncmp(argv[i], "--", 2) == 0) {
            ReportInstallFailure("unknown option %s", argv[i]);
            return 2;
        }
    }
    return InstallService(options);
}

// A service that is already gone is what the administrator asked for: exit status 0.
int Uninstall() {
    const char* display = ServiceConfig.DisplayName;
    const char* key = ServiceConfig.ServiceKeyName;
    // The event source goes after the removal's own event, which it names.
    switch (UninstallService()) {
        case UninstallDone:
            ConsolePrint(STD_OUTPUT_HANDLE, "\n%s (%s) service uninstalled successfully.\n",
                         display, key);
            LogMessage(1, "Service %s (%s) uninstalled successfully.", display, key);
            RemoveEventSource();
            return 0;
        case UninstallPending:
            ConsolePrint(
                STD_OUTPUT_HANDLE,
                "\n%s (%s) service is still running and will be uninstalled when stopped.\n",
                display, key);
            LogMessage(1, "Service %s (%s) is still running and will be uninstalled when stopped.",
                       display, key);
            RemoveEventSource();
            return 2;
        case UninstallNotFound:
            return 0;
        case UninstallFailed:
            break;
    }
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** wideArgv) {
    int configurationComplete = LoadConfiguration(TRUE);
    SetVirtualBoxEnvironment();
    DetectPreshutdownSupport();

    if (argc < 2) {
        // Returns when the service has stopped, or at once when no service manager started us.
        std::wstring name = Wide(ServiceConfig.ServiceKeyName);
        SERVICE_TABLE_ENTRYW dispatchTable[] = {{&name[0], ServiceMain}, {nullptr, nullptr}};
        StartServiceCtrlDispatcherW(dispatchTable);
        return 0;
    }
    std::vector<std::string> arguments;
    for (int i = 0; i < argc; ++i) {
        arguments.push_back(Utf8(wideArgv[i]));
    }
    std::vector<const char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(argument.c_str());
    }
    bool install = _stricmp(argv[1], "-i") == 0;
    if (!install && _stricmp(argv[1], "-u") != 0) {
        return ShowUsage();
    }
    if (!configurationComplete) {
        ConsolePrint(STD_OUTPUT_HANDLE, "\nConfiguration is not complete.\nCheck %s file.\n",
                     ServiceConfig.LogPath);
        return 1;
    }
    return install ? Install(argc, argv.data()) : Uninstall();
}
