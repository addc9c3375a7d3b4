// The ten-second supervision cycle: a one-shot timer whose deferred call
// queues a work item that checks for a watched process and feeds the
// watchdog, then arms the timer again.
#pragma once

#include "driver/device_context.h"

VOID SupervisionDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2);
VOID SupervisionWork(PDEVICE_OBJECT DeviceObject, PVOID WorkContext);
NTSTATUS CheckAndFeed(DeviceContext* Context);
NTSTATUS ArmSupervisionTimer(DeviceContext* Context);
// Whether the machine is on its way into sleep, hibernation or shutdown.
bool IsEntryState(StateCode Code);
