// Threads that contend: a thread that must wait blocks and another runs;
// release, signal and completion wake the waiters in order; a deadlock names
// every waiting thread; timers, deferred calls, machine events and waits run
// in a fixed order in virtual time, and only when time is moved; and the
// explorer finds the interleaving that breaks a routine without its lock.
#include "hostkernel/ke/thread_control.h"
#include "hostkernel/verifier/explorer.h"
#include "tests/hostkernel/host_test.h"

#include <string>
#include <vector>

namespace {

std::vector<std::string> g_log;

void Acquire(PERESOURCE resource) {
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(resource, TRUE);
}

void Release(PERESOURCE resource) {
    ExReleaseResourceLite(resource);
    KeLeaveCriticalRegion();
}

// A system thread that runs `routine`.
template <typename Routine> HkThread* Start(Routine routine) {
    HkThread* thread = hk::CreateThread(hk::SystemProcess());
    hk::StartThread(thread, routine);
    return thread;
}

// A device for work items, and a fresh log.
class ThreadsTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        g_log.clear();
    }
};

TEST_F(ThreadsTest, SignalWakesOneWaiterOfASynchronizationEventAndAllOfANotificationEvent) {
    Event one(SynchronizationEvent), all;
    for (const char* name : {"a", "b", "c"}) {
        Start([name, &one, &all] {
            Wait(&all);
            g_log.push_back(std::string(name) + " all");
            Wait(&one);
            g_log.push_back(std::string(name) + " one");
        });
    }
    hk::RunPending();
    EXPECT_TRUE(g_log.empty());
    KeSetEvent(&all, 0, FALSE);
    hk::RunPending();
    EXPECT_EQ(g_log, (std::vector<std::string>{"a all", "b all", "c all"}));
    EXPECT_EQ(KeReadStateEvent(&all), 1);
    KeSetEvent(&one, 0, FALSE);
    hk::RunPending();
    EXPECT_EQ(g_log.back(), "a one") << "the first waiter is woken first";
    EXPECT_EQ(KeReadStateEvent(&one), 0) << "the signal went to the waiter";
    KeSetEvent(&one, 0, FALSE);
    KeSetEvent(&one, 0, FALSE);
    hk::WaitForThreads();
    EXPECT_EQ(g_log.size(), 6u);
}

// A work item runs at PASSIVE_LEVEL in a system worker of its own; one that
// finds a resource held waits for it, where it used to stop the test as a
// deadlock, and is handed it on release. (Threads hand it on to each other:
// the wait that cannot end below, once it can.) A running item may be freed, and its device
// deleted, before its routine returns (the I/O manager holds the device until then); from the free
// on the item is unusable, so queueing it again is stopped.
TEST_F(ThreadsTest, WorkItemRunsInASystemWorkerThatMayWaitAndOutliveItsItem) {
    static ERESOURCE resource;
    static HkThread* ranIn;
    ExInitializeResourceLite(&resource);
    PIO_WORKITEM item = IoAllocateWorkItem(device_);
    Acquire(&resource);
    IoQueueWorkItem(
        item,
        [](PDEVICE_OBJECT, PVOID) {
            ranIn = KeGetCurrentThread();
            EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
            EXPECT_EQ(PsGetCurrentProcess(), hk::SystemProcess());
            Acquire(&resource);
            g_log.push_back("item holds");
            EXPECT_EQ(resource.OwnerThread, KeGetCurrentThread());
            Release(&resource);
        },
        DelayedWorkQueue, nullptr);
    hk::RunPending();
    EXPECT_TRUE(g_log.empty());
    EXPECT_NE(ranIn, KeGetCurrentThread());
    EXPECT_TRUE(hk::ThreadBusy(ranIn)) << "waits for the resource";
    std::vector<std::string> leaks = hk::FindLeaks();
    ASSERT_FALSE(leaks.empty());
    EXPECT_NE(leaks.back().find("waits in"), std::string::npos) << leaks.back();
    IoFreeWorkItem(item);
    IoDeleteDevice(device_);
    device_ = nullptr;
    EXPECT_DEATH(IoQueueWorkItem(
                     item, [](PDEVICE_OBJECT, PVOID) {}, DelayedWorkQueue, nullptr),
                 VERIFIER_STOP("uses a work item that is freed"));
    Release(&resource);
    hk::RunPending();
    EXPECT_EQ(g_log, std::vector<std::string>{"item holds"});
    EXPECT_EQ(resource.OwnerThread, nullptr);
    EXPECT_EQ(hk::QueuedWorkItems(), 0u);
    ExDeleteResourceLite(&resource);
}

// A wait nothing in virtual time can end is stopped (the test thread's own:
// the requests' tests, at APC_LEVEL): one where every thread waits (the stop names each waiting
// thread, where it waits, for what, and who holds it), and one in a callback of the machine, which
// runs between threads in no thread's own time.
TEST_F(ThreadsTest, WaitsThatCannotEndAreStopped) {
    static ERESOURCE resource;
    static Event never;
    ExInitializeResourceLite(&resource);
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    Start([] {
        Acquire(&resource);
        Wait(&never);
        Release(&resource);
    });
    Start([] {
        Acquire(&resource);
        Release(&resource);
    });
    EXPECT_DEATH(hk::WaitForThreads(),
                 "VERIFIER STOP: deadlock: waits for a resource whose owner cannot run"
                 "(.|\n)*thread 0x[0-9a-f]+ \\(System\\) waits in .* for every thread to finish"
                 "(.|\n)*waits in .* for object 0x[0-9a-f]+"
                 "(.|\n)*waits in .* for resource 0x[0-9a-f]+ held by thread 0x");
    KeSetEvent(&never, 0, FALSE);
    hk::WaitForThreads();
    ExDeleteResourceLite(&resource);

    hk::ScheduleAt(hk::kSecond, [] { hk::RunPending(); });
    EXPECT_DEATH(hk::RunFor(2 * hk::kSecond),
                 VERIFIER_STOP("waits in a deferred call or a callback of the simulated machine"));
}

// ----- virtual time ----------------------------------------------------------

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

using TimeTest = ThreadsTest;

// A relative timer fires at exactly its due time, at DISPATCH_LEVEL; equal
// due times run in order of arming, machine events after timers; re-arming
// replaces the due time, and a cancelled timer never fires.
TEST_F(TimeTest, TimersFireAtTheirDueTimeInOrderOfArmingUnlessCancelled) {
    Timer tick("tick"), first("first"), second("second"), cancelled("cancelled");
    LARGE_INTEGER due;
    due.QuadPart = -100'000'000;
    EXPECT_FALSE(KeSetTimer(&tick.timer, due, &tick.dpc));
    second.Set(5 * hk::kMillisecond);
    first.Set(9 * hk::kMillisecond);
    EXPECT_TRUE(first.Set(5 * hk::kMillisecond));
    hk::ScheduleAt(5 * hk::kMillisecond, [] { g_log.push_back("event"); });
    cancelled.Set(hk::kMillisecond);
    EXPECT_TRUE(KeCancelTimer(&cancelled.timer));
    EXPECT_FALSE(KeCancelTimer(&cancelled.timer));
    hk::RunFor(10 * hk::kSecond - 1);
    EXPECT_EQ(g_log,
              (std::vector<std::string>{"second@5ms level 2", "first@5ms level 2", "event"}));
    hk::RunFor(1);
    EXPECT_EQ(g_log.back(), "tick@10000ms level 2");
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_TRUE(KeReadStateTimer(&tick.timer));
}

// A wait in the test thread runs the work that signals its event; a timed
// wait ends at its timeout, there or in another thread while time runs.
TEST_F(TimeTest, WaitsEndAtTheirSignalOrTimeout) {
    Event event(SynchronizationEvent);
    hk::ScheduleAt(250 * hk::kMillisecond, [&event] { KeSetEvent(&event, 0, FALSE); });
    EXPECT_EQ(Wait(&event), STATUS_SUCCESS);
    EXPECT_EQ(hk::Now(), 250 * hk::kMillisecond);
    EXPECT_EQ(KeReadStateEvent(&event), 0) << "a synchronization event resets when satisfied";
    LARGE_INTEGER timeout = Relative(hk::kSecond);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), 0x102);
    EXPECT_EQ(hk::Now(), 1250 * hk::kMillisecond);

    NTSTATUS status = STATUS_SUCCESS;
    uint64_t endedAt = 0;
    Start([&] {
        LARGE_INTEGER timeout = Relative(3 * hk::kSecond);
        status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
        endedAt = hk::Now();
    });
    hk::RunFor(10 * hk::kSecond);
    EXPECT_EQ(status, 0x102);
    EXPECT_EQ(endedAt, 4250 * hk::kMillisecond);
    EXPECT_EQ(hk::Now(), 11250 * hk::kMillisecond);
}

// An alertable wait in a user process's thread ends early when the process
// ends: with STATUS_USER_APC for a user-mode wait, STATUS_ALERTED for a
// kernel-mode one. A wait that is not alertable goes on; an alert that
// finds no wait ends the thread's next alertable wait before it blocks.
TEST_F(TimeTest, AlertableWaitsEndEarlyWhenTheirProcessEnds) {
    HkProcess* process = hk::CreateProcess(u"user.exe");
    Event event;
    const KPROCESSOR_MODE modes[3] = {UserMode, KernelMode, KernelMode};
    const BOOLEAN alertable[3] = {TRUE, TRUE, FALSE};
    NTSTATUS statuses[3] = {-1, -1, -1};
    for (int i = 0; i < 3; i++) {
        hk::StartThread(hk::CreateThread(process), [&, i] {
            statuses[i] = KeWaitForSingleObject(&event, Executive, modes[i], alertable[i], nullptr);
        });
    }
    hk::RunFor(hk::kSecond);
    EXPECT_EQ(statuses[0], -1);
    hk::TerminateProcess(process);
    hk::RunFor(hk::kSecond);
    EXPECT_EQ(std::vector<NTSTATUS>(statuses, statuses + 3),
              (std::vector<NTSTATUS>{STATUS_USER_APC, STATUS_ALERTED, -1}));
    KeSetEvent(&event, 0, FALSE);
    hk::WaitForThreads();
    EXPECT_EQ(statuses[2], STATUS_SUCCESS);

    Event other;
    HkThread* thread = hk::CreateThread(process);
    hk::AlertThread(thread);
    NTSTATUS status = -1;
    hk::RunAs(thread,
              [&] { status = KeWaitForSingleObject(&other, Executive, UserMode, TRUE, nullptr); });
    EXPECT_EQ(status, STATUS_USER_APC);
}

// ----- the explorer on a counter that two threads increment ------------------

// Each schedule starts on a fresh kernel, so these tests hold no device.
using ExplorerTest = KernelTest;

struct Counter {
    ERESOURCE Lock; // guards Value, unless the routine leaves it out
    int Value;      // incremented by each thread
};

Counter* g_counter = nullptr;

// Reads, then writes after another kernel call: another thread may run in between.
void IncrementWithoutLock() {
    int seen = g_counter->Value;
    KeEnterCriticalRegion();
    g_counter->Value = seen + 1;
    KeLeaveCriticalRegion();
}

void IncrementUnderLock() {
    Acquire(&g_counter->Lock);
    int seen = g_counter->Value;
    KeEnterCriticalRegion();
    KeLeaveCriticalRegion();
    g_counter->Value = seen + 1;
    Release(&g_counter->Lock);
}

hk::Scenario CounterScenario(void (*increment)()) {
    static Counter counter;
    hk::Scenario scenario;
    scenario.Start = [increment] {
        g_counter = &counter;
        counter.Value = 0;
        ExInitializeResourceLite(&counter.Lock);
        Start(increment);
        Start(increment);
    };
    scenario.Check = [] {
        return counter.Value == 2 ? "" : "lost an increment: " + std::to_string(counter.Value);
    };
    scenario.Stop = [] { ExDeleteResourceLite(&counter.Lock); };
    return scenario;
}

TEST_F(ExplorerTest, FindsAndReplaysTheLostUpdateWithoutTheLockAndNoneUnderIt) {
    hk::ExploreResult broken = hk::Explore(CounterScenario(IncrementWithoutLock));
    ASSERT_FALSE(broken.Passed());
    EXPECT_EQ(broken.Failure, "lost an increment: 1");
    EXPECT_EQ(broken.Replay.rfind("choices:", 0), 0u);

    hk::ExploreOptions replay;
    replay.Replay = broken.Replay;
    hk::ExploreResult again = hk::Explore(CounterScenario(IncrementWithoutLock), replay);
    EXPECT_EQ(again.Schedules, 1u);
    EXPECT_EQ(again.Failure, broken.Failure);

    hk::ExploreOptions random;
    random.RandomSchedules = 50;
    hk::ExploreResult randomly = hk::Explore(CounterScenario(IncrementWithoutLock), random);
    ASSERT_FALSE(randomly.Passed());
    EXPECT_EQ(randomly.Replay.rfind("seed:", 0), 0u);
    replay.Replay = randomly.Replay;
    EXPECT_EQ(hk::Explore(CounterScenario(IncrementWithoutLock), replay).Failure, randomly.Failure);

    // Under its lock the routine passes every schedule within the bound.
    hk::ExploreResult none = hk::Explore(CounterScenario(IncrementUnderLock), {0});
    hk::ExploreResult one = hk::Explore(CounterScenario(IncrementUnderLock), {1});
    hk::ExploreResult two = hk::Explore(CounterScenario(IncrementUnderLock), {2});
    EXPECT_TRUE(two.Passed()) << two.Failure << two.Replay;
    EXPECT_EQ(none.Schedules, 2u) << "which thread starts";
    EXPECT_LT(none.Schedules, one.Schedules);
    EXPECT_LT(one.Schedules, two.Schedules);
    EXPECT_EQ(two.Preemptions, 2u);
}

TEST_F(ExplorerTest, VerifierStopInAScheduleNamesTheScheduleToReplay) {
    hk::Scenario scenario = CounterScenario(IncrementUnderLock);
    scenario.Start = [] {
        static ERESOURCE lock;
        ExInitializeResourceLite(&lock);
        for (int thread = 0; thread < 2; ++thread) {
            Start([] {
                Acquire(&lock);
                KeEnterCriticalRegion();
                KeLeaveCriticalRegion();
                ExDeleteResourceLite(&lock); // deleted while held: a verifier stop
                KeLeaveCriticalRegion();
            });
        }
    };
    EXPECT_DEATH(hk::Explore(scenario),
                 "VERIFIER STOP: deletes a resource that is held(.|\n)*"
                 "explorer: schedule 1 stopped; replay it with \"choices:\"");
}

} // namespace
