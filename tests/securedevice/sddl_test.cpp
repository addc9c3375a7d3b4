// The driver's SDDL parser on the host kernel without the kernel's
// converter: descriptors byte for byte, the grammar's rules and statuses,
// the counted string's two forms, the ACL size limit, and release of every
// allocation on every failure.
#include "securedevice/sddl_parser.h"
#include "tests/securedevice/descriptor_view.h"
#include "tests/support/kernel_test.h"

#include <tuple>

namespace {

constexpr ULONG kGenericAll = 0x10000000;
constexpr ULONG kAclTag = 0x6C416553; // the parser's ACL
const std::string kSystem = "S-1-5-18";
const std::string kAdmins = "S-1-5-32-544";

class SddlTest : public KernelTest {
  protected:
    // The ACEs of a text that must convert.
    std::vector<AceView> Aces(const std::u16string& text) {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        std::vector<uint8_t> descriptor = Convert(text, &status);
        EXPECT_EQ(status, STATUS_SUCCESS) << Ascii(text);
        return descriptor.empty() ? std::vector<AceView>{} : DaclAces(descriptor);
    }
    // The status of a text; a failure must hand out nothing and leave nothing.
    NTSTATUS StatusOf(const std::u16string& text) {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        std::vector<uint8_t> descriptor = Convert(text, &status);
        if (!NT_SUCCESS(status)) {
            EXPECT_TRUE(descriptor.empty()) << "descriptor handed out on failure";
        }
        EXPECT_TRUE(hk::FindLeaks().empty()) << Ascii(text);
        return status;
    }
};

TEST_F(SddlTest, DeviceStringAndEmptySectionsByteForByte) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::vector<uint8_t> descriptor = Convert(u"D:P(A;; GA;;; SY)(A;; GA;;; BA)", &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(descriptor,
              Bytes({
                  0x01, 0x00, 0x0C, 0x90, 0,    0,    0,    0,    0,  0, 0, 0, 0,    0,    0, 0, //
                  0x14, 0x00, 0x00, 0x00,                                                        //
                  0x02, 0x00, 0x34, 0x00, 0x02, 0x00, 0x00, 0x00,                                //
                  0x00, 0x00, 0x14, 0x00, 0x00, 0x00, 0x00, 0x10,                                //
                  0x01, 0x01, 0,    0,    0,    0,    0,    5,    18, 0, 0, 0,                   //
                  0x00, 0x00, 0x18, 0x00, 0x00, 0x00, 0x00, 0x10,                                //
                  0x01, 0x02, 0,    0,    0,    0,    0,    5,    32, 0, 0, 0, 0x20, 0x02, 0, 0,
              }));
    EXPECT_EQ(ControlOf(Convert(u"D:P(A;;GA;;;SY)", &status, FALSE)), 0x9004) << "no mark asked";
    EXPECT_EQ(ControlOf(Convert(u"D:(A;;GA;;;SY)", &status, FALSE)), 0x8004);

    // Empty sections grant nothing.
    for (const std::u16string text : {u"D:", u"D:P", u"D:   ", u"  D:P  "}) {
        descriptor = Convert(text, &status);
        ASSERT_EQ(status, STATUS_SUCCESS) << Ascii(text);
        ASSERT_EQ(descriptor.size(), 28u) << Ascii(text);
        EXPECT_EQ(std::vector<uint8_t>(descriptor.begin() + 20, descriptor.end()),
                  Bytes({2, 0, 8, 0, 0, 0, 0, 0}))
            << "an 8-byte ACL with no ACEs: " << Ascii(text);
    }
}

TEST_F(SddlTest, EveryFailureStatus) {
    const std::pair<NTSTATUS, std::vector<const char16_t*>> cases[] = {
        {STATUS_INVALID_PARAMETER,
         {u"d:(A;;GA;;;SY)", u"D:p(A;;GA;;;SY)", u"D: P(A;;GA;;;SY)", u"D:P(A;;GA;;;SY)S:",
          u"D::(A;;GA;;;SY)", u"D:P:", u"D:(A;;GA;;SY)", u"D:x", u"D:(D;;GA;;;SY)",
          u"D:(A;OICI;GA;;;SY)", u"D:(A;;GA ;;;SY)", u"D:(A;;ZZ;;;SY)", u"D:(A;;0x;;;SY)",
          u"D:(A;;0x100000000;;;SY)", u"D:(A;;GA;x;;SY)", u"D:(A;;GA;;x;SY)", u"",
          u"\tD:(A;;GA;;;SY)", u"D:(A", u";;;;;", u"D:;;;;;",
          // The character after the type is passed over: the blank takes the
          // semicolon's place.
          u"D:(A ;;GA;;;SY)"}},
        {STATUS_NONE_MAPPED, {u"D:(A;;GA;;;XY)", u"D:(A;;GA;;;\tSY)"}},
        {STATUS_INVALID_ACL, {u"D:(A;;GA;;;SY", u"D:(A;;GA;;;SYS)"}},
        // Trailing text without separators is ignored.
        {STATUS_SUCCESS, {u"D:(A;;GA;;;SY)\t", u"D:(A;;GA;;;SY)tail", u"D:(A;;GA;;;SY) "}},
    };
    for (auto& [expected, texts] : cases) {
        for (const char16_t* text : texts) {
            EXPECT_EQ(StatusOf(text), expected) << Ascii(text);
        }
    }
}

// Texts of one ACE, by the mask they grant: the rights field's codes,
// numbers and blanks, and blanks and case where the grammar allows them.
TEST_F(SddlTest, TextsOfOneAce) {
    const std::pair<ULONG, std::vector<const char16_t*>> cases[] = {
        {0x30000000, {u"D:(A;;GA GX;;;SY)", u"D:(A;;GAGX;;;SY)"}},
        {0x1F01FF, {u"D:(A;;0x1F01FF;;;SY)"}},
        {0x1, {u"D:(A;;GA0x1;;;SY)"}},        // a number replaces the codes before it
        {0x10000001, {u"D:(A;;0x1GA;;;SY)"}}, // codes after a number are added
        {0xFA, {u"D:(A;;FA;;;SY)"}},          // hexadecimal without prefix
        {0xABCDEF, {u"D:(A;;0xabcdef;;;SY)"}},
        {123, {u"D:(A;;123;;;SY)"}},
        {19, {u"D:(A;;019;;;SY)"}}, // decimal from any digit on, a leading zero too
        {90, {u"D:(A;;90;;;SY)"}},
        {0xFFFFFFFF, {u"D:(A;;4294967295;;;SY)", u"D:(A;;0XffffFFFF;;;SY)"}},
        {0, {u"D:(A;;;;;SY)", u"D:(A;; ;;;SY)"}}, // blanks, then the semicolon: an empty field
        {0xE00F0000, {u"D:(A;;rc wd wo sd gr gw gx;;;SY)"}},
        {12, {u"D:(A;;GR12;;;SY)"}},
        {0x8000000C, {u"D:(A;;12GR;;;SY)"}},
        // The opening parenthesis is optional.
        {kGenericAll,
         {u"D:(a;;ga;;;sy)", u"   D:(A;;GA;;;SY)", u"D:  (  A;  ; GA;  ;  ;  SY  )  ",
          u"D:A;;GA;;;SY)"}},
    };
    for (auto& [mask, texts] : cases) {
        for (const char16_t* text : texts) {
            EXPECT_EQ(Aces(text), (std::vector<AceView>{{0, 0, mask, kSystem}})) << Ascii(text);
        }
    }
    EXPECT_EQ(Aces(u"D:(A;;RC;;;RC)"), (std::vector<AceView>{{0, 0, 0x20000, "S-1-5-12"}}));
    EXPECT_EQ(Aces(u"D:(A;;GA;;;SY)((A;;GA;;;BA)"),
              (std::vector<AceView>{{0, 0, kGenericAll, kSystem}, {0, 0, kGenericAll, kAdmins}}));
}

TEST_F(SddlTest, EveryAliasAndTheVersionGatedOnes) {
    const std::pair<const char16_t*, const char*> aliases[] = {
        {u"WD", "S-1-1-0"},      {u"BA", "S-1-5-32-544"},
        {u"SY", "S-1-5-18"},     {u"IU", "S-1-5-4"},
        {u"RC", "S-1-5-12"},     {u"AU", "S-1-5-11"},
        {u"NU", "S-1-5-2"},      {u"AN", "S-1-5-7"},
        {u"BG", "S-1-5-32-546"}, {u"BU", "S-1-5-32-545"},
        {u"LS", "S-1-5-19"},     {u"NS", "S-1-5-20"},
        {u"AC", "S-1-15-2-1"},   {u"UD", "S-1-5-84-0-0-0-0-0"},
    };
    for (auto& [alias, sid] : aliases) {
        std::u16string text = u"D:(A;;GA;;;" + std::u16string(alias) + u")";
        EXPECT_EQ(Aces(text), (std::vector<AceView>{{0, 0, kGenericAll, sid}})) << sid;
    }
    hk::SetWdmVersion(1, 0x10);
    EXPECT_EQ(Aces(u"D:(A;;GA;;;LS)(A;;GA;;;SY)(A;;GA;;;NS)(A;;GA;;;AC)(A;;GA;;;UD)"),
              (std::vector<AceView>{{0, 0, kGenericAll, kSystem}}));
    EXPECT_EQ(Aces(u"D:(A;;GA;;;ls)").size(), 0u);
    hk::SetWdmVersion(1, 0x20);
    EXPECT_EQ(Aces(u"D:(A;;GA;;;LS)").size(), 1u) << "available from 1.0x20 on";
}

TEST_F(SddlTest, CountedStringParsedInPlaceOrCopied) {
    constexpr ULONG kTextTag = 0x73546553;
    std::u16string text = u"D:(A;;GA;;;SY)";
    std::u16string longer = text + u"(A;;GA;;;BA)";
    hk::FailAllocationsWithTag(kTextTag);
    UNICODE_STRING inPlace = Counted(text, 2); // the terminator lies inside the capacity
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(ConvertSddlString(&inPlace, TRUE, &descriptor), STATUS_SUCCESS)
        << "terminated within its capacity: no copy";
    ExFreePoolWithTag(descriptor, 0);

    UNICODE_STRING copied = Counted(longer);
    copied.Length = static_cast<USHORT>(text.size() * 2); // the rest lies beyond Length
    for (USHORT capacity : {copied.MaximumLength, static_cast<USHORT>(copied.MaximumLength + 4)}) {
        copied.MaximumLength = capacity;
        descriptor = reinterpret_cast<PSECURITY_DESCRIPTOR>(1);
        EXPECT_EQ(ConvertSddlString(&copied, TRUE, &descriptor), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(descriptor, nullptr);
    }
    hk::ClearFaults();
    ASSERT_EQ(ConvertSddlString(&copied, TRUE, &descriptor), STATUS_SUCCESS);
    EXPECT_EQ(DaclAces(DescriptorBytes(descriptor)),
              (std::vector<AceView>{{0, 0, kGenericAll, kSystem}}))
        << "only Length bytes are text";
    ExFreePoolWithTag(descriptor, 0);
}

TEST_F(SddlTest, EveryFailureReleasesEverything) {
    int failures = 0;
    for (uint64_t n = 1; n < 10; n++) {
        hk::FailNthAllocation(n);
        NTSTATUS status = StatusOf(u"D:P(A;; GA;;; SY)(A;; GA;;; BA)");
        hk::ClearFaults();
        failures += NT_SUCCESS(status) ? 0 : 1;
        EXPECT_TRUE(NT_SUCCESS(status) || status == STATUS_INSUFFICIENT_RESOURCES) << n;
    }
    EXPECT_EQ(failures, 3) << "the text copy, the ACL and the descriptor";
    // The self-relative form cannot be written into the buffer sized for it.
    hk::FailRoutine("RtlAbsoluteToSelfRelativeSD", STATUS_BAD_DESCRIPTOR_FORMAT, 1, 1);
    EXPECT_EQ(StatusOf(u"D:P(A;;GA;;;SY)"), STATUS_BAD_DESCRIPTOR_FORMAT);
}

// 8 + 3276 * 20 = 65528 bytes fit in an ACL; one ACE more does not. The
// reservation of 48 bytes per ACE is not the limit: with small ACEs far more
// than 1365 fit.
TEST_F(SddlTest, AclSizeLimitIsTheBytesUsed) {
    auto convert = [](size_t count, const std::u16string& alias, NTSTATUS* status) {
        std::u16string text = u"D:";
        for (size_t i = 0; i < count; i++) {
            text += u"(A;;GA;;;" + alias + u")";
        }
        return Convert(text, status);
    };
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::vector<uint8_t> bytes = convert(3276, u"WD", &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(bytes[22] | bytes[23] << 8, 65528) << "ACL size";
    EXPECT_EQ(bytes[24] | bytes[25] << 8, 3276) << "ACE count";
    EXPECT_TRUE(convert(3277, u"WD", &status).empty()) << "nothing handed out";
    EXPECT_EQ(status, STATUS_ALLOTTED_SPACE_EXCEEDED);
    bytes = convert(1640, u"BA", &status); // 8 + 1640 * 24 = 39368 bytes
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(DaclAces(bytes).size(), 1640u);
}

TEST_F(SddlTest, AppendGrowsTheAclForTheAcesStillToCome) {
    auto acl = static_cast<PACL>(ExAllocatePoolWithTag(PagedPool, 28, kAclTag));
    ASSERT_EQ(RtlCreateAcl(acl, 28, ACL_REVISION), STATUS_SUCCESS);
    ULONG used = 8;
    PSID system = SeExports->SeLocalSystemSid;
    ASSERT_EQ(AppendAllowedAce(&acl, &used, 1, 3, system), STATUS_SUCCESS);
    EXPECT_EQ(acl->AclSize, 28) << "room enough: no growth";
    ASSERT_EQ(AppendAllowedAce(&acl, &used, 2, 2, SeExports->SeAliasAdminsSid), STATUS_SUCCESS);
    EXPECT_EQ(std::tuple(used, acl->AclSize, acl->AceCount), std::tuple(52u, 28 + 24 * 2, 2))
        << "the size: used bytes plus two ACEs of this size";
    hk::FailAllocationsWithTag(kAclTag);
    ASSERT_EQ(AppendAllowedAce(&acl, &used, 3, 2, SeExports->SeAliasAdminsSid), STATUS_SUCCESS);
    EXPECT_EQ(AppendAllowedAce(&acl, &used, 4, 1, system), STATUS_INSUFFICIENT_RESOURCES)
        << "no pool to grow into";
    EXPECT_EQ(std::tuple(used, acl->AclSize, acl->AceCount), std::tuple(76u, 76, 3))
        << "left as it was";
    ULONG full = 0xFFF8;
    EXPECT_EQ(AppendAllowedAce(&acl, &full, 3, 1, system), STATUS_ALLOTTED_SPACE_EXCEEDED);
    EXPECT_EQ(full, 0xFFF8u) << "left as it was";
    ExFreePoolWithTag(acl, kAclTag);
}

TEST_F(SddlTest, RightsNumbersAndCodesAtTheirEdges) {
    PCWSTR next = nullptr;
    ULONG value = 7;
    const char16_t* text = u"0x;";
    EXPECT_FALSE(ParseRightsNumber(text, &next, &value));
    EXPECT_EQ(next, text);
    EXPECT_EQ(value, 0u);
    EXPECT_FALSE(ParseRightsNumber(u"Z", &next, &value));
    EXPECT_FALSE(ParseRightsNumber(u"", &next, &value));
    text = u"19fa";
    ASSERT_TRUE(ParseRightsNumber(text, &next, &value));
    EXPECT_EQ(value, 19u) << "decimal stops at the first other character";
    EXPECT_EQ(next, text + 2);
    ACCESS_MASK mask = 5;
    text = u"G";
    EXPECT_FALSE(LookupRightsCode(text, &mask, &next)) << "no read past the terminator";
    EXPECT_EQ(mask, 0u);
    EXPECT_EQ(next, text);
    PSID sid = reinterpret_cast<PSID>(1);
    EXPECT_EQ(LookupSidAlias(u"S", &sid, &next), STATUS_NONE_MAPPED);
    EXPECT_EQ(sid, nullptr);
}

// A marked DACL alone: every creation of the secure device's tests.
TEST_F(SddlTest, DescriptorPartsReported) {
    BOOLEAN defaulted = TRUE;
    SECURITY_INFORMATION information = 0;
    // Owner and group LocalSystem and an empty SACL, self-relative.
    std::vector<uint8_t> full = Bytes({
        0x01, 0x00, 0x10, 0x80, 0x1C, 0, 0, 0, 0x28, 0, 0, 0, // control, owner, group
        0x14, 0,    0,    0,    0,    0, 0, 0,                // SACL, no DACL
        0x02, 0x00, 0x08, 0x00, 0,    0, 0, 0,                // the SACL
        0x01, 0x01, 0,    0,    0,    0, 0, 5, 18,   0, 0, 0, // the owner
        0x01, 0x01, 0,    0,    0,    0, 0, 5, 18,   0, 0, 0, // the group
    });
    ASSERT_EQ(QuerySecurityDescriptorParts(full.data(), &defaulted, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 0xBu) << "owner, group and SACL; no DACL";
    EXPECT_FALSE(defaulted) << "no DACL: not defaulted";

    full[0] = 2;
    information = 7;
    EXPECT_EQ(QuerySecurityDescriptorParts(full.data(), &defaulted, &information),
              STATUS_UNKNOWN_REVISION);
    EXPECT_EQ(information, 0u);
}

// The kernel's converter, where it exists: it gets the text and revision 1,
// and its descriptor gets the defaulted mark when asked for.
std::vector<std::pair<std::u16string, ULONG>> g_calls; // texts and revisions received
NTSTATUS g_converterStatus = STATUS_SUCCESS;

NTSTATUS KernelConverter(PCWSTR StringSecurityDescriptor, ULONG StringSDRevision,
                         PSECURITY_DESCRIPTOR* SecurityDescriptor, PULONG) {
    g_calls.push_back({std::u16string(StringSecurityDescriptor), StringSDRevision});
    if (!NT_SUCCESS(g_converterStatus)) {
        *SecurityDescriptor = reinterpret_cast<PSECURITY_DESCRIPTOR>(0xBAD);
        return g_converterStatus;
    }
    // A descriptor the own parser could never make: an owner and a DACL.
    std::vector<uint8_t> bytes = hk::SddlDescriptor(u"O:SYD:");
    *SecurityDescriptor = ExAllocatePoolWithTag(PagedPool, bytes.size(), 'KrSd');
    std::memcpy(*SecurityDescriptor, bytes.data(), bytes.size());
    return STATUS_SUCCESS;
}

class KernelConverterTest : public SddlTest {
  protected:
    void SetUp() override {
        SddlTest::SetUp();
        g_calls.clear();
        g_converterStatus = STATUS_SUCCESS;
        hk::SetExport("SeConvertStringSecurityDescriptorToSecurityDescriptor",
                      reinterpret_cast<void*>(KernelConverter));
    }
};

TEST_F(KernelConverterTest, KernelConvertsAndTheMarkIsAdded) {
    hk::FailAllocationsWithTag(kAclTag);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::vector<uint8_t> marked = Convert(u"O:SYD:(A;;GA;;;WD)", &status, TRUE);
    ASSERT_EQ(status, STATUS_SUCCESS) << "the own parser would refuse the owner section";
    EXPECT_EQ(ControlOf(marked), 0x800C);
    EXPECT_EQ(ControlOf(Convert(u"D:", &status, FALSE)), 0x8004) << "no mark asked: unchanged";
    ASSERT_EQ(g_calls.size(), 2u);
    EXPECT_EQ(g_calls[0], std::make_pair(std::u16string(u"O:SYD:(A;;GA;;;WD)"), ULONG{1}));

    g_converterStatus = static_cast<NTSTATUS>(0xC0000456);
    std::vector<uint8_t> none = Convert(u"D:", &status, TRUE);
    EXPECT_EQ(status, static_cast<NTSTATUS>(0xC0000456)) << "its status, unchanged";
    EXPECT_TRUE(none.empty()) << "no descriptor handed out after the kernel's failure";
    hk::RemoveExport("SeConvertStringSecurityDescriptorToSecurityDescriptor");
    hk::ClearFaults();
    Convert(u"D:", &status, TRUE);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(g_calls.size(), 3u) << "looked up on every call";
}

} // namespace
