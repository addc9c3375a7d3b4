// Device class overrides: the registry key of a device class may override
// the descriptor, type, characteristics and exclusive flag of the devices
// created for it, in its "Properties" subkey. When the class supplies no
// descriptor of its own, the descriptor used is written back there as
// "Security", marked defaulted, so that it is never taken for an override.
#pragma once

#include "platform/platform.h"

// Which fields of a DeviceOverrides record are valid.
static const ULONG OVERRIDE_DEVICE_TYPE = 0x1;
static const ULONG OVERRIDE_SECURITY = 0x2;
static const ULONG OVERRIDE_CHARACTERISTICS = 0x4;
static const ULONG OVERRIDE_EXCLUSIVE = 0x8;

// What a device class overrides, for one device creation.
struct DeviceOverrides {
    ULONG Flags;                             // OVERRIDE_ bits of the valid fields
    ULONG DeviceType;                        // device type to use instead of the caller's
    PSECURITY_DESCRIPTOR SecurityDescriptor; // self-relative descriptor in pool, owned here
    ULONG DeviceCharacteristics;             // characteristics to use instead of the caller's
    ULONG Exclusive;                         // exclusive flag as read; only the low byte counts
};

// The class root under which every class key lies.
static const WCHAR CLASS_ROOT_PATH[] =
    VKT_TEXT("\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class");

// The security a newly created "Properties" key gets: a protected DACL
// allowing GENERIC_ALL to LocalSystem, inherited by subkeys and values.
extern const UCHAR DefaultPropertiesSecurity[48];

VOID InitDeviceOverrides(DeviceOverrides* Overrides);
// Gives the record the descriptor; the other fields stay as they are.
VOID SetOverrideSecurity(PSECURITY_DESCRIPTOR Descriptor, DeviceOverrides* Overrides);
// Releases the descriptor the record owns.
VOID FreeDeviceOverrides(DeviceOverrides* Overrides);

// The class key's name: the GUID in braces, 38 characters, upper case.
NTSTATUS FormatClassKeyName(LPCGUID ClassGuid, WCHAR (&Name)[39]);

// Opens, or with `Create` opens or creates, the class key.
NTSTATUS OpenClassKey(LPCGUID ClassGuid, ACCESS_MASK DesiredAccess, ULONG Create,
                      PULONG Disposition, PHANDLE Key);

// Fills the record from the class key, which is created (with its marker
// values) when it does not exist yet.
NTSTATUS GetClassOverrides(LPCGUID ClassGuid, PDRIVER_OBJECT DriverObject,
                           DeviceOverrides* Overrides);

// Fills the record from an open "Properties" key; on failure it stays clear.
NTSTATUS ReadClassOverrides(HANDLE Properties, DeviceOverrides* Overrides);

// Writes the record's descriptor to the class key's "Properties" as
// "Security", creating "Properties" when it does not exist.
NTSTATUS StoreClassSecurity(LPCGUID ClassGuid, DeviceOverrides* Overrides);
