// Whole supervised runs through sleep and wake against the firmware's
// watchdog in virtual time: what is fed, when, and when the machine is reset.
#include "sim/power_manager.h"
#include "supervision/cycle.h"
#include "tests/supervision/service.h"

namespace {

class PowerRunTest : public ServiceTest {
  protected:
    void SetUp() override {
        ServiceTest::SetUp();
        device_->Flags |= DO_POWER_PAGABLE;
    }
    // Command 4 with the service's own name, the timer as device start arms
    // it, then a supervised state.
    void Supervise(uint8_t command) {
        ASSERT_EQ(SetList(u"VKTService.exe", 60, 90), STATUS_SUCCESS);
        ArmSupervisionTimer(Context());
        ASSERT_EQ(Send(Record(command)).returned, STATUS_SUCCESS);
    }
    // Feeds at or after `since`.
    size_t FeedsSince(uint64_t since) {
        size_t feeds = 0;
        for (const sim::Evaluation& evaluation : acpi_->Trace()) {
            feeds += evaluation.Method == "FVKT" && evaluation.Time >= since ? 1 : 0;
        }
        return feeds;
    }
};

// A run already queued when the machine goes to sleep still runs, finds the
// entry code and feeds nothing; the firmware resets the machine that never
// wakes 310 seconds after the entry, with the entry as its last state.
TEST_F(PowerRunTest, MachineThatNeverWakesIsResetAfterTheSleepTimeout) {
    Supervise(5);
    hk::RunFor(15 * hk::kSecond);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    SupervisionDpc(&Context()->TimerDpc, Context(), nullptr, nullptr);
    KeLowerIrql(old);

    uint64_t entry = hk::Now();
    sim::EnterSystemState(device_, PowerSystemSleeping3);
    hk::RunFor(310 * hk::kSecond - 1);
    EXPECT_EQ(FeedsSince(entry), 1u) << "only the arming feed";
    EXPECT_TRUE(acpi_->Firmware().Resets().empty());
    hk::RunFor(1);
    ASSERT_EQ(acpi_->Firmware().Resets().size(), 1u);
    EXPECT_EQ(acpi_->Firmware().Resets()[0].Time, entry + 310 * hk::kSecond);
    EXPECT_EQ(acpi_->Firmware().Resets()[0].LastState, StateEnterS3);
}

} // namespace
