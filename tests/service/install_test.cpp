// "-i" and "-u" against Wine's Service Control Manager.
#include "install/install.h"
#include "tests/support/support.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include <string>
#include <vector>

namespace {

using testsupport::CompleteIni;
using testsupport::ProcessResult;
using testsupport::ServiceCopy;
using testsupport::TempFolder;

DWORD StatusError(const std::string& name) {
    SERVICE_STATUS_PROCESS status;
    return testsupport::QueryStatus(name, &status);
}

// Expects the service to be registered with its display name and everything "-i" sets.
void ExpectRegistration(const ServiceCopy& service, const std::string& displayName,
                        const std::string& binaryPath) {
    testsupport::ServiceSettings settings{};
    ASSERT_EQ(testsupport::QuerySettings(service.Name(), &settings), 0u);
    EXPECT_EQ(settings.serviceType, 0x110u);
    EXPECT_EQ(settings.startType, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(settings.errorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_EQ(settings.binaryPath, binaryPath);
    EXPECT_EQ(settings.displayName, displayName);
    EXPECT_EQ(settings.description, "Provides automatic start and shutdown of VirtualBox machine.");
    EXPECT_EQ(settings.preshutdownTimeout, 300000u);
}

// Whether the DACL that installing would hand to the service (Wine keeps none: its
// SetServiceObjectSecurity changes nothing) grants INTERACTIVE exactly mask.
void ExpectInteractiveEntry(const std::string& name, DWORD mask) {
    std::vector<BYTE> descriptor;
    ASSERT_EQ(testsupport::QuerySecurity(name, &descriptor), 0u);
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL current = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor.data(), &present, &current, &defaulted));
    PACL updated = nullptr;
    ASSERT_EQ(BuildInteractiveDacl(current, &updated), 0u);
    PSID interactive = nullptr;
    ASSERT_TRUE(ConvertStringSidToSidA("S-1-5-4", &interactive));
    int found = 0;
    for (DWORD i = 0; i < updated->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        ASSERT_TRUE(GetAce(updated, i, reinterpret_cast<void**>(&ace)));
        if (EqualSid(&ace->SidStart, interactive)) {
            ++found;
            EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
            EXPECT_EQ(ace->Mask, mask);
        }
    }
    EXPECT_EQ(found, 1);
    LocalFree(interactive);
    LocalFree(updated);
}

// An executable under C:\Program Files\... registered unquoted would make Windows try
// C:\Program.exe first, as LocalSystem: a path with a blank is registered in quotes.
TEST(Install, RegistersTheServiceWithItsQuotedPath) {
    TempFolder folder(" with blanks");
    ServiceCopy service(folder, "Install Quoted.exe");
    service.WriteIni(CompleteIni({{"ServiceName", "Kelvaran Quoted"}}));

    ProcessResult result = service.Run("-i");
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.output,
              "\nKelvaran Quoted (Install_Quoted) service installed successfully.\n");
    EXPECT_EQ(testsupport::ReadLogMessages(service.LogPath()),
              std::vector<std::string>{
                  "Service Kelvaran Quoted (Install_Quoted) installed successfully."})
        << "nothing else, no DACL error in particular";
    ExpectRegistration(service, "Kelvaran Quoted", "\"" + service.ExePath() + "\"");
    ExpectInteractiveEntry(service.Name(), 0x80000030);
}

// Quotes only where they are needed: a path without blanks stays as it is. Without a
// "ServiceName" the manager shows the key name, so several such services can be installed.
TEST(Install, PathWithoutBlanksIsRegisteredAsItIs) {
    TempFolder folder;
    ServiceCopy service(folder, "InstallPlain.exe");
    ServiceCopy other(folder, "InstallPlainToo.exe");
    service.WriteIni(CompleteIni());
    other.WriteIni(CompleteIni());
    ProcessResult result = service.Run("-i");
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.output, "\n (InstallPlain) service installed successfully.\n");
    EXPECT_EQ(other.Run("-i").exitCode, 0u);
    testsupport::ServiceSettings settings{};
    ASSERT_EQ(testsupport::QuerySettings(service.Name(), &settings), 0u);
    EXPECT_EQ(settings.binaryPath, service.ExePath());
}

// -I installs as "-i" does, and whatever follows the first argument is ignored.
TEST(Install, UpperCaseIInstallsAndIgnoresFurtherArguments) {
    TempFolder folder;
    ServiceCopy service(folder, "InstallUpper.exe");
    service.WriteIni(CompleteIni({{"ServiceName", "Upper"}}));
    ProcessResult result = service.Run("-I -u");
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.output, "\nUpper (InstallUpper) service installed successfully.\n");
    EXPECT_EQ(StatusError(service.Name()), 0u);
}

// A second "-i" fails with its reason and leaves the first registration as it was.
TEST(Install, SecondInstallFailsAndKeepsTheRegistration) {
    TempFolder folder;
    ServiceCopy service(folder, "InstallTwice.exe");
    service.WriteIni(CompleteIni({{"ServiceName", "First"}}));
    ASSERT_EQ(service.Run("-i").exitCode, 0u);

    service.WriteIni(CompleteIni({{"ServiceName", "Second"}}));
    ProcessResult result = service.Run("-i");
    EXPECT_EQ(result.exitCode, 2u);
    EXPECT_EQ(result.output,
              "\nERROR installing Second (InstallTwice) service: service already exists\n");
    EXPECT_TRUE(testsupport::LogHolds(
        service.LogPath(),
        "ERROR installing Second (InstallTwice) service: service already exists"));
    ExpectRegistration(service, "First", service.ExePath());
}

// Two services may not share a display name: the second install says so.
TEST(Install, DuplicateDisplayNameIsRefused) {
    TempFolder folder;
    ServiceCopy first(folder, "InstallDisplayA.exe");
    ServiceCopy second(folder, "InstallDisplayB.exe");
    first.WriteIni(CompleteIni({{"ServiceName", "Kelvaran Shared Display"}}));
    second.WriteIni(CompleteIni({{"ServiceName", "Kelvaran Shared Display"}}));
    ASSERT_EQ(first.Run("-i").exitCode, 0u);

    ProcessResult result = second.Run("-i");
    EXPECT_EQ(result.exitCode, 2u);
    EXPECT_EQ(result.output,
              "\nERROR installing Kelvaran Shared Display (InstallDisplayB) service: duplicate "
              "service display name\n");
    EXPECT_EQ(StatusError(second.Name()), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
}

// Expects "-u" to print text (also logged, without its line breaks) and exit with exitCode.
void ExpectUninstall(const ServiceCopy& service, DWORD exitCode, const std::string& text) {
    ProcessResult result = service.Run("-u");
    EXPECT_EQ(result.exitCode, exitCode) << text;
    EXPECT_EQ(result.output, "\n" + text + "\n");
}

// A stopped service goes at once.
TEST(Uninstall, StoppedServiceIsRemoved) {
    TempFolder folder;
    ServiceCopy service(folder, "UninstallStopped.exe");
    service.WriteIni(CompleteIni({{"ServiceName", "Stopped"}}));
    ASSERT_EQ(service.Run("-i").exitCode, 0u);

    ExpectUninstall(service, 0, "Stopped (UninstallStopped) service uninstalled successfully.");
    EXPECT_TRUE(testsupport::LogHolds(
        service.LogPath(), "Service Stopped (UninstallStopped) uninstalled successfully."));
    EXPECT_EQ(StatusError(service.Name()), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
}

// A running service is only marked for deletion: the exit status says the removal is not done,
// a second "-u" says why it cannot do more, and the service goes once it stops.
TEST(Uninstall, RunningServiceGoesWhenItStops) {
    TempFolder folder;
    ServiceCopy service(folder, "UninstallRunning.exe");
    service.WriteIni(CompleteIni({{"ServiceName", "Running"}}));
    ASSERT_EQ(service.Run("-i").exitCode, 0u);
    ASSERT_EQ(testsupport::StartByName(service.Name()), 0u);
    ASSERT_TRUE(testsupport::WaitForState(service.Name(), SERVICE_START_PENDING));

    ExpectUninstall(service, 2,
                    "Running (UninstallRunning) service is still running and will be uninstalled "
                    "when stopped.");
    EXPECT_TRUE(testsupport::LogHolds(service.LogPath(),
                                      "Service Running (UninstallRunning) is still running and "
                                      "will be uninstalled when stopped."));
    EXPECT_EQ(StatusError(service.Name()), 0u) << "still registered while it runs";

    ExpectUninstall(service, 2,
                    "ERROR uninstalling Running (UninstallRunning) service: service already "
                    "marked for deletion");

    EXPECT_EQ(testsupport::ControlByName(service.Name(), SERVICE_CONTROL_STOP), 0u);
    DWORD start = GetTickCount();
    while (StatusError(service.Name()) == 0 && GetTickCount() - start < 15000) {
        Sleep(50);
    }
    EXPECT_EQ(StatusError(service.Name()), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
}

// Removing what is not there fails, but the state the administrator asked for holds: status 0.
TEST(Uninstall, MissingServiceIsReportedWithStatusZero) {
    TempFolder folder;
    ServiceCopy service(folder, "UninstallMissing.exe");
    service.WriteIni(CompleteIni({{"ServiceName", "Missing"}}));
    ExpectUninstall(service, 0,
                    "ERROR uninstalling Missing (UninstallMissing) service: service not found");
    EXPECT_TRUE(testsupport::LogHolds(
        service.LogPath(),
        "ERROR uninstalling Missing (UninstallMissing) service: service not found"));
}

}  // namespace
