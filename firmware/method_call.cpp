#include "firmware/method_call.h"

VKT_PAGED_ROUTINE NTSTATUS SetMethodName(uint8_t* Field, const char* Name) {
    PAGED_CODE();
    for (int i = 0; i < 4; i++) {
        Field[i] = static_cast<uint8_t>(Name[i]);
    }
    return STATUS_SUCCESS;
}

// Without a device below there is nobody to evaluate anything.
VKT_PAGED_ROUTINE NTSTATUS SendFirmwareInput(DeviceContext* Context, PVOID Input, ULONG InputLength,
                                             AcpiOutput* Output) {
    PAGED_CODE();
    if (Context->LowerDevice == nullptr) {
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    *Output = AcpiOutput{};
    return EvaluateFirmwareMethod(Context->LowerDevice, IOCTL_ACPI_EVAL_METHOD, Input, InputLength,
                                  Output, FIRMWARE_OUTPUT_SIZE);
}

VKT_PAGED_ROUTINE NTSTATUS CallSimpleMethod(DeviceContext* Context, const char* Name) {
    PAGED_CODE();
    AcpiSimpleInput input = {};
    input.Signature = ACPI_EVAL_INPUT_BUFFER_SIGNATURE;
    SetMethodName(input.MethodName, Name);
    AcpiOutput output = {};
    NTSTATUS status = SendFirmwareInput(Context, &input, sizeof input, &output);
    return JudgeFirmwareResult(status, &output);
}

VKT_PAGED_ROUTINE NTSTATUS CallIntegerMethod(DeviceContext* Context, const char* Name, ULONG Value,
                                             USHORT DataLength) {
    PAGED_CODE();
    AcpiComplexInput input = {};
    input.Signature = ACPI_EVAL_INPUT_BUFFER_COMPLEX_SIGNATURE;
    SetMethodName(input.MethodName, Name);
    input.Size = 8;
    input.ArgumentCount = 1;
    input.Type = ACPI_METHOD_ARGUMENT_INTEGER;
    input.DataLength = DataLength;
    input.Argument = DataLength == 1 ? (Value & 0xFF) : Value;
    AcpiOutput output = {};
    NTSTATUS status = SendFirmwareInput(Context, &input, sizeof input, &output);
    return JudgeFirmwareResult(status, &output);
}
