// The per-device record: everything the driver knows about the one device it
// serves. It is the extension of the driver's device object, starts zeroed,
// and ends when removal deletes the device object.
#pragma once

#include "platform/platform.h"
#include "include/VKTWatchdog.h"

// The sample filter of the watched names has 2^NAME_FILTER_SLOT_BITS slots.
static const ULONG NAME_FILTER_SLOT_BITS = 12;
static const ULONG NAME_FILTER_SLOTS = 1U << NAME_FILTER_SLOT_BITS;

struct DeviceContext {
    PDEVICE_OBJECT Self;        // the device object that owns this record
    PDEVICE_OBJECT LowerDevice; // device directly below; target of passed-down requests and
                                // firmware evaluations; null when the attachment failed
    UNICODE_STRING DeviceName;  // name of the device object, over constant text
    UNICODE_STRING LinkName;    // name of the symbolic link, over constant text
    StateCode State;            // what the driver last decided the system is doing
    KTIMER Timer;               // supervision timer, armed one-shot ten seconds ahead
    KDPC TimerDpc;              // deferred call run when Timer expires
    PIO_WORKITEM WorkItem;      // runs the supervision cycle at passive level
    volatile UCHAR WorkQueued;  // 1 from the decision to queue WorkItem until its run starts
    ULONG ShutdownTimeout;      // seconds armed on the way to shutdown
    UCHAR DebuggerPresent;      // non-zero: a kernel debugger was enabled at creation, so the
                                // watchdog is never armed, fed or stopped
    UCHAR FirmwareStatus;       // status byte handed to user mode
    ERESOURCE FirmwareLock;     // serialises state reports to firmware
    ULONGLONG RunTimeout;       // seconds armed on entering a supervised state
    LIST_ENTRY WatchList;       // watched process image names
    PWCHAR WatchListText;       // pool copy of the name list the entries point into
    ERESOURCE StateLock;        // guards State changes and the arm and feed decisions
    ERESOURCE WatchListLock;    // guards the watch list, its text, filter and timeouts, and
                                // the checks' SnapshotSize and ChecksBlind
    UCHAR WatchEnabled;         // 1 once a non-empty watch list with a run timeout is in place
    UCHAR NameFilter[NAME_FILTER_SLOTS]; // marks of the watched names' samples (see
                                         // supervision/name_key.h), made with the list
    ULONG FoldedCharacters[256]; // characters beyond ASCII that checks had the kernel up-case,
                                 // each at its low byte: the character in the low half, its
                                 // capital without the case bit (0x20) in the high half
    ULONG SnapshotSize;          // bytes of a check's first query: what the last check that
                                 // looked was given, and an eighth more; 0 before the first
    UCHAR ChecksBlind;           // 1 from a check that could not look at the processes until
                                 // one that could; each change is logged
    IO_REMOVE_LOCK RemoveLock;   // held by every request in flight and by every queued or running
                                 // supervision run; removal waits until all are given back
};

// Ten seconds, relative, in 100-nanosecond units: the due time of every
// arming of the supervision timer.
static const LONGLONG SUPERVISION_PERIOD = -100000000LL;

// The pool tag of the driver's own allocations, shown reversed in pool dumps.
static const ULONG VKT_POOL_TAG = ('V' << 24) | ('K' << 16) | ('T' << 8) | 'D';

inline DeviceContext* ContextOf(PDEVICE_OBJECT DeviceObject) {
    return static_cast<DeviceContext*>(DeviceObject->DeviceExtension);
}
