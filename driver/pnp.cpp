// The routine for every Plug and Play request: start arms the supervision
// timer, removal tears the device down, and every other minor code goes to
// the device below unchanged.
#include "driver/pnp.h"

#include "driver/routing.h"
#include "supervision/cycle.h"

PNP_MINOR_HANDLER* const PnpMinorTable[PNP_MINOR_COUNT] = {
    StartDevice,     // 0x00 start
    PassDownRequest, // 0x01 query remove
    RemoveDevice,    // 0x02 remove
    PassDownRequest, // 0x03 cancel remove
    PassDownRequest, // 0x04 stop
    PassDownRequest, // 0x05 query stop
    PassDownRequest, // 0x06 cancel stop
    PassDownRequest, // 0x07 query device relations
    PassDownRequest, // 0x08 query interface
    PassDownRequest, // 0x09 query capabilities
    PassDownRequest, // 0x0A query resources
    PassDownRequest, // 0x0B query resource requirements
    PassDownRequest, // 0x0C query device text
    PassDownRequest, // 0x0D filter resource requirements
    PassDownRequest, // 0x0E (unused code)
    PassDownRequest, // 0x0F read configuration
    PassDownRequest, // 0x10 write configuration
    PassDownRequest, // 0x11 eject
    PassDownRequest, // 0x12 set lock
    PassDownRequest, // 0x13 query id
    PassDownRequest, // 0x14 query PnP device state
    PassDownRequest, // 0x15 query bus information
    PassDownRequest, // 0x16 device usage notification
    PassDownRequest, // 0x17 surprise removal
};

// The request holds the remove lock while its handler runs, so that removal
// waits for it; removal itself gives its reference back while it waits.
VKT_PAGED_ROUTINE NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    DeviceContext* context = ContextOf(DeviceObject);
    UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    NTSTATUS status = IoAcquireRemoveLock(&context->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        return RefuseRequest(Irp, status);
    }
    if (minor >= PNP_MINOR_COUNT) {
        status = PassDownRequest(context, Irp);
    } else {
        status = PnpMinorTable[minor](context, Irp);
    }
    if (minor != IRP_MN_REMOVE_DEVICE) {
        IoReleaseRemoveLock(&context->RemoveLock, Irp);
    }
    return status;
}

// The driver touches no hardware at start, so it neither waits for the
// lower driver nor looks at its answer: the cycle starts either way.
VKT_PAGED_ROUTINE NTSTATUS StartDevice(DeviceContext* Context, PIRP Irp) {
    PAGED_CODE();
    ArmSupervisionTimer(Context);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDownRequest(Context, Irp);
}
