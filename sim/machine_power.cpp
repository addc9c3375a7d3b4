// The machine's power transitions: the power manager's set-power requests to
// the driver's device, traced with what the driver did.
#include "sim/machine.h"
#include "sim/power_manager.h"

namespace sim {

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

void Machine::Sleep() {
    PowerRequest("S3", PowerSystemSleeping3, PowerSystemSleeping3);
}

void Machine::Hibernate(bool toShutdown) {
    PowerRequest(toShutdown ? "S4 (hybrid shutdown)" : "S4", PowerSystemHibernate,
                 toShutdown ? PowerSystemShutdown : PowerSystemHibernate);
}

void Machine::Shutdown() {
    PowerRequest("S6 (shutdown)", PowerSystemShutdown, PowerSystemShutdown);
}

void Machine::Wake() {
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

} // namespace sim
