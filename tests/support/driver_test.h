// A loaded driver with its device attached over the simulated ACPI device,
// built the way device start-up builds it, for tests of the driver's
// routines.
#pragma once

#include "driver/device_context.h"
#include "sim/acpi_device.h"
#include "tests/support/kernel_test.h"

#include <memory>

class DriverTest : public KernelTest {
  protected:
    void SetUp() override;
    void ReleaseMachine() override;

    // Creates the driver's device object with a zeroed context, its locks,
    // supervision timer, deferred call and work item initialised, attached
    // over the ACPI device. The timer is not armed.
    void CreateDevice() { CreateDeviceOver(acpi_->PhysicalDevice()); }
    // The same over another device; null leaves the device unattached.
    void CreateDeviceOver(PDEVICE_OBJECT below);
    // Tears down what CreateDevice built, the watch list included.
    void DeleteDevice();
    // Cancels the supervision timer and lets a queued run finish, until no
    // run is queued and the timer is not armed.
    void StopCycle();

    DeviceContext* Context() { return ContextOf(device_); }

    std::unique_ptr<sim::AcpiDevice> acpi_; // the ACPI driver and firmware below
    PDRIVER_OBJECT driver_ = nullptr;       // the loaded driver
    PDEVICE_OBJECT device_ = nullptr;       // the driver's device object
};
