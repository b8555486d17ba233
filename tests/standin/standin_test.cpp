// The stand-in's own contract, where no product test reaches it: what differs between the releases
// it plays. The client is the service's own (vbox/vbox.h), in the multithreaded apartment.
#include "tests/support/support.h"
#include "vbox/vbox.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>

namespace {

// A new object of the class with that ProgID, through IDispatch.
HRESULT Create(const wchar_t* progId, IDispatch** object) {
    CLSID id{};
    CLSIDFromProgID(progId, &id);
    return CoCreateInstance(id, nullptr, CLSCTX_ALL, IID_IDispatch,
                            reinterpret_cast<void**>(object));
}

// A machine named after the test; the server, a VirtualBox object, the machine and a Session
// object held by the test, and released in that order's reverse.
class Standin : public testing::Test {
protected:
    void Open(const std::string& release = "5.0") {
        // A server ends this soon after its last client, so that one of another release can start.
        SetEnvironmentVariableA("STANDIN_IDLE_EXIT_MS", "1000");
        testsupport::UseRelease(release);
        testsupport::CreateMachine(name_);
        hold_.emplace();
        ScopedBstr name(Utf8ToBstr(name_.c_str()));
        VARIANT args[] = {BstrArg(name.Get())};
        ASSERT_EQ(Create(L"VirtualBox.VirtualBox", vbox_.Put()), S_OK);
        ASSERT_EQ(CallObjectMethod(vbox_.Get(), L"FindMachine", args, 1, machine_.Put()), S_OK);
        ASSERT_EQ(Create(L"VirtualBox.Session", session_.Put()), S_OK);
    }
    void TearDown() override {
        testsupport::RemoveMachine(name_);
    }
    std::string Manage(const std::string& command, const std::string& more = "") {
        auto result = testsupport::VBoxManage(command + " \"" + name_ + "\" " + more);
        EXPECT_EQ(result.exitCode, 0u) << command << ": " << result.output;
        return result.output;
    }
    // VBoxManage's word for the machine's state.
    std::string VMState() {
        std::string info = Manage("showvminfo", "--machinereadable");
        size_t at = info.find("VMState=\"") + 9;
        return info.substr(at, info.find('"', at) - at);
    }

    const std::string name_ = testsupport::TestName();
    std::optional<testsupport::ServerHold> hold_;
    DispatchRef vbox_, machine_, session_;
};

// The kinds of the entries of the object's type library named MachineState.
std::vector<TYPEKIND> StateEntries(IDispatch* object) {
    std::vector<TYPEKIND> kinds;
    ITypeInfo* info = nullptr;
    ITypeLib* library = nullptr;
    UINT index = 0;
    if (SUCCEEDED(object->GetTypeInfo(0, LOCALE_USER_DEFAULT, &info)) &&
        SUCCEEDED(info->GetContainingTypeLib(&library, &index))) {
        for (UINT i = 0; i < library->GetTypeInfoCount(); ++i) {
            ScopedBstr name;
            TYPEKIND kind = TKIND_MAX;
            if (SUCCEEDED(library->GetDocumentation(i, name.Put(), nullptr, nullptr, nullptr)) &&
                name.Get() != nullptr && wcscmp(name.Get(), L"MachineState") == 0 &&
                SUCCEEDED(library->GetTypeInfoType(i, &kind))) {
                kinds.push_back(kind);
            }
        }
        library->Release();
    }
    if (info != nullptr) {
        info->Release();
    }
    return kinds;
}

// Each release's form of LaunchVMProcess's environment (an array from 6.1 on, where a null one is
// empty); VBoxManage's words are the same in every release, and only 7.0 has AbortedSaved: a
// machine restored from Saved whose VM process dies. In every release the type library holds
// MachineState as MIDL writes it, an alias of an enumeration with a made-up name. From 6.1 on a
// second server of the account, on another home, leaves its clients to the first (VBoxSDS). (The
// Version and the calls without type information show in every machine group's log.)
class Releases : public Standin, public testing::WithParamInterface<int> {};

TEST_P(Releases, DifferWhereVirtualBoxDoes) {
    // Release, what a BSTR and an empty array for the environment get, and the state of a restored
    // machine killed.
    const std::tuple<const char*, HRESULT, HRESULT, const char*> rows[] = {
        {"5.0", S_OK, DISP_E_TYPEMISMATCH, "aborted"},
        {"6.1", DISP_E_TYPEMISMATCH, S_OK, "aborted"},
        {"7.0", DISP_E_TYPEMISMATCH, S_OK, "abortedsaved"},
    };
    const auto& [release, bstr, array, killed] = rows[GetParam()];
    ASSERT_NO_FATAL_FAILURE(Open(release));
    // The alias alone: the enumeration it stands for has a name of its own.
    EXPECT_EQ(StateEntries(vbox_.Get()), std::vector<TYPEKIND>{TKIND_ALIAS});
    if (std::string(release) != "5.0") {
        const std::string home = testsupport::Ctl("home");
        testsupport::TempFolder other("-other-home");
        SetEnvironmentVariableA("VBOX_USER_HOME", other.Path().c_str());
        EXPECT_EQ(testsupport::RunProcess(testsupport::StandinFolder() + "\\VBoxSVC.exe").exitCode,
                  0u);
        SetEnvironmentVariableA("VBOX_USER_HOME", nullptr);
        EXPECT_EQ(testsupport::Ctl("home"), home) << "a second server served";
    }
    ScopedBstr headless(SysAllocString(L"headless"));
    VARIANT args[] = {DispatchArg(session_.Get()), BstrArg(headless.Get()), BstrArg(nullptr)};
    DispatchRef progress;
    EXPECT_EQ(CallObjectMethod(machine_.Get(), L"LaunchVMProcess", args, 3, progress.Put()), bstr);
    args[2].vt = VT_ARRAY | VT_BSTR;
    args[2].parray = nullptr;
    EXPECT_EQ(CallObjectMethod(machine_.Get(), L"LaunchVMProcess", args, 3, progress.Put()), array);
    EXPECT_TRUE(testsupport::WaitUntil([&] { return VMState() == "running"; })) << VMState();
    Manage("controlvm", "savestate");
    EXPECT_EQ(VMState(), "saved");
    Manage("startvm");
    testsupport::Ctl("kill \"" + name_ + "\"");
    EXPECT_TRUE(testsupport::WaitUntil([&] { return VMState() == killed; })) << VMState();
}

INSTANTIATE_TEST_SUITE_P(Standin, Releases, testing::Range(0, 3));

}  // namespace
