// Device control: validates the command record, carries out the command
// and completes the request itself, always. Handles to the device belong
// only to callers admitted when they opened it, so no access check is made.
#include "supervision/commands.h"

#include "driver/routing.h"
#include "firmware/watchdog.h"
#include "supervision/cycle.h"
#include "supervision/watch_list.h"

namespace {

// Enters a supervised state: the state is set and reported, and with a
// watch list in force the watchdog is armed with the run timeout. The
// command's status is the report's; the arm's result is not reported.
// A command that comes after the entry into a low-power state is refused
// and changes nothing: it would otherwise arm the run timeout under a
// machine that goes to sleep, and the wake would not report the return.
// The service sends it again after the wake. The run timeout is read as
// command 4 publishes it.
VKT_PAGED_ROUTINE NTSTATUS EnterSupervisedState(DeviceContext* Context, StateCode Code) {
    PAGED_CODE();
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&Context->StateLock, TRUE);
    if (IsEntryState(Context->State)) {
        ExReleaseResourceLite(&Context->StateLock);
        KeLeaveCriticalRegion();
        return STATUS_INVALID_DEVICE_STATE;
    }
    Context->State = Code;
    NTSTATUS status = ReportState(Context, Code);
    ULONG runTimeout = 0;
    ULONG shutdownTimeout = 0;
    ReadWatchTimeouts(Context, &runTimeout, &shutdownTimeout);
    if (runTimeout != 0) {
        ArmWatchdog(Context, Context->State, runTimeout);
    }
    ExReleaseResourceLite(&Context->StateLock);
    KeLeaveCriticalRegion();
    return status;
}

// Hands the firmware status byte to the caller, if it left room for it.
VKT_PAGED_ROUTINE NTSTATUS ReturnFirmwareStatus(DeviceContext* Context, PIRP Irp) {
    PAGED_CODE();
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    if (location->Parameters.DeviceIoControl.OutputBufferLength < 1) {
        return STATUS_INVALID_PARAMETER;
    }
    static_cast<UCHAR*>(Irp->AssociatedIrp.SystemBuffer)[0] = Context->FirmwareStatus;
    Irp->IoStatus.Information = 1;
    return STATUS_SUCCESS;
}

VKT_PAGED_ROUTINE NTSTATUS CarryOutCommand(DeviceContext* Context, PIRP Irp,
                                           const CommandRecord* Record) {
    PAGED_CODE();
    switch (Record->Command) {
    case COMMAND_NOP:
        return STATUS_SUCCESS;
    case COMMAND_GET_FIRMWARE_STATUS:
        return ReturnFirmwareStatus(Context, Irp);
    case COMMAND_REPORT_STATE:
        return ReportState(Context, Record->Parameter1);
    case COMMAND_SET_WATCH_LIST: {
        // The record carries the caller's address as a number, as user mode shares it.
        // NOLINTNEXTLINE(performance-no-int-to-ptr): an address, not arithmetic on one
        PVOID names = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(Record->Names));
        return SetWatchList(Context, Record->Parameter1, Record->Parameter2, Record->NamesLength,
                            names);
    }
    case COMMAND_ENTER_WATCH_A:
        return EnterSupervisedState(Context, StateWatchA);
    case COMMAND_ENTER_WATCH_B:
        return EnterSupervisedState(Context, StateWatchB);
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

// Checks the request and copies its record into a zeroed one; the short
// form leaves every field after Parameter1 zero.
VKT_PAGED_ROUTINE NTSTATUS ReadCommandRecord(PIRP Irp, CommandRecord* Record) {
    PAGED_CODE();
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    ULONG inputLength = location->Parameters.DeviceIoControl.InputBufferLength;
    if (Irp->AssociatedIrp.SystemBuffer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (inputLength != COMMAND_RECORD_SHORT_SIZE && inputLength != sizeof(CommandRecord)) {
        return STATUS_INVALID_PARAMETER;
    }
    *Record = CommandRecord{};
    memcpy_s(Record, sizeof(CommandRecord), Irp->AssociatedIrp.SystemBuffer, inputLength);
    return STATUS_SUCCESS;
}

} // namespace

// The command holds the remove lock while it runs, so that removal waits
// for it before it frees what the command uses.
VKT_PAGED_ROUTINE NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    DeviceContext* context = ContextOf(DeviceObject);
    NTSTATUS status = IoAcquireRemoveLock(&context->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        return RefuseRequest(Irp, status);
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    CommandRecord record;
    status = ReadCommandRecord(Irp, &record);
    if (status >= 0 &&
        IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode ==
            IOCTL_WATCHDOG_COMMAND) {
        status = CarryOutCommand(context, Irp, &record);
    }
    Irp->IoStatus.Status = status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    IoReleaseRemoveLock(&context->RemoveLock, Irp);
    return status;
}
