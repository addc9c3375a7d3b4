// Removal against the supervision cycle: whatever point a run has reached
// when the device is removed, removal waits for it or stops it, and leaves
// no armed timer, no queued call or work, no pool and no use of the freed
// record.
#include "hostkernel/kernel_state.h"
#include "supervision/cycle.h"
#include "hostkernel/registry_control.h"
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
        EXPECT_TRUE(hk::K().WorkQueue.empty());
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
    ASSERT_EQ(hk::K().WorkQueue.size(), 1u);
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

// A command that arrives while removal waits for the queued run is refused
// rather than let in to use what removal is about to free.
TEST_F(RemovalTest, CommandArrivingWhileRemovalWaitsIsRefused) {
    static PDEVICE_OBJECT target;
    static hk::Outcome refused;
    target = device_;
    refused = hk::Outcome{};
    ExpireTimer();
    PIO_WORKITEM sender = IoAllocateWorkItem(acpi_->PhysicalDevice());
    IoQueueWorkItem(
        sender,
        [](PDEVICE_OBJECT, PVOID) {
            hk::Request request;
            request.major = IRP_MJ_DEVICE_CONTROL;
            request.ioControlCode = IOCTL_WATCHDOG_COMMAND;
            request.input = Record(COMMAND_GET_FIRMWARE_STATUS);
            request.outputLength = 1;
            refused = hk::Send(target, request);
        },
        DelayedWorkQueue, nullptr);
    hk::DrainDpcs();
    ASSERT_EQ(hk::K().WorkQueue.size(), 2u) << "the command first, then the run";
    RemoveAndExpectNothingLeft();
    EXPECT_TRUE(refused.completed);
    EXPECT_EQ(refused.returned, STATUS_DELETE_PENDING);
    EXPECT_EQ(refused.ioStatus.Status, STATUS_DELETE_PENDING);
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
