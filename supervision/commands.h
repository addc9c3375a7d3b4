// The command interface of user-mode supervision software.
#pragma once

#include "driver/device_context.h"

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
