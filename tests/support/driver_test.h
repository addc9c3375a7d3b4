// A loaded driver with its device added over the simulated ACPI device by
// the driver's own add-device routine, as Plug and Play adds it, for tests
// of the driver's routines.
#pragma once

#include "driver/device_context.h"
#include "sim/acpi_device.h"
#include "tests/support/kernel_test.h"

#include <memory>

class DriverTest : public KernelTest {
  protected:
    void SetUp() override;
    void ReleaseMachine() override;

    // Adds the driver's device over the ACPI device through the driver's
    // add-device routine: record, locks, link, supervision timer, deferred
    // call and work item in place, the timer not armed. The evaluations it
    // makes are cleared from the ACPI device's trace.
    void CreateDevice() { CreateDeviceOver(acpi_->PhysicalDevice()); }
    // The same over another device; null detaches the device again after
    // the add and leaves its record without a lower device.
    void CreateDeviceOver(PDEVICE_OBJECT below);
    // Removes the device as Plug and Play removes it, with a remove request.
    void DeleteDevice();

    DeviceContext* Context() { return ContextOf(device_); }

    std::unique_ptr<sim::AcpiDevice> acpi_; // the ACPI driver and firmware below
    PDRIVER_OBJECT driver_ = nullptr;       // the loaded driver
    PDEVICE_OBJECT device_ = nullptr;       // the driver's device object
};
