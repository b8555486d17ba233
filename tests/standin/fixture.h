// What the stand-in's own tests share: a COM client in the multithreaded apartment (as the
// service is), a machine named after the running test, and a passive listener on its events.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/standin/support/standin_support.h"

namespace standin_test {

class StandinTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Creates the test's machine, connects to the server through IDispatch (whatever its
    // release), registers a listener for state changes, and finds the machine: vbox_, source_,
    // listener_, machine_ and machineId_.
    void Connect(int launchMs = 300, int powerOffMs = 200, int saveMs = 200);

    // Launches the machine into a new session; true when it reached Running.
    bool Launch(Disp* session);

    // The machine's state changes that the listener gets, until count have come or timeoutMs
    // has passed. Events of other machines are skipped; all are marked processed.
    std::vector<LONG> NextStates(size_t count, DWORD timeoutMs = 10000);

    std::string name_;
    std::wstring wname_;
    Disp vbox_;
    Disp source_;
    Disp listener_;
    Disp machine_;
    std::wstring machineId_;
};

std::wstring Wide(const std::string& text);

}  // namespace standin_test
