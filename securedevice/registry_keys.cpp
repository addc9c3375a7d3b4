// Counted names and the opening and creation of registry keys.
#include "securedevice/registry_values.h"

// The longest name a counted string holds with its terminator: 32766
// characters, 65532 bytes plus 2.
static const SIZE_T MAXIMUM_NAME_CHARACTERS = 32766;

VKT_PAGED_ROUTINE NTSTATUS InitCountedString(PUNICODE_STRING String, PCWSTR Text) {
    PAGED_CODE();
    if (Text == nullptr) {
        String->Length = 0;
        String->MaximumLength = 0;
        String->Buffer = nullptr;
        return STATUS_SUCCESS;
    }
    SIZE_T count = 0;
    while (Text[count] != 0) {
        if (++count > MAXIMUM_NAME_CHARACTERS) {
            return STATUS_NAME_TOO_LONG;
        }
    }
    String->Length = static_cast<USHORT>(count * sizeof(WCHAR));
    String->MaximumLength = static_cast<USHORT>(String->Length + sizeof(WCHAR));
    String->Buffer = const_cast<PWSTR>(Text);
    return STATUS_SUCCESS;
}

VKT_PAGED_ROUTINE NTSTATUS AllocateCountedString(PUNICODE_STRING String, ULONG Length) {
    PAGED_CODE();
    String->Length = 0;
    String->MaximumLength = static_cast<USHORT>(Length + sizeof(WCHAR));
    String->Buffer = static_cast<PWSTR>(
        ExAllocatePoolWithTag(PagedPool, Length + sizeof(WCHAR), STRING_COPY_TAG));
    return String->Buffer != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

// Kernel handles, names without regard to case; a descriptor only for a
// creation.
VKT_PAGED_ROUTINE static VOID DescribeKey(POBJECT_ATTRIBUTES Attributes, HANDLE Parent,
                                          PUNICODE_STRING Name,
                                          PSECURITY_DESCRIPTOR SecurityDescriptor) {
    PAGED_CODE();
    InitializeObjectAttributes(Attributes, Name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, Parent,
                               SecurityDescriptor);
}

VKT_PAGED_ROUTINE NTSTATUS OpenKeyCounted(HANDLE Parent, PUNICODE_STRING Name,
                                          ACCESS_MASK DesiredAccess, PHANDLE Key) {
    PAGED_CODE();
    *Key = nullptr;
    OBJECT_ATTRIBUTES attributes;
    DescribeKey(&attributes, Parent, Name, nullptr);
    HANDLE opened = nullptr;
    NTSTATUS status = ZwOpenKey(&opened, DesiredAccess, &attributes);
    if (NT_SUCCESS(status)) {
        *Key = opened;
    }
    return status;
}

VKT_PAGED_ROUTINE NTSTATUS OpenKey(HANDLE Parent, PCWSTR Name, ACCESS_MASK DesiredAccess,
                                   PHANDLE Key) {
    PAGED_CODE();
    UNICODE_STRING name;
    NTSTATUS status = InitCountedString(&name, Name);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return OpenKeyCounted(Parent, &name, DesiredAccess, Key);
}

VKT_PAGED_ROUTINE NTSTATUS CreateKeyCounted(HANDLE Parent, PUNICODE_STRING Name,
                                            ACCESS_MASK DesiredAccess, ULONG CreateOptions,
                                            PSECURITY_DESCRIPTOR SecurityDescriptor,
                                            PULONG Disposition, PHANDLE Key) {
    PAGED_CODE();
    OBJECT_ATTRIBUTES attributes;
    DescribeKey(&attributes, Parent, Name, SecurityDescriptor);
    HANDLE created = nullptr;
    ULONG disposition = 0;
    NTSTATUS status =
        ZwCreateKey(&created, DesiredAccess, &attributes, 0, nullptr, CreateOptions, &disposition);
    if (!NT_SUCCESS(status)) {
        created = nullptr;
        disposition = 0;
    }
    *Key = created;
    if (Disposition != nullptr) {
        *Disposition = disposition;
    }
    return status;
}

VKT_PAGED_ROUTINE NTSTATUS CreateKey(HANDLE Parent, PCWSTR Name, ACCESS_MASK DesiredAccess,
                                     ULONG CreateOptions, PSECURITY_DESCRIPTOR SecurityDescriptor,
                                     PULONG Disposition, PHANDLE Key) {
    PAGED_CODE();
    UNICODE_STRING name;
    NTSTATUS status = InitCountedString(&name, Name);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return CreateKeyCounted(Parent, &name, DesiredAccess, CreateOptions, SecurityDescriptor,
                            Disposition, Key);
}
