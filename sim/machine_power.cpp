// The machine's power transitions: the power manager's set-power and
// query-power requests to the driver's device, traced with what the driver
// did, and the platform's sleep, during which the machine's kernel stands
// still and the firmware's watchdog halts or counts on as the firmware
// chooses.
#include "sim/machine.h"
#include "sim/power_manager.h"

#include <algorithm>

namespace sim {

namespace {

const char* SystemStateName(ULONG state) {
    static const char* const kNames[] = {"unspecified", "S0", "S1", "S2", "S3", "S4", "S5"};
    return state < 7 ? kNames[state] : "S?";
}

} // namespace

void Machine::SetSleepCounting(bool counting) {
    sleepCounting_ = counting;
    Emit("setup", "firmware",
         counting ? "the watchdog counts on while the platform sleeps"
                  : "the watchdog halts while the platform sleeps")
        .Bool("sleep_counting", counting);
}

void Machine::PowerRequest(const std::string& state, SYSTEM_POWER_STATE enter,
                           SYSTEM_POWER_STATE target) {
    actor_ = "power";
    Emit("power", "power", "system enters " + state).String("state", state);
    if (device_ == nullptr) {
        return;
    }
    hk::Outcome outcome = EnterSystemState(device_, enter, target);
    FlushErrorLog();
    lowState_ = enter;
    EmitRequest("power", "set-power " + state, outcome.ioStatus.Status, std::nullopt);
}

// After the requests, the platform sleeps, unless its way into the state
// hangs: then the machine runs on as it is, and the watchdog with it.
void Machine::FallAsleep(const std::string& state, bool hang) {
    if (hang) {
        Emit("power", "machine", "the way into " + state + " hangs: the platform does not sleep")
            .String("state", state)
            .Bool("asleep", false);
        return;
    }
    sim::Firmware& firmware = acpi_->Firmware();
    asleep_ = true;
    asleepDeadline_ = base_ + firmware.Deadline();
    bool counting = firmware.WatchdogOpen() && sleepCounting_;
    std::string watchdog = !firmware.WatchdogOpen() ? "closed"
                           : counting               ? "counting on"
                                                    : "halted";
    Emit("power", "machine", "the platform sleeps in " + state + ", the watchdog " + watchdog)
        .String("state", state)
        .Bool("asleep", true);
    WatchdogSample sample{Now(), firmware.WatchdogOpen(), asleepDeadline_};
    if (firmware.WatchdogOpen() && !counting) {
        sample.Halted = true;
        sample.Left = firmware.Deadline() - hk::Now();
    }
    samples_.push_back(sample);
}

// Machine time passes while nothing in the machine runs; a watchdog that
// counts through the sleep and runs out resets the machine.
void Machine::SleepUntil(uint64_t time) {
    sim::Firmware& firmware = acpi_->Firmware();
    bool expires = sleepCounting_ && firmware.WatchdogOpen() && asleepDeadline_ <= time;
    uint64_t until = expires ? std::max(asleepDeadline_, Now()) : time;
    base_ += until - Now();
    if (expires) {
        firmware.ExpireNow();
        FinishChunk(events_.size(), false);
    }
}

void Machine::Sleep(SYSTEM_POWER_STATE state, bool hang) {
    std::string name = SystemStateName(state);
    PowerRequest(name, state, state);
    FallAsleep(name, hang);
}

void Machine::Hibernate(bool toShutdown, bool hang) {
    PowerRequest(toShutdown ? "S4 (hybrid shutdown)" : "S4", PowerSystemHibernate,
                 toShutdown ? PowerSystemShutdown : PowerSystemHibernate);
    if (!toShutdown) {
        FallAsleep("S4", hang);
    }
}

void Machine::Shutdown() {
    PowerRequest("S6 (shutdown)", PowerSystemShutdown, PowerSystemShutdown);
}

void Machine::Wake() {
    if (asleep_) {
        // The firmware runs again first: a countdown that went on through
        // the sleep goes on from what is left of it.
        asleep_ = false;
        sim::Firmware& firmware = acpi_->Firmware();
        if (sleepCounting_ && firmware.WatchdogOpen()) {
            firmware.CountDownFrom(asleepDeadline_ - Now());
        }
        SampleWatchdog();
    }
    actor_ = "power";
    Emit("power", "power", "system returns to S0").String("state", "S0");
    if (device_ == nullptr) {
        return;
    }
    hk::Outcome outcome = ReturnToWorking(device_, lowState_);
    FlushErrorLog();
    lowState_ = PowerSystemWorking;
    EmitRequest("power", "set-power S0", outcome.ioStatus.Status, std::nullopt);
}

void Machine::SetDevicePower(DEVICE_POWER_STATE state) {
    actor_ = "power";
    std::string name = "D" + std::to_string(state - PowerDeviceD0);
    if (device_ == nullptr) {
        Emit("power", "power", "no device for set-power " + name);
        return;
    }
    sim::PowerRequest request;
    request.Type = DevicePowerState;
    request.State = state;
    hk::Outcome outcome = SendPowerRequest(device_, request);
    FlushErrorLog();
    EmitRequest("power", "set-power " + name, outcome.ioStatus.Status, std::nullopt);
}

void Machine::QueryPower(bool system, ULONG state) {
    actor_ = "power";
    std::string name =
        system ? SystemStateName(state) : "D" + std::to_string(state - PowerDeviceD0);
    if (device_ == nullptr) {
        Emit("power", "power", "no device for query-power " + name);
        return;
    }
    sim::PowerRequest request;
    request.Minor = IRP_MN_QUERY_POWER;
    request.Type = system ? SystemPowerState : DevicePowerState;
    request.State = state;
    if (system) {
        auto target = static_cast<SYSTEM_POWER_STATE>(state);
        request.SystemContext = SystemContext(target, target, PowerSystemWorking);
    }
    hk::Outcome outcome = SendPowerRequest(device_, request);
    FlushErrorLog();
    EmitRequest("power", "query-power " + name, outcome.ioStatus.Status, std::nullopt);
}

} // namespace sim
