// Power-state tracking: every entry and wake the power manager can send, what
// is logged, reported and armed for each, and what passes by untouched.
#include "power/power.h"

#include "hostkernel/io/errorlog_control.h"
#include "sim/power_manager.h"
#include "tests/support/driver_test.h"

#include <tuple>

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

    // The insertion string of every entry logged from the `from`th on.
    static Messages Logged(size_t from = 0) {
        Messages messages;
        for (size_t i = from; i < hk::ErrorLog().size(); i++) {
            messages.push_back(hk::ErrorLog()[i].Strings.at(0));
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
    // The request was completed with `status` (passed down: the ACPI
    // device's), returned and in its status block alike.
    static void ExpectCompleted(const hk::Outcome& outcome, NTSTATUS status = STATUS_SUCCESS) {
        EXPECT_TRUE(outcome.completed);
        EXPECT_EQ(outcome.returned, status);
        EXPECT_EQ(outcome.ioStatus.Status, status);
    }
};

// Every entry is reported, and the watchdog closed and armed anew with the
// sleep timeout or the configured shutdown timeout. Hibernation is S5 when
// its target is shutdown and S4 for any other target; only targets 4 and 5
// are logged. The other fields of its context are all ones: only the
// target decides.
TEST_F(PowerTest, EveryEntryWithEveryTarget) {
    // The state and its context, the code reported, the timeout armed, the
    // message logged (null: none).
    using Row = std::tuple<SYSTEM_POWER_STATE, ULONG, StateCode, ULONG, const char16_t*>;
    Context()->ShutdownTimeout = 75;
    std::vector<Row> rows = {
        {PowerSystemSleeping3,
         sim::SystemContext(PowerSystemSleeping3, PowerSystemSleeping3, PowerSystemWorking),
         StateEnterS3, 310, u"System enter S3\n"},
        {PowerSystemShutdown,
         sim::SystemContext(PowerSystemShutdown, PowerSystemShutdown, PowerSystemWorking),
         StateEnterS6, 75, u"System enter S6\n"}};
    for (ULONG target = 0; target < 16; target++) {
        bool shutdown = target == PowerSystemShutdown;
        rows.emplace_back(PowerSystemHibernate, target << 8 | 0x000FF0FF,
                          shutdown ? StateEnterS5 : StateEnterS4, shutdown ? 75u : 310u,
                          shutdown                         ? u"System enter S5\n"
                          : target == PowerSystemHibernate ? u"System enter S4\n"
                                                           : nullptr);
    }
    for (auto& [state, systemContext, code, timeout, message] : rows) {
        SCOPED_TRACE(testing::Message() << state << " " << std::hex << systemContext);
        Context()->State = StateWatchA;
        acpi_->ClearTrace();
        size_t logged = hk::ErrorLog().size();
        ExpectCompleted(
            sim::SendPowerRequest(device_, {.State = state, .SystemContext = systemContext}));
        ExpectEntry(code, timeout);
        EXPECT_EQ(Logged(logged), message != nullptr ? Messages{message} : Messages{});
    }
    for (const hk::ErrorLogEntry& entry : hk::ErrorLog()) {
        EXPECT_EQ(entry.IoObject, driver_) << "logged for the driver object";
    }
}

TEST_F(PowerTest, WakeTableRowByRow) {
    const std::pair<StateCode, StateCode> wakes[] = {
        {StateEnterS3, StateResumeS3}, {StateEnterS4, StateResumeS4},
        {StateEnterS6, StateResumeS6}, {StateEnterS5, StateResumeS5},
        {StateWatchA, StateWatchA},    {StateResumeS3, StateResumeS3},
        {StateLoaded, StateLoaded}};
    for (auto [before, after] : wakes) {
        SCOPED_TRACE(int{before});
        Context()->State = before;
        acpi_->ClearTrace();
        size_t logged = hk::ErrorLog().size();
        ExpectCompleted(sim::ReturnToWorking(device_, PowerSystemSleeping3));
        EXPECT_EQ(Context()->State, after);
        ASSERT_EQ(acpi_->Methods(), (Strings{"SSXS", "CVKT"}));
        EXPECT_EQ(Argument(0), after);
        EXPECT_EQ(Logged(logged), Messages{u"System enter S0\n"});
        EXPECT_TRUE(Context()->Timer.Inserted);
        EXPECT_EQ(Context()->Timer.DueTime, hk::Now() + 10 * hk::kSecond);
    }
}

TEST_F(PowerTest, OtherPowerRequestsPassUntouched) {
    for (const sim::PowerRequest& request : std::vector<sim::PowerRequest>{
             {.State = PowerSystemSleeping1},
             {.State = PowerSystemSleeping2},
             {.State = PowerSystemUnspecified},
             {.State = PowerSystemMaximum},
             {.Type = DevicePowerState, .State = PowerDeviceD3},
             {.Minor = IRP_MN_QUERY_POWER, .State = PowerSystemSleeping3},
             {.Minor = IRP_MN_WAIT_WAKE, .State = PowerSystemSleeping3}}) {
        SCOPED_TRACE(testing::Message() << int{request.Minor} << " " << request.State);
        uint64_t starts = hk::PowerIrpStarts();
        ExpectCompleted(sim::SendPowerRequest(device_, request),
                        request.Minor == IRP_MN_WAIT_WAKE ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS);
        EXPECT_EQ(hk::PowerIrpStarts(), starts + 2) << "this driver and the ACPI device";
    }
    EXPECT_TRUE(acpi_->Trace().empty());
    EXPECT_TRUE(hk::ErrorLog().empty());
    EXPECT_EQ(Context()->State, StateWatchA);
}

TEST_F(PowerTest, FailuresOnTheWayDoNotStopTheTransition) {
    acpi_->InjectFault("SVKT", sim::AcpiFault::FailWithStatus, 1, STATUS_IO_DEVICE_ERROR);
    hk::FailRoutine("IoAllocateErrorLogEntry", STATUS_INSUFFICIENT_RESOURCES);
    ExpectCompleted(sim::EnterSystemState(device_, PowerSystemSleeping3));
    EXPECT_EQ(acpi_->Methods(), (Strings{"SSXS", "CVKT", "SVKT"}));
    EXPECT_EQ(Context()->State, StateEnterS3);
    EXPECT_TRUE(hk::ErrorLog().empty());

    // The driver waits for every answer without a time-out while it holds
    // the request: firmware that answers within the power manager's watchdog
    // delays the transition, firmware that never answers stops the machine.
    acpi_->InjectFault(sim::AcpiDevice::kAnyMethod, sim::AcpiFault::Pend, 5, 0, hk::kMinute);
    ExpectCompleted(sim::EnterSystemState(device_, PowerSystemSleeping3));
    EXPECT_EQ(hk::Now(), 5 * hk::kMinute) << "each evaluation waited for";
    ExpectCompleted(sim::ReturnToWorking(device_, PowerSystemSleeping3));
    acpi_->InjectFault("SSXS", sim::AcpiFault::Pend, 1, 0, hk::kHour);
    EXPECT_DEATH(sim::EnterSystemState(device_, PowerSystemSleeping3),
                 VERIFIER_STOP("holds a power request longer than the power watchdog allows, "
                               "bug check 0x9F") "\n  routine: DispatchPower");
}

// Without a device below, the driver finishes the request itself as the
// bottom of a stack does: a set-power or query-power succeeds, anything else
// keeps its "not supported". The transition is still recorded and logged.
TEST_F(PowerTest, WithoutLowerDeviceRequestsAreCompletedHere) {
    DeleteDevice();
    CreateDeviceOver(nullptr);
    device_->Flags |= DO_POWER_PAGABLE;
    uint64_t starts = hk::PowerIrpStarts();
    ExpectCompleted(sim::EnterSystemState(device_, PowerSystemSleeping3));
    EXPECT_EQ(hk::PowerIrpStarts(), starts + 1);
    EXPECT_EQ(Context()->State, StateEnterS3);
    EXPECT_EQ(Logged(), Messages{u"System enter S3\n"});

    ExpectCompleted(sim::SendPowerRequest(
        device_, {.Minor = IRP_MN_QUERY_POWER, .State = PowerSystemHibernate}));
    ExpectCompleted(sim::SendPowerRequest(device_, {.Minor = IRP_MN_WAIT_WAKE}),
                    STATUS_NOT_SUPPORTED);
    EXPECT_TRUE(acpi_->Trace().empty());
}

// A device object of the driver without a context refuses the request, but
// still completes it.
TEST_F(PowerTest, DeviceWithoutContextCompletesTheRequestRefused) {
    PDEVICE_OBJECT bare = nullptr;
    ASSERT_EQ(IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &bare),
              STATUS_SUCCESS);
    bare->Flags |= DO_POWER_PAGABLE;
    uint64_t starts = hk::PowerIrpStarts();
    ExpectCompleted(sim::EnterSystemState(bare, PowerSystemSleeping3), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(hk::PowerIrpStarts(), starts + 1) << "the refused request starts the next one";
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
