// Device removal: stops the supervision cycle for good, tells the firmware
// the driver is going, frees the watch list, forgets the install count,
// passes the request down and deletes the link, the locks and the device.
#include "driver/install_counter.h"
#include "driver/pnp.h"
#include "driver/routing.h"
#include "firmware/watchdog.h"
#include "supervision/watch_list.h"

// Cancelling the timer does not wait for a deferred call already running nor
// for a run queued or running, and a run re-arms the timer when it ends. So
// removal gives back its own reference on the remove lock and waits for the
// others: those of requests in flight and of the run the deferred call
// queued. A run that starts from then on finds the lock closed and does
// nothing. A run that was already past that check has re-armed the timer,
// so it is cancelled again, and the deferred calls still queued (which
// queue nothing now) are flushed before anything they use is freed.
VKT_PAGED_ROUTINE static NTSTATUS StopSupervisionCycle(DeviceContext* Context, PIRP Irp) {
    PAGED_CODE();
    KeCancelTimer(&Context->Timer);
    IoReleaseRemoveLockAndWait(&Context->RemoveLock, Irp);
    KeCancelTimer(&Context->Timer);
    KeFlushQueuedDpcs();
    IoFreeWorkItem(Context->WorkItem);
    return STATUS_SUCCESS;
}

// A corrupt link stops the system in the list removal itself.
VKT_PAGED_ROUTINE NTSTATUS FreeWatchList(DeviceContext* Context) {
    PAGED_CODE();
    while (!IsListEmpty(&Context->WatchList)) {
        PLIST_ENTRY entry = RemoveHeadList(&Context->WatchList);
        ExFreePoolWithTag(CONTAINING_RECORD(entry, WatchEntry, Links), VKT_POOL_TAG);
    }
    if (Context->WatchListText != nullptr) {
        ExFreePoolWithTag(Context->WatchListText, VKT_POOL_TAG);
        Context->WatchListText = nullptr;
    }
    return STATUS_SUCCESS;
}

VKT_PAGED_ROUTINE static NTSTATUS DeleteDeviceObjects(DeviceContext* Context) {
    PAGED_CODE();
    IoDeleteSymbolicLink(&Context->LinkName);
    if (Context->LowerDevice != nullptr) {
        IoDetachDevice(Context->LowerDevice);
    }
    ExDeleteResourceLite(&Context->FirmwareLock);
    ExDeleteResourceLite(&Context->StateLock);
    ExDeleteResourceLite(&Context->WatchListLock);
    IoDeleteDevice(Context->Self);
    return STATUS_SUCCESS;
}

VKT_PAGED_ROUTINE NTSTATUS RemoveDevice(DeviceContext* Context, PIRP Irp) {
    PAGED_CODE();
    if (Context == nullptr || Irp == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    StopSupervisionCycle(Context, Irp);
    StopWatchdog(Context);
    ReportState(Context, StateRemoved);
    FreeWatchList(Context);
    ResetInstallCounter();
    Irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = PassDownRequest(Context, Irp);
    DeleteDeviceObjects(Context);
    return status;
}
