// Scaffolding shared by the tests of the host kernel itself: faulty routines
// the verifier names, counted strings, relative times, events, and a
// stand-in driver with one device.
#pragma once

#include "tests/support/kernel_test.h"

#include <string>

// Faulty routines stay out of line so that a stop finds them by their
// return addresses and names them.
#define FAULTY __attribute__((noinline))

// A stop of `rule` in the faulty `routine`.
#define EXPECT_STOP(statement, rule, routine)                                                      \
    EXPECT_DEATH(statement, VERIFIER_STOP(rule) "\n  routine: " routine)
// The same where the faulty routine is the one called, with `arguments`.
#define EXPECT_STOP_IN(routine, arguments, rule) EXPECT_STOP(routine arguments, rule, #routine)

// A counted string over a text that outlives it.
inline UNICODE_STRING Counted(const std::u16string& text) {
    USHORT bytes = static_cast<USHORT>(text.size() * sizeof(char16_t));
    return UNICODE_STRING{bytes, bytes, const_cast<PWSTR>(text.data())};
}

// A due time or timeout `duration` from now.
inline LARGE_INTEGER Relative(uint64_t duration) {
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(duration);
    return due;
}

// An event, not signalled.
struct Event : KEVENT {
    explicit Event(EVENT_TYPE type = NotificationEvent) { KeInitializeEvent(this, type, FALSE); }
};

// Runs at DISPATCH_LEVEL from its construction to its end.
struct AtDispatch {
    AtDispatch() { KeRaiseIrql(DISPATCH_LEVEL, &old); }
    ~AtDispatch() { KeLowerIrql(old); }
    KIRQL old; // the level to return to
};

// Waits without a timeout.
inline NTSTATUS Wait(KEVENT* event) {
    return KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
}

// A stand-in driver with one device whose extension holds `extension`
// bytes; both go at the end of the test, the device unless a test deleted
// it and cleared `device_`.
class DeviceTest : public KernelTest {
  protected:
    explicit DeviceTest(ULONG extension = 0) : extension_(extension) {}
    void SetUp() override {
        KernelTest::SetUp();
        driver_ = hk::CreateStandInDriver(u"StandIn");
        ASSERT_EQ(
            IoCreateDevice(driver_, extension_, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_),
            STATUS_SUCCESS);
    }
    void ReleaseMachine() override {
        if (device_ != nullptr) {
            IoDeleteDevice(device_);
        }
        hk::UnloadDriver(driver_);
    }
    template <typename T> T* Extension() { return static_cast<T*>(device_->DeviceExtension); }

    ULONG extension_;                 // size of the device's extension
    PDRIVER_OBJECT driver_ = nullptr; // the stand-in driver
    PDEVICE_OBJECT device_ = nullptr; // its device
};
