// The configuration, loaded in process: the INI file and the log are those beside this test
// executable, as the service's are beside kelvaran.exe.
#include "config/config.h"
#include "tests/support/support.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using testsupport::IniKeys;

class ConfigTest : public testing::Test {
protected:
    ConfigTest() {
        char exe[MAX_PATH] = "";
        GetModuleFileNameA(nullptr, exe, sizeof exe);
        exePath_ = exe;
        iniPath_ = testsupport::SiblingPath(exePath_, ".ini");
        logPath_ = testsupport::SiblingPath(exePath_, ".log");
    }
    void SetUp() override {
        testsupport::RemoveFile(iniPath_);
        testsupport::RemoveFile(logPath_);
    }
    void TearDown() override {
        testsupport::RemoveFile(iniPath_);
        testsupport::RemoveFile(logPath_);
    }

    int Load(const IniKeys& keys, BOOL full = TRUE) {
        testsupport::WriteIni(iniPath_, keys);
        return LoadConfiguration(full);
    }

    bool Logged(const std::string& message) {
        return testsupport::LogHolds(logPath_, message);
    }

    // A complete configuration with the one key set to value; returns what the load stored.
    const ServiceConfigRecord& LoadWith(const char* key, const char* value) {
        EXPECT_EQ(Load(testsupport::CompleteIni({{key, value}})), 1) << key << "=" << value;
        return ServiceConfig;
    }

    std::string exePath_;
    std::string iniPath_;
    std::string logPath_;
};

// Without its INI file the service knows where it is and where to log, and says what is
// missing there; it has no name yet and logs at level 1.
TEST_F(ConfigTest, MissingIniFileIsReportedInTheLogBesideTheExecutable) {
    EXPECT_EQ(LoadConfiguration(TRUE), 0);
    EXPECT_EQ(ServiceConfig.ExePath, exePath_);
    EXPECT_EQ(ServiceConfig.IniPath, iniPath_);
    EXPECT_EQ(ServiceConfig.LogPath, logPath_);
    EXPECT_STREQ(ServiceConfig.ServiceKeyName, "");
    EXPECT_EQ(ServiceConfig.LogLevel, 1);
    EXPECT_TRUE(Logged("Configuration file '" + iniPath_ + "' does not exist"));

    EXPECT_EQ(Load(testsupport::CompleteIni()), 1);
    EXPECT_STREQ(ServiceConfig.ServiceKeyName, "config_tests");
}

// Expects the folder value to be stored as expected, for both folder keys, and the environment
// that VirtualBox's programs inherit to follow.
void ExpectFolder(const char* value, const char* expected) {
    testsupport::WriteIni(
        ServiceConfig.IniPath,
        testsupport::CompleteIni({{"VboxInstallPath", value}, {"VboxUserHome", value}}));
    EXPECT_EQ(LoadConfiguration(TRUE), 1) << value;
    EXPECT_STREQ(ServiceConfig.VboxInstallPath, expected) << value;
    EXPECT_STREQ(ServiceConfig.VboxUserHome, expected) << value;

    SetVirtualBoxEnvironment();
    char variable[MAX_PATH + 2] = "";
    GetEnvironmentVariableA("VBOX_INSTALL_PATH", variable, sizeof variable);
    EXPECT_EQ(std::string(variable), std::string(expected) + "\\") << value;
    GetEnvironmentVariableA("VBOX_USER_HOME", variable, sizeof variable);
    EXPECT_STREQ(variable, expected) << value;
}

// Both folders take '/' or '\' and lose one trailing separator; a lone separator still counts as
// configured.
TEST_F(ConfigTest, FoldersAreNormalised) {
    ASSERT_EQ(Load(testsupport::CompleteIni()), 1);
    ExpectFolder("C:/Program Files/VirtualBox/", "C:\\Program Files\\VirtualBox");
    ExpectFolder("D:\\VirtualBox\\\\", "D:\\VirtualBox\\");
    ExpectFolder("C:\\", "C:");
    ExpectFolder("/", "");
    ExpectFolder("E:\\vbox", "E:\\vbox");
}

// Only the low byte of "Loglevel" counts, as a signed value: 200 silences the log, 256 turns it
// off, 300 is 44.
TEST_F(ConfigTest, LoglevelKeepsItsLowByteSigned) {
    EXPECT_EQ(LoadWith("Loglevel", "3").LogLevel, 3);
    EXPECT_EQ(LoadWith("Loglevel", "300").LogLevel, 44);
    EXPECT_EQ(LoadWith("Loglevel", "200").LogLevel, -56);
    EXPECT_EQ(LoadWith("Loglevel", "256").LogLevel, 0);
    EXPECT_EQ(LoadWith("Loglevel", "-1").LogLevel, -1);
    EXPECT_EQ(Load(testsupport::CompleteIni()), 1);
    EXPECT_EQ(ServiceConfig.LogLevel, 1) << "missing key";
}

// The priority words, in any letter case; anything else (the real-time class has no word) is
// normal. The text stays as written.
TEST_F(ConfigTest, PriorityWordsChooseThePriorityClass) {
    EXPECT_EQ(LoadWith("Priority", "HIGH").PriorityClass, 0x80u);
    EXPECT_STREQ(ServiceConfig.PriorityText, "HIGH");
    EXPECT_EQ(LoadWith("Priority", "idle").PriorityClass, 0x40u);
    EXPECT_EQ(LoadWith("Priority", "Below Normal").PriorityClass, 0x4000u);
    EXPECT_EQ(LoadWith("Priority", "above normal").PriorityClass, 0x8000u);
    EXPECT_EQ(LoadWith("Priority", "high").PriorityClass, 0x80u);
    EXPECT_EQ(LoadWith("Priority", "normal").PriorityClass, 0x20u);
    EXPECT_EQ(LoadWith("Priority", "realtime").PriorityClass, 0x20u);
    EXPECT_EQ(LoadWith("Priority", "belownormal").PriorityClass, 0x20u);
    EXPECT_EQ(Load(testsupport::CompleteIni()), 1);
    EXPECT_EQ(ServiceConfig.PriorityClass, 0x20u) << "missing key";
    EXPECT_STREQ(ServiceConfig.PriorityText, "");
}

// Expects the stop settings that the keys give.
void ExpectStop(const IniKeys& keys, ShutdownMethod method, const char* text) {
    testsupport::WriteIni(ServiceConfig.IniPath, testsupport::CompleteIni(keys));
    EXPECT_EQ(LoadConfiguration(TRUE), 1);
    EXPECT_EQ(ServiceConfig.ShutdownMethod, method) << text;
    EXPECT_STREQ(ServiceConfig.ShutdownCommandText, text);
}

// The stop word keeps its own letter case for the log; a word that names no method is poweroff.
TEST_F(ConfigTest, StopWordsChooseTheMethod) {
    ASSERT_EQ(Load(testsupport::CompleteIni()), 1);
    ExpectStop({}, ShutdownMethod::poweroff, "poweroff");
    ExpectStop({{"ShutdownCommand", "SaveState"}}, ShutdownMethod::savestate, "SaveState");
    ExpectStop({{"ShutdownCommand", "acpipowerbutton"}}, ShutdownMethod::acpipowerbutton,
               "acpipowerbutton");
    ExpectStop({{"ShutdownCommand", "ACPISleepButton"}}, ShutdownMethod::acpisleepbutton,
               "ACPISleepButton");
    ExpectStop({{"ShutdownCommand", "PowerOff"}}, ShutdownMethod::poweroff, "PowerOff");
    ExpectStop({{"ShutdownCommand", "reboot"}}, ShutdownMethod::poweroff, "poweroff");
}

// The one-time override wins even when it names no method; empty, it counts as missing.
TEST_F(ConfigTest, ShutdownOnceCommandTakesPrecedence) {
    ASSERT_EQ(Load(testsupport::CompleteIni()), 1);
    ExpectStop({{"ShutdownCommand", "savestate"}, {"ShutdownOnceCommand", "acpisleepbutton"}},
               ShutdownMethod::acpisleepbutton, "acpisleepbutton");
    ExpectStop({{"ShutdownCommand", "savestate"}, {"ShutdownOnceCommand", "bogus"}},
               ShutdownMethod::poweroff, "poweroff");
    ExpectStop({{"ShutdownCommand", "savestate"}, {"ShutdownOnceCommand", ""}},
               ShutdownMethod::savestate, "savestate");
}

TEST_F(ConfigTest, MaxWaitTimeoutDefaultsToFiveMinutes) {
    EXPECT_EQ(Load(testsupport::CompleteIni()), 1);
    EXPECT_EQ(ServiceConfig.MaxWaitTimeout, 300000u);
    EXPECT_EQ(LoadWith("MaxWaitTimeout", "12345").MaxWaitTimeout, 12345u);
}

// Values longer than their fields are cut by the read, never overrun them.
TEST_F(ConfigTest, LongValuesAreCutToTheirFields) {
    std::string longName(300, 'v');
    EXPECT_EQ(LoadWith("VmName", longName.c_str()).VmName, longName.substr(0, 254));
    EXPECT_EQ(LoadWith("ServiceName", longName.c_str()).DisplayName, longName.substr(0, 254));
    EXPECT_EQ(LoadWith("ShutdownCommand", longName.c_str()).ShutdownCommandText,
              std::string("poweroff"));
    EXPECT_EQ(LoadWith("Priority", longName.c_str()).PriorityText, longName.substr(0, 63));
}

// A stop re-reads only the log level and the stop settings: an edit of anything else waits for
// the next start. A partial pass without the INI file leaves the last values standing.
TEST_F(ConfigTest, PartialPassRereadsOnlyTheStopSettings) {
    ASSERT_EQ(Load({{"VboxInstallPath", "C:\\A"},
                    {"VboxUserHome", "C:\\HomeA"},
                    {"VmName", "machine A"},
                    {"ServiceName", "Service A"},
                    {"Priority", "high"},
                    {"Loglevel", "2"},
                    {"ShutdownCommand", "savestate"},
                    {"MaxWaitTimeout", "1000"}}),
              1);
    EXPECT_EQ(Load({{"VboxInstallPath", "C:\\B"},
                    {"VboxUserHome", "C:\\HomeB"},
                    {"VmName", "machine B"},
                    {"ServiceName", "Service B"},
                    {"Priority", "idle"},
                    {"Loglevel", "3"},
                    {"ShutdownCommand", "acpipowerbutton"},
                    {"MaxWaitTimeout", "2000"}},
                   FALSE),
              1);
    EXPECT_STREQ(ServiceConfig.VboxInstallPath, "C:\\A");
    EXPECT_STREQ(ServiceConfig.VboxUserHome, "C:\\HomeA");
    EXPECT_STREQ(ServiceConfig.VmName, "machine A");
    EXPECT_STREQ(ServiceConfig.DisplayName, "Service A");
    EXPECT_EQ(ServiceConfig.PriorityClass, 0x80u);
    EXPECT_EQ(ServiceConfig.LogLevel, 3);
    EXPECT_EQ(ServiceConfig.ShutdownMethod, ShutdownMethod::acpipowerbutton);
    EXPECT_EQ(ServiceConfig.MaxWaitTimeout, 2000u);

    testsupport::RemoveFile(iniPath_);
    EXPECT_EQ(LoadConfiguration(FALSE), 0);
    EXPECT_EQ(ServiceConfig.ShutdownMethod, ShutdownMethod::acpipowerbutton);
    EXPECT_STREQ(ServiceConfig.ShutdownCommandText, "acpipowerbutton");
    EXPECT_EQ(ServiceConfig.MaxWaitTimeout, 2000u);
    EXPECT_EQ(ServiceConfig.LogLevel, 3);
}

// Expects keys to make an incomplete configuration whose logged reason is message.
void ExpectIncomplete(const IniKeys& keys, const std::string& message) {
    testsupport::WriteIni(ServiceConfig.IniPath, keys);
    EXPECT_EQ(LoadConfiguration(TRUE), 0) << message;
    EXPECT_TRUE(testsupport::LogHolds(ServiceConfig.LogPath, message)) << message;
}

// A pass ends at the first required key that is missing or empty: what it read before stays,
// what comes after is not touched.
TEST_F(ConfigTest, IncompletePassStopsAtTheFirstMissingKey) {
    ASSERT_EQ(LoadConfiguration(TRUE), 0) << "derives the paths";
    ExpectIncomplete({{"VboxUserHome", "C:\\H"}, {"VmName", "vm"}},
                     "ERROR: VboxInstallPath not configured");
    ExpectIncomplete({{"VboxInstallPath", "C:\\I"}, {"VboxUserHome", ""}, {"VmName", "vm"}},
                     "ERROR: VboxUserHome not configured");
    ExpectIncomplete({{"Loglevel", "3"},
                      {"VboxInstallPath", "C:\\I/"},
                      {"VboxUserHome", "C:\\H"},
                      {"ServiceName", "Display"},
                      {"Priority", "high"},
                      {"ShutdownCommand", "savestate"},
                      {"MaxWaitTimeout", "5"}},
                     "ERROR: No VmName configured");

    EXPECT_EQ(ServiceConfig.LogLevel, 3);
    EXPECT_STREQ(ServiceConfig.ServiceKeyName, "config_tests");
    EXPECT_STREQ(ServiceConfig.VboxInstallPath, "C:\\I");
    EXPECT_STREQ(ServiceConfig.VboxUserHome, "C:\\H");
    EXPECT_STREQ(ServiceConfig.DisplayName, "");
    EXPECT_STREQ(ServiceConfig.PriorityText, "");
    EXPECT_EQ(ServiceConfig.PriorityClass, static_cast<DWORD>(NORMAL_PRIORITY_CLASS));
    EXPECT_STREQ(ServiceConfig.ShutdownCommandText, "");
    EXPECT_EQ(ServiceConfig.ShutdownMethod, ShutdownMethod::none);
    EXPECT_EQ(ServiceConfig.MaxWaitTimeout, 0u);
}

}  // namespace
