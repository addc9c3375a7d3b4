// Device start-up: what the first creation evaluates, the record and flags
// it leaves, and every failure undone without leaving anything. Later
// creations read the status byte first: the first-install scenario.
#include "driver/add_device.h"
#include "hostkernel/cm/registry_control.h"
#include "tests/support/driver_test.h"

#include <tuple>

namespace {

using Strings = std::vector<std::string>;

const std::u16string kParameters = hk::kServiceKeyPath + u"\\Parameters";

class AddDeviceTest : public DriverTest {
  protected:
    // Calls the add-device routine as Plug and Play does; keeps the device
    // for removal at the end when one was made.
    NTSTATUS Add() {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        hk::RunAs(hk::CurrentThread(), [&] {
            status = driver_->DriverExtension->AddDevice(driver_, acpi_->PhysicalDevice());
        });
        if (device_ == nullptr) {
            device_ = driver_->DeviceObject;
        }
        return status;
    }
    std::optional<uint32_t> InstallTimes() {
        auto value = hk::ReadRegistryValue(kParameters, u"InstallTimes");
        if (!value || value->Data.size() != 4) {
            return std::nullopt;
        }
        return value->Data[0] | value->Data[1] << 8 | value->Data[2] << 16 | value->Data[3] << 24;
    }
    // Nothing of a failed start-up is left: no device, no link, no
    // attachment, no pool, no handle (the leak check at the end sees the rest:
    // work items, locks).
    void ExpectNothingLeft() {
        EXPECT_EQ(driver_->DeviceObject, nullptr);
        EXPECT_FALSE(hk::FindSymbolicLink(u"\\DosDevices\\VKT0001", nullptr));
        EXPECT_EQ(acpi_->PhysicalDevice()->AttachedDevice, nullptr);
        EXPECT_EQ(hk::LiveBlocksWithTag(VKT_POOL_TAG), 0u);
        EXPECT_EQ(hk::OpenHandleCount(), 0u);
    }
};

TEST_F(AddDeviceTest, FirstCreationReportsNotReadAndLeavesTheRecordReady) {
    acpi_->Firmware().SetStatusValue(0x17);
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    DeviceContext* context = Context();
    // What it evaluates, and what not: the first-install scenario.
    EXPECT_EQ(context->FirmwareStatus, FIRMWARE_STATUS_NOT_READ);
    EXPECT_EQ(InstallTimes(), 1u);

    EXPECT_EQ(device_->Flags & (DO_BUFFERED_IO | DO_POWER_PAGABLE | DO_DEVICE_INITIALIZING),
              static_cast<ULONG>(DO_BUFFERED_IO | DO_POWER_PAGABLE));
    EXPECT_EQ(device_->DeviceType, static_cast<ULONG>(FILE_DEVICE_UNKNOWN));
    EXPECT_EQ(device_->Characteristics, static_cast<ULONG>(FILE_DEVICE_SECURE_OPEN))
        << "opens inside the device are held to its DACL";
    EXPECT_EQ(std::tuple(context->Self, context->LowerDevice, context->State,
                         context->ShutdownTimeout, context->DebuggerPresent),
              std::tuple(device_, acpi_->PhysicalDevice(), StateLoaded, 60u, 0));
    EXPECT_EQ(acpi_->PhysicalDevice()->AttachedDevice, device_);
    EXPECT_TRUE(IsListEmpty(&context->WatchList));
    EXPECT_NE(context->WorkItem, nullptr);
    EXPECT_FALSE(KeCancelTimer(&context->Timer)) << "start arms the timer, not creation";
    EXPECT_EQ(context->LinkName.MaximumLength, context->LinkName.Length + 2);
    EXPECT_EQ(context->DeviceName.MaximumLength, context->DeviceName.Length + 2);
    std::u16string target;
    ASSERT_TRUE(hk::FindSymbolicLink(u"\\DosDevices\\VKT0001", &target));
    EXPECT_EQ(target, u"\\Device\\VKTDevice");
}

TEST_F(AddDeviceTest, DebuggerKeepsTheWatchdogUntouchedButNotTheReport) {
    KdDebuggerEnabled = TRUE;
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    EXPECT_NE(Context()->DebuggerPresent, 0);
    EXPECT_EQ(acpi_->Methods(), Strings{"SSXS"});
    KdDebuggerEnabled = FALSE;
    EXPECT_NE(Context()->DebuggerPresent, 0) << "read once, at creation";
}

// A failed start-up is undone without leaving anything: the link before
// the count or any evaluation, the work item after both. A device outside
// the stack would never receive its removal and would hold the fixed name
// until the next boot: it is undone at once, uncounted. A link failing once
// is retried.
TEST_F(AddDeviceTest, EveryFailedStepIsUndone) {
    hk::FailRoutine("IoCreateSymbolicLink", STATUS_OBJECT_NAME_COLLISION, 2);
    EXPECT_EQ(Add(), STATUS_OBJECT_NAME_COLLISION);
    device_ = nullptr;
    ExpectNothingLeft();
    EXPECT_TRUE(acpi_->Trace().empty());
    EXPECT_FALSE(hk::RegistryKeyExists(kParameters));

    hk::SetRegistryDword(kParameters, u"InstallTimes", 4);
    hk::FailRoutine("IoAllocateWorkItem", STATUS_INSUFFICIENT_RESOURCES, 1);
    EXPECT_EQ(Add(), STATUS_INSUFFICIENT_RESOURCES);
    device_ = nullptr;
    ExpectNothingLeft();
    EXPECT_EQ(acpi_->Methods(), Strings{"GSXS"});
    EXPECT_EQ(InstallTimes(), 5u);

    acpi_->ClearTrace();
    hk::FailRoutine("IoAttachDeviceToDeviceStack", STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Add(), STATUS_NO_SUCH_DEVICE);
    device_ = nullptr;
    ExpectNothingLeft();
    EXPECT_TRUE(acpi_->Trace().empty());
    EXPECT_EQ(InstallTimes(), 5u) << "not counted";

    hk::FailRoutine("IoCreateSymbolicLink", STATUS_INSUFFICIENT_RESOURCES, 1);
    ASSERT_EQ(Add(), STATUS_SUCCESS) << "the name is free, and the link retried";
    EXPECT_TRUE(hk::FindSymbolicLink(u"\\DosDevices\\VKT0001", nullptr));
    EXPECT_EQ(acpi_->Methods(), (Strings{"GSXS", "CVKT", "SSXS"}));
}

// A failed creation of the device object is returned as it is, with
// nothing else done.
TEST_F(AddDeviceTest, SecondDeviceIsRefusedOnTheFixedName) {
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    acpi_->ClearTrace();
    PDEVICE_OBJECT first = device_;
    EXPECT_EQ(Add(), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(driver_->DeviceObject, first);
    EXPECT_EQ(first->NextDevice, nullptr);
    EXPECT_TRUE(acpi_->Trace().empty());
    EXPECT_EQ(InstallTimes(), 1u);
}

} // namespace
