// Creation of a device object under a security descriptor given in SDDL form.
#pragma once

#include "platform/platform.h"

NTSTATUS CreateSecureDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                            PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                            ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                            PCUNICODE_STRING DefaultSddlString, LPCGUID DeviceClassGuid,
                            PDEVICE_OBJECT* DeviceObject);
