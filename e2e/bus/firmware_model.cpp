// The firmware below the child as the platform's ACPI driver presents it:
// the six control methods of the VKT device, a small model of the watchdog,
// and a trace file with a line for every evaluation:
//
//   <milliseconds> <method> <input bytes in hex> <status>
//
// for example "12034 SSXS 4369654153535853...20000000 0x00000000", and
// markers of what happened around them, "<milliseconds> # <text>".
#include "e2e/bus/bus.h"

// The trace, in the prefix's C: drive; the test creates the folder.
static WCHAR TracePathText[] = L"\\??\\C:\\vkt-e2e\\trace.txt";
static UNICODE_STRING TracePath = RTL_CONSTANT_STRING(TracePathText);

// The firmware's state and the behaviour the test set.
struct FirmwareModel {
    KEVENT Lock;                     // serialises evaluations and trace lines
    VktBusFirmwareSettings Settings; // GSXS value, failing method and its status
    BOOLEAN Open;                    // opened by OVKT, closed by CVKT
    ULONG TimeoutSeconds;            // set by SVKT
    UCHAR LastState;                 // recorded by SSXS and FVKT
    ULONG Evaluations;               // evaluations answered
};

static FirmwareModel Model;

// A DWORD value of an open key; Default when it is absent.
static ULONG ReadNumber(HANDLE Key, PCWSTR Name, ULONG Default) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, Name);
    UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 16];
    ULONG size = 0;
    PKEY_VALUE_PARTIAL_INFORMATION value = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    if (!NT_SUCCESS(
            ZwQueryValueKey(Key, &name, KeyValuePartialInformation, value, sizeof buffer, &size)) ||
        value->Type != REG_DWORD || value->DataLength != sizeof(ULONG)) {
        return Default;
    }
    return *reinterpret_cast<ULONG*>(value->Data);
}

// The behaviour the test set before the system started, in the service's
// Parameters key: StatusValue and FailStatus (DWORD), FailMethod (four
// characters as a DWORD, first in the lowest byte). It survives a restart,
// which the control device's settings do not.
static VOID ReadSettings(PUNICODE_STRING ServiceKey) {
    WCHAR path[256];
    UNICODE_STRING parameters = {0, sizeof path, path};
    if (!NT_SUCCESS(RtlAppendUnicodeStringToString(&parameters, ServiceKey)) ||
        !NT_SUCCESS(RtlAppendUnicodeToString(&parameters, L"\\Parameters"))) {
        return;
    }
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &parameters, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE,
                               nullptr, nullptr);
    HANDLE key = nullptr;
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) {
        return;
    }
    Model.Settings.StatusValue = ReadNumber(key, L"StatusValue", 0);
    ULONG method = ReadNumber(key, L"FailMethod", 0);
    RtlCopyMemory(Model.Settings.FailMethod, &method, sizeof method);
    Model.Settings.FailStatus = static_cast<int32_t>(ReadNumber(key, L"FailStatus", 0));
    ZwClose(key);
}

VOID InitializeFirmwareModel(PUNICODE_STRING ServiceKey) {
    KeInitializeEvent(&Model.Lock, SynchronizationEvent, TRUE);
    Model.TimeoutSeconds = 300;
    ReadSettings(ServiceKey);
}

static VOID LockModel() {
    KeWaitForSingleObject(&Model.Lock, Executive, KernelMode, FALSE, nullptr);
}

static VOID UnlockModel() {
    KeSetEvent(&Model.Lock, IO_NO_INCREMENT, FALSE);
}

VOID ConfigureFirmware(const VktBusFirmwareSettings* Settings) {
    LockModel();
    Model.Settings = *Settings;
    UnlockModel();
}

ULONG EvaluationCount() {
    return Model.Evaluations;
}

// Appends Text and a line end to the trace; the caller holds the lock or
// no evaluation can run.
static VOID AppendTrace(const char* Text, ULONG Length) {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &TracePath, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE,
                               nullptr, nullptr);
    HANDLE file = nullptr;
    IO_STATUS_BLOCK io;
    NTSTATUS status =
        ZwCreateFile(&file, FILE_APPEND_DATA | SYNCHRONIZE, &attributes, &io, nullptr,
                     FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN_IF,
                     FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, nullptr, 0);
    if (!NT_SUCCESS(status)) {
        return;
    }
    char line[256];
    ULONG size = Length < sizeof line - 1 ? Length : sizeof line - 1;
    RtlCopyMemory(line, Text, size);
    line[size++] = '\n';
    ZwWriteFile(file, nullptr, nullptr, nullptr, &io, line, size, nullptr, nullptr);
    ZwClose(file);
}

// A small text builder for trace lines.
struct LineBuilder {
    char Text[256]; // the line so far
    ULONG Length;   // characters in Text
};

static VOID Put(LineBuilder* Line, char Character) {
    if (Line->Length < sizeof Line->Text) {
        Line->Text[Line->Length++] = Character;
    }
}

static VOID PutDecimal(LineBuilder* Line, ULONG64 Value) {
    char digits[24];
    ULONG count = 0;
    do {
        digits[count++] = static_cast<char>('0' + Value % 10);
        Value /= 10;
    } while (Value != 0);
    while (count != 0) {
        Put(Line, digits[--count]);
    }
}

static VOID PutHex(LineBuilder* Line, ULONG Value, ULONG Digits) {
    static const char hex[] = "0123456789abcdef";
    for (ULONG digit = Digits; digit != 0; --digit) {
        Put(Line, hex[(Value >> ((digit - 1) * 4)) & 0xF]);
    }
}

// Milliseconds of the performance counter: a running time, from the hardware
// layer's routine (the usual shared-data reads fault where the kernel does
// not map that page at its address).
static ULONG64 Milliseconds() {
    LARGE_INTEGER frequency;
    LARGE_INTEGER counter = KeQueryPerformanceCounter(&frequency);
    return frequency.QuadPart ? counter.QuadPart / (frequency.QuadPart / 1000) : 0;
}

static VOID TraceEvaluation(const UCHAR* Input, ULONG InputLength, const UCHAR* Name,
                            NTSTATUS Status) {
    LineBuilder line = {};
    PutDecimal(&line, Milliseconds());
    Put(&line, ' ');
    for (ULONG index = 0; index < 4; ++index) {
        Put(&line,
            Name[index] >= 0x20 && Name[index] < 0x7F ? static_cast<char>(Name[index]) : '?');
    }
    Put(&line, ' ');
    for (ULONG index = 0; index < InputLength && index < 64; ++index) {
        PutHex(&line, Input[index], 2);
    }
    Put(&line, ' ');
    Put(&line, '0');
    Put(&line, 'x');
    PutHex(&line, static_cast<ULONG>(Status), 8);
    AppendTrace(line.Text, line.Length);
}

VOID TraceLine(const char* Text, ULONG Length) {
    LineBuilder line = {};
    PutDecimal(&line, Milliseconds());
    Put(&line, ' ');
    for (ULONG index = 0; index < Length; ++index) {
        Put(&line, Text[index]);
    }
    LockModel();
    AppendTrace(line.Text, line.Length);
    UnlockModel();
}

static BOOLEAN NameIs(const UCHAR* Name, const char* Method) {
    return RtlCompareMemory(Name, Method, 4) == 4;
}

// Runs one method on the model; *Value receives what it returns.
static NTSTATUS RunMethod(const UCHAR* Name, BOOLEAN HasArgument, ULONG Argument, ULONG* Value) {
    *Value = 0;
    if (Model.Settings.FailMethod[0] != 0 &&
        NameIs(Name, reinterpret_cast<const char*>(Model.Settings.FailMethod))) {
        return Model.Settings.FailStatus;
    }
    if (NameIs(Name, "OVKT")) {
        Model.Open = TRUE;
    } else if (NameIs(Name, "CVKT")) {
        Model.Open = FALSE;
    } else if (NameIs(Name, "SVKT") && HasArgument) {
        Model.TimeoutSeconds = Argument;
    } else if (NameIs(Name, "FVKT")) {
        if (HasArgument) {
            Model.LastState = static_cast<UCHAR>(Argument);
        }
    } else if (NameIs(Name, "SSXS") && HasArgument) {
        Model.LastState = static_cast<UCHAR>(Argument);
    } else if (NameIs(Name, "GSXS")) {
        *Value = Model.Settings.StatusValue;
    } else {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    return STATUS_SUCCESS;
}

// Reads the method name and integer argument of an evaluation input.
static NTSTATUS ParseInput(const UCHAR* Input, ULONG Length, const UCHAR** Name,
                           BOOLEAN* HasArgument, ULONG* Argument) {
    *HasArgument = FALSE;
    *Argument = 0;
    if (Length < sizeof(ACPI_EVAL_INPUT_BUFFER)) {
        return STATUS_INVALID_PARAMETER;
    }
    const ACPI_EVAL_INPUT_BUFFER* simple = reinterpret_cast<const ACPI_EVAL_INPUT_BUFFER*>(Input);
    *Name = simple->MethodName;
    switch (simple->Signature) {
    case ACPI_EVAL_INPUT_BUFFER_SIGNATURE:
        return STATUS_SUCCESS;
    case ACPI_EVAL_INPUT_BUFFER_SIMPLE_INTEGER_SIGNATURE:
        if (Length < sizeof(ACPI_EVAL_INPUT_BUFFER_SIMPLE_INTEGER)) {
            return STATUS_INVALID_PARAMETER;
        }
        *HasArgument = TRUE;
        *Argument =
            reinterpret_cast<const ACPI_EVAL_INPUT_BUFFER_SIMPLE_INTEGER*>(Input)->IntegerArgument;
        return STATUS_SUCCESS;
    case ACPI_EVAL_INPUT_BUFFER_COMPLEX_SIGNATURE: {
        const ACPI_EVAL_INPUT_BUFFER_COMPLEX* complex =
            reinterpret_cast<const ACPI_EVAL_INPUT_BUFFER_COMPLEX*>(Input);
        if (Length < FIELD_OFFSET(ACPI_EVAL_INPUT_BUFFER_COMPLEX, Argument) + 8 ||
            complex->ArgumentCount < 1 ||
            complex->Argument[0].Type != ACPI_METHOD_ARGUMENT_INTEGER) {
            return STATUS_INVALID_PARAMETER;
        }
        *HasArgument = TRUE;
        ULONG value = 0;
        USHORT size = complex->Argument[0].DataLength;
        RtlCopyMemory(&value, complex->Argument[0].Data, size < 4 ? size : 4);
        *Argument = value;
        return STATUS_SUCCESS;
    }
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS EvaluateMethod(PIRP Irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    const UCHAR* input = static_cast<const UCHAR*>(Irp->AssociatedIrp.SystemBuffer);
    ULONG inputLength = location->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outputLength = location->Parameters.DeviceIoControl.OutputBufferLength;
    static const UCHAR unknown[4] = {'?', '?', '?', '?'};
    const UCHAR* name = unknown;
    BOOLEAN hasArgument = FALSE;
    ULONG argument = 0;
    ULONG value = 0;
    ULONG_PTR information = 0;

    LockModel();
    ++Model.Evaluations;
    NTSTATUS status = input == nullptr
                          ? STATUS_INVALID_PARAMETER
                          : ParseInput(input, inputLength, &name, &hasArgument, &argument);
    if (NT_SUCCESS(status)) {
        status = RunMethod(name, hasArgument, argument, &value);
    }
    if (NT_SUCCESS(status) && outputLength < sizeof(ACPI_EVAL_OUTPUT_BUFFER)) {
        status = STATUS_BUFFER_TOO_SMALL;
    }
    ACPI_EVAL_OUTPUT_BUFFER output = {};
    if (NT_SUCCESS(status)) {
        output.Signature = ACPI_EVAL_OUTPUT_BUFFER_SIGNATURE;
        output.Length = sizeof output;
        output.Count = 1;
        output.Argument[0].Type = ACPI_METHOD_ARGUMENT_INTEGER;
        output.Argument[0].DataLength = sizeof(ULONG);
        output.Argument[0].Argument = value;
        information = sizeof output;
    }
    TraceEvaluation(input ? input : unknown, input ? inputLength : 0, name, status);
    UnlockModel();

    if (information != 0) {
        // The output goes to the system buffer, as the platform copies it
        // back; the requester's own buffer gets it too, for kernels whose
        // locally built requests do not copy it back.
        RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, &output, sizeof output);
        if (Irp->UserBuffer != nullptr && Irp->UserBuffer != Irp->AssociatedIrp.SystemBuffer) {
            RtlCopyMemory(Irp->UserBuffer, &output, sizeof output);
        }
    }
    return CompleteRequest(Irp, status, information);
}
