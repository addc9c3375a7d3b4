// The buffers exchanged with the ACPI driver to have a control method of the
// device evaluated: little-endian, packed, the platform's public layouts.
#pragma once

#include "platform/platform.h"

static const ULONG IOCTL_ACPI_EVAL_METHOD = 0x32C004;
static const ULONG ACPI_EVAL_INPUT_BUFFER_SIGNATURE = 0x42696541;         // "AeiB"
static const ULONG ACPI_EVAL_INPUT_BUFFER_COMPLEX_SIGNATURE = 0x43696541; // "AeiC"
static const ULONG ACPI_EVAL_OUTPUT_BUFFER_SIGNATURE = 0x426F6541;        // "AeoB"
static const USHORT ACPI_METHOD_ARGUMENT_INTEGER = 0;

#pragma pack(push, 1)

// Input naming a method that takes no argument.
struct AcpiSimpleInput {
    uint32_t Signature;    // ACPI_EVAL_INPUT_BUFFER_SIGNATURE
    uint8_t MethodName[4]; // the method's four characters, first at the lowest offset
};

// Input naming a method with one integer argument.
struct AcpiComplexInput {
    uint32_t Signature;     // ACPI_EVAL_INPUT_BUFFER_COMPLEX_SIGNATURE
    uint8_t MethodName[4];  // the method's four characters
    uint32_t Size;          // byte size of the argument array: 8 for one argument
    uint32_t ArgumentCount; // 1
    uint16_t Type;          // ACPI_METHOD_ARGUMENT_INTEGER
    uint16_t DataLength;    // 4, or 1 when the value is one byte
    uint32_t Argument;      // the integer value; a one-byte value sits in the lowest byte
};

// Output with room for one returned value.
struct AcpiOutput {
    uint32_t Signature;  // must be ACPI_EVAL_OUTPUT_BUFFER_SIGNATURE
    uint32_t Length;     // written by the ACPI driver
    uint32_t Count;      // values the method returned; must be non-zero
    uint16_t Type;       // type of the first value
    uint16_t DataLength; // its length
    uint32_t Argument;   // the first value
};

#pragma pack(pop)

static_assert(sizeof(AcpiSimpleInput) == 8, "simple input is 8 bytes");
static_assert(offsetof(AcpiSimpleInput, MethodName) == 4, "method name at 4");
static_assert(sizeof(AcpiComplexInput) == 24, "complex input is 24 bytes");
static_assert(offsetof(AcpiComplexInput, Size) == 8, "argument size at 8");
static_assert(offsetof(AcpiComplexInput, ArgumentCount) == 12, "argument count at 12");
static_assert(offsetof(AcpiComplexInput, Type) == 16, "argument type at 16");
static_assert(offsetof(AcpiComplexInput, DataLength) == 18, "argument length at 18");
static_assert(offsetof(AcpiComplexInput, Argument) == 20, "argument at 20");
static_assert(sizeof(AcpiOutput) == 20, "output is 20 bytes");
static_assert(offsetof(AcpiOutput, Count) == 8, "count at 8");
static_assert(offsetof(AcpiOutput, Type) == 12, "value type at 12");
static_assert(offsetof(AcpiOutput, Argument) == 16, "value at 16");

static const ULONG FIRMWARE_OUTPUT_SIZE = sizeof(AcpiOutput);

#pragma pack(push, 1)

// The simple layout sent in a 24-byte input: the simple block, then zeros.
struct AcpiPaddedSimpleInput {
    AcpiSimpleInput Simple; // signature and method name
    uint8_t Padding[16];    // zero
};

#pragma pack(pop)

static_assert(sizeof(AcpiPaddedSimpleInput) == 24, "padded simple input is 24 bytes");
