// Removal against the supervision cycle: whatever point a run has reached
// when the device is removed, removal waits for it or stops it, and leaves
// no armed timer, no queued call or work, no pool and no use of the freed
// record.
#include "hostkernel/kernel_state.h"
#include "supervision/cycle.h"
#include "hostkernel/ke/thread_control.h"
#include "sim/power_manager.h"
#include "tests/supervision/service.h"

namespace {

using Strings = std::vector<std::string>;

class RemovalTest : public ServiceTest {
  protected:
    void SetUp() override {
        ServiceTest::SetUp();
        Supervise();
    }
    // A supervised device with three watched names, started: every run
    // feeds, so a run after removal began would show in the trace.
    void Supervise() {
        ASSERT_EQ(SetList(u"VKTService.exe,Helper.exe,Agent.exe"), STATUS_SUCCESS);
        ASSERT_EQ(Send(Record(5)).returned, STATUS_SUCCESS);
        hk::Send(device_, {.major = IRP_MJ_PNP, .minor = IRP_MN_START_DEVICE});
        acpi_->ClearTrace();
    }
    // Time up to the timer's expiry, without running what it sets off.
    void ExpireTimer() {
        hk::RunFor(10 * hk::kSecond - 1);
        ASSERT_TRUE(hk::FireNextAlarm(hk::Now() + 1));
        ASSERT_EQ(hk::K().Dpcs.size(), 1u);
    }
    // Removal (unless a thread of the test removed the device already),
    // then what must hold after it whatever was under way: nothing of the
    // device is left, and the firmware heard `before` (what was under way
    // finishing), then the removal's "CVKT" and its report of 0x22, and
    // nothing after.
    void RemoveAndExpectNothingLeft(Strings before = {}) {
        if (device_ != nullptr) {
            DeleteDevice();
        }
        Strings heard = before;
        heard.insert(heard.end(), {"CVKT", "SSXS"});
        EXPECT_EQ(acpi_->Methods(), heard) << "no run fed after removal began";
        EXPECT_EQ(acpi_->Trace().back().Input.at(20), StateRemoved);
        EXPECT_EQ(LeftAfterRemoval(), "");
        hk::RunFor(hk::kHour);
        EXPECT_EQ(acpi_->Trace().size(), heard.size());
    }
    // Command 6 from a thread of the service, its state report pending in the
    // firmware for five seconds while it holds StateLock.
    void StartCommandWithItsReportPending(NTSTATUS* status) {
        acpi_->InjectFault("SSXS", sim::AcpiFault::Pend, 1, STATUS_SUCCESS, 5 * hk::kSecond);
        HkThread* thread = StartRequest(Record(COMMAND_ENTER_WATCH_B), status);
        hk::RunPending();
        ASSERT_EQ(Context()->StateLock.OwnerThread, thread);
    }
};

const Strings kArming = {"SSXS", "SVKT", "OVKT", "FVKT"};

// Removal finds the cycle quiet: between runs that fed (it frees the three
// entries and the text), with the timer expired but its deferred call not
// yet run, with the run queued (which then does nothing and arms nothing),
// and after a day of runs without a watched process, which only re-arm.
TEST_F(RemovalTest, RemovalAtEachQuietPointOfTheCycle) {
    EXPECT_EQ(hk::LiveBlocksWithTag(VKT_POOL_TAG), 4u);
    hk::RunFor(25 * hk::kSecond);
    EXPECT_EQ(acpi_->Methods(), (Strings{"FVKT", "FVKT"}));
    acpi_->ClearTrace();
    RemoveAndExpectNothingLeft();

    CreateDevice();
    Supervise();
    ExpireTimer();
    RemoveAndExpectNothingLeft();

    CreateDevice();
    Supervise();
    ExpireTimer();
    hk::DrainDpcs();
    ASSERT_EQ(hk::QueuedWorkItems(), 1u);
    ASSERT_EQ(Context()->WorkQueued, 1);
    RemoveAndExpectNothingLeft();

    CreateDevice();
    Supervise();
    hk::TerminateProcess(service_);
    hk::RunFor(24 * hk::kHour + 3 * hk::kSecond);
    EXPECT_TRUE(acpi_->Trace().empty());
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

// The run waits inside the firmware for its feed, holding StateLock, when
// removal arrives: removal waits until the feed is answered and the run has
// given back its reference, and the run's re-arming is cancelled.
TEST_F(RemovalTest, RunPendingInTheFirmwareWhenRemovalArrives) {
    acpi_->InjectFault("FVKT", sim::AcpiFault::Pend, 1, STATUS_SUCCESS, 5 * hk::kSecond);
    ExpireTimer();
    hk::RunPending();
    ASSERT_TRUE(acpi_->Trace().empty()) << "the feed is still pending";
    ASSERT_NE(Context()->StateLock.OwnerThread, nullptr) << "the run holds StateLock";
    uint64_t arrived = hk::Now();
    RemoveAndExpectNothingLeft({"FVKT"});
    EXPECT_EQ(acpi_->Trace().front().Time, arrived + 5 * hk::kSecond);
}

// A command holds StateLock while its state report pends, and an entry into
// S3 waits for StateLock behind it with its own reference: removal waits for
// the command's whole arming and for the entry, and closes the watchdog the
// entry armed for sleep.
TEST_F(RemovalTest, PowerEntryWaitingForStateLockWhenRemovalArrives) {
    NTSTATUS command = STATUS_PENDING;
    NTSTATUS entry = STATUS_PENDING;
    StartCommandWithItsReportPending(&command);
    StartSleep(&entry);
    hk::RunPending();
    ASSERT_EQ(entry, STATUS_PENDING) << "the entry waits for StateLock";
    Strings before = kArming;
    before.insert(before.end(), {"SSXS", "CVKT", "SVKT", "OVKT", "FVKT"});
    RemoveAndExpectNothingLeft(before);
    EXPECT_EQ(command, STATUS_SUCCESS);
    EXPECT_EQ(entry, STATUS_SUCCESS);
    EXPECT_EQ(acpi_->Trace().front().Input.at(20), StateWatchB);
    EXPECT_EQ(acpi_->Trace().at(4).Input.at(20), StateEnterS3);
}

// The timer expired on another processor just before removal cancelled it,
// and its deferred call runs only once removal waits: it is refused the
// remove lock and queues no run.
TEST_F(RemovalTest, DeferredCallRunningOnceRemovalBegan) {
    NTSTATUS status = STATUS_PENDING;
    StartCommandWithItsReportPending(&status);
    hk::StartThread(hk::CreateThread(hk::SystemProcess()), [this] { DeleteDevice(); });
    hk::RunPending();
    ASSERT_TRUE(hk::K().Timers.empty()) << "removal cancelled the timer and waits";
    DeviceContext* context = Context();
    KeInsertQueueDpc(&context->TimerDpc, nullptr, nullptr);
    hk::RunPending();
    EXPECT_EQ(hk::QueuedWorkItems(), 0u);
    EXPECT_EQ(context->WorkQueued, 0);
    hk::WaitForThreads();
    EXPECT_EQ(status, STATUS_SUCCESS);
    RemoveAndExpectNothingLeft(kArming);
}

// Requests that arrive while removal waits for the queued run are refused
// rather than let in to use what removal is about to free: a command, a
// power request (the power manager is told it may send the next) and one
// that would pass down.
TEST_F(RemovalTest, RequestsArrivingWhileRemovalWaitsAreRefused) {
    static PDEVICE_OBJECT target;
    static std::vector<hk::Outcome> refused;
    static uint64_t powerStarts; // starts by the refused power request
    target = device_;
    refused.clear();
    ExpireTimer();
    PIO_WORKITEM sender = IoAllocateWorkItem(acpi_->PhysicalDevice());
    IoQueueWorkItem(
        sender,
        [](PDEVICE_OBJECT, PVOID) {
            refused.push_back(hk::Send(target, {.major = IRP_MJ_DEVICE_CONTROL,
                                                .ioControlCode = IOCTL_WATCHDOG_COMMAND,
                                                .input = Record(COMMAND_GET_FIRMWARE_STATUS),
                                                .outputLength = 1}));
            uint64_t before = hk::PowerIrpStarts();
            refused.push_back(sim::EnterSystemState(target, PowerSystemSleeping3));
            powerStarts = hk::PowerIrpStarts() - before;
            refused.push_back(hk::Send(target, {.major = IRP_MJ_FLUSH_BUFFERS}));
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
    EXPECT_EQ(powerStarts, 1u) << "the refused power request starts the next one";
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
