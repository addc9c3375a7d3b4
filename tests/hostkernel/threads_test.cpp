// Threads that contend: a thread that must wait blocks and another runs;
// release, signal and completion wake the waiters in order; a deadlock names
// every waiting thread; and the explorer finds the interleaving that breaks
// a routine without its lock.
#include "hostkernel/explorer.h"
#include "tests/support/kernel_test.h"

#include <string>
#include <vector>

namespace {

std::vector<std::string> g_log;

class ThreadsTest : public KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        g_log.clear();
    }
    static void Acquire(PERESOURCE resource) {
        KeEnterCriticalRegion();
        ExAcquireResourceExclusiveLite(resource, TRUE);
    }
    static void Release(PERESOURCE resource) {
        ExReleaseResourceLite(resource);
        KeLeaveCriticalRegion();
    }
    static void Wait(KEVENT* event) {
        KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
    }
};

TEST_F(ThreadsTest, ThreadThatFindsAResourceHeldWaitsAndIsHandedItOnRelease) {
    ERESOURCE resource;
    ExInitializeResourceLite(&resource);
    KEVENT go;
    KeInitializeEvent(&go, NotificationEvent, FALSE);
    HkThread* first = hk::CreateThread(hk::SystemProcess());
    HkThread* second = hk::CreateThread(hk::SystemProcess());
    hk::StartThread(first, [&] {
        Acquire(&resource);
        g_log.push_back("first holds");
        Wait(&go);
        g_log.push_back("first releases");
        Release(&resource);
    });
    hk::StartThread(second, [&] {
        g_log.push_back("second asks");
        Acquire(&resource);
        g_log.push_back("second holds");
        EXPECT_EQ(resource.OwnerThread, KeGetCurrentThread());
        Release(&resource);
    });
    hk::RunPending();
    EXPECT_EQ(g_log, (std::vector<std::string>{"first holds", "second asks"}));
    EXPECT_TRUE(hk::ThreadBusy(first) && hk::ThreadBusy(second));
    KeSetEvent(&go, 0, FALSE);
    hk::WaitForThreads();
    EXPECT_EQ(g_log, (std::vector<std::string>{"first holds", "second asks", "first releases",
                                               "second holds"}));
    EXPECT_EQ(resource.OwnerThread, nullptr);
    ExDeleteResourceLite(&resource);
}

TEST_F(ThreadsTest, SignalWakesOneWaiterOfASynchronizationEventAndAllOfANotificationEvent) {
    KEVENT one, all;
    KeInitializeEvent(&one, SynchronizationEvent, FALSE);
    KeInitializeEvent(&all, NotificationEvent, FALSE);
    for (const char* name : {"a", "b", "c"}) {
        hk::StartThread(hk::CreateThread(hk::SystemProcess()), [name, &one, &all] {
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

TEST_F(ThreadsTest, TimedWaitOfOneThreadEndsWhileAnotherRunsTime) {
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    NTSTATUS status = STATUS_SUCCESS;
    uint64_t endedAt = 0;
    hk::StartThread(hk::CreateThread(hk::SystemProcess()), [&] {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -static_cast<LONGLONG>(3 * hk::kSecond);
        status = KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout);
        endedAt = hk::Now();
    });
    hk::RunFor(10 * hk::kSecond);
    EXPECT_EQ(status, 0x102);
    EXPECT_EQ(endedAt, 3 * hk::kSecond);
    EXPECT_EQ(hk::Now(), 10 * hk::kSecond);
}

// A work item that finds a resource held waits for it, where it used to
// stop the test as a deadlock.
TEST_F(ThreadsTest, WorkItemWaitsForAResourceTheTestThreadHolds) {
    PDRIVER_OBJECT driver = hk::CreateStandInDriver(u"Items");
    PDEVICE_OBJECT device = nullptr;
    IoCreateDevice(driver, sizeof(ERESOURCE), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    auto* resource = static_cast<PERESOURCE>(device->DeviceExtension);
    ExInitializeResourceLite(resource);
    PIO_WORKITEM item = IoAllocateWorkItem(device);
    Acquire(resource);
    IoQueueWorkItem(
        item,
        [](PDEVICE_OBJECT device, PVOID) {
            Acquire(static_cast<PERESOURCE>(device->DeviceExtension));
            g_log.push_back("item holds");
            Release(static_cast<PERESOURCE>(device->DeviceExtension));
        },
        DelayedWorkQueue, nullptr);
    hk::RunPending();
    EXPECT_TRUE(g_log.empty());
    std::vector<std::string> leaks = hk::FindLeaks();
    ASSERT_FALSE(leaks.empty());
    EXPECT_NE(leaks.back().find("waits in"), std::string::npos) << leaks.back();
    Release(resource);
    hk::RunPending();
    EXPECT_EQ(g_log, std::vector<std::string>{"item holds"});
    IoFreeWorkItem(item);
    ExDeleteResourceLite(resource);
    IoDeleteDevice(device);
    hk::UnloadDriver(driver);
}

// A running item may be freed, and its device deleted, before its routine
// returns (the I/O manager holds the device until then); from the free on
// the item is unusable, so a routine that queues it again is stopped.
TEST_F(ThreadsTest, WorkItemFreedWhileItsRoutineRuns) {
    static KEVENT go;
    KeInitializeEvent(&go, NotificationEvent, FALSE);
    PDRIVER_OBJECT driver = hk::CreateStandInDriver(u"Items");
    PDEVICE_OBJECT device = nullptr;
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    PIO_WORKITEM item = IoAllocateWorkItem(device);
    IoQueueWorkItem(
        item,
        [](PDEVICE_OBJECT, PVOID) {
            g_log.push_back("item runs");
            Wait(&go);
            g_log.push_back("item returns");
        },
        DelayedWorkQueue, nullptr);
    hk::RunPending();
    ASSERT_EQ(g_log, std::vector<std::string>{"item runs"});
    IoFreeWorkItem(item);
    IoDeleteDevice(device);
    KeSetEvent(&go, IO_NO_INCREMENT, FALSE);
    hk::RunPending();
    EXPECT_EQ(g_log, (std::vector<std::string>{"item runs", "item returns"}));
    EXPECT_EQ(hk::QueuedWorkItems(), 0u);
    hk::UnloadDriver(driver);

    EXPECT_DEATH(
        {
            PDEVICE_OBJECT again = nullptr;
            IoCreateDevice(hk::CreateStandInDriver(u"Again"), 0, nullptr, FILE_DEVICE_UNKNOWN, 0,
                           FALSE, &again);
            PIO_WORKITEM self = IoAllocateWorkItem(again);
            IoQueueWorkItem(
                self,
                [](PDEVICE_OBJECT, PVOID context) {
                    auto* running = static_cast<PIO_WORKITEM>(context);
                    IoFreeWorkItem(running);
                    IoQueueWorkItem(
                        running, [](PDEVICE_OBJECT, PVOID) {}, DelayedWorkQueue, nullptr);
                },
                DelayedWorkQueue, self);
            hk::RunPending();
        },
        VERIFIER_STOP("uses a work item that is freed"));
}

TEST_F(ThreadsTest, LockOrderIsCheckedAcrossThreads) {
    ERESOURCE first, second;
    ExInitializeResourceLite(&first);
    ExInitializeResourceLite(&second);
    hk::RunAs(hk::CreateThread(hk::SystemProcess()), [&] {
        Acquire(&first);
        Acquire(&second);
        Release(&second);
        Release(&first);
    });
    EXPECT_DEATH(hk::RunAs(hk::CreateThread(hk::SystemProcess()),
                           [&] {
                               Acquire(&second);
                               Acquire(&first);
                           }),
                 VERIFIER_STOP("takes locks in an order that inverts an order seen before"));
    ExDeleteResourceLite(&first);
    ExDeleteResourceLite(&second);
}

// Every thread waits and nothing in virtual time can wake one: the stop
// names each waiting thread, where it waits, for what, and who holds it.
TEST_F(ThreadsTest, DeadlockNamesEveryWaitingThreadAndTheOwner) {
    static ERESOURCE resource;
    static KEVENT never;
    ExInitializeResourceLite(&resource);
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    hk::StartThread(hk::CreateThread(hk::SystemProcess()), [] {
        Acquire(&resource);
        Wait(&never);
        Release(&resource);
    });
    hk::StartThread(hk::CreateThread(hk::SystemProcess()), [] {
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
}

// Deferred calls and the machine's callbacks run between threads, in no
// thread's own time: one that waits would wait inside the scheduler.
TEST_F(ThreadsTest, MachineCallbackThatWaitsIsStopped) {
    hk::ScheduleAt(hk::kSecond, [] { hk::RunPending(); });
    EXPECT_DEATH(hk::RunFor(2 * hk::kSecond),
                 VERIFIER_STOP("waits in a deferred call or a callback of the simulated machine"));
}

// ----- the explorer on a counter that two threads increment ------------------

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
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&g_counter->Lock, TRUE);
    int seen = g_counter->Value;
    KeLeaveCriticalRegion();
    KeEnterCriticalRegion();
    g_counter->Value = seen + 1;
    ExReleaseResourceLite(&g_counter->Lock);
    KeLeaveCriticalRegion();
}

hk::Scenario CounterScenario(void (*increment)()) {
    static Counter counter;
    hk::Scenario scenario;
    scenario.Start = [increment] {
        g_counter = &counter;
        counter.Value = 0;
        ExInitializeResourceLite(&counter.Lock);
        for (int thread = 0; thread < 2; ++thread) {
            hk::StartThread(hk::CreateThread(hk::SystemProcess()), increment);
        }
    };
    scenario.Check = [] {
        return counter.Value == 2 ? "" : "lost an increment: " + std::to_string(counter.Value);
    };
    scenario.Stop = [] { ExDeleteResourceLite(&counter.Lock); };
    return scenario;
}

TEST_F(ThreadsTest, ExplorerFindsTheLostUpdateOfARoutineWithoutItsLockAndReplaysIt) {
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
}

TEST_F(ThreadsTest, ExplorerCoversEveryScheduleOfTheLockedRoutineWithinTheBound) {
    hk::ExploreResult none = hk::Explore(CounterScenario(IncrementUnderLock), {0});
    hk::ExploreResult one = hk::Explore(CounterScenario(IncrementUnderLock), {1});
    hk::ExploreResult two = hk::Explore(CounterScenario(IncrementUnderLock), {2});
    EXPECT_TRUE(two.Passed()) << two.Failure << two.Replay;
    EXPECT_EQ(none.Schedules, 2u) << "which thread starts";
    EXPECT_LT(none.Schedules, one.Schedules);
    EXPECT_LT(one.Schedules, two.Schedules);
    EXPECT_EQ(two.Preemptions, 2u);
}

TEST_F(ThreadsTest, VerifierStopInAScheduleNamesTheScheduleToReplay) {
    hk::Scenario scenario = CounterScenario(IncrementUnderLock);
    scenario.Start = [] {
        static ERESOURCE lock;
        ExInitializeResourceLite(&lock);
        for (int thread = 0; thread < 2; ++thread) {
            hk::StartThread(hk::CreateThread(hk::SystemProcess()), [] {
                KeEnterCriticalRegion();
                ExAcquireResourceExclusiveLite(&lock, TRUE);
                KeLeaveCriticalRegion();
                KeEnterCriticalRegion();
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
