// What user-mode supervision software shares with the VKT watchdog driver.
// Plain C++ with fixed-width types: it compiles unchanged in user mode on
// Windows and Linux and in the driver.
#pragma once

#include <stdint.h>

// What the driver last decided the system is doing, as reported to the
// firmware by the state report and carried by every watchdog feed.
typedef uint8_t StateCode;

static const StateCode StateLoaded = 0x20;   // device created and attached
static const StateCode StateRemoved = 0x22;  // device being removed (reported only)
static const StateCode StateEnterS3 = 0x23;  // entering sleep
static const StateCode StateEnterS4 = 0x24;  // entering hibernation
static const StateCode StateEnterS5 = 0x25;  // entering a hibernation that ends in shutdown
static const StateCode StateEnterS6 = 0x26;  // shutting down
static const StateCode StateResumeS3 = 0x27; // working again after sleep
static const StateCode StateResumeS4 = 0x28; // working again after hibernation
static const StateCode StateResumeS6 = 0x29; // working again after shutdown
static const StateCode StateWatchA = 0x2A;   // supervised state A
static const StateCode StateWatchB = 0x2B;   // supervised state B
static const StateCode StateResumeS5 = 0x2C; // working again after hibernation-to-shutdown
