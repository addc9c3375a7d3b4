// Stands in for secure device creation until it is merged: creates the
// device object without applying the descriptor or the class overrides.
#include "securedevice/secure_device.h"

VKT_PAGED_ROUTINE NTSTATUS CreateSecureDevice(PDRIVER_OBJECT DriverObject,
                                              ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                                              DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics,
                                              BOOLEAN Exclusive, PCUNICODE_STRING DefaultSddlString,
                                              LPCGUID DeviceClassGuid,
                                              PDEVICE_OBJECT* DeviceObject) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(DefaultSddlString);
    UNREFERENCED_PARAMETER(DeviceClassGuid);
    NTSTATUS status = IoCreateDevice(DriverObject, DeviceExtensionSize, DeviceName, DeviceType,
                                     DeviceCharacteristics, Exclusive, DeviceObject);
    if (!NT_SUCCESS(status)) {
        *DeviceObject = nullptr;
    }
    return status;
}
