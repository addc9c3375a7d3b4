// Reading and writing registry values by name.
#include "securedevice/registry_values.h"

// A partial record with room for exactly four data bytes.
static const ULONG DWORD_RECORD_LENGTH = 16;
// The fixed part of a full record, before the name.
static const ULONG FULL_RECORD_FIXED_LENGTH = 24;

static_assert(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) == 12, "data at 12");
static_assert(sizeof(KEY_VALUE_PARTIAL_INFORMATION) == 16, "16-byte partial record");
static_assert(offsetof(KEY_VALUE_FULL_INFORMATION, DataOffset) == 8, "data offset at 8");
static_assert(sizeof(KEY_VALUE_FULL_INFORMATION) == FULL_RECORD_FIXED_LENGTH, "24-byte record");

VKT_PAGED_ROUTINE NTSTATUS ReadDwordValueCounted(HANDLE Key, PUNICODE_STRING Name, ULONG Default,
                                                 PULONG Value) {
    PAGED_CODE();
    union {
        KEY_VALUE_PARTIAL_INFORMATION Record;
        UCHAR Bytes[DWORD_RECORD_LENGTH];
    } buffer;
    RtlZeroMemory(&buffer, sizeof buffer);
    ULONG resultLength = 0;
    *Value = Default;
    NTSTATUS status = ZwQueryValueKey(Key, Name, KeyValuePartialInformation, &buffer, sizeof buffer,
                                      &resultLength);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (buffer.Record.Type != REG_DWORD) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    // Fewer than four data bytes: the bytes beyond them stay zero.
    ULONG value = 0;
    RtlCopyMemory(&value, buffer.Record.Data,
                  buffer.Record.DataLength < 4 ? buffer.Record.DataLength : 4);
    *Value = value;
    return STATUS_SUCCESS;
}

VKT_PAGED_ROUTINE NTSTATUS ReadDwordValue(HANDLE Key, PCWSTR Name, ULONG Default, PULONG Value) {
    PAGED_CODE();
    UNICODE_STRING name;
    NTSTATUS status = InitCountedString(&name, Name);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return ReadDwordValueCounted(Key, &name, Default, Value);
}

// One query into a new buffer of `Size` bytes; the buffer is handed out on
// success and released otherwise.
VKT_PAGED_ROUTINE static NTSTATUS QueryFullRecord(HANDLE Key, PUNICODE_STRING Name, ULONG Size,
                                                  PKEY_VALUE_FULL_INFORMATION* Buffer,
                                                  PULONG Needed) {
    PAGED_CODE();
    *Buffer = nullptr;
    auto* record = static_cast<PKEY_VALUE_FULL_INFORMATION>(
        ExAllocatePoolWithTag(NonPagedPoolNx, Size, VALUE_BUFFER_TAG));
    if (record == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = ZwQueryValueKey(Key, Name, KeyValueFullInformation, record, Size, Needed);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(record, VALUE_BUFFER_TAG);
        return status;
    }
    *Buffer = record;
    return status;
}

VKT_PAGED_ROUTINE NTSTATUS ReadValueCounted(HANDLE Key, PUNICODE_STRING Name, ULONG RequiredType,
                                            ULONG SizeHint, PKEY_VALUE_FULL_INFORMATION* Buffer) {
    PAGED_CODE();
    *Buffer = nullptr;
    ULONG size = (FULL_RECORD_FIXED_LENGTH + Name->Length + 7) & ~7u;
    if (size + SizeHint < size) {
        return STATUS_INTEGER_OVERFLOW;
    }
    size += SizeHint;
    ULONG needed = 0;
    PKEY_VALUE_FULL_INFORMATION record = nullptr;
    NTSTATUS status = QueryFullRecord(Key, Name, size, &record, &needed);
    if (status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL) {
        status = QueryFullRecord(Key, Name, needed, &record, &needed);
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (RequiredType != REG_NONE && record->Type != RequiredType) {
        ExFreePoolWithTag(record, VALUE_BUFFER_TAG);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    *Buffer = record;
    return STATUS_SUCCESS;
}

VKT_PAGED_ROUTINE NTSTATUS ReadValue(HANDLE Key, PCWSTR Name, ULONG RequiredType, ULONG SizeHint,
                                     PKEY_VALUE_FULL_INFORMATION* Buffer) {
    PAGED_CODE();
    UNICODE_STRING name;
    NTSTATUS status = InitCountedString(&name, Name);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return ReadValueCounted(Key, &name, RequiredType, SizeHint, Buffer);
}

VKT_PAGED_ROUTINE NTSTATUS WriteStringValueCounted(HANDLE Key, PUNICODE_STRING Name,
                                                   PUNICODE_STRING String) {
    PAGED_CODE();
    ULONG characters = String->Length / sizeof(WCHAR);
    if (String->MaximumLength >= String->Length + sizeof(WCHAR)) {
        if (String->Buffer[characters] != 0) {
            String->Buffer[characters] = 0;
        }
        return ZwSetValueKey(Key, Name, 0, REG_SZ, String->Buffer, String->Length + sizeof(WCHAR));
    }
    UNICODE_STRING copy;
    NTSTATUS status = AllocateCountedString(&copy, String->Length);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    RtlCopyMemory(copy.Buffer, String->Buffer, String->Length);
    copy.Buffer[characters] = 0;
    status = ZwSetValueKey(Key, Name, 0, REG_SZ, copy.Buffer, String->Length + sizeof(WCHAR));
    RtlFreeUnicodeString(&copy);
    return status;
}

VKT_PAGED_ROUTINE NTSTATUS WriteStringValue(HANDLE Key, PCWSTR Name, PUNICODE_STRING String) {
    PAGED_CODE();
    UNICODE_STRING name;
    NTSTATUS status = InitCountedString(&name, Name);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return WriteStringValueCounted(Key, &name, String);
}

VKT_PAGED_ROUTINE NTSTATUS WriteStringValueText(HANDLE Key, PCWSTR Name, PCWSTR Text) {
    PAGED_CODE();
    UNICODE_STRING text;
    NTSTATUS status = InitCountedString(&text, Text);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    UNICODE_STRING name;
    status = InitCountedString(&name, Name);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return WriteStringValueCounted(Key, &name, &text);
}

VKT_PAGED_ROUTINE NTSTATUS WriteValue(HANDLE Key, PCWSTR Name, ULONG Type, PVOID Data, ULONG Size) {
    PAGED_CODE();
    UNICODE_STRING name;
    NTSTATUS status = InitCountedString(&name, Name);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return ZwSetValueKey(Key, &name, 0, Type, Data, Size);
}
