// How a check tells cheaply which process names cannot be watched ones, so
// that only the few others reach the kernel's case-insensitive comparison,
// which alone decides.
//
// Two filters, each one-sided: a name they refuse is equal to no watched
// name under the kernel's comparison; a name they let through may still be
// different, and the next filter or the comparison says so.
//
// 1. The sample filter, for every process of the snapshot. A name's sample
//    is one word of four characters: the four before the last four, where
//    a name's own part ends before ".exe" (names of 4 to 7 characters: the
//    last four; shorter names: their last character), folded by
//    clearing each character's case bit (0x20), whatever the character.
//    The slot of a folded sample (a one-character sample's is the character
//    itself) in a table (DeviceContext.NameFilter) is
//    marked (NAME_FILTER_SAMPLE) for every way of writing a watched name's
//    sample: at each of its characters, every character the kernel up-cases
//    as it up-cases the watched one (found once a list, by asking the
//    kernel of every character; see CaseVariants). A process name equal to
//    a watched one has, character by character, the same capitals, so its
//    sample is one of those ways and its slot is marked. The walk needs no
//    kernel and no branch for characters beyond ASCII: most capitals and
//    their small letters differ in the case bit alone (Latin, Greek,
//    Cyrillic), so a name's ways mostly fold to one slot.
// 2. The name key, for the names the sample filter lets through: a hash of
//    the whole name's length and characters, every character folded (an
//    ASCII one by its case bit, any other up-cased by the kernel first, then
//    the same). Names equal under the kernel's comparison share their key.
//    The top bits of the watched names' keys are marked in the same table
//    (NAME_FILTER_KEY), so that a name that only shares a sample is mostly
//    refused before the list is searched.
//
// Different names may share a sample or a key ("[" and "{" fold alike); the
// kernel's comparison tells them apart.
#pragma once

#include "driver/device_context.h"

// The high bits of four characters: any of them set means a character
// beyond ASCII.
static const ULONGLONG NAME_BEYOND_ASCII = 0xFF80FF80FF80FF80ULL;
// The case bit of four characters.
static const ULONGLONG NAME_CASE_BITS = 0x0020002000200020ULL;
// An odd multiplier that spreads every input bit into the key's top bits.
static const ULONGLONG NAME_KEY_MULTIPLIER = 0x9E3779B97F4A7C15ULL;
// A sample's slot is the top bits of its mixed words.
static const ULONG NAME_FILTER_SHIFT = 64 - NAME_FILTER_SLOT_BITS;

// The marks of a filter slot.
static const UCHAR NAME_FILTER_SAMPLE = 2; // a folded way of writing a watched name's sample
static const UCHAR NAME_FILTER_KEY = 1;    // a watched name's key (its top bits)

// Characters the kernel up-cases to a different character, each as its
// capital in the high half and the character in the low half: the ways of
// writing a character that are not the capital itself. Found once a list;
// when the pairs did not fit, or the kernel's pool had no room for them,
// `Complete` is FALSE and every slot is marked instead.
struct CaseVariants {
    ULONG* Pairs;     // capital << 16 | character, in the order of the characters
    ULONG Count;      // pairs found
    BOOLEAN Complete; // every such character of the kernel is in Pairs
};

// The sample word of a name of `Bytes` bytes at `Text`, as it stands, the
// first character in the lowest bits and zero where a short name has no
// characters; FALSE for a name without a whole character (the idle
// process's), which is no watched name. Reads only bytes of the name, also
// when `Bytes` is odd: such a name is equal to no watched one under the
// kernel's comparison, which compares lengths in bytes, so whatever its
// sample is, refusing it is right.
inline BOOLEAN ReadNameSample(const WCHAR* Text, SIZE_T Bytes, ULONGLONG* Word) {
    const UCHAR* text = reinterpret_cast<const UCHAR*>(Text);
    if (__builtin_expect(Bytes >= 16, 1)) {
        RtlCopyMemory(Word, text + Bytes - 16, sizeof *Word);
        return TRUE;
    }
    if (Bytes >= 8) {
        RtlCopyMemory(Word, text + Bytes - 8, sizeof *Word);
        return TRUE;
    }
    if (Bytes < 2) {
        return FALSE;
    }
    USHORT last;
    RtlCopyMemory(&last, text + Bytes - 2, sizeof last);
    *Word = last;
    return TRUE;
}

// The slot in DeviceContext.NameFilter of the folded sample word of a name
// of `Bytes` bytes. The sample of a name under four characters is one
// character, which is its own slot (its low bits): mixing it would cost the
// walk two instructions more for such a name than for any longer one.
inline SIZE_T NameFilterSlot(ULONGLONG Folded, SIZE_T Bytes) {
    if (Bytes < 8) {
        return static_cast<SIZE_T>(Folded & (NAME_FILTER_SLOTS - 1));
    }
    return static_cast<SIZE_T>((Folded * NAME_KEY_MULTIPLIER) >> NAME_FILTER_SHIFT);
}

// The slot of a name key.
inline SIZE_T NameFilterKeySlot(ULONGLONG Key) {
    return static_cast<SIZE_T>(Key >> NAME_FILTER_SHIFT);
}

// A character beyond ASCII not yet in `Folded` (DeviceContext.
// FoldedCharacters), up-cased by the kernel, folded and kept there.
ULONG FoldNewCharacter(ULONG* Folded, ULONG Character);

// One character folded: ASCII by its case bit, any other from `Folded`.
inline ULONGLONG FoldCharacter(ULONG* Folded, ULONG Character) {
    if (Character < 0x80) {
        return Character & ~0x20U;
    }
    ULONG known = Folded[Character & 0xFF];
    return (known & 0xFFFF) == Character ? known >> 16 : FoldNewCharacter(Folded, Character);
}

// Asks the kernel for the capital of every character and keeps the
// characters it changes in `Variants`, from paged pool that the caller
// frees with FreeCaseVariants.
NTSTATUS FindCaseVariants(CaseVariants* Variants);
NTSTATUS FreeCaseVariants(CaseVariants* Variants);

// Marks every folded way of writing the sample of a watched name, and its
// key, in `Filter`.
NTSTATUS MarkWatchedName(UCHAR* Filter, PCUNICODE_STRING Name, ULONGLONG Key,
                         const CaseVariants* Variants);

// The key of a name with a character beyond ASCII: each character is
// up-cased by the kernel unless it is ASCII, then folded and mixed as below;
// with `Folded` (DeviceContext.FoldedCharacters) each character beyond ASCII
// is taken from there, up-cased by the kernel only the first time.
NTSTATUS ComputeNameKeyBeyondAscii(PCUNICODE_STRING Name, ULONG* Folded, ULONGLONG* Key);

// The key of `Name`: its length and its characters folded for case, mixed
// four at a time (the first in the lowest bits), the last one to three as
// one more word. A name of ASCII is folded word by word as it stands; at the
// first character beyond ASCII the key is made again with the kernel's help
// (through `Folded` when given). It lies wherever its caller lies (a section
// of its own would clash with its callers' in a build that keeps it out of
// line), and PAGED_CODE() still guards it.
inline NTSTATUS ComputeNameKey(PCUNICODE_STRING Name, ULONG* Folded, ULONGLONG* Key) {
    PAGED_CODE();
    const WCHAR* text = Name->Buffer;
    ULONG count = Name->Length / sizeof(WCHAR);
    ULONGLONG key = count;
    const WCHAR* wholeWordsEnd = text + (count - count % 4);
    for (; text != wholeWordsEnd; text += 4) {
        ULONGLONG word;
        RtlCopyMemory(&word, text, sizeof word);
        if ((word & NAME_BEYOND_ASCII) != 0) {
            return ComputeNameKeyBeyondAscii(Name, Folded, Key);
        }
        key = (key ^ (word & ~NAME_CASE_BITS)) * NAME_KEY_MULTIPLIER;
    }
    if (count % 4 != 0) {
        ULONGLONG word = 0;
        for (ULONG j = 0; j < count % 4; j++) {
            word |= static_cast<ULONGLONG>(text[j]) << (16 * j);
        }
        if ((word & NAME_BEYOND_ASCII) != 0) {
            return ComputeNameKeyBeyondAscii(Name, Folded, Key);
        }
        key = (key ^ (word & ~NAME_CASE_BITS)) * NAME_KEY_MULTIPLIER;
    }
    *Key = key;
    return STATUS_SUCCESS;
}
