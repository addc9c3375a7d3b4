// The driver under the simulated Plug and Play manager: found by hardware
// ID, loaded, added and started; stopped and started again; removed on
// request or after it disappeared (the install count across reboots and
// removals: the first-install scenario).
#include "driver/add_device.h"
#include "hostkernel/cm/registry_control.h"
#include "tests/support/machine_test.h"

namespace {

using Strings = std::vector<std::string>;

class PnpManagerTest : public MachineTest {
  protected:
    std::vector<UCHAR> MinorsReceived() {
        std::vector<UCHAR> minors;
        for (const sim::PnpArrival& arrival : acpi_->PnpTrace()) {
            minors.push_back(arrival.Minor);
        }
        return minors;
    }
};

TEST_F(PnpManagerTest, DriverIsLoadedOnlyForItsHardwareId) {
    acpi_->SetHardwareId(u"ACPI\\ABC1234");
    EXPECT_EQ(pnp_->Enumerate(), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(pnp_->Driver(), nullptr);
    EXPECT_EQ(pnp_->FunctionDevice(), nullptr);

    acpi_->SetHardwareId(u"ACPI\\VKT0001");
    ASSERT_EQ(pnp_->Enumerate(), STATUS_SUCCESS);
    ASSERT_NE(pnp_->Driver(), nullptr);
    EXPECT_EQ(pnp_->FunctionDevice()->DriverObject, pnp_->Driver());
    EXPECT_EQ(MinorsReceived(), std::vector<UCHAR>{IRP_MN_START_DEVICE});
    EXPECT_TRUE(Context()->Timer.Inserted);
    EXPECT_EQ(Context()->FirmwareStatus, FIRMWARE_STATUS_NOT_READ);
}

TEST_F(PnpManagerTest, RefusedQueryIsCancelledAndTheDeviceStays) {
    ASSERT_EQ(pnp_->Enumerate(), STATUS_SUCCESS);
    acpi_->FailPnp(IRP_MN_QUERY_REMOVE_DEVICE, STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(pnp_->Remove());
    acpi_->FailPnp(IRP_MN_QUERY_STOP_DEVICE, STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(pnp_->Stop());
    EXPECT_EQ(MinorsReceived(),
              (std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE,
                                  IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_QUERY_STOP_DEVICE,
                                  IRP_MN_CANCEL_STOP_DEVICE}));
    ASSERT_NE(pnp_->FunctionDevice(), nullptr);
    EXPECT_TRUE(Context()->Timer.Inserted);
}

TEST_F(PnpManagerTest, StopKeepsTheCycleAndStartArmsItAgain) {
    ASSERT_EQ(pnp_->Enumerate(), STATUS_SUCCESS);
    hk::RunFor(15 * hk::kSecond);
    EXPECT_TRUE(pnp_->Stop());
    EXPECT_EQ(Context()->Timer.DueTime, 20 * hk::kSecond);
    hk::RunFor(7 * hk::kSecond);
    EXPECT_EQ(pnp_->Start().ioStatus.Status, STATUS_SUCCESS);
    EXPECT_EQ(Context()->Timer.DueTime, 32 * hk::kSecond);
}

TEST_F(PnpManagerTest, SurpriseRemovalKeepsTheCycleUntilTheRemoval) {
    ASSERT_EQ(pnp_->Enumerate(), STATUS_SUCCESS);
    ASSERT_EQ(pnp_->Send(IRP_MN_SURPRISE_REMOVAL).ioStatus.Status, STATUS_SUCCESS);
    hk::RunFor(10 * hk::kSecond);
    EXPECT_EQ(Context()->Timer.DueTime, 20 * hk::kSecond);
    acpi_->ClearTrace();
    pnp_->Send(IRP_MN_REMOVE_DEVICE);
    EXPECT_EQ(acpi_->Methods(), (Strings{"CVKT", "SSXS"}));
    EXPECT_EQ(pnp_->FunctionDevice(), nullptr);
    EXPECT_FALSE(InstallTimes());

    // The whole sequence through the manager unloads the driver.
    ASSERT_EQ(pnp_->Enumerate(), STATUS_SUCCESS);
    pnp_->SurpriseRemove();
    EXPECT_EQ(pnp_->Driver(), nullptr);
    EXPECT_EQ(acpi_->PhysicalDevice()->AttachedDevice, nullptr);
}

} // namespace
