#include "tests/support/driver_test.h"

#include "driver/routing.h"

void DriverTest::SetUp() {
    KernelTest::SetUp();
    acpi_ = std::make_unique<sim::AcpiDevice>();
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    driver_ = hk::LoadDriver(DriverEntry, u"VKTDrv", &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
}

void DriverTest::CreateDeviceOver(PDEVICE_OBJECT below) {
    PDEVICE_OBJECT over = below != nullptr ? below : acpi_->PhysicalDevice();
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    hk::RunAs(hk::CurrentThread(),
              [&] { status = driver_->DriverExtension->AddDevice(driver_, over); });
    ASSERT_EQ(status, STATUS_SUCCESS);
    device_ = driver_->DeviceObject;
    if (below == nullptr) {
        // Start-up refuses a device it cannot attach; the routines below it
        // still guard against a record without a lower device.
        IoDetachDevice(Context()->LowerDevice);
        Context()->LowerDevice = nullptr;
    }
    acpi_->ClearTrace();
}

void DriverTest::DeleteDevice() {
    hk::Outcome outcome = hk::Send(device_, {.major = IRP_MJ_PNP,
                                             .minor = IRP_MN_REMOVE_DEVICE,
                                             .initialStatus = STATUS_NOT_SUPPORTED});
    ASSERT_TRUE(outcome.completed);
    device_ = nullptr;
}

void DriverTest::ReleaseMachine() {
    if (device_ != nullptr) {
        DeleteDevice();
    }
    if (driver_ != nullptr) {
        hk::UnloadDriver(driver_);
        driver_ = nullptr;
    }
    acpi_.reset();
}
