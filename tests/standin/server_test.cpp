// The server process: registration, the home folder it inherits from the client that starts it,
// its lifetime, what survives a restart, and the journal shared by several processes.
#include <objbase.h>

#include <thread>

#include "tests/standin/fixture.h"

namespace standin_test {
namespace {

using testsupport::ProcessResult;

class ServerTest : public StandinTest {
protected:
    void TearDown() override {
        SetEnvironmentVariableA("VBOX_USER_HOME", nullptr);
        StandinTest::TearDown();
    }
};

bool KeyExists(const std::string& key) {
    HKEY handle = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(handle);
    return true;
}

std::string KeyValue(const std::string& key, const char* name) {
    char value[MAX_PATH] = "";
    DWORD size = sizeof value;
    if (RegGetValueA(HKEY_CLASSES_ROOT, key.c_str(), name, RRF_RT_REG_SZ, nullptr, value, &size) !=
        ERROR_SUCCESS) {
        return "";
    }
    return value;
}

const char kServerClass[] = "CLSID\\{B1A7A4F2-47B9-4A1E-82B2-07CCD5323C3F}";
const char kSessionClass[] = "CLSID\\{3C02F46D-C9D2-4F11-A384-53F0CF917214}";
const char kVirtualBoxInterface[] = "Interface\\{0169423F-46B4-CDE9-91AF-1E9D5B6CD945}";

// /RegServer and regsvr32 register both classes and the type library (whose interfaces the
// type-library marshaller carries); /UnregServer and regsvr32 /u undo all of it, the type
// library going with the last class.
TEST_F(ServerTest, RegistrationAndItsUndoing) {
    std::string server = StandinFolder() + "\\VBoxSVC.exe";
    std::string dll = StandinFolder() + "\\VBoxC.dll";
    EXPECT_NE(std::string::npos,
              KeyValue(std::string(kServerClass) + "\\LocalServer32", nullptr).find("VBoxSVC.exe"));
    EXPECT_EQ("Free", KeyValue(std::string(kSessionClass) + "\\InprocServer32", "ThreadingModel"));
    EXPECT_EQ("{00020424-0000-0000-C000-000000000046}",
              KeyValue(std::string(kVirtualBoxInterface) + "\\ProxyStubClsid32", nullptr));

    KillVBoxSvc();
    EXPECT_EQ(0u, testsupport::RunProcess(server, "/UnregServer").exitCode);
    EXPECT_FALSE(KeyExists(kServerClass));
    EXPECT_TRUE(KeyExists(kVirtualBoxInterface)) << "the Session class still needs the library";
    Disp vbox;
    EXPECT_EQ(REGDB_E_CLASSNOTREG, CreateVirtualBox(&vbox));
    EXPECT_EQ(
        0u, testsupport::RunProcess("C:\\windows\\system32\\regsvr32.exe", "/s /u \"" + dll + "\"")
                .exitCode);
    EXPECT_FALSE(KeyExists(kSessionClass));
    EXPECT_FALSE(KeyExists(kVirtualBoxInterface));

    // Put everything back for the rest of the group, whatever happened above.
    ASSERT_EQ(0u, testsupport::RunProcess(server, "/RegServer").exitCode);
    ASSERT_EQ(0u,
              testsupport::RunProcess("C:\\windows\\system32\\regsvr32.exe", "/s \"" + dll + "\"")
                  .exitCode);
    EXPECT_HRESULT_SUCCEEDED(CreateVirtualBox(&vbox));
    EXPECT_TRUE(KeyExists(kVirtualBoxInterface));
}

// A server started by CoCreateInstance inherits the client's environment: its HomeFolder, its
// settings and its journal follow the client's VBOX_USER_HOME, and without one it is
// %USERPROFILE%\.VirtualBox.
TEST_F(ServerTest, HomeFolderFollowsVboxUserHome) {
    testsupport::TempFolder home;
    KillVBoxSvc();
    SetEnvironmentVariableA("VBOX_USER_HOME", home.Path().c_str());
    std::wstring folder;
    {
        Disp vbox;
        ASSERT_HRESULT_SUCCEEDED(CreateVirtualBox(&vbox));
        ASSERT_HRESULT_SUCCEEDED(vbox.GetString(L"HomeFolder", &folder));
        EXPECT_EQ(Wide(home.Path()), folder);
        CreateMachine(name_);
    }
    EXPECT_TRUE(testsupport::FileExists(home.File("standin-journal.log")));
    EXPECT_NE(
        std::string::npos,
        testsupport::ReadFileContent(home.File("standin-settings.txt")).find("name=" + name_));
    RemoveMachine(name_);

    KillVBoxSvc();
    SetEnvironmentVariableA("VBOX_USER_HOME", nullptr);
    Disp vbox;
    ASSERT_HRESULT_SUCCEEDED(CreateVirtualBox(&vbox));
    ASSERT_HRESULT_SUCCEEDED(vbox.GetString(L"HomeFolder", &folder));
    char profile[MAX_PATH] = "";
    GetEnvironmentVariableA("USERPROFILE", profile, sizeof profile);
    EXPECT_EQ(Wide(std::string(profile) + "\\.VirtualBox"), folder);
}

// The server stays up while a client holds a reference or a machine runs, and ends about 5 s
// after the last of them is gone.
TEST_F(ServerTest, ServerEndsAfterItsLastReference) {
    CreateMachine(name_);
    KillVBoxSvc();
    SetServerIdleExit(0);
    DWORD pid = 0;
    {
        Disp vbox;
        ASSERT_HRESULT_SUCCEEDED(CreateVirtualBox(&vbox));
        pid = FindVBoxSvc();
        ASSERT_NE(0u, pid);
        Sleep(5500);
        EXPECT_TRUE(ProcessAlive(pid)) << "the server ended under a client's reference";
    }
    ULONGLONG released = GetTickCount64();
    EXPECT_TRUE(WaitForExit(pid, 10000)) << "the server outlived its last reference";
    EXPECT_GE(GetTickCount64() - released, 4000u);

    // A running machine keeps the server up without any client.
    ASSERT_EQ(0u, VBoxManage("startvm \"" + name_ + "\"").exitCode);
    pid = FindVBoxSvc();
    Sleep(5500);
    EXPECT_TRUE(ProcessAlive(pid)) << "the server ended under a running machine";
    Ctl("kill \"" + name_ + "\"");
    EXPECT_TRUE(WaitForExit(pid, 10000)) << "the server outlived its last machine";
}

// Machines, their settings and the faults survive a server restart; a machine that ran when its
// server died is Aborted, and its VM process has ended with the server.
TEST_F(ServerTest, RestartKeepsSettingsAndAbortsWhatRan) {
    CreateMachine(name_);
    Ctl("screen \"" + name_ + "\" 800x600");
    Ctl("fault set Machine.Name 0x80041234 always \"" + name_ + "\"");
    ASSERT_EQ(0u, VBoxManage("startvm \"" + name_ + "\"").exitCode);
    std::string shown = StandinCtl("show \"" + name_ + "\"").output;
    DWORD vmPid = strtoul(shown.substr(shown.find("sessionpid=") + 11).c_str(), nullptr, 10);
    ASSERT_NE(0u, vmPid);

    KillVBoxSvc();
    EXPECT_TRUE(WaitForExit(vmPid, 5000)) << "the VM process outlived its server";
    shown = StandinCtl("show \"" + name_ + "\"").output;
    EXPECT_NE(std::string::npos, shown.find("state=4 Aborted")) << shown;
    EXPECT_NE(std::string::npos, shown.find("screen=800x600")) << shown;
    EXPECT_NE(std::string::npos,
              StandinCtl("fault list").output.find("Machine.Name 0x80041234 -1"));
    Ctl("fault clear");
}

// Every call leaves one whole line, also when the server's threads and a client's session DLL
// write at once: the Session lines come from the client, the others from the server.
TEST_F(ServerTest, JournalLinesStayWholeAcrossProcesses) {
    Connect();
    JournalReader journal;
    Disp session;
    ASSERT_TRUE(Launch(&session));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            Disp console;
            session.GetObject(L"Console", &console);
            for (int i = 0; i < 40; ++i) {
                LONG state = 0;
                machine_.GetLong(L"State", &state);
            }
        });
    }
    ProcessResult listing = VBoxManage("list vms");
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(0u, listing.exitCode);
    EXPECT_TRUE(journal.BadLines().empty()) << journal.BadLines().front();

    std::vector<JournalEntry> entries = journal.Entries(name_);
    DWORD server = FindVBoxSvc();
    size_t consoles = 0;
    for (const JournalEntry& e : journal.Entries()) {
        if (e.member == "Session.Console") {
            ++consoles;
            EXPECT_EQ(GetCurrentProcessId(), e.pid) << e.line;
        } else if (e.member == "Machine.State") {
            EXPECT_EQ(server, e.pid) << e.line;
        }
    }
    EXPECT_EQ(4u, consoles);
    ASSERT_TRUE(InOrder(
        entries, {"Machine.LaunchVMProcess", "Progress.WaitForCompletion", "Machine.State"}));
    for (const JournalEntry& e : entries) {
        if (e.member == "Machine.LaunchVMProcess") {
            EXPECT_EQ("Session, \"headless\", \"\"", e.args);
            EXPECT_EQ(S_OK, e.result);
            EXPECT_EQ("Progress", e.value);
        }
    }
}

}  // namespace
}  // namespace standin_test
