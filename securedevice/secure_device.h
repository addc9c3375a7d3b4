// Creation of a device object under a security descriptor given as SDDL
// text, which the registry key of the device's class may override. Where the
// kernel exports IoCreateDeviceSecure the request goes to it unchanged;
// otherwise the driver's own implementation does the work.
#pragma once

#include "platform/platform.h"

struct DeviceOverrides;

// The parameter list and result of the kernel's IoCreateDeviceSecure.
typedef NTSTATUS SECURE_DEVICE_ROUTINE(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                       PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                       ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                       PCUNICODE_STRING DefaultSddlString, LPCGUID DeviceClassGuid,
                                       PDEVICE_OBJECT* DeviceObject);

// Creates the device through the kernel's routine or CreateDeviceFromSddl,
// whichever ResolveSecureDeviceRoutine chose on the first call.
NTSTATUS CreateSecureDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                            PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                            ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                            PCUNICODE_STRING DefaultSddlString, LPCGUID DeviceClassGuid,
                            PDEVICE_OBJECT* DeviceObject);

// Chooses the kernel's IoCreateDeviceSecure when it exports one, else
// CreateDeviceFromSddl; once per driver load.
VOID ResolveSecureDeviceRoutine();

// The driver's own secure device creation: the class's overrides, the
// descriptor of the class or of the SDDL text (written back to the class),
// IoCreateDevice, then the descriptor set on the new device object.
SECURE_DEVICE_ROUTINE CreateDeviceFromSddl;

// Sets the record's descriptor, if any, on the device object.
NTSTATUS ApplyDeviceSecurity(PDEVICE_OBJECT DeviceObject, DeviceOverrides* Overrides);

// The access needed to set the descriptor parts named by the bits.
ACCESS_MASK SecurityInfoToAccessMask(SECURITY_INFORMATION SecurityInformation);
