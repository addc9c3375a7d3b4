// The watchdog and state-report operations against the simulated firmware.
#include "firmware/method_call.h"
#include "firmware/watchdog.h"
#include "tests/support/driver_test.h"

namespace {

using sim::AcpiFault;
using Strings = std::vector<std::string>;

class WatchdogTest : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        CreateDevice();
    }
    std::vector<uint8_t> InputTail(size_t index) {
        const std::vector<uint8_t>& input = acpi_->Trace().at(index).Input;
        return std::vector<uint8_t>(input.begin() + 16, input.end());
    }
};

// The report and the feed carry the state code; arming sets the timeout,
// opens and feeds, in that order; a stopped watchdog never expires.
TEST_F(WatchdogTest, ArgumentBytesOfEachOperation) {
    EXPECT_EQ(ReportState(Context(), StateWatchA), STATUS_SUCCESS);
    EXPECT_EQ(FeedWatchdog(Context(), StateWatchB), STATUS_SUCCESS);
    EXPECT_EQ(ArmWatchdog(Context(), StateEnterS3, 310), STATUS_SUCCESS);
    ASSERT_EQ(acpi_->Methods(), (Strings{"SSXS", "FVKT", "SVKT", "OVKT", "FVKT"}));
    EXPECT_EQ(InputTail(0), Bytes({0, 0, 1, 0, 0x2A, 0, 0, 0}));
    EXPECT_EQ(InputTail(1), Bytes({0, 0, 4, 0, 0x2B, 0, 0, 0}));
    EXPECT_EQ(InputTail(2), Bytes({0, 0, 4, 0, 0x36, 0x01, 0, 0}));
    EXPECT_EQ(acpi_->Trace()[3].Input.size(), 8u);
    EXPECT_EQ(InputTail(4), Bytes({0, 0, 4, 0, 0x23, 0, 0, 0}));
    EXPECT_TRUE(acpi_->Firmware().WatchdogOpen());
    // A method's name fills its four bytes and nothing behind them: in the
    // 8-byte input they are the last.
    uint8_t field[5] = {0, 0, 0, 0, 0xEE};
    SetMethodName(field, "OVKT");
    EXPECT_EQ(std::vector<uint8_t>(field, field + 5), Bytes({'O', 'V', 'K', 'T', 0xEE}));

    EXPECT_EQ(StopWatchdog(Context()), STATUS_SUCCESS);
    hk::RunFor(hk::kHour);
    EXPECT_TRUE(acpi_->Firmware().Resets().empty());
}

// A failure stops the arming sequence where it happens; a feed the firmware
// refuses for its argument is tried once more in the form without one.
TEST_F(WatchdogTest, FailuresInArmingAndFeeding) {
    acpi_->InjectFault("SVKT", AcpiFault::FailWithStatus, 1, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(ArmWatchdog(Context(), StateWatchA, 60), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(acpi_->Methods(), (Strings{"SVKT"}));
    acpi_->ClearTrace();
    acpi_->InjectFault("OVKT", AcpiFault::CountZero);
    EXPECT_EQ(ArmWatchdog(Context(), StateWatchA, 60), STATUS_ACPI_INVALID_DATA);
    EXPECT_EQ(acpi_->Methods(), (Strings{"SVKT", "OVKT"}));

    acpi_->ClearTrace();
    acpi_->InjectFault("FVKT", AcpiFault::FailWithStatus, 1, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(FeedWatchdog(Context(), StateWatchA), STATUS_SUCCESS);
    ASSERT_EQ(acpi_->Methods(), (Strings{"FVKT", "FVKT"}));
    EXPECT_EQ(acpi_->Trace()[0].Input.size(), 24u);
    EXPECT_EQ(acpi_->Trace()[1].Input.size(), 8u);

    acpi_->ClearTrace();
    acpi_->InjectFault("FVKT", AcpiFault::WrongSignature);
    acpi_->InjectFault("FVKT", AcpiFault::FailWithStatus, 1, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(FeedWatchdog(Context(), StateWatchA), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(acpi_->Methods().size(), 2u);
}

TEST_F(WatchdogTest, DebuggerGatesOnlyTheWatchdogItself) {
    Context()->DebuggerPresent = 1;
    EXPECT_EQ(ArmWatchdog(Context(), StateWatchA, 60), STATUS_SUCCESS);
    EXPECT_EQ(FeedWatchdog(Context(), StateWatchA), STATUS_SUCCESS);
    EXPECT_EQ(StopWatchdog(Context()), STATUS_SUCCESS);
    EXPECT_TRUE(acpi_->Trace().empty());
    UCHAR status = 0;
    EXPECT_EQ(QueryFirmwareStatus(Context(), &status), STATUS_SUCCESS);
    EXPECT_EQ(ReportState(Context(), StateLoaded), STATUS_SUCCESS);
    EXPECT_EQ(acpi_->Methods(), (Strings{"GSXS", "SSXS"}));
}

TEST_F(WatchdogTest, StatusByteIsTheLowByteAndSurvivesFailures) {
    acpi_->Firmware().SetStatusValue(0x1234);
    UCHAR status = 0x77;
    EXPECT_EQ(QueryFirmwareStatus(Context(), &status), STATUS_SUCCESS);
    EXPECT_EQ(status, 0x34);
    EXPECT_EQ(acpi_->Trace()[0].Input,
              Bytes({0x41, 0x65, 0x69, 0x42, 'G', 'S', 'X', 'S', 0, 0, 0, 0,
                     0,    0,    0,    0,    0,   0,   0,   0,   0, 0, 0, 0}));

    acpi_->InjectFault("GSXS", AcpiFault::CountZero);
    EXPECT_EQ(QueryFirmwareStatus(Context(), &status), STATUS_ACPI_INVALID_DATA);
    EXPECT_EQ(status, 0) << "stored anyway, and nothing was written at offset 16";

    status = 0x55;
    acpi_->InjectFault("GSXS", AcpiFault::FailWithStatus, 1, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(QueryFirmwareStatus(Context(), &status), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(status, 0x55);
}

TEST_F(WatchdogTest, WithoutDeviceBelowEveryEvaluationIsRefused) {
    DeleteDevice();
    CreateDeviceOver(nullptr);
    UCHAR status = 9;
    EXPECT_EQ(ArmWatchdog(Context(), StateWatchA, 60), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(FeedWatchdog(Context(), StateWatchA), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(StopWatchdog(Context()), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(QueryFirmwareStatus(Context(), &status), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(ReportState(Context(), StateLoaded), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(status, 9);
    Context()->DebuggerPresent = 1;
    EXPECT_EQ(ArmWatchdog(Context(), StateWatchA, 60), STATUS_SUCCESS);
}

} // namespace
