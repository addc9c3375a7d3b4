// Threads that block and take turns: the running thread keeps the processor
// until it waits (or the explorer preempts it); a waiting thread's context is
// parked and another ready thread's is resumed. Deferred calls run whenever
// the scheduler is entered, at DISPATCH_LEVEL, before any thread is picked.
#include "hostkernel/ke/scheduler.h"

#include "hostkernel/ke/fiber.h"
#include "hostkernel/ke/thread_control.h"

#include <algorithm>

namespace hk {

namespace {

// Thrown where a thread waits when a reset ends its body.
struct ThreadUnwind {};

// A context that finished and still has to be released by the next one.
Fiber* g_finished = nullptr;
// The context that ends the bodies of a reset, to return to.
Fiber* g_unwinder = nullptr;
// Non-zero while the scheduler runs deferred calls or alarms, which may not wait.
int g_betweenThreads = 0;

// Runs deferred calls, or an alarm, between threads.
template <typename Work> auto BetweenThreads(Work work) {
    ++g_betweenThreads;
    auto result = work();
    --g_betweenThreads;
    return result;
}

constexpr NTSTATUS kTimeout = 0x102; // STATUS_TIMEOUT

void AfterSwitch() {
    if (g_finished != nullptr) {
        DestroyFiber(g_finished);
        g_finished = nullptr;
    }
}

// Whether the explorer lets the second processor run the deferred calls.
bool OnSecondProcessor() {
    return K().SecondProcessor != nullptr && K().Chooser != nullptr;
}

// The second processor's body: every queued deferred call, in order, at
// DISPATCH_LEVEL.
void RunQueuedOnSecondProcessor() {
    KIRQL old = PASSIVE_LEVEL;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    DrainDpcs();
    KeLowerIrql(old);
}

// Queued deferred calls run: between threads on this processor, or on the
// second, which starts them if it is idle.
void RunDeferredCalls() {
    Kernel& kernel = K();
    if (!OnSecondProcessor()) {
        BetweenThreads([] {
            DrainDpcs();
            return 0;
        });
        return;
    }
    HkThread* second = kernel.SecondProcessor;
    if (!kernel.Dpcs.empty() && second->Fiber == nullptr) {
        StartBody(second, RunQueuedOnSecondProcessor);
    }
}

// Whether the next alarm is a timer, which may expire at this kernel call.
bool TimerIsNextAlarm() {
    const Kernel& kernel = K();
    return !kernel.Timers.empty() &&
           (kernel.Events.empty() || kernel.Timers.begin()->first < kernel.Events.begin()->first);
}

// The next timer expires now, as the clock interrupts this processor.
void ExpireNextTimer() {
    HkThread* self = K().Current;
    KIRQL saved = self->Irql;
    SetIrql(DISPATCH_LEVEL);
    BetweenThreads([] { return FireNextAlarm(NextAlarmTime()); });
    SetIrql(saved);
    RunDeferredCalls();
}

// Hands the processor from the context `from` to `next`.
void RunThread(Fiber* from, HkThread* next, bool finished) {
    MakeCurrent(next);
    next->State = HkThreadState::Running;
    if (next->Fiber == from) {
        return;
    }
    SwitchFiber(from, next->Fiber, finished);
    AfterSwitch();
}

void RemoveReady(HkThread* thread) {
    auto& ready = K().Ready;
    ready.erase(std::find(ready.begin(), ready.end(), thread));
}

// What WaitForThreads waits for: the end of every body.
const void* AllThreads() {
    return &K().Threads;
}

bool AnyBodyLeft() {
    for (auto& thread : K().Threads) {
        if (thread.get() != K().Current && thread->Fiber != nullptr &&
            thread->Fiber != HostFiber()) {
            return true;
        }
    }
    return false;
}

std::string DescribeThread(const HkThread* thread) {
    return "thread " + Hex(thread->Id) + " (" +
           (thread->Process->ImageName.empty() ? std::string("idle")
                                               : Narrow(thread->Process->ImageName)) +
           ")";
}

std::string DescribeWait(const HkWait& wait) {
    std::string object = Hex(reinterpret_cast<uintptr_t>(wait.Object));
    switch (wait.Kind) {
    case HkWaitKind::Object:
        return "object " + object;
    case HkWaitKind::Resource: {
        auto* resource = static_cast<const ERESOURCE*>(wait.Object);
        std::string text = "resource " + object;
        return resource->OwnerThread == nullptr
                   ? text
                   : text + " held by " + DescribeThread(resource->OwnerThread);
    }
    case HkWaitKind::Request:
        return "request " + object;
    case HkWaitKind::Thread:
        return wait.Object == AllThreads()
                   ? std::string("every thread to finish")
                   : DescribeThread(static_cast<const HkThread*>(wait.Object)) + " to finish";
    default:
        return "nothing to be left to run";
    }
}

const char* DeadlockRule(HkWaitKind kind) {
    switch (kind) {
    case HkWaitKind::Resource:
        return "deadlock: waits for a resource whose owner cannot run";
    case HkWaitKind::Thread:
        return "deadlock: waits for a thread that cannot finish";
    case HkWaitKind::Request:
        return "deadlock: waits for a request that nothing will complete";
    default:
        return "deadlock: waits for an object that nothing will signal";
    }
}

// Every thread waits and nothing in virtual time can wake one (or a wait
// without a time-out outlived the horizon): names each waiting thread, what
// it waits for and who holds it.
[[noreturn]] void ReportDeadlock(HkThread* culprit) {
    std::string waits = DescribeWait(culprit->Wait);
    for (auto& thread : K().Threads) {
        if (thread->State == HkThreadState::Blocked && thread->Wait.Kind != HkWaitKind::Quiet) {
            waits += "\n    " + DescribeThread(thread.get()) + " waits in " +
                     RoutineName(thread->Wait.Caller) + " for " + DescribeWait(thread->Wait);
        }
    }
    VerifierStop(DeadlockRule(culprit->Wait.Kind), RoutineName(culprit->Wait.Caller), waits);
}

// The blocked thread whose deadline comes first (first waiter on a tie).
HkThread* EarliestDeadline(bool boundsOnly) {
    HkThread* earliest = nullptr;
    for (auto& thread : K().Threads) {
        const HkWait& wait = thread->Wait;
        if (thread->State != HkThreadState::Blocked || wait.Deadline == UINT64_MAX ||
            (boundsOnly && wait.DeadlockAtDeadline)) {
            continue;
        }
        if (earliest == nullptr ||
            std::make_pair(wait.Deadline, wait.Sequence) <
                std::make_pair(earliest->Wait.Deadline, earliest->Wait.Sequence)) {
            earliest = thread.get();
        }
    }
    return earliest;
}

// Nothing can run: the earliest of the next alarm and the next deadline
// happens. Returns false when nothing ever will.
bool AdvanceTime() {
    Kernel& kernel = K();
    uint64_t alarm = NextAlarmTime();
    HkThread* timed = EarliestDeadline(false);
    if (alarm != UINT64_MAX && (timed == nullptr || alarm <= timed->Wait.Deadline)) {
        FireNextAlarm(alarm);
        return true;
    }
    if (alarm == UINT64_MAX && EarliestDeadline(true) == nullptr) {
        return false;
    }
    if (timed->Wait.DeadlockAtDeadline) {
        kernel.Now = std::max(kernel.Now, timed->Wait.Deadline);
        ReportDeadlock(timed);
    }
    kernel.Now = std::max(kernel.Now, timed->Wait.Deadline);
    Wake(timed, kTimeout);
    return true;
}

// The running context (`self`'s, or a finished one) gives up the processor:
// deferred calls run, then a ready thread is picked, else time moves.
void Reschedule(Fiber* from, HkThread* self, bool finished) {
    Kernel& kernel = K();
    for (;;) {
        RunDeferredCalls();
        if (!kernel.Ready.empty()) {
            size_t choice = 0;
            if (kernel.Chooser != nullptr && kernel.Ready.size() > 1) {
                choice = kernel.Chooser->Choose(kernel.Ready.size(), false);
            }
            HkThread* next = kernel.Ready[choice];
            kernel.Ready.erase(kernel.Ready.begin() + static_cast<ptrdiff_t>(choice));
            RunThread(from, next, finished);
            return;
        }
        if (BetweenThreads(AdvanceTime)) {
            continue;
        }
        HkThread* culprit = self;
        if (finished || self->State != HkThreadState::Blocked ||
            self->Wait.Kind == HkWaitKind::Quiet) {
            for (auto& thread : kernel.Threads) {
                if (thread->State == HkThreadState::Blocked) {
                    culprit = thread.get();
                    break;
                }
            }
        }
        ReportDeadlock(culprit);
    }
}

void CheckUnwinding(HkThread* self) {
    if (self->Unwinding) {
        throw ThreadUnwind{};
    }
}

// A body has ended: joiners wake, and the context goes for good.
[[noreturn]] void FinishBody(HkThread* self) {
    Kernel& kernel = K();
    Fiber* fiber = self->Fiber;
    self->Body = nullptr;
    self->Fiber = nullptr;
    self->State = HkThreadState::Idle;
    g_finished = fiber;
    if (self->Unwinding) {
        self->Unwinding = false;
        SwitchFiber(fiber, g_unwinder, true);
    }
    if (self->Item != nullptr) {
        self->Item = nullptr;
        kernel.IdleWorkers.push_back(self);
    }
    HkThread* joiner = nullptr;
    while (HkThread* waiter = FirstWaiter(self)) {
        Wake(waiter, STATUS_SUCCESS);
        joiner = joiner != nullptr ? joiner : waiter;
    }
    if (!AnyBodyLeft()) {
        while (HkThread* waiter = FirstWaiter(AllThreads())) {
            Wake(waiter, STATUS_SUCCESS);
        }
    }
    // Without an explorer the thread that waited for the body goes on at
    // once, as if the body had run in its place.
    if (joiner != nullptr && kernel.Chooser == nullptr) {
        RemoveReady(joiner);
        RunThread(fiber, joiner, true);
    } else {
        Reschedule(fiber, self, true);
    }
    __builtin_unreachable();
}

void ThreadEntry(void* argument) {
    auto* self = static_cast<HkThread*>(argument);
    EnterFiber();
    AfterSwitch();
    try {
        CheckUnwinding(self);
        self->Body();
    } catch (const ThreadUnwind&) {
    }
    FinishBody(self);
}

// What every body runs inside: passive level, and the verifier's check that
// it returns to the kernel with no lock held and no region entered.
std::function<void()> CheckedBody(HkThread* thread, std::function<void()> body) {
    return [thread, body = std::move(body)] {
        size_t held = thread->Held.size();
        int regions = thread->CriticalRegions;
        body();
        CheckBalancedReturn(thread, held, regions, nullptr);
    };
}

} // namespace

void MakeCurrent(HkThread* thread) {
    Kernel& kernel = K();
    HkThread* before = kernel.Current;
    kernel.Current = thread;
    bool raisedBefore = before != nullptr && before->Irql >= DISPATCH_LEVEL;
    if (raisedBefore != (thread->Irql >= DISPATCH_LEVEL)) {
        ProtectPagedPool(thread->Irql >= DISPATCH_LEVEL);
    }
}

NTSTATUS Block(const HkWait& wait, HkThread* handoff) {
    Kernel& kernel = K();
    HkThread* self = kernel.Current;
    if (g_betweenThreads != 0) {
        VerifierStop("waits in a deferred call or a callback of the simulated machine",
                     RoutineName(wait.Caller), DescribeWait(wait));
    }
    self->Wait = wait;
    self->Wait.Sequence = ++kernel.WaitSequence;
    self->State = HkThreadState::Blocked;
    if (handoff != nullptr) {
        RemoveReady(handoff);
        RunThread(self->Fiber, handoff, false);
    } else {
        Reschedule(self->Fiber, self, false);
    }
    CheckUnwinding(self);
    return self->Wait.Status;
}

void Wake(HkThread* thread, NTSTATUS status) {
    thread->Wait.Status = status;
    thread->Wait.Kind = HkWaitKind::None;
    thread->Wait.Object = nullptr;
    thread->State = HkThreadState::Ready;
    K().Ready.push_back(thread);
}

HkThread* FirstWaiter(const void* object) {
    HkThread* first = nullptr;
    for (auto& thread : K().Threads) {
        if (thread->State == HkThreadState::Blocked && thread->Wait.Object == object &&
            thread->Wait.Kind != HkWaitKind::Quiet &&
            (first == nullptr || thread->Wait.Sequence < first->Wait.Sequence)) {
            first = thread.get();
        }
    }
    return first;
}

void SchedulingPoint() {
    Kernel& kernel = K();
    HkThread* self = kernel.Current;
    bool second = OnSecondProcessor();
    if (kernel.Chooser == nullptr || self->State != HkThreadState::Running ||
        g_betweenThreads != 0 ||
        (self->Irql >= DISPATCH_LEVEL && !(second && self == kernel.SecondProcessor))) {
        return;
    }
    RunDeferredCalls();
    bool timer = second && TimerIsNextAlarm();
    size_t options = kernel.Ready.size() + 1 + (timer ? 1 : 0);
    if (options == 1) {
        return;
    }
    size_t choice = kernel.Chooser->Choose(options, true);
    if (choice == 0) {
        return;
    }
    if (timer && choice == options - 1) {
        ExpireNextTimer();
        if (kernel.SecondProcessor->State != HkThreadState::Ready) {
            return;
        }
        choice = static_cast<size_t>(
            std::find(kernel.Ready.begin(), kernel.Ready.end(), kernel.SecondProcessor) -
            kernel.Ready.begin() + 1);
    }
    HkThread* next = kernel.Ready[choice - 1];
    kernel.Ready.erase(kernel.Ready.begin() + static_cast<ptrdiff_t>(choice - 1));
    self->State = HkThreadState::Ready;
    kernel.Ready.push_back(self);
    RunThread(self->Fiber, next, false);
    CheckUnwinding(self);
}

void EnableSecondProcessor() {
    Kernel& kernel = K();
    kernel.SecondProcessor = CreateThread(kernel.System);
}

void FlushDeferredCalls() {
    Kernel& kernel = K();
    HkThread* second = kernel.SecondProcessor;
    for (;;) {
        if (second != nullptr && second != kernel.Current && second->Fiber != nullptr) {
            Block(HkWait{HkWaitKind::Thread, second, UINT64_MAX, false, 0,
                         __builtin_return_address(0)});
        } else if (!kernel.Dpcs.empty()) {
            DrainDpcs();
        } else {
            return;
        }
    }
}

void StartBody(HkThread* thread, std::function<void()> body) {
    thread->Body = std::move(body);
    thread->Fiber = CreateFiber(ThreadEntry, thread);
    thread->State = HkThreadState::Ready;
    K().Ready.push_back(thread);
}

void ReleaseThreads() {
    Kernel& kernel = K();
    HkThread* host = kernel.Current;
    if (host->Fiber != HostFiber()) {
        std::fprintf(stderr, "host kernel: Reset must be called from the test's own thread\n");
        std::abort();
    }
    g_unwinder = HostFiber();
    for (auto& thread : kernel.Threads) {
        if (thread->Fiber != nullptr && thread->Fiber != HostFiber()) {
            thread->Unwinding = true;
            MakeCurrent(thread.get());
            SwitchFiber(HostFiber(), thread->Fiber);
            AfterSwitch();
        }
    }
    MakeCurrent(host);
    kernel.Ready.clear();
}

void FindThreadLeaks(std::vector<std::string>& leaks) {
    for (auto& thread : K().Threads) {
        if (thread->Fiber == nullptr || thread->Fiber == HostFiber()) {
            continue;
        }
        std::string where = thread->State == HkThreadState::Blocked
                                ? "waits in " + RoutineName(thread->Wait.Caller) + " for " +
                                      DescribeWait(thread->Wait)
                                : "has not finished its body";
        leaks.push_back(DescribeThread(thread.get()) + " " + where);
    }
}

// ----- the control interface ---------------------------------------------------

void RunAs(HkThread* thread, const std::function<void()>& body) {
    Kernel& kernel = K();
    if (thread == kernel.Current) {
        CheckedBody(thread, body)();
        return;
    }
    StartThread(thread, body);
    Block(HkWait{HkWaitKind::Thread, thread, UINT64_MAX, false, 0, __builtin_return_address(0)},
          kernel.Chooser == nullptr ? thread : nullptr);
}

void StartThread(HkThread* thread, std::function<void()> body) {
    if (thread->State != HkThreadState::Idle || thread->Fiber != nullptr) {
        std::fprintf(stderr, "host kernel: thread %s already runs a body\n",
                     Hex(thread->Id).c_str());
        std::abort();
    }
    StartBody(thread, CheckedBody(thread, std::move(body)));
}

bool ThreadBusy(HkThread* thread) {
    return thread->Fiber != nullptr && thread->Fiber != HostFiber();
}

void WaitForThreads() {
    if (AnyBodyLeft()) {
        Block(HkWait{HkWaitKind::Thread, AllThreads(), UINT64_MAX, false, 0,
                     __builtin_return_address(0)});
    }
    RunPending();
}

} // namespace hk
