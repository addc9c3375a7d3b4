// Device start-up: creates the one device object of the driver under its
// security descriptor, attaches it over the ACPI device, fills its record,
// publishes the link, settles the firmware status byte, prepares the
// supervision cycle and tells the firmware the driver is loaded. A failure
// undoes what was built, in the reverse order of building.
#include "driver/add_device.h"

#include "driver/install_counter.h"
#include "firmware/watchdog.h"
#include "securedevice/secure_device.h"
#include "supervision/cycle.h"

// Both names are fixed, so at most one device of this driver exists.
static const WCHAR DEVICE_NAME[] = VKT_TEXT("\\Device\\VKTDevice");
static const WCHAR LINK_NAME[] = VKT_TEXT("\\DosDevices\\VKT0001");

// All access for LocalSystem and the built-in Administrators, nobody else.
static const WCHAR DEVICE_SDDL[] = VKT_TEXT("D:P(A;; GA;;; SY)(A;; GA;;; BA)");

// Opens of names inside the device are held to its DACL as opens of the
// device itself are; without this the I/O manager checks only the latter.
static const ULONG DEVICE_CHARACTERISTICS = FILE_DEVICE_SECURE_OPEN;

// The device class whose registry overrides secure device creation consults.
static const GUID DEVICE_CLASS_GUID = {
    0x938ADB2B, 0x9EBD, 0x4C10, {0xB6, 0x52, 0x33, 0xD9, 0x4B, 0xDB, 0xF7, 0x42}};

// Record fields in their starting state, the locks and the names.
VKT_PAGED_ROUTINE static NTSTATUS InitializeContext(DeviceContext* Context, PDEVICE_OBJECT Device,
                                                    PDEVICE_OBJECT PhysicalDeviceObject) {
    PAGED_CODE();
    Context->Self = Device;
    Context->LowerDevice = IoAttachDeviceToDeviceStack(Device, PhysicalDeviceObject);
    Context->DebuggerPresent = VKT_DEBUGGER_ENABLED() ? 1 : 0;
    Context->ShutdownTimeout = 60;
    ExInitializeResourceLite(&Context->FirmwareLock);
    InitializeListHead(&Context->WatchList);
    Context->RunTimeout = 0;
    Context->WatchListText = nullptr;
    ExInitializeResourceLite(&Context->WatchListLock);
    ExInitializeResourceLite(&Context->StateLock);
    Context->WatchEnabled = 0;
    IoInitializeRemoveLock(&Context->RemoveLock, VKT_POOL_TAG, 0, 0);
    RtlInitUnicodeString(&Context->DeviceName, DEVICE_NAME);
    RtlInitUnicodeString(&Context->LinkName, LINK_NAME);
    return STATUS_SUCCESS;
}

// A link that fails once is tried once more at once.
VKT_PAGED_ROUTINE static NTSTATUS CreateLink(DeviceContext* Context) {
    PAGED_CODE();
    NTSTATUS status = IoCreateSymbolicLink(&Context->LinkName, &Context->DeviceName);
    if (!NT_SUCCESS(status)) {
        status = IoCreateSymbolicLink(&Context->LinkName, &Context->DeviceName);
    }
    return status;
}

// The first creation after installation reports a fixed status instead of
// reading it; a failed read leaves the byte 0.
VKT_PAGED_ROUTINE static NTSTATUS SettleFirmwareStatus(DeviceContext* Context) {
    PAGED_CODE();
    if (CountInstallation()) {
        Context->FirmwareStatus = FIRMWARE_STATUS_NOT_READ;
        return STATUS_SUCCESS;
    }
    return QueryFirmwareStatus(Context, &Context->FirmwareStatus);
}

// Undoes a start-up that failed after the record was filled: the link if it
// exists, the locks, the attachment and the device object, in this order.
VKT_PAGED_ROUTINE static NTSTATUS UndoStartUp(DeviceContext* Context, BOOLEAN LinkCreated) {
    PAGED_CODE();
    if (LinkCreated) {
        IoDeleteSymbolicLink(&Context->LinkName);
    }
    ExDeleteResourceLite(&Context->FirmwareLock);
    ExDeleteResourceLite(&Context->StateLock);
    ExDeleteResourceLite(&Context->WatchListLock);
    if (Context->LowerDevice != nullptr) {
        IoDetachDevice(Context->LowerDevice);
    }
    IoDeleteDevice(Context->Self);
    return STATUS_SUCCESS;
}

// The cycle is prepared but not armed: device start arms the timer.
VKT_PAGED_ROUTINE static NTSTATUS PrepareCycle(DeviceContext* Context) {
    PAGED_CODE();
    KeInitializeTimer(&Context->Timer);
    KeInitializeDpc(&Context->TimerDpc, SupervisionDpc, Context);
    Context->WorkItem = IoAllocateWorkItem(Context->Self);
    if (Context->WorkItem == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

VKT_PAGED_ROUTINE NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject,
                                     PDEVICE_OBJECT PhysicalDeviceObject) {
    PAGED_CODE();
    UNICODE_STRING deviceName;
    UNICODE_STRING sddl;
    RtlInitUnicodeString(&deviceName, DEVICE_NAME);
    RtlInitUnicodeString(&sddl, DEVICE_SDDL);
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status =
        CreateSecureDevice(DriverObject, sizeof(DeviceContext), &deviceName, FILE_DEVICE_UNKNOWN,
                           DEVICE_CHARACTERISTICS, FALSE, &sddl, &DEVICE_CLASS_GUID, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    DeviceContext* context = ContextOf(device);
    InitializeContext(context, device, PhysicalDeviceObject);
    if (context->LowerDevice == nullptr) {
        // Outside the stack the device would never receive its removal and
        // would keep the fixed name until the next boot.
        UndoStartUp(context, FALSE);
        return STATUS_NO_SUCH_DEVICE;
    }
    status = CreateLink(context);
    if (!NT_SUCCESS(status)) {
        UndoStartUp(context, FALSE);
        return status;
    }
    SettleFirmwareStatus(context);
    status = PrepareCycle(context);
    if (!NT_SUCCESS(status)) {
        UndoStartUp(context, TRUE);
        return status;
    }
    context->WorkQueued = 0;
    context->State = StateLoaded;
    device->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    StopWatchdog(context);
    ReportState(context, StateLoaded);
    return STATUS_SUCCESS;
}
