// Removal against the supervision cycle: whatever point a run has reached
// when the device is removed, removal waits for it or stops it, and leaves
// no armed timer, no queued call or work, no pool and no use of the freed
// record.
#include "hostkernel/kernel_state.h"
#include "supervision/cycle.h"
#include "hostkernel/registry_control.h"
#include "sim/power_manager.h"
#include "tests/supervision/service.h"

namespace {

using Strings = std::vector<std::string>;

class RemovalTest : public ServiceTest {
  protected:
    // A supervised device with three watched names, started: every run
    // feeds, so a run after removal began would show in the trace.
    void SetUp() override {
        ServiceTest::SetUp();
        ASSERT_EQ(SetList(u"VKTService.exe,Helper.exe,Agent.exe"), STATUS_SUCCESS);
        ASSERT_EQ(Send(Record(5)).returned, STATUS_SUCCESS);
        hk::Request start;
        start.major = IRP_MJ_PNP;
        start.minor = IRP_MN_START_DEVICE;
        hk::Send(device_, start);
        acpi_->ClearTrace();
    }
    // Time up to the timer's expiry, without running what it sets off.
    void ExpireTimer() {
        hk::RunFor(10 * hk::kSecond - 1);
        ASSERT_TRUE(hk::FireNextAlarm(hk::Now() + 1));
        ASSERT_EQ(hk::K().Dpcs.size(), 1u);
    }
    // Removal, then what must hold after it whatever was under way.
    void RemoveAndExpectNothingLeft() {
        DeleteDevice();
        EXPECT_EQ(acpi_->Methods(), (Strings{"CVKT", "SSXS"})) << "no run fed after removal began";
        EXPECT_TRUE(hk::K().Timers.empty());
        EXPECT_TRUE(hk::K().Dpcs.empty());
        EXPECT_TRUE(hk::QueuedWorkItems() == 0);
        EXPECT_EQ(hk::LiveBlocksWithTag(VKT_POOL_TAG), 0u);
        EXPECT_EQ(hk::OpenHandleCount(), 0u);
        EXPECT_FALSE(hk::FindSymbolicLink(u"\\DosDevices\\VKT0001", nullptr));
        hk::RunFor(hk::kHour);
        EXPECT_EQ(acpi_->Trace().size(), 2u);
    }
};

TEST_F(RemovalTest, IdleCycleFreesTheThreeEntriesAndTheText) {
    EXPECT_EQ(hk::LiveBlocksWithTag(VKT_POOL_TAG), 4u);
    hk::RunFor(25 * hk::kSecond);
    EXPECT_EQ(acpi_->Methods(), (Strings{"FVKT", "FVKT"}));
    acpi_->ClearTrace();
    RemoveAndExpectNothingLeft();
}

// A corrupt link stops the system in the list removal, naming removal.
TEST_F(RemovalTest, CorruptWatchListStopsTheSystem) {
    LIST_ENTRY* second = Context()->WatchList.Flink->Flink;
    LIST_ENTRY* saved = second->Blink;
    second->Blink = second;
    EXPECT_DEATH(DeleteDevice(),
                 VERIFIER_STOP("fast fail 3: corrupt list entry") "[[:space:]]+routine: "
                                                                  "(RemoveDevice|FreeWatchList)");
    second->Blink = saved;
}

TEST_F(RemovalTest, RunQueuedAtRemovalDoesNothingAndArmsNothing) {
    ExpireTimer();
    hk::DrainDpcs();
    ASSERT_EQ(hk::QueuedWorkItems(), 1u);
    ASSERT_EQ(Context()->WorkQueued, 1);
    RemoveAndExpectNothingLeft();
}

TEST_F(RemovalTest, TimerExpiredBeforeItsDeferredCallRan) {
    ExpireTimer();
    RemoveAndExpectNothingLeft();
}

// Without a watched process the cycle only re-arms; removal at any point of
// a long run of such cycles still finds it quiet.
TEST_F(RemovalTest, RemovalBetweenRunsAfterADay) {
    hk::TerminateProcess(service_);
    hk::RunFor(24 * hk::kHour + 3 * hk::kSecond);
    EXPECT_TRUE(acpi_->Trace().empty());
    RemoveAndExpectNothingLeft();
}

// Requests that arrive while removal waits for the queued run are refused
// rather than let in to use what removal is about to free: a command, a
// power request (the power manager is told it may send the next) and one
// that would pass down.
TEST_F(RemovalTest, RequestsArrivingWhileRemovalWaitsAreRefused) {
    static PDEVICE_OBJECT target;
    static std::vector<hk::Outcome> refused;
    target = device_;
    refused.clear();
    ExpireTimer();
    PIO_WORKITEM sender = IoAllocateWorkItem(acpi_->PhysicalDevice());
    IoQueueWorkItem(
        sender,
        [](PDEVICE_OBJECT, PVOID) {
            hk::Request command;
            command.major = IRP_MJ_DEVICE_CONTROL;
            command.ioControlCode = IOCTL_WATCHDOG_COMMAND;
            command.input = Record(COMMAND_GET_FIRMWARE_STATUS);
            command.outputLength = 1;
            refused.push_back(hk::Send(target, command));
            refused.push_back(sim::EnterSystemState(target, PowerSystemSleeping3));
            hk::Request flush;
            flush.major = IRP_MJ_FLUSH_BUFFERS;
            refused.push_back(hk::Send(target, flush));
        },
        DelayedWorkQueue, nullptr);
    hk::DrainDpcs();
    ASSERT_EQ(hk::QueuedWorkItems(), 2u) << "the requests first, then the run";
    RemoveAndExpectNothingLeft();
    ASSERT_EQ(refused.size(), 3u);
    for (const hk::Outcome& outcome : refused) {
        EXPECT_TRUE(outcome.completed);
        EXPECT_EQ(outcome.returned, STATUS_DELETE_PENDING);
        EXPECT_EQ(outcome.ioStatus.Status, STATUS_DELETE_PENDING);
    }
    IoFreeWorkItem(sender);
}

// The verifier would see a run that used the record after removal freed it.
TEST_F(RemovalTest, RunOnTheFreedRecordStopsTheVerifier) {
    PDEVICE_OBJECT staleDevice = device_;
    DeviceContext* stale = Context();
    DeleteDevice();
    EXPECT_DEATH(hk::RunAs(hk::CurrentThread(), [&] { SupervisionWork(staleDevice, stale); }),
                 VERIFIER_STOP("uses a remove lock that is not initialised or is freed"));
}

} // namespace
