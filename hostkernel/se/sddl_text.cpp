// The kernel's conversion of a descriptor's text form into a self-relative
// descriptor, as far as device and registry security need it: an owner
// ("O:") and a group ("G:") by alias or "S-1-..." text, and a DACL ("D:")
// with its flags (P, AI, AR) and allowed or denied ACEs whose object-type
// fields are empty. Blanks before a token are passed over. A SACL, object
// ACEs and conditional ACEs are not simulated and refuse the text.
#include "hostkernel/se/security_internal.h"

#include <cctype>
#include <cstring>
#include <stdexcept>

namespace hk {

namespace {

// Two-letter trustees and their SIDs.
const std::map<std::string, std::string> kSidAliases = {
    {"WD", "S-1-1-0"},      {"CO", "S-1-3-0"},      {"CG", "S-1-3-1"},      {"NU", "S-1-5-2"},
    {"IU", "S-1-5-4"},      {"AN", "S-1-5-7"},      {"AU", "S-1-5-11"},     {"RC", "S-1-5-12"},
    {"SY", "S-1-5-18"},     {"LS", "S-1-5-19"},     {"NS", "S-1-5-20"},     {"BA", "S-1-5-32-544"},
    {"BU", "S-1-5-32-545"}, {"BG", "S-1-5-32-546"}, {"PU", "S-1-5-32-547"}, {"AC", "S-1-15-2-1"},
};

// Two-letter rights and their masks.
const std::map<std::string, ACCESS_MASK> kRights = {
    {"GA", GENERIC_ALL},  {"GR", GENERIC_READ}, {"GW", GENERIC_WRITE}, {"GX", GENERIC_EXECUTE},
    {"RC", READ_CONTROL}, {"SD", DELETE},       {"WD", WRITE_DAC},     {"WO", WRITE_OWNER},
    {"FA", 0x001F01FF},   {"FR", 0x00120089},   {"FW", 0x00120116},    {"FX", 0x001200A0},
    {"KA", 0x000F003F},   {"KR", 0x00020019},   {"KW", 0x00020006},    {"KX", 0x00020019},
};

// ACE flags.
const std::map<std::string, UCHAR> kAceFlags = {
    {"OI", OBJECT_INHERIT_ACE},
    {"CI", CONTAINER_INHERIT_ACE},
    {"NP", 0x04},
    {"IO", INHERIT_ONLY_ACE},
    {"ID", 0x10},
};

class SddlReader {
  public:
    explicit SddlReader(std::string text) : text_(std::move(text)) {}

    NTSTATUS Read(std::vector<uint8_t>* descriptor);

  private:
    void SkipBlanks() {
        while (at_ < text_.size() && text_[at_] == ' ') {
            at_++;
        }
    }
    bool Take(char c) {
        SkipBlanks();
        if (at_ < text_.size() && text_[at_] == c) {
            at_++;
            return true;
        }
        return false;
    }
    std::string Two() {
        SkipBlanks();
        std::string two = text_.substr(at_, 2);
        for (char& c : two) {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        return two;
    }
    bool ReadSid(SidBytes* sid);
    bool ReadRights(ACCESS_MASK* mask);
    NTSTATUS ReadAce();
    NTSTATUS ReadDacl();

    std::string text_;
    size_t at_ = 0;
    SidBytes owner_;
    SidBytes group_;
    bool daclPresent_ = false;
    USHORT control_ = 0;
    std::vector<uint8_t> aces_;
    USHORT aceCount_ = 0;
};

bool SddlReader::ReadSid(SidBytes* sid) {
    std::string two = Two();
    if (two == "S-") {
        size_t end = at_ + 2;
        while (end < text_.size() &&
               (std::isdigit(static_cast<unsigned char>(text_[end])) || text_[end] == '-')) {
            end++;
        }
        try {
            *sid = ParseSid(text_.substr(at_, end - at_));
        } catch (const std::invalid_argument&) {
            return false;
        }
        at_ = end;
        return true;
    }
    auto alias = kSidAliases.find(two);
    if (alias == kSidAliases.end()) {
        return false;
    }
    *sid = ParseSid(alias->second);
    at_ += 2;
    return true;
}

// Codes are ORed; a number ("0x1F01FF" or decimal) stands alone.
bool SddlReader::ReadRights(ACCESS_MASK* mask) {
    *mask = 0;
    SkipBlanks();
    if (at_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[at_]))) {
        size_t used = 0;
        try {
            *mask = static_cast<ACCESS_MASK>(std::stoul(text_.substr(at_), &used, 0));
        } catch (...) {
            return false;
        }
        at_ += used;
        return true;
    }
    while (at_ < text_.size() && text_[at_] != ';') {
        auto right = kRights.find(Two());
        if (right == kRights.end()) {
            return false;
        }
        *mask |= right->second;
        at_ += 2;
        SkipBlanks();
    }
    return true;
}

NTSTATUS SddlReader::ReadAce() {
    std::string type = Two().substr(0, 1);
    if (type != "A" && type != "D") {
        return STATUS_INVALID_PARAMETER;
    }
    at_++;
    UCHAR flags = 0;
    if (!Take(';')) {
        return STATUS_INVALID_PARAMETER;
    }
    while (!Take(';')) {
        auto flag = kAceFlags.find(Two());
        if (flag == kAceFlags.end()) {
            return STATUS_INVALID_PARAMETER;
        }
        flags |= flag->second;
        at_ += 2;
    }
    ACCESS_MASK mask = 0;
    SidBytes sid;
    if (!ReadRights(&mask) || !Take(';') || !Take(';') || !Take(';')) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!ReadSid(&sid)) {
        return STATUS_NONE_MAPPED;
    }
    if (!Take(')')) {
        return STATUS_INVALID_ACL;
    }
    ACE_HEADER header{
        static_cast<UCHAR>(type == "A" ? ACCESS_ALLOWED_ACE_TYPE : ACCESS_DENIED_ACE_TYPE), flags,
        static_cast<USHORT>(8 + sid.size())};
    size_t start = aces_.size();
    aces_.resize(start + header.AceSize);
    std::memcpy(aces_.data() + start, &header, sizeof header);
    std::memcpy(aces_.data() + start + 4, &mask, sizeof mask);
    std::memcpy(aces_.data() + start + 8, sid.data(), sid.size());
    aceCount_++;
    return STATUS_SUCCESS;
}

NTSTATUS SddlReader::ReadDacl() {
    daclPresent_ = true;
    control_ |= SE_DACL_PRESENT;
    for (;;) {
        std::string two = Two();
        if (two.substr(0, 1) == "P") {
            control_ |= SE_DACL_PROTECTED;
            at_++;
        } else if (two == "AI") {
            control_ |= SE_DACL_AUTO_INHERITED;
            at_ += 2;
        } else if (two == "AR") {
            control_ |= 0x0100; // SE_DACL_AUTO_INHERIT_REQ
            at_ += 2;
        } else {
            break;
        }
    }
    while (Take('(')) {
        NTSTATUS status = ReadAce();
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS SddlReader::Read(std::vector<uint8_t>* descriptor) {
    for (SkipBlanks(); at_ < text_.size(); SkipBlanks()) {
        std::string section = Two();
        if (section.size() != 2 || section[1] != ':') {
            return STATUS_INVALID_PARAMETER;
        }
        at_ += 2;
        NTSTATUS status = STATUS_SUCCESS;
        if (section[0] == 'O' || section[0] == 'G') {
            status = ReadSid(section[0] == 'O' ? &owner_ : &group_) ? STATUS_SUCCESS
                                                                    : STATUS_NONE_MAPPED;
        } else if (section[0] == 'D' && !daclPresent_) {
            status = ReadDacl();
        } else {
            status = STATUS_INVALID_PARAMETER;
        }
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    std::vector<uint8_t> acl(sizeof(ACL) + aces_.size());
    ACL header{ACL_REVISION, 0, static_cast<USHORT>(acl.size()), aceCount_, 0};
    std::memcpy(acl.data(), &header, sizeof header);
    if (!aces_.empty()) {
        std::memcpy(acl.data() + sizeof header, aces_.data(), aces_.size());
    }
    DescriptorParts parts;
    parts.Control = control_;
    parts.Owner = owner_.empty() ? nullptr : owner_.data();
    parts.Group = group_.empty() ? nullptr : group_.data();
    parts.Dacl = daclPresent_ ? reinterpret_cast<PACL>(acl.data()) : nullptr;
    *descriptor = SelfRelativeBytes(parts);
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS DescriptorFromSddl(const std::u16string& text, std::vector<uint8_t>* descriptor) {
    std::string narrow;
    for (char16_t c : text) {
        if (c > 0x7E) {
            return STATUS_INVALID_PARAMETER;
        }
        narrow += static_cast<char>(c);
    }
    return SddlReader(narrow).Read(descriptor);
}

std::vector<uint8_t> SddlDescriptor(const std::u16string& sddl) {
    std::vector<uint8_t> descriptor;
    if (!NT_SUCCESS(DescriptorFromSddl(sddl, &descriptor))) {
        throw std::invalid_argument("not a descriptor's text: " + Narrow(sddl));
    }
    return descriptor;
}

} // namespace hk

NTSTATUS SeConvertStringSecurityDescriptorToSecurityDescriptor(
    PCWSTR StringSecurityDescriptor, ULONG StringSDRevision,
    PSECURITY_DESCRIPTOR* SecurityDescriptor, PULONG SecurityDescriptorLength) {
    NTSTATUS status = STATUS_SUCCESS;
    if (hk::TakeRoutineFault("SeConvertStringSecurityDescriptorToSecurityDescriptor", &status)) {
        return status;
    }
    if (StringSecurityDescriptor == nullptr || SecurityDescriptor == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (StringSDRevision != 1) {
        return STATUS_UNKNOWN_REVISION;
    }
    std::vector<uint8_t> bytes;
    status = hk::DescriptorFromSddl(StringSecurityDescriptor, &bytes);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PVOID copy = ExAllocatePoolWithTag(PagedPool, bytes.size(), 0x64536553); // "SeSd"
    if (copy == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memcpy(copy, bytes.data(), bytes.size());
    *SecurityDescriptor = copy;
    if (SecurityDescriptorLength != nullptr) {
        *SecurityDescriptorLength = static_cast<ULONG>(bytes.size());
    }
    return STATUS_SUCCESS;
}
