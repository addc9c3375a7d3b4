// The client library of the VKT watchdog driver, for supervision software:
// opens the driver's device and sends each command of IOCTL_WATCHDOG_COMMAND
// as one call. Every call returns the platform's system error code for the
// request's status (ERROR_SUCCESS, 0, when it succeeded); the same code is
// the calling thread's last error.
#pragma once

#include "client/user_platform.h"
#include "include/VKTWatchdog.h"

// The device's user-mode path: the link \DosDevices\VKT0001.
#define VKT_DEVICE_PATH VKT_USER_TEXT("\\\\.\\VKT0001")

// Opens the device for reading and writing. INVALID_HANDLE_VALUE when it
// cannot be opened; GetLastError tells why.
HANDLE VktOpenDevice();
// Closes a handle VktOpenDevice returned.
void VktCloseDevice(HANDLE device);

// Sends any input under any control code, for tools that test the driver:
// `returned` receives the bytes of output (may be null).
DWORD VktSendRaw(HANDLE device, uint32_t controlCode, const void* input, uint32_t inputLength,
                 void* output, uint32_t outputLength, uint32_t* returned);

// Command 1: does nothing.
DWORD VktNop(HANDLE device);
// Command 2: the firmware status byte the driver read when it started.
DWORD VktGetFirmwareStatus(HANDLE device, uint8_t* status);
// Command 3: reports a state code to the firmware.
DWORD VktReportState(HANDLE device, uint8_t code);
// Command 4, once per device: the comma-separated image names (UTF-16,
// `namesBytes` long, in this process's memory) whose running keeps the
// watchdog fed, and the run and shutdown timeouts in seconds (60 or more).
DWORD VktSetWatchList(HANDLE device, const WCHAR* names, uint32_t namesBytes, uint8_t runSeconds,
                      uint8_t shutdownSeconds);
// Commands 5 and 6: enter supervised state A or B and arm the watchdog.
DWORD VktEnterWatchA(HANDLE device);
DWORD VktEnterWatchB(HANDLE device);
