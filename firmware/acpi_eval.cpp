// The driver never touches the watchdog hardware: it asks the ACPI driver
// below to evaluate a named method and waits for the answer.
#include "firmware/acpi_eval.h"

// Sends one buffered control request to the device below and returns only
// when it has completed. The I/O manager copies the input when the request is
// built and the output back when it completes, and frees the request.
VKT_PAGED_ROUTINE NTSTATUS EvaluateFirmwareMethod(PDEVICE_OBJECT Target, ULONG ControlCode,
                                                  PVOID Input, ULONG InputLength, PVOID Output,
                                                  ULONG OutputLength) {
    PAGED_CODE();
    KEVENT completed;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&completed, SynchronizationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(ControlCode, Target, Input, InputLength, Output,
                                             OutputLength, FALSE, &completed, &ioStatus);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = IofCallDriver(Target, irp);
    if (status != STATUS_PENDING) {
        return status;
    }
    KeWaitForSingleObject(&completed, Executive, KernelMode, FALSE, nullptr);
    return ioStatus.Status;
}

// A failure or warning from the ACPI driver stands as it is; a completion
// whose output is foreign or carries no value is invalid data.
VKT_PAGED_ROUTINE NTSTATUS JudgeFirmwareResult(NTSTATUS EvaluationStatus,
                                               const AcpiOutput* Output) {
    PAGED_CODE();
    if (EvaluationStatus < 0) {
        return EvaluationStatus;
    }
    if (Output->Signature != ACPI_EVAL_OUTPUT_BUFFER_SIGNATURE || Output->Count == 0) {
        return STATUS_ACPI_INVALID_DATA;
    }
    return EvaluationStatus;
}
