// The steps of the driver's own SDDL parser, for the converter and its
// tests. Texts are NUL-terminated; no step reads past the terminator.
#pragma once

#include "platform/platform.h"

// The one blank the parser knows.
static const WCHAR SDDL_BLANK = 0x0020;

// Parses "D:" or "D:P" and its ACEs, with blanks allowed before it and after
// it and nothing else after it. Hands out the control bits
// (SE_DACL_DEFAULTED with `MarkDefaulted`, SE_DACL_PROTECTED with "P") and
// the ACL in paged pool ("SeAl").
NTSTATUS ParseDaclSection(PCWSTR Text, ULONG MarkDefaulted, PUSHORT Control, PACL* Acl);

// Parses the ACEs after "D:" or "D:P" into a new ACL; `SectionEnd` is where
// the section ends (the terminator, or the character before a colon).
NTSTATUS ParseAceList(PCWSTR Text, PACL* Acl, PCWSTR* SectionEnd);

// Adds an access-allowed ACE, first moving the ACL to a larger one when it
// lacks room; `Remaining` counts the ACEs still to add, this one included,
// and sizes the growth. An ACL cannot exceed 0xFFFF bytes: an ACE beyond
// that gives STATUS_ALLOTTED_SPACE_EXCEEDED and leaves the ACL as it was.
NTSTATUS AppendAllowedAce(PACL* Acl, PULONG UsedBytes, ACCESS_MASK Mask, ULONG Remaining, PSID Sid);

// The SID of a two-letter trustee alias (any case); null with success for a
// version-gated alias the kernel lacks; STATUS_NONE_MAPPED for no alias.
NTSTATUS LookupSidAlias(PCWSTR Text, PSID* Sid, PCWSTR* Next);

// The mask of a two-letter rights code (any case).
BOOLEAN LookupRightsCode(PCWSTR Text, PACCESS_MASK Mask, PCWSTR* Next);

// A 32-bit number: "0x" hexadecimal, decimal when it starts with a digit,
// hexadecimal without prefix otherwise.
BOOLEAN ParseRightsNumber(PCWSTR Text, PCWSTR* Next, PULONG Value);

// The position of the first character that is not a blank.
PCWSTR SkipBlanks(PCWSTR Text);
