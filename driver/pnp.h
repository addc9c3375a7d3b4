// Plug and Play: the driver starts its supervision cycle when the device
// starts and tears everything down when the device is removed; every other
// Plug and Play request passes to the device below unchanged.
#pragma once

#include "driver/device_context.h"

NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS StartDevice(DeviceContext* Context, PIRP Irp);
// Called holding the remove lock for the request; gives it back.
NTSTATUS RemoveDevice(DeviceContext* Context, PIRP Irp);

// Frees every watched entry and the list's text at removal; a corrupt link
// stops the system in the list removal.
NTSTATUS FreeWatchList(DeviceContext* Context);

// A handler of one minor code.
typedef NTSTATUS PNP_MINOR_HANDLER(DeviceContext* Context, PIRP Irp);

// One handler per minor code from IRP_MN_START_DEVICE to IRP_MN_SURPRISE_REMOVAL.
static const ULONG PNP_MINOR_COUNT = 24;
extern PNP_MINOR_HANDLER* const PnpMinorTable[PNP_MINOR_COUNT];
