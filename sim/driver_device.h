// The driver's device over the ACPI device, created, started and removed as
// the driver's own start-up and removal do it, for the machine to use until
// the Plug and Play manager adds, starts and removes the device itself.
#pragma once

#include "driver/device_context.h"

namespace sim {

// Creates the named, secured-by-default device with its link, counts the
// installation, settles the firmware status byte, stops the watchdog and
// reports StateLoaded. Null when the device cannot be created.
PDEVICE_OBJECT CreateDriverDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physical);
// Starts the supervision cycle.
void StartDriverDevice(PDEVICE_OBJECT device);
// Stops the cycle, closes the watchdog, reports StateRemoved, forgets the
// install count and deletes the device with everything it holds.
void RemoveDriverDevice(PDEVICE_OBJECT device);

} // namespace sim
