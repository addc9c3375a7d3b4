// What the host kernel's security components share: the parts of a
// descriptor in either form, their checks and their self-relative layout,
// and the access check against a DACL.
#pragma once

#include "hostkernel/ke/components.h"
#include "hostkernel/se/security_control.h"

namespace hk {

// The parts of a descriptor, read from either form.
struct DescriptorParts {
    USHORT Control = 0;   // SE_ flags, SE_SELF_RELATIVE cleared
    PSID Owner = nullptr; // owner SID, or null
    PSID Group = nullptr; // group SID, or null
    PACL Sacl = nullptr;  // system ACL when SE_SACL_PRESENT
    PACL Dacl = nullptr;  // discretionary ACL when SE_DACL_PRESENT
};

// The parts of a descriptor that has revision 1; false otherwise. Offsets of
// a self-relative descriptor are trusted here: see ValidRelative.
bool ReadDescriptor(PSECURITY_DESCRIPTOR descriptor, DescriptorParts* parts);

// Whether a SID or an ACL is well formed; an ACL's ACEs must lie within its
// size, and `limit` bytes (if not 0) bound the SID.
bool SidIsValid(const void* sid, size_t limit);
bool AclIsValid(const ACL* acl);

// A well-formed descriptor's parts, checked; the status the platform gives
// for the first malformed part, or success.
NTSTATUS CheckParts(const DescriptorParts& parts);

// The self-relative layout of the parts: header, SACL, DACL, owner, group.
std::vector<uint8_t> SelfRelativeBytes(const DescriptorParts& parts);

// SIDs of the same bytes.
bool SameSid(const void* a, const void* b);

// Whether the token holds a SID.
bool TokenHolds(const Token& token, const void* sid);

// The rights the token is granted by a self-relative descriptor (empty:
// no descriptor, everything granted), with generic rights in the ACEs mapped
// through the file generic mapping.
ACCESS_MASK GrantedAccess(const std::vector<uint8_t>& descriptor, const Token& token);

// The generic rights of files mapped to specific rights.
ACCESS_MASK MapFileGenericRights(ACCESS_MASK access);

// The descriptor a device object carries (empty when none was set).
const std::vector<uint8_t>& DeviceDescriptor(PDEVICE_OBJECT device);

// ObOpenObjectByPointer for a device object: the access asked for from user
// mode is checked against the device's descriptor.
NTSTATUS OpenDeviceObjectByPointer(PVOID Object, ULONG HandleAttributes, ACCESS_MASK DesiredAccess,
                                   KPROCESSOR_MODE AccessMode, PHANDLE Handle, const void* caller);

// The self-relative descriptor of a text in the descriptor's text form, as
// the kernel's converter reads it; its status when it cannot.
NTSTATUS DescriptorFromSddl(const std::u16string& text, std::vector<uint8_t>* descriptor);

// Resets: the WDM version, and the descriptors of device objects.
void ResetSecurity();
void ResetObjectSecurity();
void ResetOpenFiles();

} // namespace hk
