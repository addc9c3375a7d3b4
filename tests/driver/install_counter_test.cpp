// The install counter against the host registry: the table of stored counts
// row by row, every failure on the way, and removal (reboots: the Plug and
// Play manager's tests).
#include "driver/install_counter.h"

#include "driver/device_context.h"
#include "hostkernel/cm/registry_control.h"
#include "tests/support/kernel_test.h"

#include <tuple>

namespace {

const std::u16string kParameters = hk::kServiceKeyPath + u"\\Parameters";
const std::u16string kInstallTimes = u"InstallTimes";

class InstallCounterTest : public KernelTest {
  protected:
    static std::optional<hk::RegistryValueRecord> Stored() {
        return hk::ReadRegistryValue(kParameters, kInstallTimes);
    }
    static void Store(ULONG type, const std::vector<uint8_t>& data) {
        hk::SetRegistryValue(kParameters, kInstallTimes, type, data);
    }
    // The stored value is the REG_DWORD `count`.
    static void ExpectCount(uint32_t count) {
        auto stored = Stored();
        ASSERT_TRUE(stored.has_value());
        EXPECT_EQ(stored->Type, static_cast<ULONG>(REG_DWORD));
        EXPECT_EQ(stored->Data, Bytes({int(count & 0xFF), int(count >> 8 & 0xFF),
                                       int(count >> 16 & 0xFF), int(count >> 24)}));
    }
};

// Key or value absent: the removal test.
TEST_F(InstallCounterTest, TableRowByRow) {
    // The stored type and data; whether the count answers "first"; the count written.
    const std::tuple<ULONG, std::vector<uint8_t>, BOOLEAN, uint32_t> rows[] = {
        {REG_DWORD, Bytes({0, 0, 0, 0}), TRUE, 1},
        {REG_DWORD, Bytes({1, 0, 0, 0}), FALSE, 2},
        {REG_DWORD, Bytes({0x39, 0x30, 0, 0}), FALSE, 12346},
        {REG_DWORD, Bytes({0xFE, 0xFF, 0xFF, 0xFF}), FALSE, 0xFFFFFFFF},
        {REG_DWORD, Bytes({0xFF, 0xFF, 0xFF, 0xFF}), TRUE, 0},
        {REG_BINARY, Bytes({5}), FALSE, 6},
        {REG_QWORD, Bytes({9, 0, 0, 0, 0, 0, 0, 0}), TRUE, 1},
        {REG_BINARY, {}, TRUE, 1},
    };
    for (auto& [type, data, first, written] : rows) {
        SCOPED_TRACE(testing::PrintToString(data));
        Store(type, data);
        EXPECT_EQ(CountInstallation(), first);
        ExpectCount(written);
    }
}

TEST_F(InstallCounterTest, RemovalMakesTheNextCreationTheFirstAgain) {
    EXPECT_TRUE(CountInstallation()) << "key absent";
    ExpectCount(1);
    ResetInstallCounter();
    EXPECT_FALSE(Stored().has_value());
    EXPECT_TRUE(hk::RegistryKeyExists(kParameters));
    EXPECT_TRUE(CountInstallation()) << "value absent";
    ExpectCount(1);

    hk::DeleteRegistryKey(kParameters);
    ResetInstallCounter();
    EXPECT_FALSE(hk::RegistryKeyExists(kParameters)) << "removal creates nothing";
}

// Every failure answers "first" and leaves the stored count as it was.
TEST_F(InstallCounterTest, FailuresLeaveTheCountAlone) {
    Store(REG_DWORD, Bytes({5, 0, 0, 0}));
    // The routine that fails, after how many calls, and with what.
    for (auto [routine, skip, status] : {std::tuple{"ZwOpenKey", 0, STATUS_INSUFFICIENT_RESOURCES},
                                         {"ZwQueryValueKey", 0, STATUS_INSUFFICIENT_RESOURCES},
                                         {"ZwQueryValueKey", 0, STATUS_ACCESS_DENIED},
                                         {"ZwQueryValueKey", 1, STATUS_INSUFFICIENT_RESOURCES},
                                         {"ZwQueryValueKey", 1, STATUS_OBJECT_NAME_NOT_FOUND}}) {
        SCOPED_TRACE(std::string(routine) + " after " + std::to_string(skip));
        hk::FailRoutine(routine, status, 1, skip);
        EXPECT_TRUE(CountInstallation());
        ExpectCount(5);
    }
    hk::FailAllocationsWithTag(VKT_POOL_TAG, 1);
    EXPECT_TRUE(CountInstallation());
    ExpectCount(5);

    hk::ClearFaults();
    EXPECT_FALSE(CountInstallation()) << "the failures changed nothing";
    ExpectCount(6);
}

TEST_F(InstallCounterTest, KeyThatCannotBeCreatedAnswersFirst) {
    hk::DeleteRegistryKey(hk::kServiceKeyPath);
    EXPECT_TRUE(CountInstallation());
    EXPECT_FALSE(hk::RegistryKeyExists(kParameters)) << "parents are not created";

    hk::Reset();
    hk::FailRoutine("ZwCreateKey", STATUS_ACCESS_DENIED);
    EXPECT_TRUE(CountInstallation());
    EXPECT_FALSE(hk::RegistryKeyExists(kParameters));
}

} // namespace
