// The sample filter's marks for watched names, and keys of names beyond
// ASCII, with the kernel's up-casing.
#include "supervision/name_key.h"

namespace {

// Pairs kept of the kernel's up-casing. The tables the platform has used
// change about 1,400 characters; past this bound every slot is marked.
const ULONG CASE_PAIRS_MAX = 4096;

// Folded characters kept for one character of a sample, and ways of writing
// one sample marked; past either bound every slot is marked.
const ULONG SAMPLE_CHOICES_MAX = 8;
const ULONG SAMPLE_WAYS_MAX = 256;

// The folded characters that one character of a sample may be written as.
struct SampleChoices {
    USHORT Folded[SAMPLE_CHOICES_MAX]; // distinct, case bit cleared
    ULONG Count;                       // how many
};

VKT_PAGED_ROUTINE NTSTATUS AddChoice(SampleChoices* Choices, ULONG Character) {
    PAGED_CODE();
    auto folded = static_cast<USHORT>(Character & ~0x20U);
    for (ULONG i = 0; i < Choices->Count; i++) {
        if (Choices->Folded[i] == folded) {
            return STATUS_SUCCESS;
        }
    }
    if (Choices->Count == SAMPLE_CHOICES_MAX) {
        return STATUS_BUFFER_OVERFLOW;
    }
    Choices->Folded[Choices->Count++] = folded;
    return STATUS_SUCCESS;
}

// Every character the kernel up-cases to the capital of `Character`, folded:
// the capital itself when the kernel leaves it as it is, and the characters
// of the pairs that name it.
VKT_PAGED_ROUTINE NTSTATUS CollectChoices(const CaseVariants* Variants, WCHAR Character,
                                          SampleChoices* Choices) {
    PAGED_CODE();
    Choices->Count = 0;
    ULONG capital = RtlUpcaseUnicodeChar(Character);
    if (RtlUpcaseUnicodeChar(static_cast<WCHAR>(capital)) == capital) {
        AddChoice(Choices, capital);
    }
    for (ULONG i = 0; i < Variants->Count; i++) {
        if (Variants->Pairs[i] >> 16 == capital &&
            AddChoice(Choices, Variants->Pairs[i] & 0xFFFF) < 0) {
            return STATUS_BUFFER_OVERFLOW;
        }
    }
    return STATUS_SUCCESS;
}

// Marks the folded sample of every way of writing one, of a name of `Bytes`
// bytes: each combination of the choices at its four characters.
VKT_PAGED_ROUTINE NTSTATUS MarkEveryWay(UCHAR* Filter, const SampleChoices* Choices, SIZE_T Bytes) {
    PAGED_CODE();
    ULONG ways = 1;
    for (ULONG i = 0; i < 4; i++) {
        ways *= Choices[i].Count;
        if (ways > SAMPLE_WAYS_MAX) {
            return STATUS_BUFFER_OVERFLOW;
        }
    }
    for (ULONG way = 0; way < ways; way++) {
        ULONGLONG word = 0;
        ULONG rest = way;
        for (ULONG i = 0; i < 4; i++) {
            word |= static_cast<ULONGLONG>(Choices[i].Folded[rest % Choices[i].Count]) << (16 * i);
            rest /= Choices[i].Count;
        }
        Filter[NameFilterSlot(word, Bytes)] |= NAME_FILTER_SAMPLE;
    }
    return STATUS_SUCCESS;
}

} // namespace

VKT_PAGED_ROUTINE NTSTATUS FindCaseVariants(CaseVariants* Variants) {
    PAGED_CODE();
    Variants->Count = 0;
    Variants->Complete = FALSE;
    Variants->Pairs = static_cast<ULONG*>(
        ExAllocatePoolWithTag(PagedPool, CASE_PAIRS_MAX * sizeof(ULONG), VKT_POOL_TAG));
    if (Variants->Pairs == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    for (ULONG character = 0; character <= 0xFFFF; character++) {
        ULONG capital = RtlUpcaseUnicodeChar(static_cast<WCHAR>(character));
        if (capital == character) {
            continue;
        }
        if (Variants->Count == CASE_PAIRS_MAX) {
            return STATUS_BUFFER_OVERFLOW;
        }
        Variants->Pairs[Variants->Count++] = capital << 16 | character;
    }
    Variants->Complete = TRUE;
    return STATUS_SUCCESS;
}

VKT_PAGED_ROUTINE NTSTATUS FreeCaseVariants(CaseVariants* Variants) {
    PAGED_CODE();
    if (Variants->Pairs != nullptr) {
        ExFreePoolWithTag(Variants->Pairs, VKT_POOL_TAG);
        Variants->Pairs = nullptr;
    }
    return STATUS_SUCCESS;
}

// Not inline: it runs once a character a device.
VKT_PAGED_ROUTINE ULONG FoldNewCharacter(ULONG* Folded, ULONG Character) {
    PAGED_CODE();
    ULONG capital = RtlUpcaseUnicodeChar(static_cast<WCHAR>(Character)) & ~0x20U;
    Folded[Character & 0xFF] = Character | capital << 16;
    return capital;
}

// A process name equal to this one has the same key, and a sample that is
// one of the ways marked. When the ways cannot all be found, every slot is
// marked: the sample filter then lets every name through to the key.
VKT_PAGED_ROUTINE NTSTATUS MarkWatchedName(UCHAR* Filter, PCUNICODE_STRING Name, ULONGLONG Key,
                                           const CaseVariants* Variants) {
    PAGED_CODE();
    Filter[NameFilterKeySlot(Key)] |= NAME_FILTER_KEY;
    ULONGLONG sample = 0;
    SampleChoices choices[4];
    NTSTATUS status = ReadNameSample(Name->Buffer, Name->Length, &sample) && Variants->Complete
                          ? STATUS_SUCCESS
                          : STATUS_BUFFER_OVERFLOW;
    for (ULONG i = 0; i < 4 && status >= 0; i++) {
        status = CollectChoices(Variants, static_cast<WCHAR>(sample >> (16 * i)), &choices[i]);
    }
    if (status >= 0) {
        status = MarkEveryWay(Filter, choices, Name->Length);
    }
    if (status < 0) {
        for (ULONG slot = 0; slot < NAME_FILTER_SLOTS; slot++) {
            Filter[slot] |= NAME_FILTER_SAMPLE;
        }
    }
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
        for (ULONG j = 0; j != 4 && i + j < count; j++) {
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
