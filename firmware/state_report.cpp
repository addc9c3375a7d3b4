// The two firmware exchanges that are never skipped for a debugger: the
// status byte read and the state report.
#include "firmware/watchdog.h"

#include "firmware/method_call.h"

// The byte at output offset 16 is stored whenever the evaluation itself
// succeeded, even when the output then fails the result rule.
VKT_PAGED_ROUTINE NTSTATUS QueryFirmwareStatus(DeviceContext* Context, UCHAR* StatusByte) {
    PAGED_CODE();
    AcpiPaddedSimpleInput input = {};
    input.Simple.Signature = ACPI_EVAL_INPUT_BUFFER_SIGNATURE;
    SetMethodName(input.Simple.MethodName, "GSXS");
    AcpiOutput output = {};
    NTSTATUS status = SendFirmwareInput(Context, &input, sizeof input, &output);
    if (status < 0) {
        return status;
    }
    *StatusByte = static_cast<UCHAR>(output.Argument & 0xFF);
    return JudgeFirmwareResult(status, &output);
}

// Reports are serialised so that the firmware records them in the order the
// driver decided them.
VKT_PAGED_ROUTINE NTSTATUS ReportState(DeviceContext* Context, StateCode Code) {
    PAGED_CODE();
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&Context->FirmwareLock, TRUE);
    NTSTATUS status = CallIntegerMethod(Context, "SSXS", Code, sizeof(UCHAR));
    ExReleaseResourceLite(&Context->FirmwareLock);
    KeLeaveCriticalRegion();
    return status;
}
