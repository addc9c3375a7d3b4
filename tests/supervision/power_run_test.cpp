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
    // Feeds at or after `since`, each with the state code it carried.
    std::vector<std::pair<uint64_t, int>> FeedsSince(uint64_t since) {
        std::vector<std::pair<uint64_t, int>> feeds;
        for (const sim::Evaluation& evaluation : acpi_->Trace()) {
            if (evaluation.Method == "FVKT" && evaluation.Time >= since) {
                feeds.emplace_back(evaluation.Time, evaluation.Input.at(20));
            }
        }
        return feeds;
    }
};

TEST_F(PowerRunTest, SleepStopsFeedingAndOnlyACommandResumesItAfterWake) {
    Supervise(5);
    hk::RunFor(35 * hk::kSecond);
    EXPECT_EQ(FeedsSince(1).size(), 3u) << "fed at 10, 20 and 30 seconds";

    uint64_t entry = hk::Now();
    EXPECT_EQ(sim::EnterSystemState(device_, PowerSystemSleeping3).returned, STATUS_SUCCESS);
    EXPECT_EQ(acpi_->Firmware().TimeoutSeconds(), 310u);
    EXPECT_EQ(acpi_->Firmware().Deadline(), entry + 310 * hk::kSecond);
    EXPECT_EQ(acpi_->Firmware().LastState(), StateEnterS3);
    EXPECT_FALSE(Context()->Timer.Inserted) << "the supervision cycle is stopped";
    hk::RunFor(300 * hk::kSecond);
    EXPECT_EQ(FeedsSince(entry), (std::vector<std::pair<uint64_t, int>>{{entry, StateEnterS3}}))
        << "only the arming feed";

    uint64_t wake = hk::Now();
    sim::ReturnToWorking(device_, PowerSystemSleeping3);
    EXPECT_FALSE(acpi_->Firmware().WatchdogOpen());
    EXPECT_EQ(acpi_->Firmware().LastState(), StateResumeS3);
    hk::RunFor(hk::kHour);
    EXPECT_TRUE(FeedsSince(wake).empty()) << "the cycle runs but feeds nothing";
    EXPECT_TRUE(acpi_->Firmware().Resets().empty());

    uint64_t command = hk::Now();
    ASSERT_EQ(Send(Record(6)).returned, STATUS_SUCCESS);
    EXPECT_EQ(acpi_->Firmware().TimeoutSeconds(), 60u);
    hk::RunFor(hk::kMinute);
    auto feeds = FeedsSince(command);
    ASSERT_GE(feeds.size(), 6u) << "the arming feed and one per cycle";
    EXPECT_EQ(feeds.back().second, StateWatchB);
    EXPECT_TRUE(acpi_->Firmware().Resets().empty());
}

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
    EXPECT_EQ(FeedsSince(entry).size(), 1u) << "only the arming feed";
    EXPECT_TRUE(acpi_->Firmware().Resets().empty());
    hk::RunFor(1);
    ASSERT_EQ(acpi_->Firmware().Resets().size(), 1u);
    EXPECT_EQ(acpi_->Firmware().Resets()[0].Time, entry + 310 * hk::kSecond);
    EXPECT_EQ(acpi_->Firmware().Resets()[0].LastState, StateEnterS3);
}

// Shutdown is timed with the shutdown timeout that command 4 set.
TEST_F(PowerRunTest, ShutdownThatHangsIsResetAfterTheShutdownTimeout) {
    Supervise(6);
    uint64_t entry = hk::Now();
    sim::EnterSystemState(device_, PowerSystemShutdown);
    EXPECT_EQ(acpi_->Firmware().TimeoutSeconds(), 90u);
    hk::RunFor(10 * hk::kMinute);
    ASSERT_EQ(acpi_->Firmware().Resets().size(), 1u);
    EXPECT_EQ(acpi_->Firmware().Resets()[0].Time, entry + 90 * hk::kSecond);
    EXPECT_EQ(acpi_->Firmware().Resets()[0].LastState, StateEnterS6);
}

} // namespace
