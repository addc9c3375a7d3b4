// The run-time library's security routines: SIDs, ACLs with access-allowed
// ACEs, descriptors in absolute and self-relative form, with the platform's
// checks and statuses.
#include "hostkernel/se/security_internal.h"
#include "hostkernel/verifier/levels.h"

#include <cstring>

namespace hk {

namespace {

constexpr size_t kSidHeader = 8; // revision, count, authority

// A SID's header is read byte by byte: a descriptor from the registry may
// place its SIDs at any offset.
ULONG SidLength(const void* sid) {
    return static_cast<ULONG>(kSidHeader + 4 * static_cast<const uint8_t*>(sid)[1]);
}

ULONG LongAlign(ULONG size) {
    return (size + 3) & ~3u;
}

ULONG PartsLength(const DescriptorParts& parts) {
    ULONG length = sizeof(SECURITY_DESCRIPTOR_RELATIVE);
    if (parts.Owner != nullptr) {
        length += LongAlign(SidLength(parts.Owner));
    }
    if (parts.Group != nullptr) {
        length += LongAlign(SidLength(parts.Group));
    }
    if ((parts.Control & SE_SACL_PRESENT) && parts.Sacl != nullptr) {
        length += LongAlign(parts.Sacl->AclSize);
    }
    if ((parts.Control & SE_DACL_PRESENT) && parts.Dacl != nullptr) {
        length += LongAlign(parts.Dacl->AclSize);
    }
    return length;
}

// The first free byte of an ACL after its ACEs, or null when the ACEs do not
// lie within it.
uint8_t* FirstFreeByte(PACL acl) {
    auto* at = reinterpret_cast<uint8_t*>(acl) + sizeof(ACL);
    auto* end = reinterpret_cast<uint8_t*>(acl) + acl->AclSize;
    for (USHORT i = 0; i < acl->AceCount; i++) {
        if (at + sizeof(ACE_HEADER) > end) {
            return nullptr;
        }
        USHORT size = reinterpret_cast<PACE_HEADER>(at)->AceSize;
        if (size < sizeof(ACE_HEADER) || at + size > end) {
            return nullptr;
        }
        at += size;
    }
    return at;
}

PISECURITY_DESCRIPTOR Absolute(PSECURITY_DESCRIPTOR descriptor) {
    return static_cast<PISECURITY_DESCRIPTOR>(descriptor);
}

} // namespace

bool SidIsValid(const void* sid, size_t limit) {
    if (sid == nullptr || (limit != 0 && limit < kSidHeader)) {
        return false;
    }
    auto* header = static_cast<const uint8_t*>(sid); // revision, then the count
    return header[0] == SID_REVISION && header[1] <= SID_MAX_SUB_AUTHORITIES &&
           (limit == 0 || SidLength(sid) <= limit);
}

bool AclIsValid(const ACL* acl) {
    if (acl == nullptr || acl->AclRevision < ACL_REVISION || acl->AclRevision > ACL_REVISION_DS ||
        acl->AclSize < sizeof(ACL) || (acl->AclSize & 3) != 0) {
        return false;
    }
    auto* at = reinterpret_cast<const uint8_t*>(acl) + sizeof(ACL);
    auto* end = reinterpret_cast<const uint8_t*>(acl) + acl->AclSize;
    for (USHORT i = 0; i < acl->AceCount; i++) {
        if (at + sizeof(ACE_HEADER) > end) {
            return false;
        }
        auto* header = reinterpret_cast<const ACE_HEADER*>(at);
        // ACEs are whole ULONGs, so that every one starts aligned.
        if (header->AceSize < sizeof(ACE_HEADER) || (header->AceSize & 3) != 0 ||
            at + header->AceSize > end) {
            return false;
        }
        if (header->AceType <= ACCESS_DENIED_ACE_TYPE &&
            !SidIsValid(at + 8, header->AceSize < 8 ? 1 : header->AceSize - 8)) {
            return false;
        }
        at += header->AceSize;
    }
    return true;
}

bool ReadDescriptor(PSECURITY_DESCRIPTOR descriptor, DescriptorParts* parts) {
    auto* header = static_cast<const SECURITY_DESCRIPTOR_RELATIVE*>(descriptor);
    if (descriptor == nullptr || header->Revision != SECURITY_DESCRIPTOR_REVISION) {
        return false;
    }
    *parts = DescriptorParts{};
    parts->Control = header->Control & ~SE_SELF_RELATIVE;
    if (header->Control & SE_SELF_RELATIVE) {
        auto* base = static_cast<uint8_t*>(descriptor);
        parts->Owner = header->Owner ? base + header->Owner : nullptr;
        parts->Group = header->Group ? base + header->Group : nullptr;
        parts->Sacl = header->Sacl ? reinterpret_cast<PACL>(base + header->Sacl) : nullptr;
        parts->Dacl = header->Dacl ? reinterpret_cast<PACL>(base + header->Dacl) : nullptr;
    } else {
        PISECURITY_DESCRIPTOR absolute = Absolute(descriptor);
        parts->Owner = absolute->Owner;
        parts->Group = absolute->Group;
        parts->Sacl = absolute->Sacl;
        parts->Dacl = absolute->Dacl;
    }
    return true;
}

NTSTATUS CheckParts(const DescriptorParts& parts) {
    if ((parts.Owner != nullptr && !SidIsValid(parts.Owner, 0)) ||
        (parts.Group != nullptr && !SidIsValid(parts.Group, 0))) {
        return STATUS_INVALID_SID;
    }
    if (((parts.Control & SE_SACL_PRESENT) && parts.Sacl != nullptr && !AclIsValid(parts.Sacl)) ||
        ((parts.Control & SE_DACL_PRESENT) && parts.Dacl != nullptr && !AclIsValid(parts.Dacl))) {
        return STATUS_INVALID_ACL;
    }
    return STATUS_SUCCESS;
}

std::vector<uint8_t> SelfRelativeBytes(const DescriptorParts& parts) {
    std::vector<uint8_t> bytes(PartsLength(parts));
    SECURITY_DESCRIPTOR_RELATIVE header{SECURITY_DESCRIPTOR_REVISION,
                                        0,
                                        static_cast<USHORT>(parts.Control | SE_SELF_RELATIVE),
                                        0,
                                        0,
                                        0,
                                        0};
    ULONG at = sizeof header;
    auto put = [&](const void* part, ULONG size, ULONG* offset) {
        std::memcpy(bytes.data() + at, part, size);
        *offset = at;
        at += LongAlign(size);
    };
    if ((parts.Control & SE_SACL_PRESENT) && parts.Sacl != nullptr) {
        put(parts.Sacl, parts.Sacl->AclSize, &header.Sacl);
    }
    if ((parts.Control & SE_DACL_PRESENT) && parts.Dacl != nullptr) {
        put(parts.Dacl, parts.Dacl->AclSize, &header.Dacl);
    }
    if (parts.Owner != nullptr) {
        put(parts.Owner, SidLength(parts.Owner), &header.Owner);
    }
    if (parts.Group != nullptr) {
        put(parts.Group, SidLength(parts.Group), &header.Group);
    }
    std::memcpy(bytes.data(), &header, sizeof header);
    return bytes;
}

bool SameSid(const void* a, const void* b) {
    return SidLength(a) == SidLength(b) && std::memcmp(a, b, SidLength(a)) == 0;
}

} // namespace hk

NTSTATUS RtlCreateSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG Revision) {
    HK_CHECK_LEVEL(RtlCreateSecurityDescriptor);
    if (Revision != SECURITY_DESCRIPTOR_REVISION) {
        return STATUS_UNKNOWN_REVISION;
    }
    *hk::Absolute(SecurityDescriptor) = SECURITY_DESCRIPTOR{};
    hk::Absolute(SecurityDescriptor)->Revision = SECURITY_DESCRIPTOR_REVISION;
    return STATUS_SUCCESS;
}

NTSTATUS RtlSetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, BOOLEAN DaclPresent,
                                      PACL Dacl, BOOLEAN DaclDefaulted) {
    HK_CHECK_LEVEL(RtlSetDaclSecurityDescriptor);
    PISECURITY_DESCRIPTOR descriptor = hk::Absolute(SecurityDescriptor);
    if (descriptor->Revision != SECURITY_DESCRIPTOR_REVISION) {
        return STATUS_UNKNOWN_REVISION;
    }
    if (descriptor->Control & SE_SELF_RELATIVE) {
        return STATUS_INVALID_SECURITY_DESCR;
    }
    descriptor->Control &= ~(SE_DACL_PRESENT | SE_DACL_DEFAULTED);
    descriptor->Dacl = nullptr;
    if (DaclPresent) {
        descriptor->Control |= SE_DACL_PRESENT;
        descriptor->Dacl = Dacl;
        if (DaclDefaulted) {
            descriptor->Control |= SE_DACL_DEFAULTED;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS RtlAbsoluteToSelfRelativeSD(PSECURITY_DESCRIPTOR AbsoluteSecurityDescriptor,
                                     PSECURITY_DESCRIPTOR SelfRelativeSecurityDescriptor,
                                     PULONG BufferLength) {
    HK_CHECK_LEVEL(RtlAbsoluteToSelfRelativeSD);
    NTSTATUS status = STATUS_SUCCESS;
    if (hk::TakeRoutineFault("RtlAbsoluteToSelfRelativeSD", &status)) {
        return status;
    }
    hk::DescriptorParts parts;
    if (!hk::ReadDescriptor(AbsoluteSecurityDescriptor, &parts)) {
        return STATUS_UNKNOWN_REVISION;
    }
    if (hk::Absolute(AbsoluteSecurityDescriptor)->Control & SE_SELF_RELATIVE) {
        return STATUS_BAD_DESCRIPTOR_FORMAT;
    }
    std::vector<uint8_t> bytes = hk::SelfRelativeBytes(parts);
    if (*BufferLength < bytes.size()) {
        *BufferLength = static_cast<ULONG>(bytes.size());
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(SelfRelativeSecurityDescriptor, bytes.data(), bytes.size());
    return STATUS_SUCCESS;
}

ULONG RtlLengthSid(PSID Sid) {
    HK_CHECK_LEVEL(RtlLengthSid);
    return hk::SidLength(Sid);
}

BOOLEAN RtlValidSid(PSID Sid) {
    return hk::SidIsValid(Sid, 0);
}

NTSTATUS RtlCreateAcl(PACL Acl, ULONG AclLength, ULONG AclRevision) {
    if (AclLength < sizeof(ACL) || AclLength > 0xFFFF) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (AclRevision < ACL_REVISION || AclRevision > ACL_REVISION_DS) {
        return STATUS_INVALID_PARAMETER;
    }
    *Acl =
        ACL{static_cast<UCHAR>(AclRevision), 0, static_cast<USHORT>((AclLength + 3) & ~3u), 0, 0};
    return STATUS_SUCCESS;
}

NTSTATUS RtlAddAccessAllowedAce(PACL Acl, ULONG AceRevision, ACCESS_MASK AccessMask, PSID Sid) {
    HK_CHECK_LEVEL(RtlAddAccessAllowedAce);
    if (!hk::SidIsValid(Sid, 0)) {
        return STATUS_INVALID_SID;
    }
    if (Acl->AclRevision < ACL_REVISION || Acl->AclRevision > ACL_REVISION_DS ||
        AceRevision < ACL_REVISION || AceRevision > ACL_REVISION_DS) {
        return STATUS_REVISION_MISMATCH;
    }
    uint8_t* free = hk::FirstFreeByte(Acl);
    if (free == nullptr) {
        return STATUS_INVALID_ACL;
    }
    ULONG aceSize = 8 + hk::SidLength(Sid);
    auto* end = reinterpret_cast<uint8_t*>(Acl) + Acl->AclSize;
    if (free + aceSize > end || Acl->AceCount == 0xFFFF) {
        return STATUS_ALLOTTED_SPACE_EXCEEDED;
    }
    ACE_HEADER header{ACCESS_ALLOWED_ACE_TYPE, 0, static_cast<USHORT>(aceSize)};
    std::memcpy(free, &header, sizeof header);
    std::memcpy(free + 4, &AccessMask, sizeof AccessMask);
    std::memcpy(free + 8, Sid, hk::SidLength(Sid));
    Acl->AceCount++;
    if (AceRevision > Acl->AclRevision) {
        Acl->AclRevision = static_cast<UCHAR>(AceRevision);
    }
    return STATUS_SUCCESS;
}

ULONG RtlLengthSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor) {
    HK_CHECK_LEVEL(RtlLengthSecurityDescriptor);
    hk::DescriptorParts parts;
    if (!hk::ReadDescriptor(SecurityDescriptor, &parts)) {
        return 0;
    }
    ULONG length = hk::PartsLength(parts);
    bool selfRelative = hk::Absolute(SecurityDescriptor)->Control & SE_SELF_RELATIVE;
    return selfRelative
               ? length
               : length - sizeof(SECURITY_DESCRIPTOR_RELATIVE) + sizeof(SECURITY_DESCRIPTOR);
}

NTSTATUS RtlGetOwnerSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PSID* Owner,
                                       PBOOLEAN OwnerDefaulted) {
    HK_CHECK_LEVEL(RtlGetOwnerSecurityDescriptor);
    NTSTATUS status = STATUS_SUCCESS;
    if (hk::TakeRoutineFault("RtlGetOwnerSecurityDescriptor", &status)) {
        return status;
    }
    hk::DescriptorParts parts;
    if (!hk::ReadDescriptor(SecurityDescriptor, &parts)) {
        return STATUS_UNKNOWN_REVISION;
    }
    *Owner = parts.Owner;
    *OwnerDefaulted = (parts.Control & SE_OWNER_DEFAULTED) != 0;
    return STATUS_SUCCESS;
}

NTSTATUS RtlGetGroupSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PSID* Group,
                                       PBOOLEAN GroupDefaulted) {
    HK_CHECK_LEVEL(RtlGetGroupSecurityDescriptor);
    hk::DescriptorParts parts;
    if (!hk::ReadDescriptor(SecurityDescriptor, &parts)) {
        return STATUS_UNKNOWN_REVISION;
    }
    *Group = parts.Group;
    *GroupDefaulted = (parts.Control & SE_GROUP_DEFAULTED) != 0;
    return STATUS_SUCCESS;
}

// As on the platform, the ACL and its defaulted flag are reported only when
// the ACL is present.
NTSTATUS RtlGetSaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PBOOLEAN SaclPresent,
                                      PACL* Sacl, PBOOLEAN SaclDefaulted) {
    HK_CHECK_LEVEL(RtlGetSaclSecurityDescriptor);
    hk::DescriptorParts parts;
    if (!hk::ReadDescriptor(SecurityDescriptor, &parts)) {
        return STATUS_UNKNOWN_REVISION;
    }
    *SaclPresent = (parts.Control & SE_SACL_PRESENT) != 0;
    if (*SaclPresent) {
        *Sacl = parts.Sacl;
        *SaclDefaulted = (parts.Control & SE_SACL_DEFAULTED) != 0;
    }
    return STATUS_SUCCESS;
}

NTSTATUS RtlGetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PBOOLEAN DaclPresent,
                                      PACL* Dacl, PBOOLEAN DaclDefaulted) {
    HK_CHECK_LEVEL(RtlGetDaclSecurityDescriptor);
    hk::DescriptorParts parts;
    if (!hk::ReadDescriptor(SecurityDescriptor, &parts)) {
        return STATUS_UNKNOWN_REVISION;
    }
    *DaclPresent = (parts.Control & SE_DACL_PRESENT) != 0;
    if (*DaclPresent) {
        *Dacl = parts.Dacl;
        *DaclDefaulted = (parts.Control & SE_DACL_DEFAULTED) != 0;
    }
    return STATUS_SUCCESS;
}

BOOLEAN RtlValidRelativeSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptorInput,
                                           ULONG SecurityDescriptorLength,
                                           SECURITY_INFORMATION RequiredInformation) {
    HK_CHECK_LEVEL(RtlValidRelativeSecurityDescriptor);
    auto* header = static_cast<const SECURITY_DESCRIPTOR_RELATIVE*>(SecurityDescriptorInput);
    if (SecurityDescriptorInput == nullptr ||
        SecurityDescriptorLength < sizeof(SECURITY_DESCRIPTOR_RELATIVE) ||
        header->Revision != SECURITY_DESCRIPTOR_REVISION || !(header->Control & SE_SELF_RELATIVE)) {
        return FALSE;
    }
    auto* base = static_cast<const uint8_t*>(SecurityDescriptorInput);
    auto sidFits = [&](ULONG offset) {
        return offset == 0 || (offset >= sizeof *header && offset < SecurityDescriptorLength &&
                               hk::SidIsValid(base + offset, SecurityDescriptorLength - offset));
    };
    auto aclFits = [&](ULONG offset) {
        if (offset == 0) {
            return true;
        }
        // An ACL starts on a ULONG boundary, as its ACEs are read in place.
        if (offset < sizeof *header || (offset & 3) != 0 || offset > SecurityDescriptorLength ||
            SecurityDescriptorLength - offset < sizeof(ACL)) {
            return false;
        }
        auto* acl = reinterpret_cast<const ACL*>(base + offset);
        return acl->AclSize <= SecurityDescriptorLength - offset && hk::AclIsValid(acl);
    };
    if (!sidFits(header->Owner) || !sidFits(header->Group) ||
        !aclFits((header->Control & SE_SACL_PRESENT) ? header->Sacl : 0) ||
        !aclFits((header->Control & SE_DACL_PRESENT) ? header->Dacl : 0)) {
        return FALSE;
    }
    return !((RequiredInformation & OWNER_SECURITY_INFORMATION) && header->Owner == 0) &&
           !((RequiredInformation & GROUP_SECURITY_INFORMATION) && header->Group == 0) &&
           !((RequiredInformation & DACL_SECURITY_INFORMATION) &&
             !(header->Control & SE_DACL_PRESENT)) &&
           !((RequiredInformation & SACL_SECURITY_INFORMATION) &&
             !(header->Control & SE_SACL_PRESENT));
}
