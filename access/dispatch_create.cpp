// Opening the device: the driver decides on every open itself and never
// passes one down.
#include "access/caller_verification.h"

// The device has no namespace: an open of a name inside it (a remaining
// name, or one relative to another open file) is no open of the device.
VKT_PAGED_ROUTINE static BOOLEAN NamesInsideDevice(PIRP Irp) {
    PAGED_CODE();
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    return file != nullptr && (file->FileName.Length != 0 || file->RelatedFileObject != nullptr);
}

// An open that asks for no access at all passes any DACL (nothing asked,
// nothing refused), and the command control code asks nothing of its
// handle: such an open would reach the commands past the device's security.
// A create without its security context is taken as one.
VKT_PAGED_ROUTINE static BOOLEAN AsksForNoAccess(PIRP Irp) {
    PAGED_CODE();
    PIO_SECURITY_CONTEXT security =
        IoGetCurrentIrpStackLocation(Irp)->Parameters.Create.SecurityContext;
    return security == nullptr || security->DesiredAccess == 0;
}

// Creates arrive in the opening thread, so the current process is the
// caller. Any failure of the check refuses the open with one status; an open
// inside the device, or one that asks for no access, is refused before
// anything is read or held.
VKT_PAGED_ROUTINE NTSTATUS DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(DeviceObject);
    Irp->IoStatus.Information = 0;
    NTSTATUS status = NamesInsideDevice(Irp) || AsksForNoAccess(Irp)
                          ? CALLER_REFUSED
                          : VerifyCallerImage(IoGetCurrentProcess());
    if (!NT_SUCCESS(status)) {
        status = CALLER_REFUSED;
    }
    Irp->IoStatus.Status = status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}
