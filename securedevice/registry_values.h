// Thin wrappers over the kernel's registry calls for secure device creation.
// Each operation takes its name either counted (the ...Counted form) or
// NUL-terminated. Keys are opened and created relative to a parent handle,
// or by absolute path when the parent is null, case-insensitively, as
// kernel handles.
#pragma once

#include "platform/platform.h"

// Pool tag of the buffer ReadValueCounted hands out; memory reads "PpRb".
static const ULONG VALUE_BUFFER_TAG = 0x62527050;
// Pool tag of the terminated copy a string write makes; memory reads "PpUc".
static const ULONG STRING_COPY_TAG = 0x63557050;

// The counted form of a NUL-terminated text, over the text itself; a null
// text gives the empty string. More than 32766 characters give
// STATUS_NAME_TOO_LONG.
NTSTATUS InitCountedString(PUNICODE_STRING String, PCWSTR Text);

// An empty counted string over paged pool ("PpUc") with room for `Length`
// bytes and a terminator.
NTSTATUS AllocateCountedString(PUNICODE_STRING String, ULONG Length);

NTSTATUS OpenKeyCounted(HANDLE Parent, PUNICODE_STRING Name, ACCESS_MASK DesiredAccess,
                        PHANDLE Key);
NTSTATUS OpenKey(HANDLE Parent, PCWSTR Name, ACCESS_MASK DesiredAccess, PHANDLE Key);

// Opens or creates a key; a newly created key gets `SecurityDescriptor`
// (may be null). `Disposition` (may be null) tells which happened.
NTSTATUS CreateKeyCounted(HANDLE Parent, PUNICODE_STRING Name, ACCESS_MASK DesiredAccess,
                          ULONG CreateOptions, PSECURITY_DESCRIPTOR SecurityDescriptor,
                          PULONG Disposition, PHANDLE Key);
NTSTATUS CreateKey(HANDLE Parent, PCWSTR Name, ACCESS_MASK DesiredAccess, ULONG CreateOptions,
                   PSECURITY_DESCRIPTOR SecurityDescriptor, PULONG Disposition, PHANDLE Key);

// Reads a REG_DWORD value. On any failure `Value` is `Default`; a value of
// another type gives STATUS_OBJECT_TYPE_MISMATCH, one longer than four bytes
// STATUS_BUFFER_OVERFLOW. Data shorter than four bytes are the low-order
// bytes of the value, the missing bytes zero.
NTSTATUS ReadDwordValueCounted(HANDLE Key, PUNICODE_STRING Name, ULONG Default, PULONG Value);
NTSTATUS ReadDwordValue(HANDLE Key, PCWSTR Name, ULONG Default, PULONG Value);

// Reads a value of any size into a KEY_VALUE_FULL_INFORMATION record in
// pool ("PpRb") that the caller releases with ExFreePoolWithTag. A
// `RequiredType` other than 0 must match (else STATUS_OBJECT_TYPE_MISMATCH);
// `SizeHint` is the data size expected.
NTSTATUS ReadValueCounted(HANDLE Key, PUNICODE_STRING Name, ULONG RequiredType, ULONG SizeHint,
                          PKEY_VALUE_FULL_INFORMATION* Buffer);
NTSTATUS ReadValue(HANDLE Key, PCWSTR Name, ULONG RequiredType, ULONG SizeHint,
                   PKEY_VALUE_FULL_INFORMATION* Buffer);

// Writes a counted string as REG_SZ, always NUL-terminated. When the
// string's buffer has room, the terminator is stored there, in place.
NTSTATUS WriteStringValueCounted(HANDLE Key, PUNICODE_STRING Name, PUNICODE_STRING String);
NTSTATUS WriteStringValue(HANDLE Key, PCWSTR Name, PUNICODE_STRING String);
NTSTATUS WriteStringValueText(HANDLE Key, PCWSTR Name, PCWSTR Text);

NTSTATUS WriteValue(HANDLE Key, PCWSTR Name, ULONG Type, PVOID Data, ULONG Size);
