// Driver objects, device objects, device stacks and symbolic links.
#include "hostkernel/mm/address_space.h"
#include "hostkernel/verifier/levels.h"
#include "hostkernel/kernel_state.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace hk {

namespace {

// What the I/O manager does with a request the driver has no routine for.
NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

// The driver object, its extension and the text of its name lie in one
// block of kernel memory.
PDRIVER_OBJECT NewDriverObject(const std::u16string& name) {
    std::u16string& text = K().DriverNames[nullptr];
    text = u"\\Driver\\" + name;
    size_t textBytes = text.size() * sizeof(char16_t);
    void* block =
        AllocateKernelMemory(sizeof(DRIVER_OBJECT) + sizeof(DRIVER_EXTENSION) + textBytes);
    auto* driver = new (block) DRIVER_OBJECT{};
    driver->DriverExtension = new (driver + 1) DRIVER_EXTENSION{driver, nullptr, {}};
    for (auto& routine : driver->MajorFunction) {
        routine = InvalidDeviceRequest;
    }
    auto* buffer = reinterpret_cast<PWCHAR>(driver->DriverExtension + 1);
    std::memcpy(buffer, text.data(), textBytes);
    driver->DriverName =
        UNICODE_STRING{static_cast<USHORT>(textBytes), static_cast<USHORT>(textBytes), buffer};
    // The service key's name is the driver's name without "\Driver\".
    size_t nameBytes = name.size() * sizeof(char16_t);
    driver->DriverExtension->ServiceKeyName =
        UNICODE_STRING{static_cast<USHORT>(nameBytes), static_cast<USHORT>(nameBytes),
                       buffer + (text.size() - name.size())};
    K().DriverNames[driver] = std::move(text);
    K().DriverNames.erase(nullptr);
    K().Drivers.push_back(driver);
    return driver;
}

void UnlinkFromDriver(PDEVICE_OBJECT device) {
    PDEVICE_OBJECT* link = &device->DriverObject->DeviceObject;
    while (*link != nullptr && *link != device) {
        link = &(*link)->NextDevice;
    }
    if (*link == device) {
        *link = device->NextDevice;
    }
}

} // namespace

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device) {
    while (device->AttachedDevice != nullptr) {
        device = device->AttachedDevice;
    }
    return device;
}

PDRIVER_OBJECT CreateStandInDriver(const std::u16string& name) {
    return NewDriverObject(name);
}

PDRIVER_OBJECT LoadDriver(PDRIVER_INITIALIZE entry, const std::u16string& serviceName,
                          NTSTATUS* entryStatus) {
    PDRIVER_OBJECT driver = NewDriverObject(serviceName);
    std::u16string path =
        u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\" + serviceName;
    // The registry path lies in kernel memory while the entry routine runs.
    size_t pathBytes = path.size() * sizeof(char16_t);
    auto* pathBuffer = static_cast<PWCHAR>(AllocateKernelMemory(pathBytes));
    std::memcpy(pathBuffer, path.data(), pathBytes);
    UNICODE_STRING registryPath{static_cast<USHORT>(pathBytes), static_cast<USHORT>(pathBytes),
                                pathBuffer};
    driver->DriverInit = entry;
    NTSTATUS status = STATUS_SUCCESS;
    RunAs(K().Current, [&] { status = entry(driver, &registryPath); });
    FreeKernelMemory(pathBuffer);
    if (entryStatus != nullptr) {
        *entryStatus = status;
    }
    return driver;
}

void UnloadDriver(PDRIVER_OBJECT driver) {
    if (driver->DriverUnload != nullptr) {
        RunAs(K().Current, [&] { driver->DriverUnload(driver); });
    }
    if (driver->DeviceObject != nullptr) {
        VerifierStop("unloads with a device object not deleted",
                     RoutineName(reinterpret_cast<void*>(driver->DriverUnload)),
                     "device " + Hex(reinterpret_cast<uintptr_t>(driver->DeviceObject)));
    }
    auto& drivers = K().Drivers;
    for (auto it = drivers.begin(); it != drivers.end(); ++it) {
        if (*it == driver) {
            drivers.erase(it);
            break;
        }
    }
    K().DriverNames.erase(driver);
    FreeKernelMemory(driver);
}

bool FindSymbolicLink(const std::u16string& link, std::u16string* target) {
    auto found = K().Links.find(Upcase(link));
    if (found == K().Links.end()) {
        return false;
    }
    if (target != nullptr) {
        *target = found->second;
    }
    return true;
}

} // namespace hk

using hk::K;

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                        PUNICODE_STRING DeviceName, ULONG DeviceType, ULONG DeviceCharacteristics,
                        BOOLEAN Exclusive, PDEVICE_OBJECT* DeviceObject) {
    HK_CHECK_LEVEL(IoCreateDevice);
    NTSTATUS status = STATUS_SUCCESS;
    if (hk::TakeRoutineFault("IoCreateDevice", &status)) {
        return status;
    }
    std::u16string name = hk::Upcase(hk::FromCounted(DeviceName));
    if (!name.empty() && K().DeviceNames.count(name) != 0) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    size_t headerSize = (sizeof(DEVICE_OBJECT) + 15) / 16 * 16;
    auto* device =
        static_cast<PDEVICE_OBJECT>(hk::AllocateKernelMemory(headerSize + DeviceExtensionSize));
    device->Type = 3;
    device->Size = static_cast<USHORT>(headerSize + DeviceExtensionSize);
    device->DriverObject = DriverObject;
    device->DeviceExtension =
        DeviceExtensionSize ? reinterpret_cast<char*>(device) + headerSize : nullptr;
    device->DeviceType = DeviceType;
    device->Characteristics = DeviceCharacteristics;
    device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
    device->StackSize = 1;
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
    K().Devices.push_back(device);
    K().ExtensionSizes[device] = DeviceExtensionSize;
    if (!name.empty()) {
        K().DeviceNames[name] = device;
    }
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    HK_CHECK_LEVEL(IoDeleteDevice);
    const void* caller = __builtin_return_address(0);
    auto& devices = K().Devices;
    auto found = std::find(devices.begin(), devices.end(), DeviceObject);
    if (found == devices.end()) {
        hk::VerifierStop("deletes a device object that does not exist", hk::RoutineName(caller),
                         "device " + hk::Hex(reinterpret_cast<uintptr_t>(DeviceObject)));
    }
    hk::CheckDeviceQuiet(DeviceObject, caller);
    hk::ForgetRemoveLocksIn(DeviceObject->DeviceExtension, K().ExtensionSizes[DeviceObject],
                            caller);
    devices.erase(found);
    for (auto it = K().DeviceNames.begin(); it != K().DeviceNames.end();) {
        it = it->second == DeviceObject ? K().DeviceNames.erase(it) : ++it;
    }
    hk::UnlinkFromDriver(DeviceObject);
    // A device without an extension has nothing to poison.
    if (DeviceObject->DeviceExtension != nullptr) {
        std::memset(DeviceObject->DeviceExtension, 0xDD, K().ExtensionSizes[DeviceObject]);
    }
    K().ExtensionSizes.erase(DeviceObject);
    K().DeletedDevices.push_back(DeviceObject);
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                           PDEVICE_OBJECT TargetDevice) {
    HK_CHECK_LEVEL(IoAttachDeviceToDeviceStack);
    if (hk::TakeRoutineFault("IoAttachDeviceToDeviceStack", nullptr)) {
        return nullptr;
    }
    PDEVICE_OBJECT top = hk::TopOfStack(TargetDevice);
    top->AttachedDevice = SourceDevice;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    return top;
}

VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    HK_CHECK_LEVEL(IoDetachDevice);
    TargetDevice->AttachedDevice = nullptr;
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    HK_CHECK_LEVEL(IoCreateSymbolicLink);
    NTSTATUS status = STATUS_SUCCESS;
    if (hk::TakeRoutineFault("IoCreateSymbolicLink", &status)) {
        return status;
    }
    std::u16string key = hk::Upcase(hk::FromCounted(SymbolicLinkName));
    if (K().Links.count(key) != 0) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    K().Links[key] = hk::FromCounted(DeviceName);
    return STATUS_SUCCESS;
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
    HK_CHECK_LEVEL(IoDeleteSymbolicLink);
    NTSTATUS status = STATUS_SUCCESS;
    if (hk::TakeRoutineFault("IoDeleteSymbolicLink", &status)) {
        return status;
    }
    return K().Links.erase(hk::Upcase(hk::FromCounted(SymbolicLinkName))) != 0
               ? STATUS_SUCCESS
               : STATUS_OBJECT_NAME_NOT_FOUND;
}
