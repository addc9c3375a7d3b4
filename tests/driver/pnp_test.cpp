// Plug and Play start and removal as the driver handles them: start arms
// the cycle whatever the lower driver says, every other minor code passes
// down untouched, and removal reports before it tears down (the state it
// reports and the pool and handles it leaves: the lifecycle test).
#include "driver/add_device.h"
#include "driver/pnp.h"
#include "driver/routing.h"
#include "hostkernel/kernel_state.h"
#include "hostkernel/cm/registry_control.h"
#include "tests/support/driver_test.h"

namespace {

using Strings = std::vector<std::string>;

const std::u16string kParameters = hk::kServiceKeyPath + u"\\Parameters";

class PnpTest : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        CreateDevice();
    }
    hk::Outcome SendPnp(UCHAR minor) {
        return hk::Send(
            device_, {.major = IRP_MJ_PNP, .minor = minor, .initialStatus = STATUS_NOT_SUPPORTED});
    }
    hk::Outcome Remove() {
        hk::Outcome outcome = SendPnp(IRP_MN_REMOVE_DEVICE);
        device_ = nullptr;
        return outcome;
    }
    const sim::PnpArrival& LastArrival() { return acpi_->PnpTrace().back(); }
};

TEST_F(PnpTest, StartArmsTheCycleWhateverTheLowerDriverAnswers) {
    acpi_->FailPnp(IRP_MN_START_DEVICE, STATUS_DEVICE_NOT_CONNECTED);
    hk::Outcome outcome = SendPnp(IRP_MN_START_DEVICE);
    EXPECT_EQ(outcome.returned, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(outcome.ioStatus.Status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(LastArrival().Carried, STATUS_SUCCESS) << "the driver's own part succeeded";
    EXPECT_EQ(Context()->Timer.DueTime, 10 * hk::kSecond);
    hk::RunFor(10 * hk::kSecond);
    EXPECT_EQ(Context()->Timer.DueTime, 20 * hk::kSecond) << "the first run re-armed it";
}

// Passing down leaves the location and its contents as they came (the
// routing test); here every minor code is shown to take that way.
TEST_F(PnpTest, EveryOtherMinorCodeReachesTheAcpiDeviceUnchanged) {
    std::vector<UCHAR> minors;
    for (int minor = 0; minor <= 0x1A; minor++) {
        if (minor != IRP_MN_START_DEVICE && minor != IRP_MN_REMOVE_DEVICE) {
            minors.push_back(static_cast<UCHAR>(minor));
        }
    }
    minors.push_back(0x40);
    minors.push_back(0xFF);
    for (UCHAR minor : minors) {
        NTSTATUS carried = static_cast<NTSTATUS>(0xC0000100L + minor);
        hk::Outcome outcome =
            hk::Send(device_, {.major = IRP_MJ_PNP, .minor = minor, .initialStatus = carried});
        ASSERT_EQ(LastArrival().Minor, minor);
        EXPECT_EQ(LastArrival().Carried, carried) << "minor " << int(minor);
        EXPECT_EQ(outcome.returned, LastArrival().Status);
    }
    EXPECT_EQ(acpi_->PnpTrace().size(), minors.size());
    EXPECT_TRUE(acpi_->Trace().empty());
    EXPECT_FALSE(Context()->Timer.Inserted) << "surprise removal and stop start nothing";
}

TEST_F(PnpTest, RemovalReportsFirstThenTearsDownAndLeavesNothing) {
    SendPnp(IRP_MN_START_DEVICE);
    hk::RunFor(15 * hk::kSecond);
    acpi_->ClearTrace();
    // Without a context or a request nothing is torn down.
    EXPECT_EQ(RemoveDevice(nullptr, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RemoveDevice(Context(), nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(hk::FindSymbolicLink(u"\\DosDevices\\VKT0001", nullptr));
    hk::Outcome outcome = Remove();
    EXPECT_EQ(outcome.returned, STATUS_SUCCESS);
    EXPECT_EQ(acpi_->Methods(), (Strings{"CVKT", "SSXS"}));
    EXPECT_EQ(LastArrival().Minor, IRP_MN_REMOVE_DEVICE);
    EXPECT_EQ(LastArrival().EvaluationsBefore, 2u) << "both before the request went down";
    EXPECT_EQ(LastArrival().Carried, STATUS_SUCCESS);

    EXPECT_EQ(driver_->DeviceObject, nullptr);
    EXPECT_EQ(acpi_->PhysicalDevice()->AttachedDevice, nullptr);
    EXPECT_FALSE(hk::FindSymbolicLink(u"\\DosDevices\\VKT0001", nullptr));
    EXPECT_TRUE(hk::RegistryKeyExists(kParameters));
    EXPECT_FALSE(hk::ReadRegistryValue(kParameters, u"InstallTimes"));
    EXPECT_TRUE(hk::K().Timers.empty());
    EXPECT_TRUE(hk::K().Dpcs.empty());
    EXPECT_TRUE(hk::QueuedWorkItems() == 0);
}

// Removal gives back its own reference and waits for the others; one that
// a request in flight never gives back leaves it waiting for good.
TEST_F(PnpTest, RemovalWaitsForEveryRequestInFlight) {
    static int inFlight;
    ASSERT_EQ(IoAcquireRemoveLock(&Context()->RemoveLock, &inFlight), STATUS_SUCCESS);
    EXPECT_DEATH(Remove(), VERIFIER_STOP("deadlock"));
    IoReleaseRemoveLock(&Context()->RemoveLock, &inFlight);
}

} // namespace
