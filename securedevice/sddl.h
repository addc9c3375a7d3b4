// Security descriptors from SDDL text. Where the kernel exports its own
// converter, the text goes to it; otherwise the driver's parser builds the
// descriptor. The parser takes one DACL section ("D:", optionally "D:P") of
// access-allowed ACEs with empty flags and object fields, rights given as
// two-letter codes or numbers, and trustees given as two-letter aliases of
// well-known SIDs. The descriptor it builds has a DACL and nothing else.
#pragma once

#include "platform/platform.h"

// Pool tags; memory dumps read them reversed: "SeTs", "SeAl", "SeSd".
static const ULONG SDDL_TEXT_TAG = 0x73546553;       // terminated copy of a counted text
static const ULONG SDDL_ACL_TAG = 0x6C416553;        // the ACL under construction
static const ULONG SDDL_DESCRIPTOR_TAG = 0x64536553; // the descriptor handed out

// The self-relative descriptor of a counted SDDL text, in paged pool that
// the caller releases with ExFreePoolWithTag (tag 0). A nonzero
// `MarkDefaulted` adds SE_DACL_DEFAULTED. `Descriptor` is null on failure.
NTSTATUS ConvertSddlString(PCUNICODE_STRING Sddl, ULONG MarkDefaulted,
                           PSECURITY_DESCRIPTOR* Descriptor);
// The same for a NUL-terminated text.
NTSTATUS ConvertSddlText(PCWSTR Sddl, ULONG MarkDefaulted, PSECURITY_DESCRIPTOR* Descriptor);

// Which parts a descriptor has, as SECURITY_INFORMATION bits, and whether
// its DACL is marked defaulted (FALSE when it has no DACL).
NTSTATUS QuerySecurityDescriptorParts(PSECURITY_DESCRIPTOR Descriptor, PBOOLEAN DaclDefaulted,
                                      PSECURITY_INFORMATION SecurityInformation);
