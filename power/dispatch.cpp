// The dispatch routine for power requests. It acts on system set-power
// requests and passes every power request down unchanged; the device is
// power-pageable, so requests arrive at passive level.
#include "power/power.h"

#include "driver/routing.h"
#include "power/transitions.h"

// Every power request must be finished: the power manager waits for it.
// A request for a device object that carries no context is refused, and
// so is one that arrives once removal has begun.
VKT_PAGED_ROUTINE static NTSTATUS RefusePowerRequest(PIRP Irp) {
    PAGED_CODE();
    if (Irp == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_PARAMETER;
}

// Without a device below, the driver finishes the request as the bottom of
// the stack would: set-power and query-power succeed (a system set-power
// request cannot be failed, and a missing device must not block sleep),
// anything else keeps the status it carries.
VKT_PAGED_ROUTINE static NTSTATUS FinishWithoutLowerDevice(PIRP Irp) {
    PAGED_CODE();
    UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    if (minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER) {
        Irp->IoStatus.Status = STATUS_SUCCESS;
    }
    return CompleteWithoutLowerDevice(Irp);
}

VKT_PAGED_ROUTINE static NTSTATUS PassPowerRequestDown(DeviceContext* Context, PIRP Irp) {
    PAGED_CODE();
    PoStartNextPowerIrp(Irp);
    if (Context->LowerDevice == nullptr) {
        return FinishWithoutLowerDevice(Irp);
    }
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(Context->LowerDevice, Irp);
}

VKT_PAGED_ROUTINE static bool IsSystemSetPower(const IO_STACK_LOCATION* Location) {
    PAGED_CODE();
    return Location->MajorFunction == IRP_MJ_POWER && Location->MinorFunction == IRP_MN_SET_POWER &&
           Location->Parameters.Power.Type == SystemPowerState;
}

// Sleep (S1 and S2 aside), hibernation and shutdown are entries; the working
// state is a return; other states change nothing.
VKT_PAGED_ROUTINE static VOID TrackSystemPowerState(DeviceContext* Context,
                                                    const IO_STACK_LOCATION* Location) {
    PAGED_CODE();
    SYSTEM_POWER_STATE state = Location->Parameters.Power.State.SystemState;
    if (state == PowerSystemSleeping3 || state == PowerSystemHibernate ||
        state == PowerSystemShutdown) {
        EnterLowPowerState(Context, state,
                           Location->Parameters.Power.SystemPowerStateContext.ContextAsUlong);
    } else if (state == PowerSystemWorking) {
        ReturnToWorkingState(Context);
    }
}

VKT_PAGED_ROUTINE NTSTATUS DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    DeviceContext* context = DeviceObject != nullptr ? ContextOf(DeviceObject) : nullptr;
    if (context == nullptr || Irp == nullptr) {
        return RefusePowerRequest(Irp);
    }
    NTSTATUS status = IoAcquireRemoveLock(&context->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        PoStartNextPowerIrp(Irp);
        return RefuseRequest(Irp, status);
    }
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    if (IsSystemSetPower(location)) {
        TrackSystemPowerState(context, location);
    }
    status = PassPowerRequestDown(context, Irp);
    IoReleaseRemoveLock(&context->RemoveLock, Irp);
    return status;
}
