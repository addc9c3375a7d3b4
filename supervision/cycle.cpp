#include "supervision/cycle.h"

#include "firmware/watchdog.h"
#include "supervision/watch_list.h"

// Runs at DISPATCH_LEVEL, so it stays resident and only hands the work to a
// system worker. A run already queued re-arms the timer itself, so an expiry
// meanwhile does nothing.
VOID SupervisionDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                    PVOID SystemArgument2) {
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    auto* context = static_cast<DeviceContext*>(DeferredContext);
    if (context->WorkQueued != 0) {
        return;
    }
    // The queued run holds the remove lock until it ends; once removal has
    // begun no run is queued.
    if (!NT_SUCCESS(IoAcquireRemoveLock(&context->RemoveLock, context->WorkItem))) {
        return;
    }
    context->WorkQueued = 1;
    IoQueueWorkItem(context->WorkItem, SupervisionWork, DelayedWorkQueue, context);
}

VKT_PAGED_ROUTINE NTSTATUS ArmSupervisionTimer(DeviceContext* Context) {
    PAGED_CODE();
    LARGE_INTEGER dueTime;
    dueTime.QuadPart = SUPERVISION_PERIOD;
    KeSetTimer(&Context->Timer, dueTime, &Context->TimerDpc);
    return STATUS_SUCCESS;
}

VKT_PAGED_ROUTINE bool IsEntryState(StateCode Code) {
    PAGED_CODE();
    return Code >= StateEnterS3 && Code <= StateEnterS6;
}

// One run: check and feed while a supervised state holds, then arm the
// timer again, unless the machine is on its way down: the entry sets the
// state under StateLock and cancels the timer after it, and the wake arms it
// again, so a run decides under the lock and never keeps the cycle going
// through the transition. A run that starts once removal has begun does
// nothing and arms nothing. Giving back the reference the deferred call took
// is the run's last touch of the record: removal may free it right after.
VKT_PAGED_ROUTINE VOID SupervisionWork(PDEVICE_OBJECT DeviceObject, PVOID WorkContext) {
    PAGED_CODE();
    auto* context = static_cast<DeviceContext*>(WorkContext);
    context->WorkQueued = 0;
    if (NT_SUCCESS(IoAcquireRemoveLock(&context->RemoveLock, DeviceObject))) {
        KeEnterCriticalRegion();
        ExAcquireResourceExclusiveLite(&context->StateLock, TRUE);
        if (context->State == StateWatchA || context->State == StateWatchB) {
            CheckAndFeed(context);
        }
        if (!IsEntryState(context->State)) {
            ArmSupervisionTimer(context);
        }
        ExReleaseResourceLite(&context->StateLock);
        KeLeaveCriticalRegion();
        IoReleaseRemoveLock(&context->RemoveLock, DeviceObject);
    }
    IoReleaseRemoveLock(&context->RemoveLock, context->WorkItem);
}

VKT_PAGED_ROUTINE NTSTATUS CheckAndFeed(DeviceContext* Context) {
    PAGED_CODE();
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&Context->WatchListLock, TRUE);
    if (Context->WatchEnabled != 0 && IsWatchedProcessRunning(Context)) {
        FeedWatchdog(Context, Context->State);
    }
    ExReleaseResourceLite(&Context->WatchListLock);
    KeLeaveCriticalRegion();
    return STATUS_SUCCESS;
}
