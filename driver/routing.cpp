// Requests the driver does not handle itself go to the device below
// unchanged; read and write finish at once with no data.
#include "driver/routing.h"

// A request that should go down while there is no device below is finished
// here as the bottom of a stack finishes a request it does not handle: with
// the status it already carries (success for close and cleanup, "not
// supported" for an unhandled Plug and Play or power request). A request can
// never be completed as pending, so that one case becomes "not connected".
VKT_PAGED_ROUTINE NTSTATUS CompleteWithoutLowerDevice(PIRP Irp) {
    PAGED_CODE();
    if (Irp->IoStatus.Status == STATUS_PENDING) {
        Irp->IoStatus.Status = STATUS_DEVICE_NOT_CONNECTED;
    }
    NTSTATUS status = Irp->IoStatus.Status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

VKT_PAGED_ROUTINE NTSTATUS RefuseRequest(PIRP Irp, NTSTATUS Status) {
    PAGED_CODE();
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

// The request holds the remove lock until the device below has it, so that
// removal does not detach and delete the device under it.
VKT_PAGED_ROUTINE NTSTATUS DispatchPassThrough(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    DeviceContext* context = ContextOf(DeviceObject);
    if (context == nullptr) {
        return PassDownRequest(context, Irp);
    }
    NTSTATUS status = IoAcquireRemoveLock(&context->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        return RefuseRequest(Irp, status);
    }
    status = PassDownRequest(context, Irp);
    IoReleaseRemoveLock(&context->RemoveLock, Irp);
    return status;
}

VKT_PAGED_ROUTINE NTSTATUS DispatchReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(DeviceObject);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

VKT_PAGED_ROUTINE NTSTATUS PassDownRequest(DeviceContext* Context, PIRP Irp) {
    PAGED_CODE();
    if (Context == nullptr || Irp == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Context->LowerDevice == nullptr) {
        return CompleteWithoutLowerDevice(Irp);
    }
    IoSkipCurrentIrpStackLocation(Irp);
    return IofCallDriver(Context->LowerDevice, Irp);
}
