// Entry, unload and the generic request routines of the driver.
#pragma once

#include "driver/device_context.h"

// The driver object the loader handed to DriverEntry; the I/O object of every
// event-log entry.
extern PDRIVER_OBJECT SavedDriverObject;

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
VOID UnloadDriver(PDRIVER_OBJECT DriverObject);

NTSTATUS DispatchPassThrough(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS PassDownRequest(DeviceContext* Context, PIRP Irp);
NTSTATUS CompleteWithoutLowerDevice(PIRP Irp);
// Finishes a request the driver cannot take (the device is being removed).
NTSTATUS RefuseRequest(PIRP Irp, NTSTATUS Status);
