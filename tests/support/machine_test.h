// The whole simulated machine for tests of a device's life: the ACPI device
// with its firmware, the Plug and Play manager with the driver package
// installed, and the vendor's service as a user process. The driver is
// loaded, added and removed only as Plug and Play does it.
#pragma once

#include "driver/device_context.h"
#include "sim/pnp_manager.h"
#include "tests/support/kernel_test.h"

#include <memory>

class MachineTest : public KernelTest {
  protected:
    void SetUp() override;
    void ReleaseMachine() override;

    // Starts the machine again keeping only the registry, as a reboot does;
    // the driver is installed but not loaded.
    void Reboot();

    // The record of the driver's device; the device must exist.
    DeviceContext* Context();
    // A control command from the service, with the name list in the
    // service's memory for command 4.
    hk::Outcome Command(uint8_t command, uint8_t parameter1 = 0, uint8_t parameter2 = 0,
                        const std::u16string& names = u"");
    // "InstallTimes", if present.
    std::optional<uint32_t> InstallTimes();

    std::unique_ptr<sim::AcpiDevice> acpi_; // the ACPI driver and firmware
    std::unique_ptr<sim::PnpManager> pnp_;  // finds, loads, adds, starts and removes the driver
    HkProcess* service_ = nullptr;          // the vendor's supervision service
    HkThread* serviceThread_ = nullptr;     // its thread that sends commands

  private:
    void Boot();
};
