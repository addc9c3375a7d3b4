// Virtual time: timers, deferred calls, machine events and waits run in a
// fixed order, and only when time is moved.
#include "tests/hostkernel/host_test.h"

#include <string>
#include <vector>

namespace {

std::vector<std::string> g_log;

void LogDpc(PKDPC, PVOID context, PVOID, PVOID) {
    g_log.push_back(static_cast<const char*>(context) + std::string("@") +
                    std::to_string(hk::Now() / hk::kMillisecond) + "ms level " +
                    std::to_string(KeGetCurrentIrql()));
}

// A timer whose deferred call logs `name`, the time and the level.
struct Timer {
    explicit Timer(const char* name) {
        KeInitializeTimer(&timer);
        KeInitializeDpc(&dpc, LogDpc, const_cast<char*>(name));
    }
    BOOLEAN Set(uint64_t duration) { return KeSetTimer(&timer, Relative(duration), &dpc); }
    KTIMER timer; // the timer itself
    KDPC dpc;     // its deferred call
};

class TimeTest : public KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        g_log.clear();
    }
};

TEST_F(TimeTest, TenSecondRelativeTimerFiresAtExactlyTenSeconds) {
    Timer tick("tick");
    LARGE_INTEGER due;
    due.QuadPart = -100'000'000;
    EXPECT_FALSE(KeSetTimer(&tick.timer, due, &tick.dpc));
    hk::RunFor(10 * hk::kSecond - 1);
    EXPECT_TRUE(g_log.empty());
    hk::RunFor(1);
    EXPECT_EQ(g_log, std::vector<std::string>{"tick@10000ms level 2"});
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_TRUE(KeReadStateTimer(&tick.timer));
}

// Equal due times run in order of arming, machine events after timers;
// re-arming replaces the due time, and a cancelled timer never fires.
TEST_F(TimeTest, TimersRunInOrderOfArmingUntilRearmedOrCancelled) {
    Timer first("first"), second("second"), cancelled("cancelled");
    second.Set(5 * hk::kMillisecond);
    first.Set(9 * hk::kMillisecond);
    EXPECT_TRUE(first.Set(5 * hk::kMillisecond));
    hk::ScheduleAt(5 * hk::kMillisecond, [] { g_log.push_back("event"); });
    cancelled.Set(hk::kMillisecond);
    EXPECT_TRUE(KeCancelTimer(&cancelled.timer));
    EXPECT_FALSE(KeCancelTimer(&cancelled.timer));
    hk::RunFor(hk::kMinute);
    EXPECT_EQ(g_log,
              (std::vector<std::string>{"second@5ms level 2", "first@5ms level 2", "event"}));
}

TEST_F(TimeTest, WaitRunsTheWorkThatSignalsItsEvent) {
    Event event(SynchronizationEvent);
    hk::ScheduleAt(250 * hk::kMillisecond, [&event] { KeSetEvent(&event, 0, FALSE); });
    EXPECT_EQ(Wait(&event), STATUS_SUCCESS);
    EXPECT_EQ(hk::Now(), 250 * hk::kMillisecond);
    EXPECT_EQ(KeReadStateEvent(&event), 0) << "a synchronization event resets when satisfied";
    LARGE_INTEGER timeout = Relative(hk::kSecond);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), 0x102);
    EXPECT_EQ(hk::Now(), 1250 * hk::kMillisecond);
}

} // namespace
