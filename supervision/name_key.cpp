// Keys of image names, four characters at a time.
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
// decides everything beyond ASCII.
#include "supervision/name_key.h"

namespace {

// The high bits of four characters: any of them set means a character
// beyond ASCII.
const ULONGLONG BEYOND_ASCII = 0xFF80FF80FF80FF80ULL;
// The case bit of four characters.
const ULONGLONG CASE_BITS = 0x0020002000200020ULL;
// An odd multiplier that spreads every input bit into the key's top bits.
const ULONGLONG KEY_MULTIPLIER = 0x9E3779B97F4A7C15ULL;

} // namespace

// Four characters at a time: a word of ASCII is folded as it stands; a word
// with a character beyond ASCII, or the last few characters, one by one.
VKT_PAGED_ROUTINE NTSTATUS ComputeNameKey(PCUNICODE_STRING Name, ULONGLONG* Key) {
    PAGED_CODE();
    const WCHAR* text = Name->Buffer;
    ULONG count = Name->Length / sizeof(WCHAR);
    ULONGLONG key = count;
    for (ULONG i = 0; i < count; i += 4) {
        ULONG characters = count - i < 4 ? count - i : 4;
        ULONGLONG word = BEYOND_ASCII;
        if (characters == 4) {
            RtlCopyMemory(&word, text + i, sizeof word);
        }
        if ((word & BEYOND_ASCII) != 0) {
            word = 0;
            for (ULONG j = 0; j < characters; j++) {
                WCHAR c = text[i + j];
                if (c >= 0x80) {
                    c = RtlUpcaseUnicodeChar(c);
                }
                word |= static_cast<ULONGLONG>(c) << (16 * j);
            }
        }
        key = (key ^ (word & ~CASE_BITS)) * KEY_MULTIPLIER;
    }
    *Key = key;
    return STATUS_SUCCESS;
}
