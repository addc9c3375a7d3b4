// Virtual time: timers, deferred calls, machine events and waits run in a
// fixed order, and only when time is moved.
#include "tests/support/kernel_test.h"

#include <string>
#include <vector>

namespace {

std::vector<std::string> g_log;

void LogDpc(PKDPC, PVOID context, PVOID, PVOID) {
    g_log.push_back(static_cast<const char*>(context) + std::string("@") +
                    std::to_string(hk::Now() / hk::kMillisecond) + "ms level " +
                    std::to_string(KeGetCurrentIrql()));
}

class TimeTest : public KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        g_log.clear();
    }
    static LARGE_INTEGER Relative(uint64_t duration) {
        LARGE_INTEGER due;
        due.QuadPart = -static_cast<LONGLONG>(duration);
        return due;
    }
};

TEST_F(TimeTest, TenSecondRelativeTimerFiresAtExactlyTenSeconds) {
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, LogDpc, const_cast<char*>("tick"));
    LARGE_INTEGER due;
    due.QuadPart = -100'000'000;
    EXPECT_FALSE(KeSetTimer(&timer, due, &dpc));
    hk::RunFor(10 * hk::kSecond - 1);
    EXPECT_TRUE(g_log.empty());
    hk::RunFor(1);
    ASSERT_EQ(g_log.size(), 1u);
    EXPECT_EQ(g_log[0], "tick@10000ms level 2");
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_TRUE(KeReadStateTimer(&timer));
}

TEST_F(TimeTest, EqualDueTimesRunInOrderOfArmingAndRearmingReplaces) {
    KTIMER first, second;
    KDPC firstDpc, secondDpc;
    KeInitializeTimer(&first);
    KeInitializeTimer(&second);
    KeInitializeDpc(&firstDpc, LogDpc, const_cast<char*>("first"));
    KeInitializeDpc(&secondDpc, LogDpc, const_cast<char*>("second"));
    KeSetTimer(&second, Relative(5 * hk::kMillisecond), &secondDpc);
    KeSetTimer(&first, Relative(9 * hk::kMillisecond), &firstDpc);
    EXPECT_TRUE(KeSetTimer(&first, Relative(5 * hk::kMillisecond), &firstDpc));
    hk::ScheduleAt(5 * hk::kMillisecond, [] { g_log.push_back("event"); });
    hk::RunFor(hk::kSecond);
    EXPECT_EQ(g_log,
              (std::vector<std::string>{"second@5ms level 2", "first@5ms level 2", "event"}));
}

TEST_F(TimeTest, CancelledTimerNeverFires) {
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, LogDpc, const_cast<char*>("x"));
    KeSetTimer(&timer, Relative(hk::kSecond), &dpc);
    EXPECT_TRUE(KeCancelTimer(&timer));
    EXPECT_FALSE(KeCancelTimer(&timer));
    hk::RunFor(hk::kMinute);
    EXPECT_TRUE(g_log.empty());
}

TEST_F(TimeTest, WaitRunsTheWorkThatSignalsItsEvent) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    hk::ScheduleAt(250 * hk::kMillisecond, [&event] { KeSetEvent(&event, 0, FALSE); });
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(hk::Now(), 250 * hk::kMillisecond);
    EXPECT_EQ(KeReadStateEvent(&event), 0) << "a synchronization event resets when satisfied";
    LARGE_INTEGER timeout;
    timeout.QuadPart = -static_cast<LONGLONG>(hk::kSecond);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), 0x102);
    EXPECT_EQ(hk::Now(), 1250 * hk::kMillisecond);
}

TEST_F(TimeTest, WaitThatNothingCanSatisfyIsADeadlock) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_DEATH(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr),
                 VERIFIER_STOP("deadlock: waits for an object that nothing will signal"));
}

TEST_F(TimeTest, WorkItemsRunAtPassiveLevelInTheSystemWorker) {
    PDRIVER_OBJECT driver = hk::CreateStandInDriver(u"Items");
    PDEVICE_OBJECT device = nullptr;
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    PIO_WORKITEM item = IoAllocateWorkItem(device);
    static HkThread* ranIn = nullptr;
    static KIRQL ranAt = HIGH_LEVEL;
    IoQueueWorkItem(
        item,
        [](PDEVICE_OBJECT, PVOID) {
            ranIn = KeGetCurrentThread();
            ranAt = KeGetCurrentIrql();
        },
        DelayedWorkQueue, nullptr);
    HkThread* caller = KeGetCurrentThread();
    hk::RunPending();
    EXPECT_NE(ranIn, nullptr);
    EXPECT_NE(ranIn, caller);
    EXPECT_EQ(ranAt, PASSIVE_LEVEL);
    EXPECT_EQ(PsGetCurrentProcess(), hk::SystemProcess());
    IoFreeWorkItem(item);
    IoDeleteDevice(device);
    hk::UnloadDriver(driver);
}

} // namespace
