// kelvaran.exe end to end: from a console, and as a service of Wine's Service Control Manager
// (without VirtualBox; the service with a machine is the group "machine"'s). Every case has
// copies of its own, named after it, so cases run side by side.
#include "tests/support/support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

extern "C" LONG NTAPI NtSuspendProcess(HANDLE process);
extern "C" LONG NTAPI NtResumeProcess(HANDLE process);

namespace {

using testsupport::CompleteIni;
using testsupport::IniKeys;
using testsupport::ServiceCopy;
using testsupport::TempFolder;
using Lines = std::vector<std::string>;

// text with "<log>", "<ini>" and "<exe>" standing for the copy's files, "<user>" for Wine's one
// user.
std::string Fill(const std::string& text, const ServiceCopy& copy) {
    std::string files = std::regex_replace(
        std::regex_replace(std::regex_replace(text, std::regex("<log>"), copy.LogPath()),
                           std::regex("<ini>"), copy.IniPath()),
        std::regex("<exe>"), copy.ExePath());
    return std::regex_replace(files, std::regex("<user>"), testsupport::WineUser());
}

// The version of the build and the service name in its four places.
std::string Usage(const std::string& name) {
    return "\nKelvaran Service v" KELVARAN_VERSION3 " (x64)\n\nUsage:\n\t " + name +
           " -i\t\tInstall " + name + " service\n\t " + name + " -u\t\tUninstall " + name +
           " service\n\t " + name + " -i --account NAME\tInstall " + name +
           " service to run as NAME (asks for its password)\n";
}

// The values of the service's event source, as reg.exe lists them; empty when it has none.
std::string EventSource(const ServiceCopy& copy) {
    std::string listed =
        testsupport::RunProcess("C:\\windows\\system32\\reg.exe",
                                "query HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\"
                                "Application\\" +
                                    copy.Name())
            .output;
    size_t values = listed.find("    ");
    return values != std::string::npos ? listed.substr(values) : "";
}

bool Exists(const std::string& service) {
    SERVICE_STATUS_PROCESS status;
    return testsupport::QueryStatus(service, &status) != ERROR_SERVICE_DOES_NOT_EXIST;
}

// Without an argument the program finds no service manager behind it and ends quietly. Only "-i"
// and "-u" are commands, and they need a complete configuration; anything else shows the usage.
// The service name derives from the executable's base name once an INI file is found. An option
// after "-i" other than "--account NAME", an account that cannot serve or a user's empty password
// refuse the install. None of these leaves a service.
TEST(CommandLine, AnswersFromAConsole) {
    const char* complete =
        "[Kelvaran]\r\nVboxInstallPath=C:\\V\r\nVboxUserHome=C:\\H\r\nVmName=vm\r\n";
    const char* incomplete = "[Kelvaran]\r\nLoglevel=3\r\n";
    const std::string refused = "\nConfiguration is not complete.\nCheck <log> file.\n";
    const std::string error = "\nERROR installing  (kelvaran) service: ";
    // Executable, INI file (none when null), argument, exit status, output.
    const std::tuple<const char*, const char*, const char*, DWORD, std::string> rows[] = {
        {"kelvaran.exe", complete, "", 0, ""},
        {"kelvaran.exe", complete, "-h", 0, Usage("kelvaran")},
        {"kelvaran.exe", complete, "-install", 0, Usage("kelvaran")},
        {"kelvaran.exe", incomplete, "-x -i", 0, Usage("kelvaran")},
        {"kelvaran.exe", nullptr, "-h", 0, Usage("")},
        {"My  Service.exe", incomplete, "-h", 0, Usage("My__Service")},
        {"svc.com", incomplete, "-h", 0, Usage("svc")},
        {"ab.x", incomplete, "-h", 0, Usage("kelvaran")},
        {"Refused.exe", incomplete, "-i", 1, refused},
        {"Refused.exe", nullptr, "-U", 1, refused},
        {"kelvaran.exe", complete, "-i --account", 2, error + "--account needs an account name\n"},
        {"kelvaran.exe", complete, "-I x --acount <user>", 2, error + "unknown option --acount\n"},
        {"kelvaran.exe", complete, "-i --account .\\nobody", 2,
         error + "account .\\nobody not found (0x00000534)\n"},
        {"kelvaran.exe", complete, "-i --account Administrators", 2,
         error + "BUILTIN\\Administrators is a group, not an account a service can run as\n"},
        {"kelvaran.exe", complete, "-i --account <user>", 2,
         error + "no password given for <user>, a user account\n"},
    };
    TempFolder folder;
    for (const auto& [exe, ini, argument, exit, output] : rows) {
        SCOPED_TRACE(std::string(exe) + " " + argument);
        ServiceCopy copy(folder, exe);
        ini != nullptr ? testsupport::WriteFileContent(copy.IniPath(), ini)
                       : (void)DeleteFileA(copy.IniPath().c_str());
        testsupport::ProcessResult result = copy.Run(Fill(argument, copy));
        EXPECT_EQ(result.exitCode, exit);
        EXPECT_EQ(result.output, Fill(output, copy));
        EXPECT_FALSE(Exists(copy.Name()));
    }
}

// A path with a blank is registered in quotes: unquoted, Windows would first try C:\Program.exe
// for C:\Program Files\..., as LocalSystem. "-I" installs as "-i" does, and a further argument is
// ignored. The log gets the one line (no access error in particular). Windows waits at a host
// shutdown for MaxWaitTimeout, the last resort's 30 s and the tear-down's 12.5 s. "--account" of
// a user registers the account as DOMAIN\name, with the password read from standard input, which
// neither the registry, the INI file nor the log shows, and no interactive service. The event
// source is the executable's, for errors, warnings and information.
TEST(Install, RegistersTheServiceAsConfigured) {
    // Folder suffix, executable, INI keys, argument, display name, pre-shutdown time-out.
    const std::tuple<const char*, const char*, IniKeys, const char*, const char*, DWORD> rows[] = {
        {" with blanks",
         "Install Quoted.exe",
         {{"ServiceName", "Kelvaran Quoted"}},
         "-i",
         "Kelvaran Quoted",
         342500},
        {"", "InstallPlain.exe", {{"MaxWaitTimeout", "400000"}}, "-I -u", "", 442500},
        {"", "InstallUser.exe", {}, "-i --account <user>", "", 342500},
    };
    for (const auto& [suffix, exe, keys, argument, display, preshutdown] : rows) {
        TempFolder folder(suffix);
        ServiceCopy copy(folder, exe);
        copy.WriteIni(CompleteIni(keys));
        const std::string user = testsupport::WineUser();
        const bool account = strstr(argument, "--account") != nullptr;
        testsupport::ProcessResult result = copy.Run(Fill(argument, copy), "Pa55 word\r\n");
        std::string names = std::string(display) + " (" + copy.Name() + ")";
        std::string runsAs = account ? " to run as " + user : "";
        EXPECT_EQ(result.exitCode, 0u) << exe;
        EXPECT_EQ(result.output, "\n" + names + " service installed successfully" + runsAs + ".\n");
        EXPECT_EQ(copy.Log(), Lines{"Service " + names + " installed successfully" + runsAs + "."});
        testsupport::ServiceSettings settings{};
        ASSERT_EQ(testsupport::QuerySettings(copy.Name(), &settings), 0u);
        EXPECT_EQ(settings.serviceType, account ? 0x10u : 0x110u);
        EXPECT_EQ(settings.account, account ? user : "LocalSystem");
        EXPECT_EQ(settings.startType, static_cast<DWORD>(SERVICE_AUTO_START));
        EXPECT_EQ(settings.errorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
        EXPECT_EQ(settings.binaryPath,
                  *suffix != '\0' ? "\"" + copy.ExePath() + "\"" : copy.ExePath());
        EXPECT_EQ(settings.displayName, display);
        EXPECT_EQ(settings.description,
                  "Provides automatic start and shutdown of VirtualBox machine.");
        EXPECT_EQ(settings.preshutdownTimeout, preshutdown);
        EXPECT_EQ(EventSource(copy), "    EventMessageFile    REG_EXPAND_SZ    " + copy.ExePath() +
                                         "\n    TypesSupported    REG_DWORD    0x7\n\n");
        std::string key = "query HKLM\\System\\CurrentControlSet\\Services\\" + copy.Name() + " /s";
        std::string kept = testsupport::RunProcess("C:\\windows\\system32\\reg.exe", key).output +
                           testsupport::ReadFileContent(copy.IniPath()) +
                           testsupport::ReadFileContent(copy.LogPath());
        EXPECT_NE(kept.find(settings.account), std::string::npos) << kept;
        EXPECT_EQ(kept.find("Pa55"), std::string::npos) << kept;
    }
}

// Runs the copy with the display name in its INI file and argument, and expects the exit status,
// the text on the console between line breaks and the log's last line (the same text, unless
// given), and what the manager then shows as the display name (empty when there is no service).
void ExpectAnswer(const ServiceCopy& copy, const std::string& display, const std::string& argument,
                  DWORD exit, const std::string& text, std::string logged,
                  const std::string& registered) {
    copy.WriteIni(CompleteIni({{"ServiceName", display}}));
    testsupport::ProcessResult result = copy.Run(argument);
    EXPECT_EQ(result.exitCode, exit) << text;
    EXPECT_EQ(result.output, "\n" + text + "\n");
    EXPECT_EQ(copy.Log().back(), logged.empty() ? text : logged);
    testsupport::ServiceSettings settings{};
    testsupport::QuerySettings(copy.Name(), &settings);
    EXPECT_EQ(settings.displayName, registered) << text;
}

// A second install fails and keeps the first registration; two services may not share a display
// name; a missing service is what "-u" was asked for: status 0. The event source comes and goes
// with the service.
TEST(Install, RefusalsAndRemoval) {
    TempFolder folder;
    ServiceCopy twice(folder, "InstallTwice.exe");
    ServiceCopy other(folder, "InstallOther.exe");
    // Copy, display name, argument, exit status, console text, log line unless the same, the
    // display name registered after.
    const std::tuple<const ServiceCopy*, const char*, const char*, DWORD, const char*, const char*,
                     const char*>
        rows[] = {
            {&twice, "First", "-i", 0, "First (InstallTwice) service installed successfully.",
             "Service First (InstallTwice) installed successfully.", "First"},
            {&twice, "Second", "-i", 2,
             "ERROR installing Second (InstallTwice) service: service already exists", "", "First"},
            {&other, "First", "-i", 2,
             "ERROR installing First (InstallOther) service: duplicate service display name", "",
             ""},
            {&other, "First", "-u", 0,
             "ERROR uninstalling First (InstallOther) service: service not found", "", ""},
            {&twice, "First", "-u", 0, "First (InstallTwice) service uninstalled successfully.",
             "Service First (InstallTwice) uninstalled successfully.", ""},
        };
    for (const auto& [copy, display, argument, exit, text, logged, registered] : rows) {
        ExpectAnswer(*copy, display, argument, exit, text, logged, registered);
        EXPECT_EQ(EventSource(*copy).empty(), *registered == '\0') << "its event source";
    }
}

// A running service is only marked for deletion: the exit status says the removal is not done,
// a second "-u" says why it cannot do more, as does an "-i", and the service goes once it stops.
// Its process is held still meanwhile, as it would soon stop by itself without VirtualBox.
TEST(Uninstall, RunningServiceGoesWhenItStops) {
    TempFolder folder;
    ServiceCopy copy(folder, "UninstallRunning.exe");
    copy.WriteIni(CompleteIni({{"ServiceName", "Running"}, {"Loglevel", "2"}}));
    ASSERT_EQ(copy.Run("-i").exitCode, 0u);
    ASSERT_EQ(testsupport::StartByName(copy.Name()), 0u);
    SERVICE_STATUS_PROCESS status{};
    ASSERT_TRUE(testsupport::WaitUntil([&] {
        return testsupport::QueryStatus(copy.Name(), &status) == 0 && status.dwCheckPoint > 0;
    }));
    HANDLE process = OpenProcess(PROCESS_SUSPEND_RESUME, FALSE, status.dwProcessId);
    ASSERT_EQ(NtSuspendProcess(process), 0);
    ExpectAnswer(
        copy, "Running", "-u", 2,
        "Running (UninstallRunning) service is still running and will be uninstalled when stopped.",
        "Service Running (UninstallRunning) is still running and will be uninstalled when stopped.",
        "Running");
    ExpectAnswer(copy, "Running", "-u", 2,
                 "ERROR uninstalling Running (UninstallRunning) service: service already marked "
                 "for deletion",
                 "", "Running");
    // An error without a reason of its own is given by its code (ERROR_SERVICE_MARKED_FOR_DELETE).
    ExpectAnswer(copy, "Running", "-i", 2,
                 "ERROR installing Running (UninstallRunning) service: 0x00000430", "", "Running");
    NtResumeProcess(process);
    CloseHandle(process);
    EXPECT_TRUE(testsupport::WaitUntil([&] { return !Exists(copy.Name()); }, 30000));
    EXPECT_EQ(testsupport::CountLog(copy.Log(), "Kelvaran Service v"), 0u) << "a banner at level 2";
}

// The SCM starts the quoted path without an argument: the program becomes the service, logs its
// banner (level 3) with the four numbers of its version, and reports START_PENDING twice.
// Without VirtualBox it cannot start its machine: it says why and ends with the service-specific
// error. The pre-shutdown time-out follows MaxWaitTimeout at every start, so an edited INI file
// holds without a reinstall; a service of an account, which Windows refuses to change its own
// registration, warns instead, with the remedy. A configuration that has become incomplete since
// the install ends the start at once, without a START_PENDING of the service's own, with a failure
// code of its own.
TEST(Control, StartWithoutVirtualBox) {
    // Executable, its install, INI file at the start, reports, exit codes, log lines, pre-shutdown
    // time-out.
    const std::tuple<const char*, const char*, IniKeys, const char*, DWORD, DWORD, Lines, DWORD>
        rows[] = {
            {"Control Start.exe",
             "-i",
             CompleteIni({{"Loglevel", "3"}, {"MaxWaitTimeout", "500000"}}),
             "START_PENDING:1 START_PENDING:2 STOPPED:0",
             ERROR_SERVICE_SPECIFIC_ERROR,
             0x80800001,
             {"Kelvaran Service v" KELVARAN_VERSION4 " (x64) started",
              "Running as <user>, VirtualBox home C:\\users\\kelvaran\\.VirtualBox",
              "Could not manually start VBoxSVC: 0x00000003", "Initializing VirtualBox interface",
              "ERROR creating VirtualBox instance (rc = 0x80040154)",
              "ERROR: Can't find VBoxHeadless executable. Check your VboxInstallPath option in "
              "<ini>",
              "Closing VirtualBox interface"},
             542500},
            {"Control Account.exe",
             "-i --account <user>",
             CompleteIni({{"MaxWaitTimeout", "500000"}}),
             "START_PENDING:1 START_PENDING:2 STOPPED:0",
             ERROR_SERVICE_SPECIFIC_ERROR,
             0x80800001,
             {"WARNING: Windows gives this service 342500 ms to stop at a host shutdown, less than "
              "the "
              "542500 ms a stop may take with MaxWaitTimeout 500000. From an elevated console run "
              "\"<exe>\" -u, then \"<exe>\" -i --account with the service's account, or set the "
              "DWORD "
              "PreshutdownTimeout in HKLM\\SYSTEM\\CurrentControlSet\\Services\\Control_Account to "
              "542500"},
             342500},
            {"Control Incomplete.exe",
             "-i",
             {{"VboxInstallPath", "C:\\V"}, {"VboxUserHome", "C:\\H"}},
             "STOPPED:0",
             ERROR_SERVICE_SPECIFIC_ERROR,
             0x80800004,
             {"ERROR: No VmName configured"},
             342500},
        };
    TempFolder folder(" with blanks");
    for (const auto& [exe, install, ini, reports, win32, specific, log, preshutdown] : rows) {
        ServiceCopy copy(folder, exe);
        copy.WriteIni(CompleteIni());
        ASSERT_EQ(copy.Run(Fill(install, copy), "Pa55 word\r\n").exitCode, 0u);
        copy.WriteIni(ini);
        testsupport::StatusRecorder recorder(copy.Name());
        ASSERT_TRUE(testsupport::WaitUntil([&] { return recorder.Count() > 0; }));
        // Wine answers 1053 when the service has stopped before StartService returns.
        testsupport::StartByName(copy.Name());
        ASSERT_TRUE(recorder.WaitFor(SERVICE_STOPPED, 1));
        testsupport::Statuses statuses = recorder.Since(1);
        testsupport::ExpectWellFormed(statuses, strstr(install, "--account") ? 0x10 : 0x110);
        testsupport::ExpectStoppedWith(statuses, win32, specific);
        // Until the service's own first report, Wine's manager shows its START_PENDING:0.
        EXPECT_TRUE(std::regex_match(testsupport::Sequence(statuses),
                                     std::regex(std::string("(START_PENDING:0 )?") + reports)))
            << testsupport::Describe(statuses);
        for (const SERVICE_STATUS_PROCESS& status : statuses) {
            EXPECT_EQ(status.dwWaitHint, 0u);
        }
        std::vector<std::string> lines;
        for (const std::string& line : log) {
            lines.push_back(Fill(line, copy));
        }
        testsupport::ExpectLogInOrder(copy.Log(), lines);
        testsupport::ServiceSettings settings{};
        ASSERT_EQ(testsupport::QuerySettings(copy.Name(), &settings), 0u);
        EXPECT_EQ(settings.preshutdownTimeout, preshutdown);
    }
}

}  // namespace
