// The install counter against the host registry: the table of stored counts
// row by row, every failure on the way, and removal (reboots: the Plug and
// Play manager's tests).
#include "driver/install_counter.h"

#include "driver/device_context.h"
#include "hostkernel/cm/registry_control.h"
#include "tests/support/kernel_test.h"

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
    struct Row {
        ULONG Type;
        std::vector<uint8_t> Data;
        bool First;
        uint32_t Written;
    };
    for (const Row& row :
         {Row{REG_DWORD, Bytes({0, 0, 0, 0}), true, 1},
          Row{REG_DWORD, Bytes({1, 0, 0, 0}), false, 2},
          Row{REG_DWORD, Bytes({0x39, 0x30, 0, 0}), false, 12346},
          Row{REG_DWORD, Bytes({0xFE, 0xFF, 0xFF, 0xFF}), false, 0xFFFFFFFF},
          Row{REG_DWORD, Bytes({0xFF, 0xFF, 0xFF, 0xFF}), true, 0},
          Row{REG_BINARY, Bytes({5}), false, 6},
          Row{REG_QWORD, Bytes({9, 0, 0, 0, 0, 0, 0, 0}), true, 1}, Row{REG_BINARY, {}, true, 1}}) {
        SCOPED_TRACE(testing::PrintToString(row.Data));
        Store(row.Type, row.Data);
        EXPECT_EQ(CountInstallation(), row.First ? TRUE : FALSE);
        ExpectCount(row.Written);
    }
}

TEST_F(InstallCounterTest, RemovalMakesTheNextCreationTheFirstAgain) {
    EXPECT_TRUE(CountInstallation()) << "key absent";
    ExpectCount(1);
    EXPECT_FALSE(CountInstallation());
    ExpectCount(2);
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
    struct Failure {
        const char* Routine;
        uint64_t Skip;
        NTSTATUS Status;
    };
    Store(REG_DWORD, Bytes({5, 0, 0, 0}));
    for (Failure failure : {Failure{"ZwOpenKey", 0, STATUS_INSUFFICIENT_RESOURCES},
                            Failure{"ZwQueryValueKey", 0, STATUS_INSUFFICIENT_RESOURCES},
                            Failure{"ZwQueryValueKey", 0, STATUS_ACCESS_DENIED},
                            Failure{"ZwQueryValueKey", 1, STATUS_INSUFFICIENT_RESOURCES},
                            Failure{"ZwQueryValueKey", 1, STATUS_OBJECT_NAME_NOT_FOUND}}) {
        SCOPED_TRACE(std::string(failure.Routine) + " after " + std::to_string(failure.Skip));
        hk::FailRoutine(failure.Routine, failure.Status, 1, failure.Skip);
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
