// SDDL text to a self-relative security descriptor, through the kernel's
// converter where it exists and the driver's parser otherwise; and the
// examination of a descriptor's parts.
#include "securedevice/sddl.h"
#include "securedevice/sddl_parser.h"

// The kernel's converter, looked up by name and called through the type of
// its declaration: a kernel without it must still load the driver, and a
// call that does not fit its parameters does not compile.
typedef decltype(SeConvertStringSecurityDescriptorToSecurityDescriptor) SDDL_CONVERTER;

static const WCHAR SDDL_CONVERTER_NAME[] =
    VKT_TEXT("SeConvertStringSecurityDescriptorToSecurityDescriptor");
static const ULONG SDDL_REVISION_1 = 1;

VKT_PAGED_ROUTINE NTSTATUS ParseDaclSection(PCWSTR Text, ULONG MarkDefaulted, PUSHORT Control,
                                            PACL* Acl) {
    PAGED_CODE();
    *Control = 0;
    *Acl = nullptr;
    PCWSTR at = SkipBlanks(Text);
    if (at[0] != 'D' || at[1] != ':') {
        return STATUS_INVALID_PARAMETER;
    }
    at += 2;
    USHORT control = MarkDefaulted ? SE_DACL_DEFAULTED : 0;
    if (*at == 'P') {
        at++;
        control |= SE_DACL_PROTECTED;
    }
    PACL acl = nullptr;
    PCWSTR end = nullptr;
    NTSTATUS status = ParseAceList(at, &acl, &end);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (*SkipBlanks(end) != 0) {
        ExFreePoolWithTag(acl, SDDL_ACL_TAG);
        return STATUS_INVALID_PARAMETER;
    }
    *Control = control;
    *Acl = acl;
    return STATUS_SUCCESS;
}

// The kernel's converter, or null.
VKT_PAGED_ROUTINE static SDDL_CONVERTER* FindKernelConverter() {
    PAGED_CODE();
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, SDDL_CONVERTER_NAME);
    return reinterpret_cast<SDDL_CONVERTER*>(MmGetSystemRoutineAddress(&name));
}

VKT_PAGED_ROUTINE static NTSTATUS ConvertWithKernel(SDDL_CONVERTER* Converter, PCWSTR Sddl,
                                                    ULONG MarkDefaulted,
                                                    PSECURITY_DESCRIPTOR* Descriptor) {
    PAGED_CODE();
    NTSTATUS status = Converter(Sddl, SDDL_REVISION_1, Descriptor, nullptr);
    if (!NT_SUCCESS(status)) {
        // Whatever the kernel left there, the caller must not release it.
        *Descriptor = nullptr;
    } else if (MarkDefaulted) {
        static_cast<PISECURITY_DESCRIPTOR_RELATIVE>(*Descriptor)->Control |= SE_DACL_DEFAULTED;
    }
    return status;
}

// The self-relative form of an absolute descriptor, in pool ("SeSd").
VKT_PAGED_ROUTINE static NTSTATUS MakeSelfRelative(PSECURITY_DESCRIPTOR Absolute,
                                                   PSECURITY_DESCRIPTOR* Descriptor) {
    PAGED_CODE();
    ULONG length = 0;
    RtlAbsoluteToSelfRelativeSD(Absolute, nullptr, &length);
    PSECURITY_DESCRIPTOR buffer = ExAllocatePoolWithTag(PagedPool, length, SDDL_DESCRIPTOR_TAG);
    if (buffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = RtlAbsoluteToSelfRelativeSD(Absolute, buffer, &length);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(buffer, SDDL_DESCRIPTOR_TAG);
        return status;
    }
    *Descriptor = buffer;
    return STATUS_SUCCESS;
}

// The driver's own conversion: a descriptor with the parsed DACL only.
VKT_PAGED_ROUTINE static NTSTATUS ConvertWithParser(PCWSTR Sddl, ULONG MarkDefaulted,
                                                    PSECURITY_DESCRIPTOR* Descriptor) {
    PAGED_CODE();
    USHORT control = 0;
    PACL acl = nullptr;
    NTSTATUS status = ParseDaclSection(Sddl, MarkDefaulted, &control, &acl);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    SECURITY_DESCRIPTOR absolute;
    status = RtlCreateSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION);
    if (NT_SUCCESS(status)) {
        status = RtlSetDaclSecurityDescriptor(&absolute, TRUE, acl, FALSE);
    }
    if (NT_SUCCESS(status)) {
        absolute.Control |= control;
        status = MakeSelfRelative(&absolute, Descriptor);
    }
    ExFreePoolWithTag(acl, SDDL_ACL_TAG);
    return status;
}

VKT_PAGED_ROUTINE NTSTATUS ConvertSddlText(PCWSTR Sddl, ULONG MarkDefaulted,
                                           PSECURITY_DESCRIPTOR* Descriptor) {
    PAGED_CODE();
    *Descriptor = nullptr;
    SDDL_CONVERTER* converter = FindKernelConverter();
    if (converter != nullptr) {
        return ConvertWithKernel(converter, Sddl, MarkDefaulted, Descriptor);
    }
    return ConvertWithParser(Sddl, MarkDefaulted, Descriptor);
}

VKT_PAGED_ROUTINE NTSTATUS ConvertSddlString(PCUNICODE_STRING Sddl, ULONG MarkDefaulted,
                                             PSECURITY_DESCRIPTOR* Descriptor) {
    PAGED_CODE();
    ULONG characters = Sddl->Length / sizeof(WCHAR);
    if (Sddl->MaximumLength == Sddl->Length + sizeof(WCHAR) && Sddl->Buffer[characters] == 0) {
        return ConvertSddlText(Sddl->Buffer, MarkDefaulted, Descriptor);
    }
    auto copy = static_cast<PWCHAR>(
        ExAllocatePoolWithTag(PagedPool, Sddl->Length + sizeof(WCHAR), SDDL_TEXT_TAG));
    if (copy == nullptr) {
        *Descriptor = nullptr;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(copy, Sddl->Buffer, Sddl->Length);
    copy[characters] = 0;
    NTSTATUS status = ConvertSddlText(copy, MarkDefaulted, Descriptor);
    ExFreePoolWithTag(copy, SDDL_TEXT_TAG);
    return status;
}

VKT_PAGED_ROUTINE NTSTATUS QuerySecurityDescriptorParts(PSECURITY_DESCRIPTOR Descriptor,
                                                        PBOOLEAN DaclDefaulted,
                                                        PSECURITY_INFORMATION SecurityInformation) {
    PAGED_CODE();
    *DaclDefaulted = FALSE;
    *SecurityInformation = 0;
    PSID owner = nullptr;
    PSID group = nullptr;
    PACL sacl = nullptr;
    PACL dacl = nullptr;
    BOOLEAN ownerDefaulted = FALSE;
    BOOLEAN groupDefaulted = FALSE;
    BOOLEAN saclPresent = FALSE;
    BOOLEAN saclDefaulted = FALSE;
    BOOLEAN daclPresent = FALSE;
    BOOLEAN daclDefaulted = FALSE;
    NTSTATUS status = RtlGetOwnerSecurityDescriptor(Descriptor, &owner, &ownerDefaulted);
    if (NT_SUCCESS(status)) {
        status = RtlGetGroupSecurityDescriptor(Descriptor, &group, &groupDefaulted);
    }
    if (NT_SUCCESS(status)) {
        status = RtlGetSaclSecurityDescriptor(Descriptor, &saclPresent, &sacl, &saclDefaulted);
    }
    if (NT_SUCCESS(status)) {
        status = RtlGetDaclSecurityDescriptor(Descriptor, &daclPresent, &dacl, &daclDefaulted);
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *SecurityInformation = (owner != nullptr ? OWNER_SECURITY_INFORMATION : 0) |
                           (group != nullptr ? GROUP_SECURITY_INFORMATION : 0) |
                           (saclPresent ? SACL_SECURITY_INFORMATION : 0) |
                           (daclPresent ? DACL_SECURITY_INFORMATION : 0);
    *DaclDefaulted = daclPresent && daclDefaulted;
    return STATUS_SUCCESS;
}
