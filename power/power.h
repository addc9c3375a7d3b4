// Power-state tracking: the driver's routine for every power request.
#pragma once

#include "platform/platform.h"

// Watches system set-power requests for sleep, hibernation, shutdown and the
// return to the working state, records and reports each transition and
// re-times the firmware watchdog; then passes every power request down
// unchanged and returns the lower driver's status.
NTSTATUS DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
