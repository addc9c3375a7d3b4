// Building the inputs of one firmware method, having the device below
// evaluate it, and judging the outcome.
#pragma once

#include "driver/device_context.h"
#include "firmware/acpi_eval.h"

// Evaluates a prepared input on the device below into a zeroed output.
NTSTATUS SendFirmwareInput(DeviceContext* Context, PVOID Input, ULONG InputLength,
                           AcpiOutput* Output);
// Evaluates a method without argument (8-byte input) and judges the outcome.
NTSTATUS CallSimpleMethod(DeviceContext* Context, const char* Name);
// Evaluates a method with one integer argument of DataLength bytes (24-byte
// input) and judges the outcome.
NTSTATUS CallIntegerMethod(DeviceContext* Context, const char* Name, ULONG Value,
                           USHORT DataLength);
// Copies a method's four characters into an input's name field.
NTSTATUS SetMethodName(uint8_t* Field, const char* Name);
