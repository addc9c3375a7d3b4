// The sample filter's marks for watched names, and keys of names beyond
// ASCII, with the kernel's up-casing.
#include "supervision/name_key.h"

// A process name equal to this one has the same key, the same length and
// the same sample once up-cased: a word of ASCII that folds as this one's,
// or a word beyond ASCII. The first meets the ASCII mark, made only when
// this sample is ASCII once up-cased; the second meets the wild mark of the
// length, made for every watched name.
VKT_PAGED_ROUTINE NTSTATUS MarkWatchedName(UCHAR* Filter, PCUNICODE_STRING Name, ULONGLONG Key) {
    PAGED_CODE();
    SIZE_T bytes = Name->Length & ~1U;
    ULONGLONG word = ReadNameSample(Name->Buffer, bytes);
    ULONGLONG upcased = 0;
    for (ULONG shift = 0; shift < 64; shift += 16) {
        auto c = static_cast<WCHAR>(word >> shift);
        upcased |= static_cast<ULONGLONG>(RtlUpcaseUnicodeChar(c)) << shift;
    }
    if ((upcased & NAME_BEYOND_ASCII) == 0) {
        Filter[NameFilterSlot(upcased & ~NAME_CASE_BITS)] |= NAME_FILTER_ASCII;
    }
    Filter[NameFilterWildSlot(bytes / sizeof(WCHAR))] |= NAME_FILTER_WILD;
    Filter[NameFilterKeySlot(Key)] |= NAME_FILTER_KEY;
    return STATUS_SUCCESS;
}

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
