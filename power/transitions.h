// What the driver does when the system leaves or returns to the working
// state: the state code, the event-log entry, the firmware report and the
// watchdog's timing.
#pragma once

#include "driver/device_context.h"

// Seconds the watchdog runs on the way into sleep and hibernation: long
// enough for the transition and its report, after which a machine that
// never got there is reset.
static const ULONG SLEEP_WATCHDOG_TIMEOUT = 310;

// Bits 8 to 11 of the system power-state context: the state the transition
// ends in. Hibernation that ends in shutdown is hybrid shutdown.
static const ULONG TARGET_STATE_MASK = 0xF00;
static const ULONG TARGET_HIBERNATE = 0x500;
static const ULONG TARGET_SHUTDOWN = 0x600;

// Entry to sleep (PowerSystemSleeping3), hibernation or shutdown: records the
// entry code, logs it, reports it, stops the supervision cycle and re-arms the
// watchdog for the transition.
VOID EnterLowPowerState(DeviceContext* Context, SYSTEM_POWER_STATE State, ULONG SystemContext);

// Return to the working state: logs it, turns the entry code into the
// matching resume code, reports it, restarts the supervision cycle and
// closes the watchdog.
VOID ReturnToWorkingState(DeviceContext* Context);
