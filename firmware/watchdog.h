// The operations the rest of the driver calls to drive the firmware
// watchdog and to tell the firmware what the system is doing.
#pragma once

#include "driver/device_context.h"

// Sets the timeout, opens the watchdog and gives it its first feed.
NTSTATUS ArmWatchdog(DeviceContext* Context, StateCode Code, ULONG TimeoutSeconds);
// Restarts the countdown of an open watchdog, carrying the state code.
NTSTATUS FeedWatchdog(DeviceContext* Context, StateCode Code);
// Closes the watchdog.
NTSTATUS StopWatchdog(DeviceContext* Context);
// Reads the firmware's status byte.
NTSTATUS QueryFirmwareStatus(DeviceContext* Context, UCHAR* StatusByte);
// Records a state code in the firmware, one report at a time.
NTSTATUS ReportState(DeviceContext* Context, StateCode Code);
