// Opening a device by name from a user process, as the I/O manager does it:
// the name is resolved through symbolic links in the process's view, what
// follows the device's own name is the remaining name the file object
// carries, the requested access is checked against the named device's DACL
// with the process's token (for an open with a remaining name only when the
// device has FILE_DEVICE_SECURE_OPEN), and only then does the top of the
// device's stack see IRP_MJ_CREATE, in the opening process's thread. A
// close sends IRP_MJ_CLEANUP and IRP_MJ_CLOSE. Nothing here is visible to
// driver code.
#pragma once

#include "hostkernel/control.h"

namespace hk {

// The I/O manager's record of one open of a device.
struct OpenFile {
    PDEVICE_OBJECT Device = nullptr; // the device opened (the named one, not the stack's top)
    ACCESS_MASK Access = 0;          // access granted, generic rights mapped
    HkThread* Thread = nullptr;      // the thread that opened it
    std::u16string RemainingName;    // the name after the device's own, text of Object.FileName
    FILE_OBJECT Object{};            // the file object the drivers see
};

// What became of an open.
struct OpenResult {
    NTSTATUS Status = STATUS_UNSUCCESSFUL; // the status the opener sees
    HANDLE Handle = nullptr;               // handle in the process's table on success
    OpenFile* File = nullptr;              // the file object's record on success
    bool DriverCalled = false;             // IRP_MJ_CREATE reached the driver
};

// Opens "\Device\NAME[\...]", or a name that leads there through the DOS
// device names ("\??\...", "\DosDevices\...", "\GLOBAL??\..."), as `thread`,
// asking for `desiredAccess` (generic rights allowed).
// STATUS_OBJECT_NAME_NOT_FOUND for no such device, STATUS_ACCESS_DENIED when
// the DACL does not grant the access to the process's token, else the
// status the driver completed IRP_MJ_CREATE with.
OpenResult OpenDevice(HkThread* thread, const std::u16string& name, ACCESS_MASK desiredAccess);

// Closes a handle from OpenDevice: IRP_MJ_CLEANUP then IRP_MJ_CLOSE, both
// in the opening thread.
NTSTATUS CloseDevice(HANDLE handle);

} // namespace hk
