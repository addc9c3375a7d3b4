// The driver under the simulated Plug and Play manager: found by hardware
// ID, loaded, added and started; stopped and started again; removed on
// request or after it disappeared (the install count across reboots and
// removals: the first-install scenario).
#include "driver/add_device.h"
#include "hostkernel/cm/registry_control.h"
#include "hostkernel/se/security_control.h"
#include "tests/support/machine_test.h"

namespace {

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

TEST_F(PnpManagerTest, DriverIsLoadedOnlyForItsHardwareIdWithTheInfsSecurity) {
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
    // The shipped INF's hardware section gives every device of the stack the
    // driver's descriptor and the secure-open characteristic (what an open by
    // the ACPI device's own name meets: the attack-acpi-name scenario).
    std::vector<uint8_t> stack = hk::SddlDescriptor(u"D:P(A;;GA;;;SY)(A;;GA;;;BA)");
    for (PDEVICE_OBJECT device : {acpi_->PhysicalDevice(), pnp_->FunctionDevice()}) {
        EXPECT_EQ(hk::DeviceSecurity(device), stack);
        EXPECT_EQ(device->Characteristics & FILE_DEVICE_SECURE_OPEN,
                  static_cast<ULONG>(FILE_DEVICE_SECURE_OPEN));
    }
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
    // The driver's last words to a surprise-removed device, which the ACPI
    // driver fails: the device-requests scenario.
    pnp_->Send(IRP_MN_REMOVE_DEVICE);
    EXPECT_EQ(pnp_->FunctionDevice(), nullptr);
    EXPECT_FALSE(InstallTimes());

    // The whole sequence through the manager unloads the driver.
    ASSERT_EQ(pnp_->Enumerate(), STATUS_SUCCESS);
    pnp_->SurpriseRemove();
    EXPECT_EQ(pnp_->Driver(), nullptr);
    EXPECT_EQ(acpi_->PhysicalDevice()->AttachedDevice, nullptr);
}

// Only the hardware section of the install section counts, its AddReg
// sections' HKR lines with the two names; a ";" in quotes is no comment.
TEST(InfHardwareTest, SettingsComeFromTheInstallSectionsHardwareSection) {
    const std::string inf = "[Models]\n%D% = Install, ACPI\\X\n"
                            "[Install.NT]\nCopyFiles = F\n"
                            "[Install.NT.HW]\nAddReg = One, Two ; comment\n"
                            "[One]\nHKR,,Security,,\"D:P(A;;GA;;;SY)\" ; all for LocalSystem\n"
                            "[Two]\nHKR,,DeviceCharacteristics,0x10001,0x100\n"
                            "HKR,Sub,Exclusive,0x10001,1\n";
    sim::HardwareSettings settings = sim::ParseHardwareSettings(inf);
    EXPECT_EQ(settings.Security, std::u16string(u"D:P(A;;GA;;;SY)"));
    EXPECT_EQ(settings.Characteristics, 0x100u);
    sim::HardwareSettings none = sim::ParseHardwareSettings("[Other.HW]\nAddReg = One\n"
                                                            "[One]\nHKR,,Security,,\"D:\"\n");
    EXPECT_FALSE(none.Security.has_value()) << "no install section of that name";
    EXPECT_FALSE(none.Characteristics.has_value());
}

} // namespace
