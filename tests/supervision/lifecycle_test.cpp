// One whole life of the driver in virtual time, driven only as the system
// drives it: Plug and Play loads, adds and starts it, the service
// supervises a day, the machine sleeps and wakes, Plug and Play removes it
// and adds it again.
#include "driver/add_device.h"
#include "hostkernel/cm/registry_control.h"
#include "sim/power_manager.h"
#include "tests/support/machine_test.h"

#include <algorithm>

namespace {

using Strings = std::vector<std::string>;

class LifecycleTest : public MachineTest {
  protected:
    size_t Count(const std::string& method) {
        Strings methods = acpi_->Methods();
        return std::count(methods.begin(), methods.end(), method);
    }
};

TEST_F(LifecycleTest, LoadAddStartSuperviseADaySleepWakeRemoveAddAgain) {
    ASSERT_EQ(pnp_->Enumerate(), STATUS_SUCCESS);
    EXPECT_EQ(acpi_->Methods(), (Strings{"CVKT", "SSXS"}));
    EXPECT_EQ(Context()->FirmwareStatus, FIRMWARE_STATUS_NOT_READ);
    hk::Outcome status = Command(COMMAND_GET_FIRMWARE_STATUS);
    EXPECT_EQ(status.output, Bytes({FIRMWARE_STATUS_NOT_READ}));

    ASSERT_EQ(Command(COMMAND_SET_WATCH_LIST, 60, 90, u"VKTService.exe,Other.exe").returned,
              STATUS_SUCCESS);
    acpi_->ClearTrace();
    ASSERT_EQ(Command(COMMAND_ENTER_WATCH_A).returned, STATUS_SUCCESS);
    EXPECT_EQ(acpi_->Methods(), (Strings{"SSXS", "SVKT", "OVKT", "FVKT"}));

    // A day of ten-second feeds keeps the 60-second watchdog from expiring.
    acpi_->ClearTrace();
    hk::RunFor(24 * hk::kHour);
    EXPECT_EQ(Count("FVKT"), 8640u);
    EXPECT_TRUE(acpi_->Firmware().Resets().empty());
    EXPECT_TRUE(acpi_->Firmware().WatchdogOpen());

    // Sleep stops the cycle and arms 310 seconds (a longer sleep would reset
    // the machine); after the wake the cycle runs but feeds only once the
    // service enters a supervised state again.
    acpi_->ClearTrace();
    uint64_t entry = hk::Now();
    EXPECT_EQ(sim::EnterSystemState(pnp_->FunctionDevice(), PowerSystemSleeping3).returned,
              STATUS_SUCCESS);
    EXPECT_EQ(acpi_->Firmware().TimeoutSeconds(), 310u);
    EXPECT_EQ(acpi_->Firmware().Deadline(), entry + 310 * hk::kSecond);
    EXPECT_EQ(acpi_->Firmware().LastState(), StateEnterS3);
    EXPECT_FALSE(Context()->Timer.Inserted);
    hk::RunFor(5 * hk::kMinute);
    EXPECT_EQ(Count("FVKT"), 1u) << "only the arm's first feed";
    EXPECT_EQ(acpi_->Trace().back().Input.at(20), StateEnterS3);
    sim::ReturnToWorking(pnp_->FunctionDevice(), PowerSystemSleeping3);
    EXPECT_FALSE(acpi_->Firmware().WatchdogOpen());
    EXPECT_EQ(Context()->State, StateResumeS3);
    EXPECT_EQ(acpi_->Firmware().LastState(), StateResumeS3);
    acpi_->ClearTrace();
    hk::RunFor(hk::kHour);
    EXPECT_EQ(Count("FVKT"), 0u);
    ASSERT_EQ(Command(COMMAND_ENTER_WATCH_B).returned, STATUS_SUCCESS);
    EXPECT_EQ(acpi_->Firmware().TimeoutSeconds(), 60u);
    hk::RunFor(hk::kMinute);
    EXPECT_EQ(Count("FVKT"), 7u) << "the arm's feed and six cycles";
    EXPECT_EQ(acpi_->Trace().back().Input.at(20), StateWatchB);
    EXPECT_TRUE(acpi_->Firmware().Resets().empty());

    // Removal stops everything and forgets the count; the next add starts
    // afresh with nothing of the old record.
    acpi_->ClearTrace();
    EXPECT_TRUE(pnp_->Remove());
    EXPECT_EQ(acpi_->Methods(), (Strings{"CVKT", "SSXS"}));
    EXPECT_EQ(acpi_->Firmware().LastState(), StateRemoved);
    EXPECT_FALSE(acpi_->Firmware().WatchdogOpen());
    EXPECT_EQ(pnp_->Driver(), nullptr);
    EXPECT_EQ(pnp_->FunctionDevice(), nullptr);
    EXPECT_FALSE(hk::FindSymbolicLink(u"\\DosDevices\\VKT0001", nullptr));
    EXPECT_EQ(hk::LiveBlocksWithTag(VKT_POOL_TAG), 0u);
    EXPECT_EQ(hk::OpenHandleCount(), 0u);
    hk::RunFor(hk::kHour);
    EXPECT_TRUE(acpi_->Firmware().Resets().empty());

    ASSERT_EQ(pnp_->Enumerate(), STATUS_SUCCESS);
    EXPECT_EQ(Context()->FirmwareStatus, FIRMWARE_STATUS_NOT_READ);
    EXPECT_EQ(Context()->WatchEnabled, 0);
    EXPECT_EQ(InstallTimes(), 1u);
    ASSERT_EQ(Command(COMMAND_SET_WATCH_LIST, 60, 90, u"VKTService.exe").returned, STATUS_SUCCESS);
}

} // namespace
