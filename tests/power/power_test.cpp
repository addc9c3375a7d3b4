// Power-state tracking: every entry and wake the power manager can send, what
// is logged, reported and armed for each, and what passes by untouched.
#include "power/power.h"

#include "hostkernel/errorlog_control.h"
#include "sim/power_manager.h"
#include "tests/support/driver_test.h"

namespace {

using Strings = std::vector<std::string>;
using Messages = std::vector<std::u16string>;

class PowerTest : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        CreateDevice();
        device_->Flags |= DO_POWER_PAGABLE;
        Context()->State = StateWatchA;
    }

    // The insertion string of every entry logged so far.
    static Messages Logged() {
        Messages messages;
        for (const hk::ErrorLogEntry& entry : hk::ErrorLog()) {
            messages.push_back(entry.Strings.at(0));
        }
        return messages;
    }
    // The integer argument of the i-th evaluation.
    uint32_t Argument(size_t i) {
        const std::vector<uint8_t>& input = acpi_->Trace().at(i).Input;
        return input.at(20) | input.at(21) << 8 | input.at(22) << 16 | input.at(23) << 24;
    }
    // The firmware saw the entry reported, the watchdog closed and armed anew.
    void ExpectEntry(StateCode code, ULONG timeout) {
        ASSERT_EQ(acpi_->Methods(), (Strings{"SSXS", "CVKT", "SVKT", "OVKT", "FVKT"}));
        EXPECT_EQ(Argument(0), code);
        EXPECT_EQ(Argument(2), timeout);
        EXPECT_EQ(Argument(4), code);
        EXPECT_EQ(Context()->State, code);
        EXPECT_TRUE(acpi_->Firmware().WatchdogOpen());
    }
    void ExpectPassedDown(const hk::Outcome& outcome) {
        EXPECT_TRUE(outcome.completed);
        EXPECT_EQ(outcome.returned, STATUS_SUCCESS) << "the ACPI device's status";
        EXPECT_EQ(outcome.ioStatus.Status, STATUS_SUCCESS);
    }
};

TEST_F(PowerTest, EntryTableRowByRow) {
    struct Row {
        SYSTEM_POWER_STATE State;
        SYSTEM_POWER_STATE Target;
        StateCode Code;
        const char16_t* Message;
        ULONG Timeout;
    };
    Context()->ShutdownTimeout = 75;
    for (Row row :
         {Row{PowerSystemSleeping3, PowerSystemSleeping3, StateEnterS3, u"System enter S3\n", 310},
          Row{PowerSystemHibernate, PowerSystemHibernate, StateEnterS4, u"System enter S4\n", 310},
          Row{PowerSystemHibernate, PowerSystemShutdown, StateEnterS5, u"System enter S5\n", 75},
          Row{PowerSystemShutdown, PowerSystemShutdown, StateEnterS6, u"System enter S6\n", 75}}) {
        SCOPED_TRACE(int{row.Code});
        Context()->State = StateWatchA;
        acpi_->ClearTrace();
        size_t logged = hk::ErrorLog().size();
        ExpectPassedDown(sim::EnterSystemState(device_, row.State, row.Target));
        ExpectEntry(row.Code, row.Timeout);
        ASSERT_EQ(hk::ErrorLog().size(), logged + 1);
        EXPECT_EQ(Logged().back(), row.Message);
        EXPECT_EQ(hk::ErrorLog().back().IoObject, driver_) << "logged for the driver object";
    }
}

// Only targets 5 and 6 are logged; every other target is hibernation too.
TEST_F(PowerTest, HibernationWithEveryTargetSystemState) {
    for (ULONG target = 0; target < 16; target++) {
        SCOPED_TRACE(target);
        acpi_->ClearTrace();
        size_t logged = hk::ErrorLog().size();
        sim::PowerRequest request;
        request.State = PowerSystemHibernate;
        request.SystemContext = target << 8 | 0x000FF0FF;
        ExpectPassedDown(sim::SendPowerRequest(device_, request));
        if (target == PowerSystemShutdown) {
            ExpectEntry(StateEnterS5, 60);
            EXPECT_EQ(Logged().back(), u"System enter S5\n");
        } else {
            ExpectEntry(StateEnterS4, 310);
            EXPECT_EQ(hk::ErrorLog().size(), logged + (target == PowerSystemHibernate ? 1u : 0u));
        }
    }
}

TEST_F(PowerTest, ShutdownArmsTheConfiguredTimeout) {
    sim::EnterSystemState(device_, PowerSystemShutdown);
    ExpectEntry(StateEnterS6, 60);
    Context()->ShutdownTimeout = 200;
    acpi_->ClearTrace();
    sim::EnterSystemState(device_, PowerSystemShutdown);
    ExpectEntry(StateEnterS6, 200);
}

TEST_F(PowerTest, WakeTableRowByRow) {
    struct Row {
        StateCode Before;
        StateCode After;
    };
    for (Row row : {Row{StateEnterS3, StateResumeS3}, Row{StateEnterS4, StateResumeS4},
                    Row{StateEnterS6, StateResumeS6}, Row{StateEnterS5, StateResumeS5},
                    Row{StateWatchA, StateWatchA}, Row{StateResumeS3, StateResumeS3},
                    Row{StateLoaded, StateLoaded}}) {
        SCOPED_TRACE(int{row.Before});
        Context()->State = row.Before;
        acpi_->ClearTrace();
        size_t logged = hk::ErrorLog().size();
        ExpectPassedDown(sim::ReturnToWorking(device_, PowerSystemSleeping3));
        EXPECT_EQ(Context()->State, row.After);
        ASSERT_EQ(acpi_->Methods(), (Strings{"SSXS", "CVKT"}));
        EXPECT_EQ(Argument(0), row.After);
        ASSERT_EQ(hk::ErrorLog().size(), logged + 1);
        EXPECT_EQ(Logged().back(), u"System enter S0\n");
        EXPECT_TRUE(Context()->Timer.Inserted);
        EXPECT_EQ(Context()->Timer.DueTime, hk::Now() + 10 * hk::kSecond);
    }
}

// Against the firmware's own clock: the watchdog armed on the way into S3
// resets a machine that never wakes 310 seconds later, reporting the entry;
// a wake closes it in time.
TEST_F(PowerTest, SleepIsTimedAgainstTheFirmware) {
    hk::RunFor(5 * hk::kSecond);
    uint64_t entry = hk::Now();
    sim::EnterSystemState(device_, PowerSystemSleeping3);
    EXPECT_FALSE(Context()->Timer.Inserted) << "the supervision cycle is stopped";
    hk::RunFor(310 * hk::kSecond - 1);
    EXPECT_TRUE(acpi_->Firmware().Resets().empty());
    hk::RunFor(1);
    ASSERT_EQ(acpi_->Firmware().Resets().size(), 1u);
    EXPECT_EQ(acpi_->Firmware().Resets()[0].Time, entry + 310 * hk::kSecond);
    EXPECT_EQ(acpi_->Firmware().Resets()[0].LastState, StateEnterS3);

    sim::EnterSystemState(device_, PowerSystemSleeping3);
    hk::RunFor(309 * hk::kSecond);
    sim::ReturnToWorking(device_, PowerSystemSleeping3);
    EXPECT_FALSE(acpi_->Firmware().WatchdogOpen());
    EXPECT_EQ(acpi_->Firmware().LastState(), StateResumeS3);
    hk::RunFor(hk::kHour);
    EXPECT_EQ(acpi_->Firmware().Resets().size(), 1u);
}

TEST_F(PowerTest, OtherPowerRequestsPassUntouched) {
    std::vector<sim::PowerRequest> requests(7);
    requests[0].State = PowerSystemSleeping1;
    requests[1].State = PowerSystemSleeping2;
    requests[2].State = PowerSystemUnspecified;
    requests[3].State = PowerSystemMaximum;
    requests[4].Type = DevicePowerState;
    requests[4].State = PowerDeviceD3;
    requests[5].Minor = IRP_MN_QUERY_POWER;
    requests[5].State = PowerSystemSleeping3;
    requests[6].Minor = IRP_MN_WAIT_WAKE;
    requests[6].State = PowerSystemSleeping3;
    for (size_t i = 0; i < requests.size(); i++) {
        SCOPED_TRACE(i);
        uint64_t starts = hk::PowerIrpStarts();
        hk::Outcome outcome = sim::SendPowerRequest(device_, requests[i]);
        EXPECT_TRUE(outcome.completed);
        EXPECT_EQ(outcome.returned, i == 6 ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS);
        EXPECT_EQ(hk::PowerIrpStarts(), starts + 2) << "this driver and the ACPI device";
    }
    EXPECT_TRUE(acpi_->Trace().empty());
    EXPECT_TRUE(hk::ErrorLog().empty());
    EXPECT_EQ(Context()->State, StateWatchA);
}

TEST_F(PowerTest, DebuggerLeavesTheWatchdogAloneButNotTheLogOrReports) {
    Context()->DebuggerPresent = 1;
    sim::EnterSystemState(device_, PowerSystemSleeping3);
    EXPECT_EQ(acpi_->Methods(), Strings{"SSXS"});
    sim::ReturnToWorking(device_, PowerSystemSleeping3);
    EXPECT_EQ(acpi_->Methods(), (Strings{"SSXS", "SSXS"}));
    EXPECT_EQ(Logged(), (Messages{u"System enter S3\n", u"System enter S0\n"}));
    EXPECT_EQ(Context()->State, StateResumeS3);
}

TEST_F(PowerTest, FailuresOnTheWayDoNotStopTheTransition) {
    acpi_->InjectFault("SVKT", sim::AcpiFault::FailWithStatus, 1, STATUS_IO_DEVICE_ERROR);
    hk::FailRoutine("IoAllocateErrorLogEntry", STATUS_INSUFFICIENT_RESOURCES);
    ExpectPassedDown(sim::EnterSystemState(device_, PowerSystemSleeping3));
    EXPECT_EQ(acpi_->Methods(), (Strings{"SSXS", "CVKT", "SVKT"}));
    EXPECT_EQ(Context()->State, StateEnterS3);
    EXPECT_TRUE(hk::ErrorLog().empty());

    acpi_->InjectFault(sim::AcpiDevice::kAnyMethod, sim::AcpiFault::Pend, 2, 0, hk::kSecond);
    ExpectPassedDown(sim::ReturnToWorking(device_, PowerSystemSleeping3));
    EXPECT_EQ(Context()->State, StateResumeS3);
    EXPECT_EQ(hk::Now(), 2 * hk::kSecond) << "each evaluation waited for";
}

// Without a device below, the driver finishes the request itself as the
// bottom of a stack does: a set-power or query-power succeeds, anything else
// keeps its "not supported". The transition is still recorded and logged.
TEST_F(PowerTest, WithoutLowerDeviceRequestsAreCompletedHere) {
    DeleteDevice();
    CreateDeviceOver(nullptr);
    device_->Flags |= DO_POWER_PAGABLE;
    uint64_t starts = hk::PowerIrpStarts();
    hk::Outcome outcome = sim::EnterSystemState(device_, PowerSystemSleeping3);
    EXPECT_TRUE(outcome.completed);
    EXPECT_EQ(outcome.returned, STATUS_SUCCESS);
    EXPECT_EQ(outcome.ioStatus.Status, STATUS_SUCCESS);
    EXPECT_EQ(hk::PowerIrpStarts(), starts + 1);
    EXPECT_EQ(Context()->State, StateEnterS3);
    EXPECT_EQ(Logged(), Messages{u"System enter S3\n"});

    sim::PowerRequest query;
    query.Minor = IRP_MN_QUERY_POWER;
    query.State = PowerSystemHibernate;
    EXPECT_EQ(sim::SendPowerRequest(device_, query).returned, STATUS_SUCCESS);
    sim::PowerRequest wake;
    wake.Minor = IRP_MN_WAIT_WAKE;
    outcome = sim::SendPowerRequest(device_, wake);
    EXPECT_TRUE(outcome.completed);
    EXPECT_EQ(outcome.returned, STATUS_NOT_SUPPORTED);
    EXPECT_TRUE(acpi_->Trace().empty());
}

// A device object of the driver without a context refuses the request, but
// still completes it.
TEST_F(PowerTest, DeviceWithoutContextCompletesTheRequestRefused) {
    PDEVICE_OBJECT bare = nullptr;
    ASSERT_EQ(IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &bare),
              STATUS_SUCCESS);
    bare->Flags |= DO_POWER_PAGABLE;
    hk::Outcome outcome = sim::EnterSystemState(bare, PowerSystemSleeping3);
    EXPECT_TRUE(outcome.completed);
    EXPECT_EQ(outcome.returned, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(outcome.ioStatus.Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(DispatchPower(nullptr, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(hk::ErrorLog().empty());
    IoDeleteDevice(bare);
}

// The power manager calls a stack that is not power-pageable at
// DISPATCH_LEVEL, where the driver's pageable routine would fault.
TEST_F(PowerTest, StackWithoutPowerPageableFlagIsCalledAtDispatchLevel) {
    device_->Flags &= ~DO_POWER_PAGABLE;
    EXPECT_DEATH(sim::EnterSystemState(device_, PowerSystemSleeping3),
                 VERIFIER_STOP("pageable code runs above APC_LEVEL") "\n  routine: DispatchPower");
}

} // namespace
