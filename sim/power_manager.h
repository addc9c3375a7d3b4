// The power manager of the simulated machine: it sends power requests to the
// top of a device's stack as the platform's power manager does, at passive
// level to a power-pageable stack and at dispatch level otherwise, with the
// status "not supported" until a driver sets another.
#pragma once

#include "hostkernel/io/power_control.h"

namespace sim {

// One power request.
struct PowerRequest {
    UCHAR Minor = IRP_MN_SET_POWER;              // set, query or wait-wake
    POWER_STATE_TYPE Type = SystemPowerState;    // system or device state
    ULONG State = PowerSystemWorking;            // the SYSTEM_ or DEVICE_POWER_STATE
    ULONG SystemContext = 0;                     // SYSTEM_POWER_STATE_CONTEXT as one value
    POWER_ACTION ShutdownType = PowerActionNone; // why the state changes
};

// The system power-state context of a transition from `current` to `target`
// through `effective`.
ULONG SystemContext(SYSTEM_POWER_STATE target, SYSTEM_POWER_STATE effective,
                    SYSTEM_POWER_STATE current);

// Sends the request and waits (in virtual time) until it is completed.
hk::Outcome SendPowerRequest(PDEVICE_OBJECT device, const PowerRequest& request);

// Set-power for a system state on the way down from the working state:
// sleep (PowerSystemSleeping1 to 3), hibernation or shutdown. `target` is
// where the transition ends; hibernation ending in shutdown is hybrid
// shutdown.
hk::Outcome EnterSystemState(PDEVICE_OBJECT device, SYSTEM_POWER_STATE state,
                             SYSTEM_POWER_STATE target);
inline hk::Outcome EnterSystemState(PDEVICE_OBJECT device, SYSTEM_POWER_STATE state) {
    return EnterSystemState(device, state, state);
}

// Set-power for the working state, coming back from `from`.
hk::Outcome ReturnToWorking(PDEVICE_OBJECT device, SYSTEM_POWER_STATE from);

} // namespace sim
