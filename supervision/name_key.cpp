// The sample filter's marks for watched names, and keys of names beyond
// ASCII, with the kernel's up-casing.
#include "supervision/name_key.h"

VKT_PAGED_ROUTINE ULONGLONG FoldSampleWithKernel(ULONGLONG Word) {
    PAGED_CODE();
    ULONGLONG upcased = 0;
    for (ULONG shift = 0; shift < 64; shift += 16) {
        auto c = static_cast<WCHAR>(Word >> shift);
        upcased |= static_cast<ULONGLONG>(RtlUpcaseUnicodeChar(c)) << shift;
    }
    return upcased & ~NAME_CASE_BITS;
}

// Not inline: it runs once a character a device.
VKT_PAGED_ROUTINE ULONG FoldNewCharacter(ULONG* Folded, ULONG Character) {
    PAGED_CODE();
    ULONG capital = RtlUpcaseUnicodeChar(static_cast<WCHAR>(Character)) & ~0x20U;
    Folded[Character & 0xFF] = Character | capital << 16;
    return capital;
}

// A process name equal to this one has the same key and the same folded
// sample.
VKT_PAGED_ROUTINE NTSTATUS MarkWatchedName(UCHAR* Filter, PCUNICODE_STRING Name, ULONGLONG Key) {
    PAGED_CODE();
    ULONGLONG word = ReadNameSample(Name->Buffer, Name->Length & ~1U);
    Filter[NameFilterSlot(FoldSampleWithKernel(word))] |= NAME_FILTER_SAMPLE;
    Filter[NameFilterKeySlot(Key)] |= NAME_FILTER_KEY;
    return STATUS_SUCCESS;
}

VKT_PAGED_ROUTINE NTSTATUS ComputeNameKeyBeyondAscii(PCUNICODE_STRING Name, ULONG* Folded,
                                                     ULONGLONG* Key) {
    PAGED_CODE();
    const WCHAR* text = Name->Buffer;
    ULONG count = Name->Length / sizeof(WCHAR);
    ULONGLONG key = count;
    for (ULONG i = 0; i < count; i += 4) {
        ULONGLONG word = 0;
        for (ULONG j = 0; j < 4 && i + j < count; j++) {
            ULONGLONG c = text[i + j];
            if (c >= 0x80) {
                c = Folded != nullptr ? FoldCharacter(Folded, static_cast<ULONG>(c))
                                      : RtlUpcaseUnicodeChar(static_cast<WCHAR>(c));
            }
            word |= c << (16 * j);
        }
        key = (key ^ (word & ~NAME_CASE_BITS)) * NAME_KEY_MULTIPLIER;
    }
    *Key = key;
    return STATUS_SUCCESS;
}
