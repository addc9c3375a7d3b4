// Event-log entries as the I/O manager receives them, byte by byte.
#include "driver/event_log.h"

#include "driver/routing.h"
#include "hostkernel/io/errorlog_control.h"
#include "tests/support/driver_test.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace {

const char16_t kEnterS3[] = u"System enter S3\n";

// The packet header every entry of the driver carries, for `strings`
// insertion strings at offset 40 (or none, at offset 0).
std::vector<uint8_t> Header(int strings) {
    return Bytes({0,    0,    0, 0, strings, 0,    strings ? 40 : 0,
                  0,    0,    0, 0, 0,       0x01, 0x00,
                  0x06, 0x40, 0, 0, 0,       0,    0,
                  0,    0,    0, 0, 0,       0,    0,
                  0,    0,    0, 0, 0,       0,    0,
                  0,    0,    0, 0, 0});
}

using EventLogTest = DriverTest;

TEST_F(EventLogTest, EntriesWithAndWithoutMessageByteByByte) {
    WriteEventLogEntry(SavedDriverObject, sizeof kEnterS3, kEnterS3);
    ASSERT_EQ(hk::ErrorLog().size(), 1u);
    const hk::ErrorLogEntry& entry = hk::ErrorLog()[0];
    EXPECT_EQ(entry.IoObject, driver_);
    std::vector<uint8_t> expected = Header(1);
    const auto* message = reinterpret_cast<const uint8_t*>(kEnterS3);
    expected.insert(expected.end(), message, message + 34);
    expected.insert(expected.end(), 8, 0);
    EXPECT_EQ(entry.Bytes, expected) << "nothing of the fresh entry's contents is left";
    EXPECT_EQ(entry.Strings, std::vector<std::u16string>{kEnterS3});

    // Without a message only the code is logged.
    WriteEventLogEntry(SavedDriverObject, 34, nullptr);
    ASSERT_EQ(hk::ErrorLog().size(), 2u);
    expected = Header(0);
    expected.insert(expected.end(), 8, 0);
    EXPECT_EQ(hk::ErrorLog()[1].Bytes, expected);
}

// The entry size is one byte wide: a message that would not fit the largest
// entry must not be logged into a truncated one.
TEST_F(EventLogTest, MessagesBeyondTheLargestEntryAndFailedAllocationsAreDropped) {
    // The message lies in kernel memory, as the driver's own texts do.
    static char16_t text[200];
    std::fill(std::begin(text), std::end(text), u'x');
    text[95] = 0;
    WriteEventLogEntry(SavedDriverObject, 192, text);
    ASSERT_EQ(hk::ErrorLog().size(), 1u);
    EXPECT_EQ(hk::ErrorLog()[0].Bytes.size(), static_cast<size_t>(ERROR_LOG_MAXIMUM_SIZE));
    EXPECT_EQ(hk::ErrorLog()[0].Strings[0].size(), 95u);
    for (ULONG size : {194u, 208u, 256u + 34u, 0xFFFFFFF0u}) {
        WriteEventLogEntry(SavedDriverObject, size, text);
    }
    EXPECT_EQ(hk::ErrorLog().size(), 1u);
    // A failed allocation drops the entry quietly.
    hk::FailRoutine("IoAllocateErrorLogEntry", STATUS_INSUFFICIENT_RESOURCES);
    WriteEventLogEntry(SavedDriverObject, sizeof kEnterS3, kEnterS3);
    EXPECT_EQ(hk::ErrorLog().size(), 1u);
    WriteEventLogEntry(SavedDriverObject, sizeof kEnterS3, kEnterS3);
    EXPECT_EQ(hk::ErrorLog().size(), 2u);
}

} // namespace
