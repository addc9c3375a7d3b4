// The I/O manager's error log: sizes, contents of fresh entries, what is
// kept of written ones, and the verifier's rules for entries.
#include "hostkernel/io/errorlog_control.h"
#include "tests/hostkernel/host_test.h"

#include <cstring>

FAULTY void FaultyUnterminatedString(PDRIVER_OBJECT driver) {
    auto* packet = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(driver, 52));
    std::memset(packet, 'x', 52);
    packet->DumpDataSize = 0;
    packet->NumberOfStrings = 1;
    packet->StringOffset = 40;
    IoWriteErrorLogEntry(packet);
}

FAULTY void FaultyDoubleWrite(PDRIVER_OBJECT driver) {
    auto* packet = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(driver, 48));
    std::memset(packet, 0, 48);
    IoWriteErrorLogEntry(packet);
    IoWriteErrorLogEntry(packet);
}

namespace {

using ErrorLogTest = DeviceTest;

// Entries up to the maximum are handed out uncleared; one neither written
// nor freed is a leak.
TEST_F(ErrorLogTest, EntriesUpToTheMaximumAreHandedOutUnclearedAndKeptWhenWritten) {
    EXPECT_EQ(IoAllocateErrorLogEntry(driver_, ERROR_LOG_MAXIMUM_SIZE + 1), nullptr);
    auto* largest = static_cast<uint8_t*>(IoAllocateErrorLogEntry(driver_, 240));
    ASSERT_NE(largest, nullptr);
    EXPECT_EQ(largest[239], 0xA5) << "not cleared";
    hk::FailRoutine("IoAllocateErrorLogEntry", STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(IoAllocateErrorLogEntry(driver_, 48), nullptr);
    std::vector<std::string> leaks = hk::FindLeaks();
    ASSERT_EQ(leaks.size(), 2u) << "the entry and the device";
    EXPECT_NE((leaks[0] + leaks[1]).find("neither written nor freed"), std::string::npos);
    IoFreeErrorLogEntry(largest);
    EXPECT_TRUE(hk::ErrorLog().empty());

    hk::RunFor(hk::kSecond);
    auto* packet = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(driver_, 60));
    std::memset(packet, 0, 60);
    packet->NumberOfStrings = 2;
    packet->StringOffset = 48;
    std::memcpy(reinterpret_cast<uint8_t*>(packet) + 48, u"ab\0c\0", 10);
    IoWriteErrorLogEntry(packet);
    ASSERT_EQ(hk::ErrorLog().size(), 1u);
    EXPECT_EQ(hk::ErrorLog()[0].Time, hk::kSecond);
    EXPECT_EQ(hk::ErrorLog()[0].Bytes.size(), 60u);
    EXPECT_EQ(hk::ErrorLog()[0].Strings, (std::vector<std::u16string>{u"ab", u"c"}));
}

TEST_F(ErrorLogTest, VerifierStopsEntriesReadPastTheirEndAndSecondWrites) {
    EXPECT_STOP_IN(FaultyUnterminatedString, (driver_),
                   "writes an error-log entry whose insertion strings run past its end");
    EXPECT_STOP_IN(FaultyDoubleWrite, (driver_),
                   "writes an error-log entry that is not allocated, or writes it twice");
}

} // namespace
