// Entries of the system event log. The driver logs power transitions, and
// when its checks stop and start being able to list processes; each entry
// carries one code and one insertion string, the message.
#pragma once

#include "platform/platform.h"

// The code of every entry the driver writes, power transitions or not:
// informational severity, customer bit clear, facility 6, code 1.
static const NTSTATUS POWER_EVENT_CODE = 0x40060001;

// Logs `Message` (MessageSize bytes of UTF-16 text, terminating NUL included)
// for the I/O object, a driver or device object. An entry that cannot be
// allocated, or would not fit the platform's largest entry, is dropped
// without a word: logging never stops the caller.
VOID WriteEventLogEntry(PVOID IoObject, ULONG MessageSize, const VOID* Message);
