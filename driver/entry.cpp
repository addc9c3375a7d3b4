// The driver's entry point: fills the dispatch table and nothing else. All
// per-device work starts when Plug and Play adds the device.
#include "access/caller_verification.h"
#include "driver/add_device.h"
#include "driver/pnp.h"
#include "driver/routing.h"
#include "power/power.h"
#include "supervision/commands.h"

PDRIVER_OBJECT SavedDriverObject = nullptr;

VKT_INIT_ROUTINE extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject,
                                                 PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(RegistryPath);
    SavedDriverObject = DriverObject;
    for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; major++) {
        DriverObject->MajorFunction[major] = DispatchPassThrough;
    }
    DriverObject->DriverExtension->AddDevice = AddDevice;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = DispatchReadWrite;
    DriverObject->MajorFunction[IRP_MJ_READ] = DispatchReadWrite;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    DriverObject->DriverUnload = UnloadDriver;
    return STATUS_SUCCESS;
}

// Removal has released every per-device resource before the driver is
// unloaded, and the driver holds nothing driver-wide.
VKT_PAGED_ROUTINE VOID UnloadDriver(PDRIVER_OBJECT DriverObject) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(DriverObject);
}
