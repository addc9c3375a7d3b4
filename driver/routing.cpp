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

VKT_PAGED_ROUTINE NTSTATUS DispatchPassThrough(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    return PassDownRequest(ContextOf(DeviceObject), Irp);
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
