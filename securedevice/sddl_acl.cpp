// The ACE list of a DACL section: counting the ACEs, parsing each one, and
// building the ACL they make.
#include "securedevice/sddl.h"
#include "securedevice/sddl_parser.h"

// An ACL cannot be larger than its 16-bit size field.
static const ULONG MAXIMUM_ACL_SIZE = 0xFFFF;
// What ParseAceList reserves per ACE; no alias makes an ACE larger.
static const ULONG RESERVED_ACE_SIZE = 48;
// Semicolons per ACE: type;flags;rights;object;inherited-object;trustee.
static const ULONG SEMICOLONS_PER_ACE = 5;

// The size of an ACL for `Bytes` bytes: no more than its size field holds.
VKT_PAGED_ROUTINE static ULONG CappedAclSize(ULONGLONG Bytes) {
    PAGED_CODE();
    return Bytes < MAXIMUM_ACL_SIZE ? static_cast<ULONG>(Bytes) : MAXIMUM_ACL_SIZE;
}

// A zeroed ACL of `Size` bytes with its header written and no ACEs.
VKT_PAGED_ROUTINE static PACL AllocateAcl(ULONG Size) {
    PAGED_CODE();
    auto acl = static_cast<PACL>(ExAllocatePoolWithTag(PagedPool, Size, SDDL_ACL_TAG));
    if (acl != nullptr) {
        RtlZeroMemory(acl, Size);
        acl->AclRevision = ACL_REVISION;
        acl->AclSize = static_cast<USHORT>(Size);
    }
    return acl;
}

VKT_PAGED_ROUTINE NTSTATUS AppendAllowedAce(PACL* Acl, PULONG UsedBytes, ACCESS_MASK Mask,
                                            ULONG Remaining, PSID Sid) {
    PAGED_CODE();
    ULONG aceSize = RtlLengthSid(Sid) + 8;
    ULONG used = *UsedBytes + aceSize;
    if (used > MAXIMUM_ACL_SIZE) {
        return STATUS_ALLOTTED_SPACE_EXCEEDED;
    }
    if (used > (*Acl)->AclSize) {
        ULONGLONG wanted = *UsedBytes + static_cast<ULONGLONG>(aceSize) * Remaining;
        ULONG size = CappedAclSize(wanted);
        PACL grown = AllocateAcl(size);
        if (grown == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        RtlCopyMemory(grown, *Acl, *UsedBytes);
        grown->AclSize = static_cast<USHORT>(size);
        ExFreePoolWithTag(*Acl, SDDL_ACL_TAG);
        *Acl = grown;
    }
    *UsedBytes = used;
    return RtlAddAccessAllowedAce(*Acl, ACL_REVISION, Mask, Sid);
}

// Steps over one expected character after blanks.
VKT_PAGED_ROUTINE static BOOLEAN Expect(PCWSTR* At, WCHAR Character) {
    PAGED_CODE();
    PCWSTR at = SkipBlanks(*At);
    if (*at != Character) {
        return FALSE;
    }
    *At = at + 1;
    return TRUE;
}

// The rights field up to and including its semicolon. A code adds its
// rights; a number replaces what the field gathered so far.
VKT_PAGED_ROUTINE static NTSTATUS ParseRights(PCWSTR* At, PACCESS_MASK Mask) {
    PAGED_CODE();
    *Mask = 0;
    PCWSTR at = SkipBlanks(*At);
    if (*at == ';') {
        *At = at + 1;
        return STATUS_SUCCESS;
    }
    for (;;) {
        at = SkipBlanks(at);
        ACCESS_MASK code = 0;
        ULONG number = 0;
        if (LookupRightsCode(at, &code, &at)) {
            *Mask |= code;
        } else if (ParseRightsNumber(at, &at, &number)) {
            *Mask = number;
        } else {
            return STATUS_INVALID_PARAMETER;
        }
        if (*at == ';') {
            *At = at + 1;
            return STATUS_SUCCESS;
        }
    }
}

// One ACE "(A;;rights;;;alias)", blanks allowed between the fields. Hands
// out its mask and SID (null for a gated alias the kernel lacks).
VKT_PAGED_ROUTINE static NTSTATUS ParseAce(PCWSTR* At, PACCESS_MASK Mask, PSID* Sid) {
    PAGED_CODE();
    PCWSTR at = SkipBlanks(*At);
    if (*at == '(') {
        at = SkipBlanks(at + 1);
    }
    // The type letter, and the character after it passed over unexamined.
    if ((*at != 'A' && *at != 'a') || at[1] == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    at += 2;
    if (!Expect(&at, ';')) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = ParseRights(&at, Mask);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // Each call takes one ';': the object and inherited object types stay empty.
    if (!Expect(&at, ';') || !Expect(&at, ';')) { // NOLINT(misc-redundant-expression)
        return STATUS_INVALID_PARAMETER;
    }
    status = LookupSidAlias(SkipBlanks(at), Sid, &at);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (!Expect(&at, ')')) {
        return STATUS_INVALID_ACL;
    }
    if (*at == '(') {
        at++;
    }
    *At = at;
    return STATUS_SUCCESS;
}

// Counts the semicolons before the section end; whether anything but
// semicolons and blanks stands there.
VKT_PAGED_ROUTINE static ULONG CountSemicolons(PCWSTR Text, PCWSTR End, PBOOLEAN Other) {
    PAGED_CODE();
    ULONG count = 0;
    *Other = FALSE;
    for (PCWSTR at = Text; at < End; at++) {
        if (*at == ';') {
            count++;
        } else if (*at != SDDL_BLANK) {
            *Other = TRUE;
        }
    }
    return count;
}

// Parses `Count` ACEs into `*Acl`.
VKT_PAGED_ROUTINE static NTSTATUS ParseAces(PCWSTR Text, ULONG Count, PACL* Acl) {
    PAGED_CODE();
    ULONG used = sizeof(ACL);
    PCWSTR at = Text;
    for (ULONG parsed = 0; parsed < Count; parsed++) {
        ACCESS_MASK mask = 0;
        PSID sid = nullptr;
        NTSTATUS status = ParseAce(&at, &mask, &sid);
        if (NT_SUCCESS(status) && sid != nullptr) {
            status = AppendAllowedAce(Acl, &used, mask, Count - parsed, sid);
        }
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    (*Acl)->AclSize = static_cast<USHORT>(used);
    return STATUS_SUCCESS;
}

VKT_PAGED_ROUTINE NTSTATUS ParseAceList(PCWSTR Text, PACL* Acl, PCWSTR* SectionEnd) {
    PAGED_CODE();
    *Acl = nullptr;
    PCWSTR colon = wcschr(Text, ':');
    if (colon == Text) {
        return STATUS_INVALID_PARAMETER;
    }
    PCWSTR end = colon != nullptr ? colon - 1 : Text + wcslen(Text);
    BOOLEAN other = FALSE;
    ULONG semicolons = CountSemicolons(Text, end, &other);
    if (semicolons % SEMICOLONS_PER_ACE != 0 || (semicolons == 0 && other)) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG count = semicolons / SEMICOLONS_PER_ACE;
    ULONGLONG reserved = RESERVED_ACE_SIZE * static_cast<ULONGLONG>(count) + sizeof(ACL);
    PACL acl = AllocateAcl(CappedAclSize(reserved));
    if (acl == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = ParseAces(Text, count, &acl);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(acl, SDDL_ACL_TAG);
        return status;
    }
    *Acl = acl;
    *SectionEnd = end;
    return STATUS_SUCCESS;
}
