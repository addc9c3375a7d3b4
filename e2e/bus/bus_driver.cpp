// Entry, device creation and dispatch of the test bus driver.
#include "e2e/bus/bus.h"

ChildRecord Child;

static WCHAR ControlNameText[] = L"\\Device\\VKTBusControl";
static WCHAR ControlLinkText[] = L"\\DosDevices\\VKTBusControl";
static UNICODE_STRING ControlName = RTL_CONSTANT_STRING(ControlNameText);
static UNICODE_STRING ControlLink = RTL_CONSTANT_STRING(ControlLinkText);

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

static NTSTATUS DispatchAny(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    BusDevice* device = static_cast<BusDevice*>(DeviceObject->DeviceExtension);
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    switch (location->MajorFunction) {
    case IRP_MJ_PNP:
        if (device->Kind == KindBus) {
            return BusPnp(device, Irp);
        }
        if (device->Kind == KindChild) {
            return ChildPnp(device, Irp);
        }
        break;
    case IRP_MJ_POWER:
        if (device->Kind == KindBus) {
            return BusPower(device, Irp);
        }
        if (device->Kind == KindChild) {
            return ChildPower(Irp);
        }
        break;
    case IRP_MJ_DEVICE_CONTROL:
        if (device->Kind == KindChild &&
            location->Parameters.DeviceIoControl.IoControlCode == IOCTL_ACPI_EVAL_METHOD) {
            return EvaluateMethod(Irp);
        }
        if (device->Kind == KindControl) {
            return ControlRequest(Irp);
        }
        break;
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
        return CompleteRequest(Irp, STATUS_SUCCESS, 0);
    default:
        break;
    }
    if (device->Kind == KindBus) {
        IoSkipCurrentIrpStackLocation(Irp);
        return IoCallDriver(device->Lower, Irp);
    }
    NTSTATUS status = Irp->IoStatus.Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

// The root-enumerated bus device: its function device, attached on top.
static NTSTATUS AddBus(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo) {
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status =
        IoCreateDevice(DriverObject, sizeof(BusDevice), nullptr, FILE_DEVICE_BUS_EXTENDER,
                       FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    BusDevice* device = static_cast<BusDevice*>(fdo->DeviceExtension);
    device->Kind = KindBus;
    device->Self = fdo;
    device->BusPdo = Pdo;
    device->Lower = IoAttachDeviceToDeviceStack(fdo, Pdo);
    if (device->Lower == nullptr) {
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    Child.Bus = fdo;
    Child.Present = TRUE;
    fdo->Flags |= DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

static VOID UnloadBus(PDRIVER_OBJECT DriverObject) {
    IoDeleteSymbolicLink(&ControlLink);
    for (PDEVICE_OBJECT device = DriverObject->DeviceObject; device != nullptr;) {
        PDEVICE_OBJECT next = device->NextDevice;
        if (static_cast<BusDevice*>(device->DeviceExtension)->Kind == KindControl) {
            IoDeleteDevice(device);
        }
        device = next;
    }
}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        DriverObject->MajorFunction[major] = DispatchAny;
    }
    DriverObject->DriverExtension->AddDevice = AddBus;
    DriverObject->DriverUnload = UnloadBus;
    InitializeFirmwareModel(RegistryPath);

    PDEVICE_OBJECT control = nullptr;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(BusDevice), &ControlName,
                                     FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE, &control);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    BusDevice* device = static_cast<BusDevice*>(control->DeviceExtension);
    device->Kind = KindControl;
    device->Self = control;
    status = IoCreateSymbolicLink(&ControlLink, &ControlName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(control);
        return status;
    }
    control->Flags |= DO_BUFFERED_IO;
    control->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}
