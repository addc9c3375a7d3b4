// Direct calls to the routines the driver must never import.
#include "platform/platform.h"

extern "C" NTSYSAPI NTSTATUS NTAPI ZwQuerySystemInformation(ULONG InformationClass,
                                                            PVOID Information, ULONG Length,
                                                            PULONG ReturnLength);
extern "C" NTSTATUS NTAPI IoCreateDeviceSecure(PDRIVER_OBJECT DriverObject, ULONG ExtensionSize,
                                               PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                               ULONG Characteristics, BOOLEAN Exclusive,
                                               PCUNICODE_STRING Sddl, LPCGUID ClassGuid,
                                               PDEVICE_OBJECT* DeviceObject);

NTSTATUS QueryProcesses(PVOID Buffer, ULONG Length) {
    return ZwQuerySystemInformation(5, Buffer, Length, nullptr);
}

NTSTATUS CreateGuardedDevice(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING Sddl,
                             PDEVICE_OBJECT* DeviceObject) {
    return IoCreateDeviceSecure(DriverObject, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, Sddl,
                                nullptr, DeviceObject);
}

NTSTATUS ConvertSddl(PCWSTR Sddl, PSECURITY_DESCRIPTOR* Descriptor) {
    return SeConvertStringSecurityDescriptorToSecurityDescriptor(Sddl, 1, Descriptor, nullptr);
}
