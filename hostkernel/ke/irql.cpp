// Interrupt request levels, critical regions, the current thread and
// process, and the check every pageable routine makes of its level.
#include "hostkernel/kernel_state.h"
#include "hostkernel/verifier/levels.h"
#include "hostkernel/ke/scheduler.h"
#include "hostkernel/mm/address_space.h"

using hk::K;

KIRQL KeGetCurrentIrql() {
    return K().Current->Irql;
}

VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    KIRQL current = K().Current->Irql;
    if (NewIrql < current) {
        hk::VerifierStop("KeRaiseIrql to a lower level",
                         hk::RoutineName(__builtin_return_address(0)),
                         "level " + std::to_string(NewIrql));
    }
    *OldIrql = current;
    hk::SetIrql(NewIrql);
}

VOID KeLowerIrql(KIRQL NewIrql) {
    if (NewIrql > K().Current->Irql) {
        hk::VerifierStop("KeLowerIrql to a higher level",
                         hk::RoutineName(__builtin_return_address(0)),
                         "level " + std::to_string(NewIrql));
    }
    hk::SetIrql(NewIrql);
}

void hk::SetIrql(KIRQL irql) {
    KIRQL before = K().Current->Irql;
    K().Current->Irql = irql;
    if ((before >= DISPATCH_LEVEL) != (irql >= DISPATCH_LEVEL)) {
        ProtectPagedPool(irql >= DISPATCH_LEVEL);
    }
    if (irql == PASSIVE_LEVEL && !K().Current->HeldCompletions.empty()) {
        DeliverHeldCompletions(K().Current);
    }
}

VOID KeEnterCriticalRegion() {
    HK_CHECK_LEVEL(KeEnterCriticalRegion);
    hk::SchedulingPoint();
    K().Current->CriticalRegions++;
}

VOID KeLeaveCriticalRegion() {
    HK_CHECK_LEVEL(KeLeaveCriticalRegion);
    hk::SchedulingPoint();
    if (K().Current->CriticalRegions == 0) {
        hk::VerifierStop("leaves a critical region it did not enter",
                         hk::RoutineName(__builtin_return_address(0)),
                         "thread " + hk::Hex(K().Current->Id));
    }
    HkThread* thread = K().Current;
    thread->CriticalRegions--;
    if (thread->CriticalRegions == 0 && !thread->Held.empty() && thread->Irql == PASSIVE_LEVEL) {
        hk::VerifierStop("leaves a critical region while holding a resource",
                         hk::RoutineName(__builtin_return_address(0)),
                         "resource " + hk::Hex(reinterpret_cast<uintptr_t>(thread->Held.back())));
    }
}

// A guarded region also holds off the special kernel APCs that finish the
// thread's own requests.
VOID KeEnterGuardedRegion() {
    HK_CHECK_LEVEL(KeEnterGuardedRegion);
    hk::SchedulingPoint();
    K().Current->GuardedRegions++;
}

VOID KeLeaveGuardedRegion() {
    HK_CHECK_LEVEL(KeLeaveGuardedRegion);
    hk::SchedulingPoint();
    HkThread* thread = K().Current;
    if (thread->GuardedRegions == 0) {
        hk::VerifierStop("leaves a guarded region it did not enter",
                         hk::RoutineName(__builtin_return_address(0)),
                         "thread " + hk::Hex(thread->Id));
    }
    if (--thread->GuardedRegions == 0 && thread->Irql == PASSIVE_LEVEL) {
        hk::DeliverHeldCompletions(thread);
    }
}

PKTHREAD KeGetCurrentThread() {
    return K().Current;
}
PEPROCESS PsGetCurrentProcess() {
    HK_CHECK_LEVEL(PsGetCurrentProcess);
    return K().Current->Process;
}

// Kept out of line, so that the check every pageable routine makes costs a
// few instructions.
[[noreturn, gnu::noinline, gnu::cold]] static void StopPagedCodeAtRaisedLevel(const char* Routine) {
    hk::VerifierStop("pageable code runs above APC_LEVEL", Routine,
                     "level " + std::to_string(K().Current->Irql));
}

VOID HkCheckPagedCode(const char* Routine) {
    if (K().Current->Irql > APC_LEVEL) {
        StopPagedCodeAtRaisedLevel(Routine);
    }
}
