// The list of process image names that keeps the watchdog fed, set once by
// user mode, and the check whether any of them is running.
#pragma once

#include "driver/device_context.h"

// One watched image name, linked into DeviceContext.WatchList.
struct WatchEntry {
    LIST_ENTRY Links;         // links in WatchList
    UNICODE_STRING ImageName; // the name, pointing into WatchListText
    ULONGLONG NameKey;        // ComputeNameKey of ImageName, made when the entry is made
};

static const ULONG WATCH_TEXT_MAX = 1024;           // bytes of name list at most
static const ULONG TIMEOUT_MIN = 60;                // seconds, for either timeout
static const ULONG PROCESS_SNAPSHOT_SIZE = 0xFF400; // bytes of a check's first snapshot

NTSTATUS SetWatchList(DeviceContext* Context, UCHAR RunTimeout, UCHAR ShutdownTimeout,
                      ULONG NamesLength, PVOID Names);
BOOLEAN IsWatchedProcessRunning(DeviceContext* Context);

// The timeouts in force, as command 4 published them: the run timeout is 0
// while no list is in force.
VOID ReadWatchTimeouts(DeviceContext* Context, ULONG* RunTimeout, ULONG* ShutdownTimeout);
