// Arming, feeding and stopping the watchdog. While a kernel debugger was
// enabled at device creation none of them touches the firmware, so that a
// machine halted in the debugger is not reset under the developer.
#include "firmware/watchdog.h"

#include "firmware/method_call.h"

VKT_PAGED_ROUTINE NTSTATUS ArmWatchdog(DeviceContext* Context, StateCode Code,
                                       ULONG TimeoutSeconds) {
    PAGED_CODE();
    if (Context->DebuggerPresent != 0) {
        return STATUS_SUCCESS;
    }
    NTSTATUS status = CallIntegerMethod(Context, "SVKT", TimeoutSeconds, sizeof(ULONG));
    if (status < 0) {
        return status;
    }
    status = CallSimpleMethod(Context, "OVKT");
    if (status < 0) {
        return status;
    }
    return FeedWatchdog(Context, Code);
}

// Firmware that does not take the state code with the feed is fed without it.
VKT_PAGED_ROUTINE NTSTATUS FeedWatchdog(DeviceContext* Context, StateCode Code) {
    PAGED_CODE();
    if (Context->DebuggerPresent != 0) {
        return STATUS_SUCCESS;
    }
    NTSTATUS status = CallIntegerMethod(Context, "FVKT", Code, sizeof(ULONG));
    if (status >= 0) {
        return status;
    }
    return CallSimpleMethod(Context, "FVKT");
}

VKT_PAGED_ROUTINE NTSTATUS StopWatchdog(DeviceContext* Context) {
    PAGED_CODE();
    if (Context->DebuggerPresent != 0) {
        return STATUS_SUCCESS;
    }
    return CallSimpleMethod(Context, "CVKT");
}
