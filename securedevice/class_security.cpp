// The class's "Properties": reading the overrides stored there, and writing
// the device's descriptor back as "Security".
#include "securedevice/class_overrides.h"

#include "securedevice/registry_values.h"
#include "securedevice/sddl.h"

alignas(4) const UCHAR DefaultPropertiesSecurity[48] = {
    0x01, 0x00, 0x04, 0x94,             // revision 1; self-relative, DACL protected,
                                        // auto-inherited and present
    0x00, 0x00, 0x00, 0x00,             // no owner
    0x00, 0x00, 0x00, 0x00,             // no group
    0x00, 0x00, 0x00, 0x00,             // no SACL
    0x14, 0x00, 0x00, 0x00,             // DACL at 20
    0x02, 0x00, 0x1C, 0x00,             // ACL revision 2, 28 bytes
    0x01, 0x00, 0x00, 0x00,             // one ACE
    0x00, 0x03, 0x14, 0x00,             // access allowed, object and container inherit, 20 bytes
    0x00, 0x00, 0x00, 0x10,             // GENERIC_ALL
    0x01, 0x01, 0x00, 0x00, 0x00, 0x00, // SID revision 1, one sub-authority,
    0x00, 0x05, 0x12, 0x00, 0x00, 0x00, // NT authority; 18, LocalSystem
};

// Whether the kernel accepts DefaultPropertiesSecurity, tested on the first
// write-back after the driver loads.
enum DefaultSecurityStates : UCHAR {
    DefaultSecurityUntested = 0, // not yet tested
    DefaultSecurityAccepted = 1, // new "Properties" keys get it
    DefaultSecurityRefused = 2,  // new "Properties" keys get no descriptor of their own
};
static UCHAR DefaultSecurityState = DefaultSecurityUntested;

// The descriptor of a "Security" value, captured into paged pool; none
// (null, success) when the value does not exist. A value that does not hold
// a whole self-relative descriptor within its data is refused before the
// capture reads it.
VKT_PAGED_ROUTINE static NTSTATUS CaptureClassSecurity(HANDLE Properties,
                                                       PSECURITY_DESCRIPTOR* Captured) {
    PAGED_CODE();
    *Captured = nullptr;
    PKEY_VALUE_FULL_INFORMATION value = nullptr;
    NTSTATUS status = ReadValue(Properties, VKT_TEXT("Security"), REG_BINARY, 0, &value);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
        return STATUS_SUCCESS;
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PSECURITY_DESCRIPTOR data = reinterpret_cast<PUCHAR>(value) + value->DataOffset;
    if (!RtlValidRelativeSecurityDescriptor(data, value->DataLength, 0)) {
        status = STATUS_INVALID_SECURITY_DESCR;
    } else {
        status = SeCaptureSecurityDescriptor(data, KernelMode, PagedPool, TRUE, Captured);
    }
    ExFreePoolWithTag(value, 0);
    return status;
}

// One of the DWORD overrides: a missing value is no override.
VKT_PAGED_ROUTINE static NTSTATUS ReadDwordOverride(HANDLE Properties, PCWSTR Name, ULONG Flag,
                                                    PULONG Field, DeviceOverrides* Overrides) {
    PAGED_CODE();
    NTSTATUS status = ReadDwordValue(Properties, Name, 0, Field);
    if (NT_SUCCESS(status)) {
        Overrides->Flags |= Flag;
        return status;
    }
    return status == STATUS_OBJECT_NAME_NOT_FOUND ? STATUS_SUCCESS : status;
}

// Takes a captured descriptor as the override unless the DACL carries the
// defaulted mark of a descriptor written back here before.
VKT_PAGED_ROUTINE static NTSTATUS KeepSecurityOverride(PSECURITY_DESCRIPTOR Captured,
                                                       DeviceOverrides* Overrides) {
    PAGED_CODE();
    BOOLEAN daclDefaulted = FALSE;
    SECURITY_INFORMATION information = 0;
    NTSTATUS status = QuerySecurityDescriptorParts(Captured, &daclDefaulted, &information);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (daclDefaulted) {
        ExFreePoolWithTag(Captured, 0);
    } else {
        SetOverrideSecurity(Captured, Overrides);
    }
    return STATUS_SUCCESS;
}

VKT_PAGED_ROUTINE NTSTATUS ReadClassOverrides(HANDLE Properties, DeviceOverrides* Overrides) {
    PAGED_CODE();
    InitDeviceOverrides(Overrides);
    PSECURITY_DESCRIPTOR captured = nullptr;
    NTSTATUS status = CaptureClassSecurity(Properties, &captured);
    if (NT_SUCCESS(status) && captured != nullptr) {
        status = KeepSecurityOverride(captured, Overrides);
        if (!NT_SUCCESS(status)) {
            ExFreePoolWithTag(captured, 0);
        }
    }
    if (NT_SUCCESS(status)) {
        status = ReadDwordOverride(Properties, VKT_TEXT("DeviceType"), OVERRIDE_DEVICE_TYPE,
                                   &Overrides->DeviceType, Overrides);
    }
    if (NT_SUCCESS(status)) {
        status = ReadDwordOverride(Properties, VKT_TEXT("DeviceCharacteristics"),
                                   OVERRIDE_CHARACTERISTICS, &Overrides->DeviceCharacteristics,
                                   Overrides);
    }
    if (NT_SUCCESS(status)) {
        status = ReadDwordOverride(Properties, VKT_TEXT("Exclusive"), OVERRIDE_EXCLUSIVE,
                                   &Overrides->Exclusive, Overrides);
    }
    if (!NT_SUCCESS(status)) {
        FreeDeviceOverrides(Overrides);
        InitDeviceOverrides(Overrides);
    }
    return status;
}

// Tests once per driver load whether the kernel accepts the descriptor new
// "Properties" keys are to get.
VKT_PAGED_ROUTINE static VOID SettleDefaultSecurity() {
    PAGED_CODE();
    if (DefaultSecurityState != DefaultSecurityUntested) {
        return;
    }
    PSECURITY_DESCRIPTOR captured = nullptr;
    NTSTATUS status = SeCaptureSecurityDescriptor(const_cast<UCHAR*>(DefaultPropertiesSecurity),
                                                  KernelMode, PagedPool, TRUE, &captured);
    if (NT_SUCCESS(status)) {
        ExFreePoolWithTag(captured, 0);
        DefaultSecurityState = DefaultSecurityAccepted;
    } else {
        DefaultSecurityState = DefaultSecurityRefused;
    }
}

VKT_PAGED_ROUTINE NTSTATUS StoreClassSecurity(LPCGUID ClassGuid, DeviceOverrides* Overrides) {
    PAGED_CODE();
    HANDLE key = nullptr;
    NTSTATUS status = OpenClassKey(ClassGuid, KEY_ALL_ACCESS, FALSE, nullptr, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    SettleDefaultSecurity();
    PSECURITY_DESCRIPTOR security = DefaultSecurityState == DefaultSecurityAccepted
                                        ? const_cast<UCHAR*>(DefaultPropertiesSecurity)
                                        : nullptr;
    HANDLE properties = nullptr;
    status = CreateKey(key, VKT_TEXT("Properties"), KEY_ALL_ACCESS, REG_OPTION_NON_VOLATILE,
                       security, nullptr, &properties);
    ZwClose(key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = WriteValue(properties, VKT_TEXT("Security"), REG_BINARY, Overrides->SecurityDescriptor,
                        RtlLengthSecurityDescriptor(Overrides->SecurityDescriptor));
    ZwClose(properties);
    return status;
}
