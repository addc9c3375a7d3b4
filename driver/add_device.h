// Device start-up: the driver's device object over the ACPI device, its
// record, its link for user mode and its supervision cycle, prepared but
// not running.
#pragma once

#include "driver/device_context.h"

// The status byte stored instead of a firmware query on the first device
// creation after installation.
static const UCHAR FIRMWARE_STATUS_NOT_READ = 255;

NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
