// The test bus driver of the end-to-end run: a root-enumerated bus with one
// child whose hardware ID is the VKT device's, answering the ACPI method
// evaluations below the driver as the platform's ACPI driver does, and a
// control device through which the test steers it. Test code: never shipped.
#pragma once

#include "platform/platform.h"

#include <acpiioct.h>

#include "e2e/bus/bus_control.h"

// What a device object of this driver is.
enum DeviceKind : ULONG {
    KindBus = 1,     // the bus's function device over the root-enumerated device
    KindChild = 2,   // the child's physical device object
    KindControl = 3, // the control device of the test
};

// The extension of every device object of the driver; Kind says which.
struct BusDevice {
    DeviceKind Kind;       // which of the three
    PDEVICE_OBJECT Self;   // the device object
    PDEVICE_OBJECT Lower;  // bus: the device below (the root's); else null
    PDEVICE_OBJECT BusPdo; // bus: the root-enumerated device it serves
};

// What the bus knows of its one child.
struct ChildRecord {
    PDEVICE_OBJECT Pdo; // the child's device object, null until first reported
    PDEVICE_OBJECT Bus; // the bus's function device
    BOOLEAN Present;    // reported in the bus relations
    BOOLEAN Started;    // received IRP_MN_START_DEVICE
};

extern ChildRecord Child;

// Plug and Play and power of the bus and the child.
NTSTATUS BusPnp(BusDevice* Device, PIRP Irp);
NTSTATUS ChildPnp(BusDevice* Device, PIRP Irp);
NTSTATUS BusPower(BusDevice* Device, PIRP Irp);
NTSTATUS ChildPower(PIRP Irp);

// The firmware model: answers IOCTL_ACPI_EVAL_METHOD on the child and
// records every evaluation in the trace.
NTSTATUS EvaluateMethod(PIRP Irp);
VOID ConfigureFirmware(const VktBusFirmwareSettings* Settings);
ULONG EvaluationCount();
// Appends a marker line, the time and Text, to the trace file.
VOID TraceLine(const char* Text, ULONG Length);
VOID InitializeFirmwareModel(PUNICODE_STRING ServiceKey);

// The control device's requests.
NTSTATUS ControlRequest(PIRP Irp);

// Completes a request with a status and information.
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);
