// Reading security descriptors in tests: their bytes, and the ACEs of their
// DACL with SIDs as "S-1-..." text.
#pragma once

#include "hostkernel/se/security_control.h"
#include "securedevice/sddl.h"
#include "tests/sim/test_text.h"

#include <cstring>
#include <string>
#include <vector>

// One ACE of a DACL.
struct AceView {
    uint8_t Type = 0;  // ACE type
    uint8_t Flags = 0; // inheritance flags
    uint32_t Mask = 0; // access mask
    std::string Sid;   // trustee, "S-1-..."
    bool operator==(const AceView&) const = default;
};

// The bytes of a self-relative descriptor.
inline std::vector<uint8_t> DescriptorBytes(PSECURITY_DESCRIPTOR descriptor) {
    auto* bytes = static_cast<const uint8_t*>(descriptor);
    return std::vector<uint8_t>(bytes, bytes + RtlLengthSecurityDescriptor(descriptor));
}

// The control word of a self-relative descriptor.
inline uint16_t ControlOf(const std::vector<uint8_t>& descriptor) {
    return static_cast<uint16_t>(descriptor.at(2) | descriptor.at(3) << 8);
}

// The ACEs of a self-relative descriptor's DACL.
inline std::vector<AceView> DaclAces(const std::vector<uint8_t>& descriptor) {
    uint32_t offset;
    std::memcpy(&offset, descriptor.data() + 16, 4);
    std::vector<AceView> aces;
    if (offset == 0) {
        return aces;
    }
    const uint8_t* acl = descriptor.data() + offset;
    uint16_t count;
    std::memcpy(&count, acl + 4, 2);
    const uint8_t* at = acl + 8;
    for (uint16_t i = 0; i < count; i++) {
        AceView ace{at[0], at[1], 0, hk::SidText(at + 8)};
        std::memcpy(&ace.Mask, at + 4, 4);
        aces.push_back(ace);
        at += at[2] | at[3] << 8;
    }
    return aces;
}

// A counted string over a text that outlives it; `extra` bytes of capacity
// beyond the text.
inline UNICODE_STRING Counted(const std::u16string& text, USHORT extra = 0) {
    USHORT bytes = static_cast<USHORT>(text.size() * sizeof(char16_t));
    return UNICODE_STRING{bytes, static_cast<USHORT>(bytes + extra),
                          const_cast<PWSTR>(text.data())};
}

// Converts an SDDL text; the descriptor's bytes, empty on failure. A text
// too long for a counted string is converted as terminated text.
inline std::vector<uint8_t> Convert(const std::u16string& text, NTSTATUS* status,
                                    ULONG markDefaulted = TRUE) {
    UNICODE_STRING sddl = Counted(text);
    PSECURITY_DESCRIPTOR descriptor = reinterpret_cast<PSECURITY_DESCRIPTOR>(1);
    *status = text.size() > 32767 ? ConvertSddlText(text.c_str(), markDefaulted, &descriptor)
                                  : ConvertSddlString(&sddl, markDefaulted, &descriptor);
    if (!NT_SUCCESS(*status)) {
        return descriptor == nullptr ? std::vector<uint8_t>{} : std::vector<uint8_t>{0xBA, 0xD};
    }
    std::vector<uint8_t> bytes = DescriptorBytes(descriptor);
    ExFreePoolWithTag(descriptor, 0);
    return bytes;
}
