// A key of an image name that two names equal under the kernel's
// case-insensitive comparison always share, so that a check can refuse most
// names by their key and compare only the few that share it.
//
// Every character is folded before it is mixed in: an ASCII character by
// clearing its case bit (0x20), any other character by the kernel's
// up-casing and then clearing the same bit. Two characters that the kernel
// up-cases to the same character fold to the same value:
// - both ASCII: the kernel up-cases a-z to A-Z and leaves the rest of ASCII
//   as it is, so they are equal or the two cases of one letter;
// - both beyond ASCII: they are folded from the same up-cased character;
// - one of each: their common capital is the ASCII character itself or its
//   capital, which clears to the same value.
// So names equal under the kernel's comparison (same length, characters
// pairwise equal once up-cased) have equal keys, and the kernel's table
// decides everything beyond ASCII. Different names may share a key ("[" and
// "{" fold alike); the kernel's comparison tells them apart.
#pragma once

#include "platform/platform.h"

// The high bits of four characters: any of them set means a character
// beyond ASCII.
static const ULONGLONG NAME_BEYOND_ASCII = 0xFF80FF80FF80FF80ULL;
// The case bit of four characters.
static const ULONGLONG NAME_CASE_BITS = 0x0020002000200020ULL;
// An odd multiplier that spreads every input bit into the key's top bits.
static const ULONGLONG NAME_KEY_MULTIPLIER = 0x9E3779B97F4A7C15ULL;

// A filter of keys has 1024 bits, 128 bytes; a key stands for its top ten bits.
static const ULONG NAME_KEY_FILTER_WORDS = 16;

inline ULONG NameKeyFilterBit(ULONGLONG Key) {
    return static_cast<ULONG>(Key >> 54);
}

// The key of a name with a character beyond ASCII: each character is
// up-cased by the kernel unless it is ASCII, then folded and mixed as below.
NTSTATUS ComputeNameKeyBeyondAscii(PCUNICODE_STRING Name, ULONGLONG* Key);

// The key of `Name`: its length and its characters folded for case, mixed
// four at a time (the first in the lowest bits), the last one to three as
// one more word. A name of ASCII is folded word by word as it stands; at the
// first character beyond ASCII the key is made again with the kernel's help.
// Inline, because a check computes it for every process of the machine.
VKT_PAGED_ROUTINE inline NTSTATUS ComputeNameKey(PCUNICODE_STRING Name, ULONGLONG* Key) {
    PAGED_CODE();
    const WCHAR* text = Name->Buffer;
    ULONG count = Name->Length / sizeof(WCHAR);
    ULONGLONG key = count;
    const WCHAR* wholeWordsEnd = text + count / 4 * 4;
    for (; text != wholeWordsEnd; text += 4) {
        ULONGLONG word;
        RtlCopyMemory(&word, text, sizeof word);
        if ((word & NAME_BEYOND_ASCII) != 0) {
            return ComputeNameKeyBeyondAscii(Name, Key);
        }
        key = (key ^ (word & ~NAME_CASE_BITS)) * NAME_KEY_MULTIPLIER;
    }
    if (count % 4 != 0) {
        ULONGLONG word = 0;
        for (ULONG j = 0; j < count % 4; j++) {
            word |= static_cast<ULONGLONG>(text[j]) << (16 * j);
        }
        if ((word & NAME_BEYOND_ASCII) != 0) {
            return ComputeNameKeyBeyondAscii(Name, Key);
        }
        key = (key ^ (word & ~NAME_CASE_BITS)) * NAME_KEY_MULTIPLIER;
    }
    *Key = key;
    return STATUS_SUCCESS;
}
