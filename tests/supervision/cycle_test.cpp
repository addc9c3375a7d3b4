// The ten-second cycle: when it checks, when it feeds, and whole supervised
// runs against the firmware's watchdog in virtual time.
#include "supervision/cycle.h"
#include "tests/supervision/service.h"

namespace {

using Strings = std::vector<std::string>;

class CycleTest : public ServiceTest {
  protected:
    // Command 4 with the service's own name, then the timer as device start arms it.
    void Supervise(uint8_t command = 5) {
        ASSERT_EQ(SetList(u"VKTService.exe"), STATUS_SUCCESS);
        ASSERT_EQ(Send(Record(command)).returned, STATUS_SUCCESS);
        ArmSupervisionTimer(Context());
        acpi_->ClearTrace();
    }
    size_t Feeds() {
        size_t feeds = 0;
        for (const sim::Evaluation& evaluation : acpi_->Trace()) {
            feeds += evaluation.Method == "FVKT" ? 1 : 0;
        }
        return feeds;
    }
};

// Nothing is fed while a debugger is attached, once the watched process is
// gone, without a watch list (nor is a snapshot taken), or outside a
// supervised state.
TEST_F(CycleTest, NothingIsFedWithoutDebuggerWatchedProcessListOrSupervisedState) {
    Supervise();
    Context()->DebuggerPresent = 1;
    hk::RunFor(hk::kMinute);
    EXPECT_TRUE(acpi_->Trace().empty());
    Context()->DebuggerPresent = 0;
    hk::TerminateProcess(service_);
    hk::RunFor(10 * hk::kSecond);
    EXPECT_TRUE(acpi_->Trace().empty());
    EXPECT_TRUE(KeCancelTimer(&Context()->Timer)) << "the run armed the timer again";

    DeleteDevice();
    CreateDevice();
    ASSERT_EQ(Send(Record(5)).returned, STATUS_SUCCESS);
    ArmSupervisionTimer(Context());
    uint64_t allocations = hk::AllocationCount();
    hk::RunFor(30 * hk::kSecond);
    EXPECT_EQ(hk::AllocationCount(), allocations) << "no snapshot without a watch list";
    EXPECT_EQ(acpi_->Methods(), Strings{"SSXS"});

    Context()->State = StateResumeS3;
    acpi_->ClearTrace();
    hk::RunFor(30 * hk::kSecond);
    EXPECT_TRUE(acpi_->Trace().empty());
}

TEST_F(CycleTest, ExpiryWhileARunIsQueuedQueuesNothingMore) {
    Supervise();
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    SupervisionDpc(&Context()->TimerDpc, Context(), nullptr, nullptr);
    SupervisionDpc(&Context()->TimerDpc, Context(), nullptr, nullptr);
    KeLowerIrql(old);
    EXPECT_EQ(Context()->WorkQueued, 1);
    hk::RunPending();
    EXPECT_EQ(Context()->WorkQueued, 0);
    EXPECT_EQ(Feeds(), 1u) << "one run for two expiries";
    EXPECT_TRUE(KeCancelTimer(&Context()->Timer));
    EXPECT_FALSE(KeCancelTimer(&Context()->Timer)) << "exactly one armed timer";
}

// A server's process list does not fit the first snapshot buffer; the
// check looks all the same and feeds once per cycle with the state, and a
// dead service still ends in the reset a run timeout after the last feed,
// with the supervised state as the last.
TEST_F(CycleTest, DeadServiceEndsInResetOnAMachineOfTwentyThousandProcesses) {
    hk::SetSnapshotThreads(service_, 10);
    for (int i = 1; i < 20000; i++) {
        char16_t name[] = u"worker00000.exe";
        for (int digit = 10, rest = i; digit > 5; digit--, rest /= 10) {
            name[digit] = static_cast<char16_t>(u'0' + rest % 10);
        }
        hk::SetSnapshotThreads(hk::CreateProcess(name), 10);
    }
    Supervise(COMMAND_ENTER_WATCH_B);
    hk::RunFor(hk::kMinute);
    EXPECT_EQ(Feeds(), 6u);
    EXPECT_EQ(acpi_->Trace()[0].Time, 10 * hk::kSecond) << "a feed per cycle, with the state";
    EXPECT_EQ(acpi_->Trace()[0].Input[20], StateWatchB);
    hk::TerminateProcess(service_);
    hk::RunFor(10 * hk::kSecond);
    EXPECT_EQ(Feeds(), 6u) << "no feed once the service is gone";
    uint64_t lastFeed = acpi_->Trace().back().Time;
    hk::RunFor(2 * hk::kMinute);
    EXPECT_EQ(Feeds(), 6u);
    ASSERT_EQ(acpi_->Firmware().Resets().size(), 1u);
    EXPECT_EQ(acpi_->Firmware().Resets()[0].Time, lastFeed + 60 * hk::kSecond);
    EXPECT_EQ(acpi_->Firmware().Resets()[0].LastState, StateWatchB);
    EXPECT_FALSE(acpi_->Firmware().WatchdogOpen()) << "the reset closed it";
}

} // namespace
