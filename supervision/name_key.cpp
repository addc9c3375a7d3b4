// Keys of names beyond ASCII, with the kernel's up-casing.
#include "supervision/name_key.h"

VKT_PAGED_ROUTINE NTSTATUS ComputeNameKeyBeyondAscii(PCUNICODE_STRING Name, ULONGLONG* Key) {
    PAGED_CODE();
    const WCHAR* text = Name->Buffer;
    ULONG count = Name->Length / sizeof(WCHAR);
    ULONGLONG key = count;
    for (ULONG i = 0; i < count; i += 4) {
        ULONGLONG word = 0;
        for (ULONG j = 0; j < 4 && i + j < count; j++) {
            WCHAR c = text[i + j];
            if (c >= 0x80) {
                c = RtlUpcaseUnicodeChar(c);
            }
            word |= static_cast<ULONGLONG>(c) << (16 * j);
        }
        key = (key ^ (word & ~NAME_CASE_BITS)) * NAME_KEY_MULTIPLIER;
    }
    *Key = key;
    return STATUS_SUCCESS;
}
