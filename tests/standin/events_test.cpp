// Passive listeners: polling with a time-out, unregistering while a poll waits, and the
// overflow that drops a listener which does not keep up.
#include <objbase.h>

#include <thread>

#include "tests/standin/fixture.h"

namespace standin_test {
namespace {

using EventsTest = StandinTest;

// A poll without events returns null after about its time-out, not at once and not never.
TEST_F(EventsTest, GetEventTimesOutWithNull) {
    Connect();
    VARIANT result;
    ULONGLONG start = GetTickCount64();
    ASSERT_HRESULT_SUCCEEDED(
        source_.Call(L"GetEvent", {VObject(listener_.get()), VLong(300)}, &result));
    ULONGLONG took = GetTickCount64() - start;
    EXPECT_TRUE(V_VT(&result) == VT_EMPTY || (V_VT(&result) == VT_DISPATCH && !V_DISPATCH(&result)))
        << "type " << V_VT(&result);
    EXPECT_GE(took, 250u);
    EXPECT_LT(took, 2000u);
}

// UnregisterListener ends a poll that waits without limit, at once and with
// VBOX_E_OBJECT_NOT_FOUND, so that a watcher can be stopped promptly; later calls with that
// listener fail the same way.
TEST_F(EventsTest, UnregisterEndsAWaitingPoll) {
    Connect();
    HRESULT polled = S_OK;
    ULONGLONG returnedAt = 0;
    std::thread poller([&] {
        VARIANT result;
        polled = source_.Call(L"GetEvent", {VObject(listener_.get()), VLong(-1)}, &result);
        returnedAt = GetTickCount64();
        VariantClear(&result);
    });
    Sleep(500);
    ULONGLONG unregisteredAt = GetTickCount64();
    VARIANT ignored;
    ASSERT_HRESULT_SUCCEEDED(
        source_.Call(L"UnregisterListener", {VObject(listener_.get())}, &ignored));
    poller.join();
    EXPECT_EQ(kObjectNotFound, polled);
    EXPECT_LT(returnedAt - unregisteredAt, 1000u);

    EXPECT_EQ(kObjectNotFound,
              source_.Call(L"GetEvent", {VObject(listener_.get()), VLong(0)}, &ignored));
    EXPECT_EQ(kObjectNotFound,
              source_.Call(L"UnregisterListener", {VObject(listener_.get())}, &ignored));
}

// More than 500 unprocessed events unregister the listener; its next poll fails with
// VBOX_E_OBJECT_NOT_FOUND, while a listener that keeps up goes on.
TEST_F(EventsTest, OverflowUnregistersASlowListener) {
    Connect();
    Disp keeper;
    ASSERT_HRESULT_SUCCEEDED(source_.CallObject(L"CreateListener", {}, &keeper));
    VARIANT array = VLongArray({1});
    VARIANT ignored;
    ASSERT_HRESULT_SUCCEEDED(
        source_.Call(L"RegisterListener", {VObject(keeper.get()), array, VLong(0)}, &ignored));

    Disp session;
    ASSERT_TRUE(Launch(&session));
    Disp console;
    ASSERT_HRESULT_SUCCEEDED(session.GetObject(L"Console", &console));
    // 2 (launch) + 2 x 250 (pause, resume) events: past the limit of 500.
    for (int i = 0; i < 250; ++i) {
        ASSERT_HRESULT_SUCCEEDED(console.Call(L"Pause", {}, &ignored));
        ASSERT_HRESULT_SUCCEEDED(console.Call(L"Resume", {}, &ignored));
        Disp event;
        while (
            SUCCEEDED(source_.CallObject(L"GetEvent", {VObject(keeper.get()), VLong(0)}, &event)) &&
            event) {
            source_.Call(L"EventProcessed", {VObject(keeper.get()), VObject(event.get())},
                         &ignored);
        }
    }
    EXPECT_EQ(kObjectNotFound,
              source_.Call(L"GetEvent", {VObject(listener_.get()), VLong(0)}, &ignored));
    EXPECT_EQ(
        kObjectNotFound,
        source_.Call(L"EventProcessed", {VObject(listener_.get()), VObject(nullptr)}, &ignored));
    ASSERT_HRESULT_SUCCEEDED(console.Call(L"Pause", {}, &ignored));
    Disp event;
    EXPECT_HRESULT_SUCCEEDED(
        source_.CallObject(L"GetEvent", {VObject(keeper.get()), VLong(2000)}, &event));
    EXPECT_TRUE(event) << "the listener that kept up still gets events";
}

}  // namespace
}  // namespace standin_test
