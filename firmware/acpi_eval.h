// Synchronous evaluation of an ACPI control method by the ACPI driver below,
// and the rule by which every firmware operation judges its outcome.
#pragma once

#include "firmware/acpi_buffers.h"

NTSTATUS EvaluateFirmwareMethod(PDEVICE_OBJECT Target, ULONG ControlCode, PVOID Input,
                                ULONG InputLength, PVOID Output, ULONG OutputLength);
NTSTATUS JudgeFirmwareResult(NTSTATUS EvaluationStatus, const AcpiOutput* Output);
