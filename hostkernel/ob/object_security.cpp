// The object manager's view of device objects: handles opened by pointer,
// the security descriptor each device carries, and the access check that
// opening a device by name passes through.
#include "hostkernel/se/security_internal.h"
#include "hostkernel/verifier/levels.h"

#include <algorithm>
#include <cstring>

namespace hk {

namespace {

// The kind of handles to device objects.
const std::string kDeviceKind = "device object";

// Descriptors set on device objects, by device; deleted devices are kept
// until Reset, so an entry never outlives its device's address.
std::map<PDEVICE_OBJECT, std::vector<uint8_t>> g_descriptors;

bool IsLiveDevice(PVOID object) {
    const auto& devices = K().Devices;
    return std::find(devices.begin(), devices.end(), object) != devices.end();
}

// The access a change of these parts needs.
ACCESS_MASK AccessToSet(SECURITY_INFORMATION information) {
    ACCESS_MASK access = 0;
    if (information & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION)) {
        access |= WRITE_OWNER;
    }
    if (information & DACL_SECURITY_INFORMATION) {
        access |= WRITE_DAC;
    }
    if (information & SACL_SECURITY_INFORMATION) {
        access |= ACCESS_SYSTEM_SECURITY;
    }
    return access;
}

// The device's parts with those named by `information` taken from `given`.
DescriptorParts MergeParts(const std::vector<uint8_t>& current, const DescriptorParts& given,
                           SECURITY_INFORMATION information) {
    DescriptorParts parts;
    if (!current.empty()) {
        ReadDescriptor(const_cast<uint8_t*>(current.data()), &parts);
    }
    if (information & OWNER_SECURITY_INFORMATION) {
        parts.Owner = given.Owner;
        parts.Control =
            (parts.Control & ~SE_OWNER_DEFAULTED) | (given.Control & SE_OWNER_DEFAULTED);
    }
    if (information & GROUP_SECURITY_INFORMATION) {
        parts.Group = given.Group;
        parts.Control =
            (parts.Control & ~SE_GROUP_DEFAULTED) | (given.Control & SE_GROUP_DEFAULTED);
    }
    constexpr USHORT kDaclBits =
        SE_DACL_PRESENT | SE_DACL_DEFAULTED | SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED;
    constexpr USHORT kSaclBits =
        SE_SACL_PRESENT | SE_SACL_DEFAULTED | SE_SACL_PROTECTED | SE_SACL_AUTO_INHERITED;
    if (information & DACL_SECURITY_INFORMATION) {
        parts.Dacl = given.Dacl;
        parts.Control = (parts.Control & ~kDaclBits) | (given.Control & kDaclBits);
    }
    if (information & SACL_SECURITY_INFORMATION) {
        parts.Sacl = given.Sacl;
        parts.Control = (parts.Control & ~kSaclBits) | (given.Control & kSaclBits);
    }
    return parts;
}

} // namespace

void ResetObjectSecurity() {
    g_descriptors.clear();
}

const std::vector<uint8_t>& DeviceDescriptor(PDEVICE_OBJECT device) {
    static const std::vector<uint8_t> kNone;
    auto found = g_descriptors.find(device);
    return found == g_descriptors.end() ? kNone : found->second;
}

std::vector<uint8_t> DeviceSecurity(PDEVICE_OBJECT device) {
    return DeviceDescriptor(device);
}

void SetDeviceSecurity(PDEVICE_OBJECT device, const std::vector<uint8_t>& descriptor) {
    g_descriptors[device] = descriptor;
}

ACCESS_MASK MapFileGenericRights(ACCESS_MASK access) {
    constexpr ACCESS_MASK kFileGenericRead = 0x00120089;
    constexpr ACCESS_MASK kFileGenericWrite = 0x00120116;
    constexpr ACCESS_MASK kFileGenericExecute = 0x001200A0;
    constexpr ACCESS_MASK kFileAllAccess = 0x001F01FF;
    ACCESS_MASK mapped = access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    mapped |= (access & GENERIC_READ) ? kFileGenericRead : 0;
    mapped |= (access & GENERIC_WRITE) ? kFileGenericWrite : 0;
    mapped |= (access & GENERIC_EXECUTE) ? kFileGenericExecute : 0;
    mapped |= (access & GENERIC_ALL) ? kFileAllAccess : 0;
    return mapped;
}

// Walks the DACL in order: an allowed ACE grants its rights, a denied ACE
// withholds its rights from those not yet granted. The owner may always read
// and change the DACL.
ACCESS_MASK GrantedAccess(const std::vector<uint8_t>& descriptor, const Token& token) {
    constexpr ACCESS_MASK kEverything = 0x001F01FF | ACCESS_SYSTEM_SECURITY;
    DescriptorParts parts;
    if (descriptor.empty() || !ReadDescriptor(const_cast<uint8_t*>(descriptor.data()), &parts) ||
        !(parts.Control & SE_DACL_PRESENT) || parts.Dacl == nullptr) {
        return kEverything;
    }
    ACCESS_MASK granted = 0;
    ACCESS_MASK denied = 0;
    if (parts.Owner != nullptr && TokenHolds(token, parts.Owner)) {
        granted |= READ_CONTROL | WRITE_DAC;
    }
    auto* at = reinterpret_cast<const uint8_t*>(parts.Dacl) + sizeof(ACL);
    for (USHORT i = 0; i < parts.Dacl->AceCount; i++) {
        auto* header = reinterpret_cast<const ACE_HEADER*>(at);
        ACCESS_MASK mask;
        std::memcpy(&mask, at + 4, sizeof mask);
        mask = MapFileGenericRights(mask);
        bool applies = !(header->AceFlags & INHERIT_ONLY_ACE) && TokenHolds(token, at + 8);
        if (applies && header->AceType == ACCESS_ALLOWED_ACE_TYPE) {
            granted |= mask & ~denied;
        } else if (applies && header->AceType == ACCESS_DENIED_ACE_TYPE) {
            denied |= mask & ~granted;
        }
        at += header->AceSize;
    }
    return granted;
}

} // namespace hk

namespace hk {

// Opens a handle to a device object; the access asked for from user mode is
// checked against the device's descriptor with the generic mapping of files.
NTSTATUS OpenDeviceObjectByPointer(PVOID Object, ULONG HandleAttributes, ACCESS_MASK DesiredAccess,
                                   KPROCESSOR_MODE AccessMode, PHANDLE Handle, const void* caller) {
    if (!IsLiveDevice(Object)) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    auto device = static_cast<PDEVICE_OBJECT>(Object);
    ACCESS_MASK access = MapFileGenericRights(DesiredAccess);
    if (AccessMode != KernelMode) {
        Token token = ProcessToken(K().Current->Process);
        if ((GrantedAccess(DeviceDescriptor(device), token) & access) != access) {
            return STATUS_ACCESS_DENIED;
        }
    }
    // The handle does not keep the device alive: device objects are freed
    // only at Reset.
    std::shared_ptr<void> object(Object, [](void*) {});
    *Handle = InsertHandle(HandleEntry{
        kDeviceKind, object, access, (HandleAttributes & OBJ_KERNEL_HANDLE) != 0,
        K().Current->Process, caller, "device " + Hex(reinterpret_cast<uintptr_t>(Object))});
    return STATUS_SUCCESS;
}

} // namespace hk

NTSTATUS ZwSetSecurityObject(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                             PSECURITY_DESCRIPTOR SecurityDescriptor) {
    HK_CHECK_LEVEL(ZwSetSecurityObject);
    NTSTATUS status = STATUS_SUCCESS;
    if (hk::TakeRoutineFault("ZwSetSecurityObject", &status)) {
        return status;
    }
    hk::HandleEntry* entry = hk::LookupHandle(Handle);
    if (entry == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    if (entry->Kind != hk::kDeviceKind) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    ACCESS_MASK needed = hk::AccessToSet(SecurityInformation);
    if ((entry->Access & needed) != needed) {
        return STATUS_ACCESS_DENIED;
    }
    hk::DescriptorParts given;
    if (!hk::ReadDescriptor(SecurityDescriptor, &given)) {
        return STATUS_UNKNOWN_REVISION;
    }
    status = hk::CheckParts(given);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto device = static_cast<PDEVICE_OBJECT>(entry->Object.get());
    std::vector<uint8_t>& stored = hk::g_descriptors[device];
    stored = hk::SelfRelativeBytes(hk::MergeParts(stored, given, SecurityInformation));
    return STATUS_SUCCESS;
}
