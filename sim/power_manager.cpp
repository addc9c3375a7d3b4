#include "sim/power_manager.h"

namespace sim {

namespace {

POWER_ACTION ActionFor(SYSTEM_POWER_STATE state, SYSTEM_POWER_STATE target) {
    if (state == PowerSystemShutdown || target == PowerSystemShutdown) {
        return PowerActionShutdown;
    }
    return state == PowerSystemHibernate ? PowerActionHibernate : PowerActionSleep;
}

} // namespace

ULONG SystemContext(SYSTEM_POWER_STATE target, SYSTEM_POWER_STATE effective,
                    SYSTEM_POWER_STATE current) {
    SYSTEM_POWER_STATE_CONTEXT context{};
    context.TargetSystemState = target;
    context.EffectiveSystemState = effective;
    context.CurrentSystemState = current;
    return context.ContextAsUlong;
}

hk::Outcome SendPowerRequest(PDEVICE_OBJECT device, const PowerRequest& request) {
    hk::Request irp;
    irp.major = IRP_MJ_POWER;
    irp.minor = request.Minor;
    irp.useParameters = true;
    irp.parameters.Parameters.Power.SystemContext = request.SystemContext;
    irp.parameters.Parameters.Power.Type = request.Type;
    if (request.Type == SystemPowerState) {
        irp.parameters.Parameters.Power.State.SystemState =
            static_cast<SYSTEM_POWER_STATE>(request.State);
    } else {
        irp.parameters.Parameters.Power.State.DeviceState =
            static_cast<DEVICE_POWER_STATE>(request.State);
    }
    irp.parameters.Parameters.Power.ShutdownType = request.ShutdownType;
    irp.initialStatus = STATUS_NOT_SUPPORTED;
    if ((hk::TopOfStack(device)->Flags & DO_POWER_PAGABLE) != 0) {
        return hk::Send(device, irp);
    }
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    hk::Outcome outcome = hk::Send(device, irp);
    KeLowerIrql(old);
    return outcome;
}

hk::Outcome EnterSystemState(PDEVICE_OBJECT device, SYSTEM_POWER_STATE state,
                             SYSTEM_POWER_STATE target) {
    PowerRequest request;
    request.State = state;
    request.SystemContext = SystemContext(target, state, PowerSystemWorking);
    request.ShutdownType = ActionFor(state, target);
    return SendPowerRequest(device, request);
}

hk::Outcome ReturnToWorking(PDEVICE_OBJECT device, SYSTEM_POWER_STATE from) {
    PowerRequest request;
    request.State = PowerSystemWorking;
    request.SystemContext = SystemContext(PowerSystemWorking, PowerSystemWorking, from);
    return SendPowerRequest(device, request);
}

} // namespace sim
