// The scheduler of the host kernel's threads, as the kernel's components see
// it: a thread that must wait blocks and another runs; whoever makes what it
// waits for happen wakes it. Exactly one thread runs at a time. Deferred
// calls run between threads, and when no thread can run, virtual time moves
// to the next alarm or deadline; when nothing could ever wake a thread, that
// is a deadlock.
#pragma once

#include "hostkernel/kernel_state.h"

namespace hk {

// Decides who runs at each point where more than one thread could. Without
// one (the default) the running thread goes on until it waits, and the
// ready threads then run first come, first served.
struct ScheduleChooser {
    // Picks one of `options` threads. With `preemption`, option 0 is the
    // running thread, which could go on; otherwise option 0 is the thread
    // that has been ready longest.
    virtual size_t Choose(size_t options, bool preemption) = 0;

  protected:
    ~ScheduleChooser() = default;
};

// A wait without a time-out that nothing satisfies within this much virtual
// time is reported as a deadlock instead of spinning on periodic work.
constexpr uint64_t kDeadlockHorizon = kHour;

// Blocks the running thread until it is woken or its deadline passes;
// returns the wake's status (STATUS_TIMEOUT at the deadline). With a
// `handoff`, that ready thread runs next.
NTSTATUS Block(const HkWait& wait, HkThread* handoff = nullptr);

// A blocked thread becomes ready, its wait ending with `status`.
void Wake(HkThread* thread, NTSTATUS status);

// How an alert ends an alertable wait of this mode.
NTSTATUS AlertStatus(KPROCESSOR_MODE mode);

// The thread that has waited longest for `object`, or null.
HkThread* FirstWaiter(const void* object);

// Where a kernel routine lets the explorer switch to another thread.
void SchedulingPoint();

// Models a second processor for the explorer: deferred calls run there,
// beside the threads, and may be preempted at their own kernel calls; and
// at any kernel call of a thread the next timer may expire (as if the thread
// had taken that long), its deferred call starting on that processor.
void EnableSecondProcessor();

// Waits until no deferred call is queued or running on the second processor.
void FlushDeferredCalls();

// Gives an idle thread a body on a context of its own; it is ready to run.
void StartBody(HkThread* thread, std::function<void()> body);

// Makes `thread` the running one, with paged pool protected to its level.
void MakeCurrent(HkThread* thread);

// Ends every thread's body where it waits and releases the contexts; called
// by Reset from the host's own context.
void ReleaseThreads();

// Threads whose bodies never finished, for the leak check.
void FindThreadLeaks(std::vector<std::string>& leaks);

} // namespace hk
