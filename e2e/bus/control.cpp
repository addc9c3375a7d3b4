// The control device: how the test steers the bus, and sends the driver's
// requests to the top of the child's device stack from kernel mode.
#include "e2e/bus/bus.h"

// The driver's own control code (kept apart from the driver's headers on
// purpose: the test sends what a client of the device would send).
static const ULONG IOCTL_WATCHDOG_COMMAND = 0x80102040;
static const ULONG ControlTag = 'CtkV';

static NTSTATUS SignalDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends a request built here to the top of the child's stack, waits for it,
// and frees it; returns the status it was completed with.
static NTSTATUS SendToStackTop(PIRP Irp, PDEVICE_OBJECT Top, ULONG_PTR* Information) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(Irp, SignalDone, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoGetNextIrpStackLocation(Irp)->MajorFunction == IRP_MJ_POWER
                          ? PoCallDriver(Top, Irp)
                          : IoCallDriver(Top, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    status = Irp->IoStatus.Status;
    if (Information != nullptr) {
        *Information = Irp->IoStatus.Information;
    }
    IoFreeIrp(Irp);
    return status;
}

// The device on top of the child's stack, referenced; null without a child.
static PDEVICE_OBJECT StackTop() {
    return Child.Pdo != nullptr ? IoGetAttachedDeviceReference(Child.Pdo) : nullptr;
}

static NTSTATUS SendCommand(const VktBusCommand* Command, VktBusCommandResult* Result) {
    if (Command->RecordLength > sizeof Command->Record ||
        Command->OutputLength > sizeof Result->Output) {
        return STATUS_INVALID_PARAMETER;
    }
    PDEVICE_OBJECT top = StackTop();
    if (top == nullptr) {
        return STATUS_NO_SUCH_DEVICE;
    }
    // One buffer as the I/O manager makes for buffered requests: the input,
    // then room for the output; the name list follows, in the same process.
    ULONG size = sizeof Command->Record + sizeof Result->Output + VKTBUS_MAX_NAMES;
    UCHAR* buffer = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, size, ControlTag));
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (buffer == nullptr || irp == nullptr) {
        if (buffer != nullptr) {
            ExFreePoolWithTag(buffer, ControlTag);
        }
        if (irp != nullptr) {
            IoFreeIrp(irp);
        }
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(buffer, size);
    RtlCopyMemory(buffer, Command->Record, Command->RecordLength);
    UCHAR* names = buffer + sizeof Command->Record + sizeof Result->Output;
    RtlCopyMemory(names, Command->Names, VKTBUS_MAX_NAMES);
    ULONG64 namesAddress = 0;
    RtlCopyMemory(&namesAddress, buffer + 16, sizeof namesAddress);
    if (Command->RecordLength == sizeof Command->Record && namesAddress == 0) {
        namesAddress = reinterpret_cast<ULONG_PTR>(names);
        RtlCopyMemory(buffer + 16, &namesAddress, sizeof namesAddress);
    }

    irp->AssociatedIrp.SystemBuffer = buffer;
    irp->RequestorMode = KernelMode;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_WATCHDOG_COMMAND;
    next->Parameters.DeviceIoControl.InputBufferLength = Command->RecordLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = Command->OutputLength;
    ULONG_PTR information = 0;
    Result->Status = SendToStackTop(irp, top, &information);
    Result->Information = static_cast<ULONG>(information);
    RtlCopyMemory(Result->Output, buffer, sizeof Result->Output);
    ExFreePoolWithTag(buffer, ControlTag);
    ObDereferenceObject(top);
    return STATUS_SUCCESS;
}

static NTSTATUS SendSetPower(const VktBusPowerRequest* Request, VktBusResult* Result) {
    PDEVICE_OBJECT top = StackTop();
    if (top == nullptr) {
        return STATUS_NO_SUCH_DEVICE;
    }
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == nullptr) {
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = IRP_MN_SET_POWER;
    next->Parameters.Power.Type = SystemPowerState;
    next->Parameters.Power.State.SystemState =
        static_cast<SYSTEM_POWER_STATE>(Request->SystemState);
    next->Parameters.Power.ShutdownType = static_cast<POWER_ACTION>(Request->ShutdownType);
    next->Parameters.Power.SystemPowerStateContext.ContextAsUlong = Request->SystemContext;
    Result->Status = SendToStackTop(irp, top, nullptr);
    ObDereferenceObject(top);
    return STATUS_SUCCESS;
}

static NTSTATUS QueryChild(VktBusState* State) {
    RtlZeroMemory(State, sizeof *State);
    State->ChildPresent = Child.Present && Child.Pdo != nullptr;
    State->ChildStarted = Child.Started;
    State->Evaluations = EvaluationCount();
    PDEVICE_OBJECT top = StackTop();
    if (top == nullptr) {
        return STATUS_SUCCESS;
    }
    if (top != Child.Pdo && top->DriverObject != nullptr) {
        const UNICODE_STRING* name = &top->DriverObject->DriverName;
        ULONG characters = name->Length / sizeof(WCHAR);
        if (characters > ARRAYSIZE(State->FunctionDriver) - 1) {
            characters = ARRAYSIZE(State->FunctionDriver) - 1;
        }
        RtlCopyMemory(State->FunctionDriver, name->Buffer, characters * sizeof(WCHAR));
    }
    ObDereferenceObject(top);
    return STATUS_SUCCESS;
}

NTSTATUS ControlRequest(PIRP Irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
    ULONG in = location->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = location->Parameters.DeviceIoControl.OutputBufferLength;
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    ULONG_PTR information = 0;
    switch (location->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_VKTBUS_CONFIGURE:
        if (in >= sizeof(VktBusFirmwareSettings)) {
            ConfigureFirmware(static_cast<VktBusFirmwareSettings*>(buffer));
            status = STATUS_SUCCESS;
        }
        break;
    case IOCTL_VKTBUS_SEND_COMMAND:
        if (in >= sizeof(VktBusCommand) && out >= sizeof(VktBusCommandResult)) {
            VktBusCommand* command = static_cast<VktBusCommand*>(
                ExAllocatePoolWithTag(NonPagedPool, sizeof(VktBusCommand), ControlTag));
            if (command == nullptr) {
                status = STATUS_INSUFFICIENT_RESOURCES;
                break;
            }
            RtlCopyMemory(command, buffer, sizeof *command);
            status = SendCommand(command, static_cast<VktBusCommandResult*>(buffer));
            ExFreePoolWithTag(command, ControlTag);
            information = NT_SUCCESS(status) ? sizeof(VktBusCommandResult) : 0;
        }
        break;
    case IOCTL_VKTBUS_SET_POWER:
        if (in >= sizeof(VktBusPowerRequest) && out >= sizeof(VktBusResult)) {
            VktBusPowerRequest request = *static_cast<VktBusPowerRequest*>(buffer);
            status = SendSetPower(&request, static_cast<VktBusResult*>(buffer));
            information = NT_SUCCESS(status) ? sizeof(VktBusResult) : 0;
        }
        break;
    case IOCTL_VKTBUS_UNPLUG:
        if (Child.Bus == nullptr) {
            status = STATUS_NO_SUCH_DEVICE;
            break;
        }
        Child.Present = FALSE;
        IoInvalidateDeviceRelations(static_cast<BusDevice*>(Child.Bus->DeviceExtension)->BusPdo,
                                    BusRelations);
        status = STATUS_SUCCESS;
        break;
    case IOCTL_VKTBUS_QUERY:
        if (out >= sizeof(VktBusState)) {
            status = QueryChild(static_cast<VktBusState*>(buffer));
            information = sizeof(VktBusState);
        }
        break;
    case IOCTL_VKTBUS_MARK:
        if (in >= 1 && in <= 63) {
            char line[66] = "# ";
            RtlCopyMemory(line + 2, buffer, in);
            TraceLine(line, in + 2);
            status = STATUS_SUCCESS;
        }
        break;
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    return CompleteRequest(Irp, status, information);
}
