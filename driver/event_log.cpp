// One event-log entry: the packet header, then the message as the only
// insertion string where the packet's dump data would begin.
#include "driver/event_log.h"

// The message starts where the dump data would; there are none.
static const ULONG MESSAGE_OFFSET = offsetof(IO_ERROR_LOG_PACKET, DumpData);

static_assert(sizeof(IO_ERROR_LOG_PACKET) == 48, "the packet's fixed part is 48 bytes");
static_assert(offsetof(IO_ERROR_LOG_PACKET, NumberOfStrings) == 4, "string count at 4");
static_assert(offsetof(IO_ERROR_LOG_PACKET, StringOffset) == 6, "string offset at 6");
static_assert(offsetof(IO_ERROR_LOG_PACKET, ErrorCode) == 12, "error code at 12");
static_assert(offsetof(IO_ERROR_LOG_PACKET, SequenceNumber) == 24, "sequence number at 24");
static_assert(MESSAGE_OFFSET == 40, "message at 40");

// The largest message the largest entry holds behind the packet header.
static const ULONG MAX_MESSAGE_SIZE = ERROR_LOG_MAXIMUM_SIZE - sizeof(IO_ERROR_LOG_PACKET);

// The entry size is one byte wide: a message too large for the platform's
// largest entry is not logged rather than logged into an entry too small.
// The entry is cleared first, since the I/O manager hands it out as it
// finds it and nothing of earlier memory may reach the log.
VKT_PAGED_ROUTINE VOID WriteEventLogEntry(PVOID IoObject, ULONG MessageSize, const VOID* Message) {
    PAGED_CODE();
    if (Message == nullptr) {
        MessageSize = 0;
    }
    if (MessageSize > MAX_MESSAGE_SIZE) {
        return;
    }
    ULONG entrySize = sizeof(IO_ERROR_LOG_PACKET) + MessageSize;
    auto* packet = static_cast<PIO_ERROR_LOG_PACKET>(
        IoAllocateErrorLogEntry(IoObject, static_cast<UCHAR>(entrySize)));
    if (packet == nullptr) {
        return;
    }
    RtlZeroMemory(packet, entrySize);
    packet->ErrorCode = POWER_EVENT_CODE;
    if (MessageSize != 0) {
        packet->NumberOfStrings = 1;
        packet->StringOffset = MESSAGE_OFFSET;
        memcpy_s(reinterpret_cast<PUCHAR>(packet) + MESSAGE_OFFSET, MessageSize, Message,
                 MessageSize);
    }
    IoWriteErrorLogEntry(packet);
}
