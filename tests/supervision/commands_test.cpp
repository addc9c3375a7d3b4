// The command interface: validation order, each command, and its status.
#include "tests/supervision/service.h"

namespace {

using sim::AcpiFault;
using Strings = std::vector<std::string>;

class CommandsTest : public ServiceTest {};

TEST_F(CommandsTest, InputIsValidatedBeforeTheControlCode) {
    for (size_t length : {1u, 23u, 25u}) {
        hk::Outcome outcome = Send(std::vector<uint8_t>(length, 1));
        EXPECT_EQ(outcome.returned, STATUS_INVALID_PARAMETER) << length;
        EXPECT_EQ(Send(std::vector<uint8_t>(length, 1), 0, 0x222000).returned,
                  STATUS_INVALID_PARAMETER);
    }
    EXPECT_EQ(Send({}, 0).returned, STATUS_INVALID_PARAMETER) << "no buffer at all";
    EXPECT_EQ(Send({}, 4).returned, STATUS_INVALID_PARAMETER) << "output only";
    hk::Outcome other = Send(Record(3, 0x40), 8, 0x222000);
    EXPECT_EQ(other.returned, STATUS_SUCCESS);
    EXPECT_EQ(other.ioStatus.Information, 0u);
    for (uint8_t command : {0, 7, 255}) {
        EXPECT_EQ(Send(Record(command)).returned, STATUS_INVALID_PARAMETER);
    }
    EXPECT_EQ(Send({1, 0}).returned, STATUS_SUCCESS);
    // METHOD_NEITHER and the direct methods hand over no system buffer for
    // the output; with no system buffer at all the request is refused.
    EXPECT_EQ(Send(Record(3, 0x40), 8, 0x222003).returned, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Send({}, 8, 0x222002).returned, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(acpi_->Trace().empty());
}

// Command 2 returns the status byte, given room for one byte; command 3
// reports any code without changing the state, and its failure stands.
TEST_F(CommandsTest, StatusAndReportCommands) {
    Context()->FirmwareStatus = 0xC3;
    hk::Outcome outcome = Send(Record(2), 16);
    EXPECT_EQ(outcome.returned, STATUS_SUCCESS);
    EXPECT_EQ(outcome.ioStatus.Information, 1u);
    EXPECT_EQ(outcome.output, Bytes({0xC3}));
    outcome = Send({2, 0}, 0);
    EXPECT_EQ(outcome.returned, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(outcome.ioStatus.Information, 0u);

    EXPECT_EQ(Send({3, 0x40}).returned, STATUS_SUCCESS);
    EXPECT_EQ(acpi_->Firmware().LastState(), 0x40);
    EXPECT_EQ(Context()->State, StateLoaded);
    acpi_->InjectFault("SSXS", AcpiFault::FailWithStatus, 1, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(Send({3, 0x41}).returned, STATUS_IO_DEVICE_ERROR);
}

// Without a watch list a supervision command only reports; with one it
// arms the watchdog with the run timeout, each time. A failed report still
// sets the state and arms; the arm's failure is not reported.
TEST_F(CommandsTest, EnteringSupervisionArmsWithTheRunTimeoutOnceAListIsSet) {
    EXPECT_EQ(Send(Record(5)).returned, STATUS_SUCCESS);
    EXPECT_EQ(Context()->State, StateWatchA);
    EXPECT_EQ(acpi_->Methods(), Strings{"SSXS"});
    EXPECT_FALSE(acpi_->Firmware().WatchdogOpen());
    ASSERT_EQ(SetList(u"VKTService.exe", 75, 90), STATUS_SUCCESS);
    acpi_->ClearTrace();
    EXPECT_EQ(Send(Record(5)).returned, STATUS_SUCCESS);
    EXPECT_EQ(acpi_->Methods(), (Strings{"SSXS", "SVKT", "OVKT", "FVKT"}));
    EXPECT_EQ(acpi_->Firmware().TimeoutSeconds(), 75u);
    EXPECT_EQ(acpi_->Trace()[3].Input[20], StateWatchA);
    acpi_->ClearTrace();
    EXPECT_EQ(Send({6, 0}).returned, STATUS_SUCCESS);
    EXPECT_EQ(Context()->State, StateWatchB);
    EXPECT_EQ(acpi_->Methods(), (Strings{"SSXS", "SVKT", "OVKT", "FVKT"}));
    EXPECT_EQ(acpi_->Trace()[3].Input[20], StateWatchB);

    acpi_->ClearTrace();
    acpi_->InjectFault("SSXS", AcpiFault::CountZero);
    acpi_->InjectFault("SVKT", AcpiFault::FailWithStatus);
    EXPECT_EQ(Send(Record(5)).returned, STATUS_ACPI_INVALID_DATA);
    EXPECT_EQ(Context()->State, StateWatchA);
    EXPECT_EQ(acpi_->Methods(), (Strings{"SSXS", "SVKT"}));
}

// A command that comes once the machine is on its way into sleep,
// hibernation or shutdown would arm the run timeout under it; it is refused
// and changes nothing. After the wake it works again.
TEST_F(CommandsTest, SupervisionCommandAfterAnEntryIntoALowPowerStateIsRefused) {
    ASSERT_EQ(SetList(u"VKTService.exe"), STATUS_SUCCESS);
    for (StateCode entry : {StateEnterS3, StateEnterS4, StateEnterS5, StateEnterS6}) {
        Context()->State = entry;
        EXPECT_EQ(Send(Record(5)).returned, STATUS_INVALID_DEVICE_STATE);
        EXPECT_EQ(Send({6, 0}).returned, STATUS_INVALID_DEVICE_STATE);
        EXPECT_EQ(Context()->State, entry);
    }
    EXPECT_TRUE(acpi_->Trace().empty());
    Context()->State = StateResumeS3;
    EXPECT_EQ(Send(Record(5)).returned, STATUS_SUCCESS);
    EXPECT_EQ(Context()->State, StateWatchA);
}

} // namespace
