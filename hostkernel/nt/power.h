// The power manager's routines for drivers: starting the next power request
// and passing a power request down.
#pragma once

// Tells the power manager that the driver is ready for the next power
// request. Required for every power request before Windows Vista, harmless
// since.
VOID PoStartNextPowerIrp(PIRP Irp);

// Host: checks that a request passed with PoCallDriver is a power request.
VOID HkCheckPowerRequest(PIRP Irp, const char* Routine);

// Passes a power request to the next driver. Inlined so that the I/O
// manager's checks name the driver's routine, not this one.
__attribute__((always_inline)) inline NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    HkCheckPowerRequest(Irp, "PoCallDriver");
    return IofCallDriver(DeviceObject, Irp);
}
