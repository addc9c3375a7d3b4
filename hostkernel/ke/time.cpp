// Virtual time and everything that runs in it: timers, deferred procedure
// calls, events and waits, machine events and the order in which they run.
// Nothing moves unless a test, a scenario or a wait moves it, and equal
// times are broken by the order of arming, so every run is the same.
#include "hostkernel/ke/scheduler.h"
#include "hostkernel/ke/thread_control.h"
#include "hostkernel/verifier/levels.h"

#include <algorithm>

namespace hk {

namespace {

constexpr UCHAR kDpcObjectType = 0x13;

bool IsTimerType(UCHAR type) {
    return type == NotificationTimer || type == SynchronizationTimer;
}

bool RemoveArmedTimer(PKTIMER timer) {
    Kernel& kernel = K();
    for (auto it = kernel.Timers.begin(); it != kernel.Timers.end(); ++it) {
        if (it->second == timer) {
            kernel.Timers.erase(it);
            timer->Inserted = FALSE;
            return true;
        }
    }
    return false;
}

void RunAtDispatch(const std::function<void()>& body) {
    HkThread* thread = K().Current;
    KIRQL saved = thread->Irql;
    SetIrql(DISPATCH_LEVEL);
    body();
    SetIrql(saved);
}

// Takes the object's signal if it has one, resetting synchronization objects.
bool TrySatisfy(DISPATCHER_HEADER* header) {
    if (header->SignalState == 0) {
        return false;
    }
    if (header->Type == SynchronizationEvent || header->Type == SynchronizationTimer) {
        header->SignalState = 0;
    }
    return true;
}

// Hands a signalled object to its waiters, first come first: a
// synchronization object to one of them, a notification object to all.
void SatisfyWaiters(DISPATCHER_HEADER* header) {
    while (HkThread* waiter = FirstWaiter(header)) {
        if (!TrySatisfy(header)) {
            return;
        }
        Wake(waiter, STATUS_SUCCESS);
    }
}

// Waits until nothing is left to run up to `limit`.
void WaitUntilQuiet(uint64_t limit, const void* caller) {
    Block(HkWait{HkWaitKind::Quiet, nullptr, limit, false, 0, caller});
}

// Runs one deferred call at DISPATCH_LEVEL.
void RunDpc(PKDPC dpc) {
    if (IsPageableCode(reinterpret_cast<void*>(dpc->DeferredRoutine))) {
        VerifierStop("pageable code runs above APC_LEVEL",
                     RoutineName(reinterpret_cast<void*>(dpc->DeferredRoutine)),
                     "a deferred call's routine");
    }
    RunAtDispatch([dpc] {
        HkThread* thread = K().Current;
        size_t held = thread->Held.size();
        int regions = thread->CriticalRegions;
        RunDriverCode(reinterpret_cast<void*>(dpc->DeferredRoutine), [dpc] {
            dpc->DeferredRoutine(dpc, dpc->DeferredContext, dpc->SystemArgument1,
                                 dpc->SystemArgument2);
        });
        CheckBalancedReturn(thread, held, regions, reinterpret_cast<void*>(dpc->DeferredRoutine));
        if (thread->Irql != DISPATCH_LEVEL) {
            VerifierStop("returns from a deferred call at another level",
                         RoutineName(reinterpret_cast<void*>(dpc->DeferredRoutine)),
                         "level " + std::to_string(thread->Irql));
        }
    });
}

} // namespace

void DrainDpcs() {
    Kernel& kernel = K();
    while (!kernel.Dpcs.empty()) {
        PKDPC dpc = kernel.Dpcs.front();
        kernel.Dpcs.pop_front();
        dpc->Inserted = 0;
        RunDpc(dpc);
    }
}

bool FireNextAlarm(uint64_t limit) {
    Kernel& kernel = K();
    bool haveTimer = !kernel.Timers.empty() && kernel.Timers.begin()->first.first <= limit;
    bool haveEvent = !kernel.Events.empty() && kernel.Events.begin()->first.first <= limit;
    if (!haveTimer && !haveEvent) {
        return false;
    }
    if (haveTimer && (!haveEvent || kernel.Timers.begin()->first < kernel.Events.begin()->first)) {
        auto entry = kernel.Timers.begin();
        PKTIMER timer = entry->second;
        kernel.Now = std::max(kernel.Now, entry->first.first);
        kernel.Timers.erase(entry);
        timer->Inserted = FALSE;
        timer->Header.SignalState = 1;
        SatisfyWaiters(&timer->Header);
        if (timer->Dpc != nullptr) {
            KeInsertQueueDpc(timer->Dpc, nullptr, nullptr);
        }
        return true;
    }
    auto entry = kernel.Events.begin();
    kernel.Now = std::max(kernel.Now, entry->first.first);
    std::function<void()> callback = std::move(entry->second);
    kernel.Events.erase(entry);
    RunAtDispatch(callback);
    return true;
}

uint64_t NextAlarmTime() {
    Kernel& kernel = K();
    uint64_t next = UINT64_MAX;
    if (!kernel.Timers.empty()) {
        next = kernel.Timers.begin()->first.first;
    }
    if (!kernel.Events.empty()) {
        next = std::min(next, kernel.Events.begin()->first.first);
    }
    return next;
}

uint64_t Now() {
    return K().Now;
}

NTSTATUS AlertStatus(KPROCESSOR_MODE mode) {
    return mode == UserMode ? STATUS_USER_APC : STATUS_ALERTED;
}

void AlertThread(HkThread* thread) {
    const HkWait& wait = thread->Wait;
    if (thread->State == HkThreadState::Blocked && wait.Kind == HkWaitKind::Object &&
        wait.Alertable) {
        Wake(thread, AlertStatus(wait.Mode));
        return;
    }
    thread->Alerted = true;
}

void RunPending() {
    WaitUntilQuiet(K().Now, __builtin_return_address(0));
}

void RunFor(uint64_t duration) {
    uint64_t end = K().Now + duration;
    WaitUntilQuiet(end, __builtin_return_address(0));
    K().Now = std::max(K().Now, end);
}

uint64_t ScheduleAt(uint64_t time, std::function<void()> callback) {
    uint64_t id = ++K().Sequence;
    K().Events[{std::max(time, K().Now), id}] = std::move(callback);
    return id;
}

void CancelScheduled(uint64_t id) {
    auto& events = K().Events;
    for (auto it = events.begin(); it != events.end(); ++it) {
        if (it->first.second == id) {
            events.erase(it);
            return;
        }
    }
}

} // namespace hk

using hk::K;

// ----- events and waits --------------------------------------------------------

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    HK_CHECK_LEVEL(KeInitializeEvent);
    Event->Header.Type = static_cast<UCHAR>(Type);
    Event->Header.SignalState = State ? 1 : 0;
}

LONG KeSetEvent(PRKEVENT Event, LONG Increment, BOOLEAN Wait) {
    HK_CHECK_LEVEL(KeSetEvent);
    UNREFERENCED_PARAMETER(Increment);
    UNREFERENCED_PARAMETER(Wait);
    hk::SchedulingPoint();
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    hk::SatisfyWaiters(&Event->Header);
    return previous;
}

VOID KeClearEvent(PRKEVENT Event) {
    HK_CHECK_LEVEL(KeClearEvent);
    hk::SchedulingPoint();
    Event->Header.SignalState = 0;
}
LONG KeReadStateEvent(PRKEVENT Event) {
    HK_CHECK_LEVEL(KeReadStateEvent);
    return Event->Header.SignalState;
}

// A thread whose object is not signalled blocks until it is, or until its
// time-out passes; other threads, deferred calls and virtual time go on
// meanwhile. A wait without a time-out that nothing satisfies is a deadlock.
NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
    HK_CHECK_LEVEL(KeWaitForSingleObject);
    UNREFERENCED_PARAMETER(WaitReason);
    const void* caller = __builtin_return_address(0);
    auto* header = static_cast<DISPATCHER_HEADER*>(Object);
    bool poll = Timeout != nullptr && Timeout->QuadPart == 0;
    if (!poll && K().Current->Irql > APC_LEVEL) {
        hk::VerifierStop("blocks at DISPATCH_LEVEL or above", hk::RoutineName(caller),
                         "object " + hk::Hex(reinterpret_cast<uintptr_t>(Object)));
    }
    hk::SchedulingPoint();
    if (hk::TrySatisfy(header)) {
        return STATUS_SUCCESS;
    }
    HkThread* thread = K().Current;
    if (Alertable && thread->Alerted) {
        thread->Alerted = false;
        return hk::AlertStatus(WaitMode);
    }
    if (poll) {
        return 0x102; // STATUS_TIMEOUT
    }
    HkWait wait{HkWaitKind::Object, Object, K().Now + hk::kDeadlockHorizon, true, 0, caller};
    wait.Alertable = Alertable != FALSE;
    wait.Mode = WaitMode;
    if (Timeout != nullptr) {
        wait.Deadline = Timeout->QuadPart < 0
                            ? K().Now + static_cast<uint64_t>(-Timeout->QuadPart)
                            : std::max(K().Now, static_cast<uint64_t>(Timeout->QuadPart));
        wait.DeadlockAtDeadline = false;
    }
    return hk::Block(wait);
}

// ----- timers and deferred calls ------------------------------------------------

VOID KeInitializeTimer(PKTIMER Timer) {
    HK_CHECK_LEVEL(KeInitializeTimer);
    hk::CheckNonPagedObject(Timer, "timer", __builtin_return_address(0));
    KeInitializeTimerEx(Timer, NotificationTimer);
}

VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
    HK_CHECK_LEVEL(KeInitializeTimerEx);
    hk::CheckNonPagedObject(Timer, "timer", __builtin_return_address(0));
    for (auto& [key, armed] : K().Timers) {
        if (armed == Timer) {
            hk::VerifierStop("initialises a timer that is armed",
                             hk::RoutineName(__builtin_return_address(0)),
                             "timer " + hk::Hex(reinterpret_cast<uintptr_t>(Timer)));
        }
    }
    Timer->Header.Type = static_cast<UCHAR>(Type);
    Timer->Header.SignalState = 0;
    Timer->DueTime = 0;
    Timer->Dpc = nullptr;
    Timer->Inserted = FALSE;
    Timer->ArmSequence = 0;
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
    HK_CHECK_LEVEL(KeSetTimer);
    const void* caller = __builtin_return_address(0);
    hk::SchedulingPoint();
    if (!hk::IsTimerType(Timer->Header.Type)) {
        hk::VerifierStop("arms a timer that is not initialised", hk::RoutineName(caller),
                         "timer " + hk::Hex(reinterpret_cast<uintptr_t>(Timer)));
    }
    bool wasArmed = hk::RemoveArmedTimer(Timer);
    uint64_t due = DueTime.QuadPart < 0 ? K().Now + static_cast<uint64_t>(-DueTime.QuadPart)
                                        : static_cast<uint64_t>(DueTime.QuadPart);
    Timer->DueTime = due;
    Timer->Dpc = Dpc;
    Timer->Header.SignalState = 0;
    Timer->Inserted = TRUE;
    Timer->ArmSequence = ++K().Sequence;
    K().Timers[{due, Timer->ArmSequence}] = Timer;
    return wasArmed ? TRUE : FALSE;
}

BOOLEAN KeCancelTimer(PKTIMER Timer) {
    HK_CHECK_LEVEL(KeCancelTimer);
    hk::SchedulingPoint();
    return hk::RemoveArmedTimer(Timer) ? TRUE : FALSE;
}

BOOLEAN KeReadStateTimer(PKTIMER Timer) {
    HK_CHECK_LEVEL(KeReadStateTimer);
    return Timer->Header.SignalState != 0;
}

VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
    HK_CHECK_LEVEL(KeInitializeDpc);
    hk::CheckNonPagedObject(Dpc, "deferred call", __builtin_return_address(0));
    Dpc->Type = hk::kDpcObjectType;
    Dpc->Inserted = 0;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->SystemArgument1 = nullptr;
    Dpc->SystemArgument2 = nullptr;
    Dpc->QueueSequence = 0;
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
    HK_CHECK_LEVEL(KeInsertQueueDpc);
    if (Dpc->Type != hk::kDpcObjectType) {
        hk::VerifierStop("queues a deferred call that is not initialised",
                         hk::RoutineName(__builtin_return_address(0)),
                         "DPC " + hk::Hex(reinterpret_cast<uintptr_t>(Dpc)));
    }
    hk::SchedulingPoint();
    if (Dpc->Inserted) {
        return FALSE;
    }
    Dpc->Inserted = 1;
    Dpc->SystemArgument1 = SystemArgument1;
    Dpc->SystemArgument2 = SystemArgument2;
    Dpc->QueueSequence = ++K().Sequence;
    K().Dpcs.push_back(Dpc);
    return TRUE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
    HK_CHECK_LEVEL(KeRemoveQueueDpc);
    auto& dpcs = K().Dpcs;
    auto found = std::find(dpcs.begin(), dpcs.end(), Dpc);
    if (found == dpcs.end()) {
        return FALSE;
    }
    dpcs.erase(found);
    Dpc->Inserted = 0;
    return TRUE;
}
