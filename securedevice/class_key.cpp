// The class key of a device class: its name, its opening and creation, and
// the DeviceOverrides record it fills.
#include "securedevice/class_overrides.h"

#include "securedevice/registry_values.h"

// The name's buffer holds 39 characters; the name is the first 38.
static const ULONG CLASS_KEY_NAME_CHARACTERS = 38;

VKT_PAGED_ROUTINE VOID InitDeviceOverrides(DeviceOverrides* Overrides) {
    PAGED_CODE();
    RtlZeroMemory(Overrides, sizeof *Overrides);
}

VKT_PAGED_ROUTINE VOID SetOverrideSecurity(PSECURITY_DESCRIPTOR Descriptor,
                                           DeviceOverrides* Overrides) {
    PAGED_CODE();
    Overrides->SecurityDescriptor = Descriptor;
    Overrides->Flags |= OVERRIDE_SECURITY;
}

VKT_PAGED_ROUTINE VOID FreeDeviceOverrides(DeviceOverrides* Overrides) {
    PAGED_CODE();
    if (Overrides->Flags & OVERRIDE_SECURITY) {
        ExFreePoolWithTag(Overrides->SecurityDescriptor, 0);
    }
}

VKT_PAGED_ROUTINE NTSTATUS FormatClassKeyName(LPCGUID ClassGuid, WCHAR (&Name)[39]) {
    PAGED_CODE();
    _snwprintf(Name, CLASS_KEY_NAME_CHARACTERS + 1,
               VKT_TEXT("{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}"), ClassGuid->Data1,
               ClassGuid->Data2, ClassGuid->Data3, ClassGuid->Data4[0], ClassGuid->Data4[1],
               ClassGuid->Data4[2], ClassGuid->Data4[3], ClassGuid->Data4[4], ClassGuid->Data4[5],
               ClassGuid->Data4[6], ClassGuid->Data4[7]);
    Name[CLASS_KEY_NAME_CHARACTERS] = 0;
    return STATUS_SUCCESS;
}

VKT_PAGED_ROUTINE NTSTATUS OpenClassKey(LPCGUID ClassGuid, ACCESS_MASK DesiredAccess, ULONG Create,
                                        PULONG Disposition, PHANDLE Key) {
    PAGED_CODE();
    *Key = nullptr;
    if (Disposition != nullptr) {
        *Disposition = 0;
    }
    HANDLE root = nullptr;
    NTSTATUS status = OpenKey(nullptr, CLASS_ROOT_PATH, KEY_READ, &root);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    WCHAR name[CLASS_KEY_NAME_CHARACTERS + 1];
    FormatClassKeyName(ClassGuid, name);
    HANDLE key = nullptr;
    ULONG disposition = REG_OPENED_EXISTING_KEY;
    if (Create) {
        status = CreateKey(root, name, DesiredAccess, REG_OPTION_NON_VOLATILE, nullptr,
                           &disposition, &key);
    } else {
        status = OpenKey(root, name, DesiredAccess, &key);
    }
    ZwClose(root);
    if (NT_SUCCESS(status)) {
        *Key = key;
        if (Disposition != nullptr) {
            *Disposition = disposition;
        }
    }
    return status;
}

// A new class key gets its three marker values, in this order; the first
// failure ends the writing.
VKT_PAGED_ROUTINE static NTSTATUS MarkNewClassKey(HANDLE Key, PDRIVER_OBJECT DriverObject) {
    PAGED_CODE();
    NTSTATUS status =
        WriteStringValue(Key, VKT_TEXT("Class"), &DriverObject->DriverExtension->ServiceKeyName);
    if (NT_SUCCESS(status)) {
        status = WriteStringValueText(Key, VKT_TEXT("NoDisplayClass"), VKT_TEXT("1"));
    }
    if (NT_SUCCESS(status)) {
        status = WriteStringValueText(Key, VKT_TEXT("NoUseClass"), VKT_TEXT("1"));
    }
    return status;
}

VKT_PAGED_ROUTINE NTSTATUS GetClassOverrides(LPCGUID ClassGuid, PDRIVER_OBJECT DriverObject,
                                             DeviceOverrides* Overrides) {
    PAGED_CODE();
    InitDeviceOverrides(Overrides);
    HANDLE key = nullptr;
    ULONG disposition = 0;
    NTSTATUS status = OpenClassKey(ClassGuid, KEY_ALL_ACCESS, TRUE, &disposition, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (disposition != REG_OPENED_EXISTING_KEY) {
        status = MarkNewClassKey(key, DriverObject);
        ZwClose(key);
        return status;
    }
    HANDLE properties = nullptr;
    status = OpenKey(key, VKT_TEXT("Properties"), KEY_READ, &properties);
    ZwClose(key);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
        return STATUS_SUCCESS;
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = ReadClassOverrides(properties, Overrides);
    ZwClose(properties);
    return status;
}
