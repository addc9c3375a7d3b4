// The power manager's side of power requests: every driver that handles a
// power request starts the next one once (PoStartNextPowerIrp) and passes the
// request on with PoCallDriver.
#include "hostkernel/ke/components.h"
#include "hostkernel/verifier/levels.h"
#include "hostkernel/io/power_control.h"

#include <set>

namespace hk {

namespace {

struct PowerState {
    std::set<std::pair<PIRP, PDEVICE_OBJECT>> Started; // (request, device it was sent to)
    uint64_t Starts = 0;                               // PoStartNextPowerIrp calls
};

std::unique_ptr<PowerState> g_power;

PowerState& Power() {
    if (!g_power) {
        g_power = std::make_unique<PowerState>();
    }
    return *g_power;
}

std::string Describe(PIRP irp) {
    return "request " + Hex(reinterpret_cast<uintptr_t>(irp));
}

bool IsPowerRequest(PIRP irp, PIO_STACK_LOCATION location) {
    return K().Irps.count(irp) != 0 && location->MajorFunction == IRP_MJ_POWER;
}

} // namespace

void ResetPowerRequests() {
    g_power = std::make_unique<PowerState>();
}

uint64_t PowerIrpStarts() {
    return Power().Starts;
}

} // namespace hk

VOID PoStartNextPowerIrp(PIRP Irp) {
    HK_CHECK_LEVEL(PoStartNextPowerIrp);
    const void* caller = __builtin_return_address(0);
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    if (!hk::IsPowerRequest(Irp, location)) {
        hk::VerifierStop("starts the next power request with a request that is not one",
                         hk::RoutineName(caller), hk::Describe(Irp));
    }
    if (!hk::Power().Started.insert({Irp, location->DeviceObject}).second) {
        hk::VerifierStop("starts the next power request twice for one request",
                         hk::RoutineName(caller), hk::Describe(Irp));
    }
    hk::Power().Starts++;
}

VOID HkCheckPowerRequest(PIRP Irp, const char* Routine) {
    HK_CHECK_LEVEL(PoCallDriver);
    if (!hk::IsPowerRequest(Irp, IoGetNextIrpStackLocation(Irp))) {
        hk::VerifierStop(std::string("passes a request that is not a power request to ") + Routine,
                         hk::RoutineName(__builtin_return_address(0)), hk::Describe(Irp));
    }
}
