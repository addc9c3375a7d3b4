// The I/O manager's error log: entries allocated for a device or driver
// object, filled by the driver and handed back to be written.
#pragma once

typedef struct _IO_ERROR_LOG_PACKET {
    UCHAR MajorFunctionCode;    // major function of the request that failed, or 0
    UCHAR RetryCount;           // retries made
    USHORT DumpDataSize;        // bytes of DumpData
    USHORT NumberOfStrings;     // insertion strings that follow
    USHORT StringOffset;        // offset of the first insertion string
    USHORT EventCategory;       // category in the message file
    NTSTATUS ErrorCode;         // message identifier in the message file
    ULONG UniqueErrorValue;     // driver-defined
    NTSTATUS FinalStatus;       // status of the failed operation
    ULONG SequenceNumber;       // request sequence number
    ULONG IoControlCode;        // control code of the request that failed
    LARGE_INTEGER DeviceOffset; // device offset of the failure
    ULONG DumpData[1];          // driver-defined data
} IO_ERROR_LOG_PACKET, *PIO_ERROR_LOG_PACKET;

static_assert(offsetof(IO_ERROR_LOG_PACKET, ErrorCode) == 12, "as on the platform");
static_assert(offsetof(IO_ERROR_LOG_PACKET, DeviceOffset) == 32, "as on the platform");
static_assert(offsetof(IO_ERROR_LOG_PACKET, DumpData) == 40, "as on the platform");
static_assert(sizeof(IO_ERROR_LOG_PACKET) == 48, "as on the platform");

// The largest entry the I/O manager allocates on x64: the error-log message
// limit (240 bytes of packet plus the 104-byte message header, within the
// 512-byte port message) less that header.
#define ERROR_LOG_LIMIT_SIZE 240
#define ERROR_LOG_MAXIMUM_SIZE 240

// Null when the entry cannot be allocated or EntrySize exceeds
// ERROR_LOG_MAXIMUM_SIZE. The entry's contents are not cleared.
PVOID IoAllocateErrorLogEntry(PVOID IoObject, UCHAR EntrySize);
// Queues the entry to be logged; the entry then belongs to the I/O manager.
VOID IoWriteErrorLogEntry(PVOID ElEntry);
// Gives back an entry that is not to be written.
VOID IoFreeErrorLogEntry(PVOID ElEntry);
