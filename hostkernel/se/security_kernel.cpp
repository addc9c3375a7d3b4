// The security reference monitor's part of the kernel: the well-known SIDs
// of SeExports, the capture of a descriptor, process tokens, and the WDM
// version the kernel reports.
#include "hostkernel/se/security_internal.h"
#include "hostkernel/verifier/levels.h"

#include <cstring>
#include <stdexcept>

namespace hk {

namespace {

// Storage of the well-known SIDs behind SeExports; they never change.
struct WellKnownSids {
    SE_EXPORTS Exports{};       // the record drivers read
    std::vector<SidBytes> Sids; // the SIDs its fields point into
};

WellKnownSids& Known() {
    static WellKnownSids known = [] {
        WellKnownSids made;
        const std::pair<PSID SE_EXPORTS::*, const char*> fields[] = {
            {&SE_EXPORTS::SeNullSid, "S-1-0-0"},
            {&SE_EXPORTS::SeWorldSid, "S-1-1-0"},
            {&SE_EXPORTS::SeLocalSid, "S-1-2-0"},
            {&SE_EXPORTS::SeCreatorOwnerSid, "S-1-3-0"},
            {&SE_EXPORTS::SeCreatorGroupSid, "S-1-3-1"},
            {&SE_EXPORTS::SeNtAuthoritySid, "S-1-5"},
            {&SE_EXPORTS::SeDialupSid, "S-1-5-1"},
            {&SE_EXPORTS::SeNetworkSid, "S-1-5-2"},
            {&SE_EXPORTS::SeBatchSid, "S-1-5-3"},
            {&SE_EXPORTS::SeInteractiveSid, "S-1-5-4"},
            {&SE_EXPORTS::SeLocalSystemSid, "S-1-5-18"},
            {&SE_EXPORTS::SeAliasAdminsSid, "S-1-5-32-544"},
            {&SE_EXPORTS::SeAliasUsersSid, "S-1-5-32-545"},
            {&SE_EXPORTS::SeAliasGuestsSid, "S-1-5-32-546"},
            {&SE_EXPORTS::SeAliasPowerUsersSid, "S-1-5-32-547"},
            {&SE_EXPORTS::SeAliasAccountOpsSid, "S-1-5-32-548"},
            {&SE_EXPORTS::SeAliasSystemOpsSid, "S-1-5-32-549"},
            {&SE_EXPORTS::SeAliasPrintOpsSid, "S-1-5-32-550"},
            {&SE_EXPORTS::SeAliasBackupOpsSid, "S-1-5-32-551"},
            {&SE_EXPORTS::SeAuthenticatedUsersSid, "S-1-5-11"},
            {&SE_EXPORTS::SeRestrictedSid, "S-1-5-12"},
            {&SE_EXPORTS::SeAnonymousLogonSid, "S-1-5-7"},
            {&SE_EXPORTS::SeLocalServiceSid, "S-1-5-19"},
            {&SE_EXPORTS::SeNetworkServiceSid, "S-1-5-20"},
            {&SE_EXPORTS::SeIUserSid, "S-1-5-17"},
            {&SE_EXPORTS::SeOwnerRightsSid, "S-1-3-4"},
            {&SE_EXPORTS::SeAllAppPackagesSid, "S-1-15-2-1"},
            {&SE_EXPORTS::SeUserModeDriversSid, "S-1-5-84-0-0-0-0-0"},
        };
        made.Sids.reserve(std::size(fields));
        for (auto& [field, text] : fields) {
            made.Sids.push_back(ParseSid(text));
            made.Exports.*field = made.Sids.back().data();
        }
        return made;
    }();
    return known;
}

struct WdmVersion {
    UCHAR Major = 6;    // major version the kernel reports
    UCHAR Minor = 0x30; // minor version
};
WdmVersion g_wdm;

Token MakeToken(const char* user, std::initializer_list<const char*> groups) {
    Token token{ParseSid(user), {}};
    for (const char* group : groups) {
        token.Groups.push_back(ParseSid(group));
    }
    return token;
}

} // namespace

SidBytes ParseSid(const std::string& text) {
    if (text.rfind("S-1-", 0) != 0) {
        throw std::invalid_argument("not a SID: " + text);
    }
    std::vector<uint64_t> numbers;
    size_t at = 4;
    while (at <= text.size()) {
        size_t end = text.find('-', at);
        std::string part = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (part.empty() || part.find_first_not_of("0123456789") != std::string::npos) {
            throw std::invalid_argument("not a SID: " + text);
        }
        numbers.push_back(std::stoull(part));
        if (end == std::string::npos) {
            break;
        }
        at = end + 1;
    }
    if (numbers.empty() || numbers.size() > 1 + SID_MAX_SUB_AUTHORITIES ||
        numbers[0] >= (1ULL << 48)) {
        throw std::invalid_argument("not a SID: " + text);
    }
    SidBytes sid(8 + 4 * (numbers.size() - 1));
    sid[0] = SID_REVISION;
    sid[1] = static_cast<uint8_t>(numbers.size() - 1);
    for (int i = 0; i < 6; i++) {
        sid[2 + i] = static_cast<uint8_t>(numbers[0] >> (8 * (5 - i)));
    }
    for (size_t i = 1; i < numbers.size(); i++) {
        uint32_t value = static_cast<uint32_t>(numbers[i]);
        std::memcpy(sid.data() + 8 + 4 * (i - 1), &value, 4);
    }
    return sid;
}

std::string SidText(const void* sid) {
    auto* bytes = static_cast<const uint8_t*>(sid);
    uint64_t authority = 0;
    for (int i = 0; i < 6; i++) {
        authority = authority << 8 | bytes[2 + i];
    }
    std::string text = "S-" + std::to_string(bytes[0]) + "-" + std::to_string(authority);
    for (int i = 0; i < bytes[1]; i++) {
        uint32_t value;
        std::memcpy(&value, bytes + 8 + 4 * i, 4);
        text += "-" + std::to_string(value);
    }
    return text;
}

Token LocalSystemToken() {
    return MakeToken("S-1-5-18", {"S-1-5-32-544", "S-1-1-0", "S-1-5-11"});
}

Token AdministratorToken() {
    return MakeToken("S-1-5-21-1004336348-1177238915-682003330-500",
                     {"S-1-5-32-544", "S-1-5-32-545", "S-1-1-0", "S-1-5-4", "S-1-5-11"});
}

Token StandardUserToken() {
    return MakeToken("S-1-5-21-1004336348-1177238915-682003330-1001",
                     {"S-1-5-32-545", "S-1-1-0", "S-1-5-4", "S-1-5-11"});
}

void SetProcessToken(HkProcess* process, const Token& token) {
    process->Token = token;
}

Token ProcessToken(HkProcess* process) {
    if (process->Token) {
        return *process->Token;
    }
    return process == K().System || process->Id == 0 ? LocalSystemToken() : AdministratorToken();
}

bool TokenHolds(const Token& token, const void* sid) {
    if (SameSid(token.User.data(), sid)) {
        return true;
    }
    for (const SidBytes& group : token.Groups) {
        if (SameSid(group.data(), sid)) {
            return true;
        }
    }
    return false;
}

void SetWdmVersion(UCHAR major, UCHAR minor) {
    g_wdm = WdmVersion{major, minor};
}

void ResetSecurity() {
    g_wdm = WdmVersion{};
    ResetObjectSecurity();
    ResetOpenFiles();
}

} // namespace hk

PSE_EXPORTS SeExports = &hk::Known().Exports;

BOOLEAN IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion) {
    HK_CHECK_LEVEL(IoIsWdmVersionAvailable);
    return MajorVersion < hk::g_wdm.Major ||
           (MajorVersion == hk::g_wdm.Major && MinorVersion <= hk::g_wdm.Minor);
}

NTSTATUS SeCaptureSecurityDescriptor(PSECURITY_DESCRIPTOR InputSecurityDescriptor,
                                     KPROCESSOR_MODE RequestorMode, POOL_TYPE PoolType,
                                     BOOLEAN ForceCapture,
                                     PSECURITY_DESCRIPTOR* OutputSecurityDescriptor) {
    HK_CHECK_LEVEL(SeCaptureSecurityDescriptor);
    NTSTATUS status = STATUS_SUCCESS;
    if (hk::TakeRoutineFault("SeCaptureSecurityDescriptor", &status)) {
        return status;
    }
    if (InputSecurityDescriptor == nullptr) {
        *OutputSecurityDescriptor = nullptr;
        return STATUS_SUCCESS;
    }
    hk::DescriptorParts parts;
    if (!hk::ReadDescriptor(InputSecurityDescriptor, &parts)) {
        return STATUS_UNKNOWN_REVISION;
    }
    status = hk::CheckParts(parts);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (RequestorMode == KernelMode && !ForceCapture) {
        *OutputSecurityDescriptor = InputSecurityDescriptor;
        return STATUS_SUCCESS;
    }
    std::vector<uint8_t> bytes = hk::SelfRelativeBytes(parts);
    PVOID copy = ExAllocatePoolWithTag(PoolType, bytes.size(), 0x63536553); // "SeSc"
    if (copy == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memcpy(copy, bytes.data(), bytes.size());
    *OutputSecurityDescriptor = copy;
    return STATUS_SUCCESS;
}
