// The host kernel's security routines as drivers see them: SIDs and ACLs,
// descriptors in both forms with the platform's statuses, the capture and
// validation of descriptors, the well-known SIDs, and the bounded wide
// formatter.
#include "hostkernel/se/security_control.h"
#include "tests/support/kernel_test.h"

#include <cstring>

namespace {

class SecurityTest : public KernelTest {};

TEST_F(SecurityTest, AclsTakeAcesUntilTheyAreFull) {
    std::vector<uint8_t> system = hk::ParseSid("S-1-5-18");
    std::vector<uint8_t> buffer(8 + 20 + 4);
    PACL acl = reinterpret_cast<PACL>(buffer.data());
    ASSERT_EQ(RtlCreateAcl(acl, static_cast<ULONG>(buffer.size()), ACL_REVISION), STATUS_SUCCESS);
    EXPECT_EQ(RtlLengthSid(system.data()), 12u);
    ASSERT_EQ(RtlAddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, system.data()),
              STATUS_SUCCESS);
    EXPECT_EQ(RtlAddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, system.data()),
              STATUS_ALLOTTED_SPACE_EXCEEDED);
    EXPECT_EQ(acl->AceCount, 1);
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin() + 8, buffer.begin() + 16),
              Bytes({0, 0, 20, 0, 0, 0, 0, 0x10}));
    system[0] = 2;
    EXPECT_EQ(RtlAddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, system.data()),
              STATUS_INVALID_SID);
}

// The self-relative form needs its length, is validated against the length
// it is given, and is what a capture makes of a descriptor.
TEST_F(SecurityTest, SelfRelativeFormIsSizedValidatedAndCaptured) {
    std::vector<uint8_t> owner = hk::ParseSid("S-1-5-32-544");
    std::vector<uint8_t> acl = Bytes({2, 0, 8, 0, 0, 0, 0, 0});
    SECURITY_DESCRIPTOR absolute;
    ASSERT_EQ(RtlCreateSecurityDescriptor(&absolute, 2), STATUS_UNKNOWN_REVISION);
    ASSERT_EQ(RtlCreateSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION), STATUS_SUCCESS);
    absolute.Owner = owner.data();
    ASSERT_EQ(
        RtlSetDaclSecurityDescriptor(&absolute, TRUE, reinterpret_cast<PACL>(acl.data()), TRUE),
        STATUS_SUCCESS);
    EXPECT_EQ(RtlLengthSecurityDescriptor(&absolute), 40u + 16 + 8);
    ULONG length = 10;
    EXPECT_EQ(RtlAbsoluteToSelfRelativeSD(&absolute, nullptr, &length), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 20u + 8 + 16);
    std::vector<uint8_t> relative(length);
    ASSERT_EQ(RtlAbsoluteToSelfRelativeSD(&absolute, relative.data(), &length), STATUS_SUCCESS);
    EXPECT_EQ(RtlLengthSecurityDescriptor(relative.data()), 44u);
    EXPECT_EQ(RtlAbsoluteToSelfRelativeSD(relative.data(), relative.data(), &length),
              STATUS_BAD_DESCRIPTOR_FORMAT);
    EXPECT_EQ(RtlSetDaclSecurityDescriptor(relative.data(), FALSE, nullptr, FALSE),
              STATUS_INVALID_SECURITY_DESCR);

    EXPECT_TRUE(RtlValidRelativeSecurityDescriptor(relative.data(), 44, 0));
    EXPECT_TRUE(RtlValidRelativeSecurityDescriptor(relative.data(), 44, 5));
    EXPECT_FALSE(RtlValidRelativeSecurityDescriptor(relative.data(), 44, 2)) << "no group";
    for (ULONG shorter = 0; shorter < 44; shorter++) {
        EXPECT_FALSE(RtlValidRelativeSecurityDescriptor(relative.data(), shorter, 0)) << shorter;
    }
    EXPECT_FALSE(RtlValidRelativeSecurityDescriptor(&absolute, 44, 0)) << "absolute form";

    PSID sid = nullptr;
    BOOLEAN defaulted = TRUE;
    ASSERT_EQ(RtlGetOwnerSecurityDescriptor(relative.data(), &sid, &defaulted), STATUS_SUCCESS);
    EXPECT_EQ(hk::SidText(sid), "S-1-5-32-544");
    EXPECT_FALSE(defaulted);
    BOOLEAN present = FALSE;
    PACL dacl = nullptr;
    ASSERT_EQ(RtlGetDaclSecurityDescriptor(relative.data(), &present, &dacl, &defaulted),
              STATUS_SUCCESS);
    EXPECT_TRUE(present && defaulted);
    EXPECT_EQ(dacl->AclSize, 8);
    PACL sacl = reinterpret_cast<PACL>(1);
    defaulted = 7;
    ASSERT_EQ(RtlGetSaclSecurityDescriptor(relative.data(), &present, &sacl, &defaulted),
              STATUS_SUCCESS);
    EXPECT_FALSE(present);
    EXPECT_EQ(sacl, reinterpret_cast<PACL>(1)) << "untouched when absent";
    EXPECT_EQ(defaulted, 7);

    PSECURITY_DESCRIPTOR captured = nullptr;
    ASSERT_EQ(SeCaptureSecurityDescriptor(&absolute, KernelMode, PagedPool, TRUE, &captured),
              STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(captured, relative.data(), 44), 0) << "captured self-relative";
    ExFreePoolWithTag(captured, 0);
    ASSERT_EQ(SeCaptureSecurityDescriptor(relative.data(), KernelMode, PagedPool, FALSE, &captured),
              STATUS_SUCCESS);
    EXPECT_EQ(captured, relative.data()) << "kernel mode without force: no copy";
    relative[20] = 7; // an ACL revision that does not exist
    EXPECT_EQ(SeCaptureSecurityDescriptor(relative.data(), KernelMode, PagedPool, TRUE, &captured),
              STATUS_INVALID_ACL);
    relative[0] = 3;
    EXPECT_EQ(SeCaptureSecurityDescriptor(relative.data(), KernelMode, PagedPool, TRUE, &captured),
              STATUS_UNKNOWN_REVISION);
}

// A descriptor read from the registry may put its SIDs at any offset; the
// check reads them byte by byte (the sanitizer build stops on a typed read).
TEST_F(SecurityTest, UnalignedOwnerIsCheckedWithoutATypedRead) {
    std::vector<uint8_t> relative =
        Bytes({1, 0, 0x00, 0x80, 22, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xEE, 0xEE});
    std::vector<uint8_t> owner = hk::ParseSid("S-1-5-18");
    relative.insert(relative.end(), owner.begin(), owner.end());
    EXPECT_TRUE(RtlValidRelativeSecurityDescriptor(relative.data(), 34, 0));
    relative[23] = 16; // more sub-authorities than the value holds
    EXPECT_FALSE(RtlValidRelativeSecurityDescriptor(relative.data(), 34, 0));

    // ACLs and their ACEs must start on ULONG boundaries: one that does not
    // is refused before any of it is read.
    std::vector<uint8_t> dacl = Bytes({1, 0,  0x04, 0x80, 0, 0,    0,    0, 0, 0, 0, 0, 0, 0, 0,
                                       0, 22, 0,    0,    0, 0xEE, 0xEE, 2, 0, 8, 0, 0, 0, 0, 0});
    EXPECT_FALSE(RtlValidRelativeSecurityDescriptor(dacl.data(), 30, 0));
    dacl[16] = 20;
    dacl.erase(dacl.begin() + 20, dacl.begin() + 22);
    EXPECT_TRUE(RtlValidRelativeSecurityDescriptor(dacl.data(), 28, 0));
    dacl.resize(20);
    for (int byte : {2, 0, 16, 0, 1, 0, 0, 0, 9, 0, 6, 0, 0, 0, 0, 0}) {
        dacl.push_back(static_cast<uint8_t>(byte));
    }
    EXPECT_FALSE(RtlValidRelativeSecurityDescriptor(dacl.data(), 36, 0)) << "an ACE of 6 bytes";
}

TEST_F(SecurityTest, WellKnownSidsAndTheWdmVersion) {
    // The SIDs themselves: the driver's SDDL aliases, in its tests.
    EXPECT_EQ(offsetof(SE_EXPORTS, SeNullSid), 184u) << "after 23 privileges";
    EXPECT_EQ(offsetof(SE_EXPORTS, SeLocalServiceSid), 384u);
    EXPECT_EQ(offsetof(SE_EXPORTS, SeOwnerRightsSid), 512u);
    EXPECT_EQ(offsetof(SE_EXPORTS, SeUserModeDriversSid), 528u);
    EXPECT_EQ(hk::ParseSid("S-1-5-32-544"),
              Bytes({1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 32, 2, 0, 0}));
    EXPECT_THROW(hk::ParseSid("S-1-5-"), std::invalid_argument);

    EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0x20));
    EXPECT_TRUE(IoIsWdmVersionAvailable(6, 0x30));
    EXPECT_FALSE(IoIsWdmVersionAvailable(6, 0x31));
    hk::SetWdmVersion(1, 0x10); // what an older version refuses: the driver's SDDL tests
    hk::Reset();
    EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0x20)) << "Reset restores the default";
}

TEST_F(SecurityTest, BoundedWideFormatterAsOnThePlatform) {
    WCHAR buffer[8];
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    EXPECT_EQ(_snwprintf(buffer, 8, u"%04X-%x", 0xAB, 0x1Fu), 7);
    EXPECT_EQ(std::u16string(buffer), u"00AB-1f");
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    EXPECT_EQ(_snwprintf(buffer, 4, u"%08X", 0x12345678u), -1);
    EXPECT_EQ(std::u16string(buffer, 5), u"1234#") << "cut at the count, no terminator";
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    EXPECT_EQ(_snwprintf(buffer, 4, u"%s!", u"abc"), 4);
    EXPECT_EQ(std::u16string(buffer, 5), u"abc!#") << "exactly filled: no terminator";
    EXPECT_EQ(_snwprintf(buffer, 8, u"%d%%%c", -42, u'z'), 5);
    EXPECT_EQ(std::u16string(buffer), u"-42%z");
}

} // namespace
