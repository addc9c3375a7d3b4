// A key of an image name that two names equal under the kernel's
// case-insensitive comparison always share, so that a check can refuse most
// names by their key and compare only the few that share it.
#pragma once

#include "platform/platform.h"

// The key of `Name`: its length and its characters folded for case, mixed
// into 64 bits. Names that the kernel's case-insensitive comparison finds
// equal always get the same key; different keys mean different names.
NTSTATUS ComputeNameKey(PCUNICODE_STRING Name, ULONGLONG* Key);

// Which of the 256 bits of a key filter stands for a key.
static const ULONG NAME_KEY_FILTER_WORDS = 4;

inline ULONG NameKeyFilterBit(ULONGLONG Key) {
    return static_cast<ULONG>(Key >> 56);
}
