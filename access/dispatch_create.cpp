// Opening the device: the driver decides on every open itself and never
// passes one down.
#include "access/caller_verification.h"

// Creates arrive in the opening thread, so the current process is the
// caller. Any failure of the check refuses the open with one status.
VKT_PAGED_ROUTINE NTSTATUS DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(DeviceObject);
    Irp->IoStatus.Information = 0;
    NTSTATUS status = VerifyCallerImage(IoGetCurrentProcess());
    if (!NT_SUCCESS(status)) {
        status = CALLER_REFUSED;
    }
    Irp->IoStatus.Status = status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}
