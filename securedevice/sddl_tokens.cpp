// The words of the SDDL subset: trustee aliases of well-known SIDs, rights
// codes, and rights given as numbers.
#include "securedevice/sddl_parser.h"

// A trustee alias and where the kernel keeps its SID.
struct SidAlias {
    WCHAR Alias[3];              // two letters and a terminator
    PSID VKT_SE_EXPORTS::*Field; // the field of the kernel's SE_EXPORTS record
    BOOLEAN VersionGated;        // the SID exists only from WDM version 1.0x20 on
};

// Searched in this order; the first match wins.
static const SidAlias SID_ALIAS_TABLE[] = {
    {VKT_TEXT("WD"), &VKT_SE_EXPORTS::SeWorldSid, FALSE},
    {VKT_TEXT("BA"), &VKT_SE_EXPORTS::SeAliasAdminsSid, FALSE},
    {VKT_TEXT("SY"), &VKT_SE_EXPORTS::SeLocalSystemSid, FALSE},
    {VKT_TEXT("IU"), &VKT_SE_EXPORTS::SeInteractiveSid, FALSE},
    {VKT_TEXT("RC"), &VKT_SE_EXPORTS::SeRestrictedSid, FALSE},
    {VKT_TEXT("AU"), &VKT_SE_EXPORTS::SeAuthenticatedUsersSid, FALSE},
    {VKT_TEXT("NU"), &VKT_SE_EXPORTS::SeNetworkSid, FALSE},
    {VKT_TEXT("AN"), &VKT_SE_EXPORTS::SeAnonymousLogonSid, FALSE},
    {VKT_TEXT("BG"), &VKT_SE_EXPORTS::SeAliasGuestsSid, FALSE},
    {VKT_TEXT("BU"), &VKT_SE_EXPORTS::SeAliasUsersSid, FALSE},
    {VKT_TEXT("LS"), &VKT_SE_EXPORTS::SeLocalServiceSid, TRUE},
    {VKT_TEXT("NS"), &VKT_SE_EXPORTS::SeNetworkServiceSid, TRUE},
    {VKT_TEXT("AC"), &VKT_SE_EXPORTS::SeAllAppPackagesSid, TRUE},
    {VKT_TEXT("UD"), &VKT_SE_EXPORTS::SeUserModeDriversSid, TRUE},
};

// A rights code and its access mask.
struct RightsCode {
    WCHAR Code[3];    // two letters and a terminator
    ACCESS_MASK Mask; // the rights it stands for
};

// Searched in this order; the first match wins.
static const RightsCode RIGHTS_CODE_TABLE[] = {
    {VKT_TEXT("RC"), READ_CONTROL},  {VKT_TEXT("WD"), WRITE_DAC},
    {VKT_TEXT("WO"), WRITE_OWNER},   {VKT_TEXT("SD"), DELETE},
    {VKT_TEXT("GA"), GENERIC_ALL},   {VKT_TEXT("GR"), GENERIC_READ},
    {VKT_TEXT("GW"), GENERIC_WRITE}, {VKT_TEXT("GX"), GENERIC_EXECUTE},
};

// The WDM version from which the gated SIDs exist.
static const UCHAR GATED_WDM_MAJOR = 1;
static const UCHAR GATED_WDM_MINOR = 0x20;

VKT_PAGED_ROUTINE PCWSTR SkipBlanks(PCWSTR Text) {
    PAGED_CODE();
    while (*Text == SDDL_BLANK) {
        Text++;
    }
    return Text;
}

VKT_PAGED_ROUTINE NTSTATUS LookupSidAlias(PCWSTR Text, PSID* Sid, PCWSTR* Next) {
    PAGED_CODE();
    *Sid = nullptr;
    for (const SidAlias& row : SID_ALIAS_TABLE) {
        if (_wcsnicmp(Text, row.Alias, 2) != 0) {
            continue;
        }
        *Next = Text + 2;
        if (row.VersionGated && !IoIsWdmVersionAvailable(GATED_WDM_MAJOR, GATED_WDM_MINOR)) {
            return STATUS_SUCCESS;
        }
        *Sid = VKT_SE_EXPORTS_RECORD()->*row.Field;
        return STATUS_SUCCESS;
    }
    return STATUS_NONE_MAPPED;
}

VKT_PAGED_ROUTINE BOOLEAN LookupRightsCode(PCWSTR Text, PACCESS_MASK Mask, PCWSTR* Next) {
    PAGED_CODE();
    for (const RightsCode& row : RIGHTS_CODE_TABLE) {
        if (_wcsnicmp(Text, row.Code, 2) == 0) {
            *Mask = row.Mask;
            *Next = Text + 2;
            return TRUE;
        }
    }
    *Mask = 0;
    *Next = Text;
    return FALSE;
}

// The value of a digit in the base, or -1 for a character that is none.
VKT_PAGED_ROUTINE static LONG DigitValue(WCHAR Character, ULONG Base) {
    PAGED_CODE();
    if (Character >= '0' && Character <= '9') {
        return Character - '0';
    }
    if (Base == 16 && Character >= 'a' && Character <= 'f') {
        return Character - 'a' + 10;
    }
    if (Base == 16 && Character >= 'A' && Character <= 'F') {
        return Character - 'A' + 10;
    }
    return -1;
}

VKT_PAGED_ROUTINE BOOLEAN ParseRightsNumber(PCWSTR Text, PCWSTR* Next, PULONG Value) {
    PAGED_CODE();
    *Value = 0;
    *Next = Text;
    PCWSTR at = Text;
    ULONG base = 16;
    if (at[0] == '0' && (at[1] == 'x' || at[1] == 'X')) {
        at += 2;
    } else if (at[0] >= '0' && at[0] <= '9') {
        base = 10;
    }
    if (*at == 0) {
        return FALSE;
    }
    ULONGLONG value = 0;
    PCWSTR first = at;
    for (LONG digit = DigitValue(*at, base); digit >= 0; digit = DigitValue(*++at, base)) {
        value = value * base + static_cast<ULONG>(digit);
        if (value > 0xFFFFFFFFull) {
            return FALSE;
        }
    }
    if (at == first) {
        return FALSE;
    }
    *Next = at;
    *Value = static_cast<ULONG>(value);
    return TRUE;
}
