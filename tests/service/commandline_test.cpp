// kelvaran.exe started from a console: without an argument, with one it does not know, and with
// "-i" or "-u" while its configuration is incomplete.
#include "tests/support/support.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using testsupport::CompleteIni;
using testsupport::ProcessResult;
using testsupport::TempFolder;

// The usage text with the product version of the build and the service name in its four places.
std::string Usage(const std::string& name) {
    return "\nKelvaran Service v" KELVARAN_VERSION3 " (x64)\n\nUsage:\n\t " + name +
           " -i\t\tInstall " + name + " service\n\t " + name + " -u\t\tUninstall " + name +
           " service\n";
}

// Copies kelvaran.exe as exeName, beside an INI file holding ini (none when ini is null), runs it
// with argument, and expects the usage text naming name, exit status 0.
void ExpectUsage(const std::string& exeName, const char* ini, const std::string& argument,
                 const std::string& name) {
    TempFolder folder;
    std::string exe = testsupport::CopyExecutable(folder.Path(), exeName);
    if (ini != nullptr) {
        testsupport::WriteFileContent(testsupport::SiblingPath(exe, ".ini"), ini);
    }
    ProcessResult result = testsupport::RunProcess(exe, argument);
    EXPECT_EQ(result.exitCode, 0u) << exeName << " " << argument;
    EXPECT_EQ(result.output, Usage(name)) << exeName << " " << argument;
}

const char kComplete[] =
    "[Kelvaran]\r\nVboxInstallPath=C:\\VirtualBox\r\nVboxUserHome=C:\\Home\r\nVmName=vm\r\n";

// Started by hand without an argument, the program finds no service manager behind it and ends
// quietly, whatever its configuration.
TEST(CommandLine, NoArgumentFromAConsolePrintsNothing) {
    TempFolder folder;
    std::string exe = testsupport::CopyExecutable(folder.Path(), "kelvaran.exe");
    testsupport::WriteFileContent(folder.File("kelvaran.ini"), kComplete);
    ProcessResult result = testsupport::RunProcess(exe);
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.output, "");
}

// Only "-i" and "-u" (in either letter case, the whole argument) are commands; anything else
// shows the version and usage, even with an incomplete configuration.
TEST(CommandLine, AnyOtherArgumentShowsUsage) {
    ExpectUsage("kelvaran.exe", kComplete, "-h", "kelvaran");
    ExpectUsage("kelvaran.exe", kComplete, "/?", "kelvaran");
    ExpectUsage("kelvaran.exe", kComplete, "/i", "kelvaran");
    ExpectUsage("kelvaran.exe", kComplete, "-install", "kelvaran");
    ExpectUsage("kelvaran.exe", "[Kelvaran]\r\nLoglevel=3\r\n", "-x extra", "kelvaran");
}

// The service name is derived once the INI file is found: without one the usage text has empty
// names.
TEST(CommandLine, UsageWithoutIniFileHasNoServiceName) {
    ExpectUsage("kelvaran.exe", nullptr, "-h", "");
}

// One executable, many services: the name comes from the executable's base name less its last
// four characters, blanks turned into '_'; a base name of four characters or fewer gives
// "kelvaran".
TEST(CommandLine, ServiceNameDerivesFromTheExecutableName) {
    ExpectUsage("My Service.exe", "", "-h", "My_Service");
    ExpectUsage("two  blanks.exe", "", "-h", "two__blanks");
    ExpectUsage("a.exe", "", "-h", "a");
    ExpectUsage("svc.com", "", "-h", "svc");
    ExpectUsage("ab.x", "", "-h", "kelvaran");
}

// Expects argument to refuse with the configuration message naming the log, exit status 1, and
// the log to give reason.
void ExpectRefused(const std::string& exe, const std::string& argument, const std::string& reason) {
    std::string log = testsupport::SiblingPath(exe, ".log");
    testsupport::RemoveFile(log);
    ProcessResult result = testsupport::RunProcess(exe, argument);
    EXPECT_EQ(result.exitCode, 1u) << argument;
    EXPECT_EQ(result.output, "\nConfiguration is not complete.\nCheck " + log + " file.\n")
        << argument;
    EXPECT_EQ(testsupport::ReadLogMessages(log), std::vector<std::string>{reason}) << argument;
}

// "-i" and "-u" need a complete configuration: the message sends the administrator to the log,
// where the reason is, and the service manager is not touched.
TEST(CommandLine, IncompleteConfigurationRefusesInstallAndUninstall) {
    TempFolder folder;
    std::string exe = testsupport::CopyExecutable(folder.Path(), "Refused Service.exe");
    std::string ini = testsupport::SiblingPath(exe, ".ini");
    for (const char* argument : {"-i", "-u", "-I", "-U"}) {
        ExpectRefused(exe, argument, "Configuration file '" + ini + "' does not exist");
    }
    testsupport::WriteIni(ini, {{"VboxInstallPath", "C:\\VirtualBox"}, {"VboxUserHome", "C:\\H"}});
    ExpectRefused(exe, "-i", "ERROR: No VmName configured");
    testsupport::WriteIni(ini, CompleteIni({{"VboxUserHome", ""}}));
    ExpectRefused(exe, "-u", "ERROR: VboxUserHome not configured");

    SERVICE_STATUS_PROCESS status;
    EXPECT_EQ(testsupport::QueryStatus("Refused_Service", &status),
              static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
}

}  // namespace
