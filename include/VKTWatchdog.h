// What user-mode supervision software shares with the VKT watchdog driver.
// Plain C++ with fixed-width types: it compiles unchanged in user mode on
// Windows and Linux and in the driver.
#pragma once

#include <stddef.h>
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

// The one control code of the driver: buffered, any access.
// Device type 0x8010, function 0x810.
static const uint32_t IOCTL_WATCHDOG_COMMAND = 0x80102040;

// Command numbers carried in CommandRecord.Command.
static const uint8_t COMMAND_NOP = 1;                 // does nothing
static const uint8_t COMMAND_GET_FIRMWARE_STATUS = 2; // returns the firmware status byte
static const uint8_t COMMAND_REPORT_STATE = 3;        // reports Parameter1 to the firmware
static const uint8_t COMMAND_SET_WATCH_LIST = 4;      // sets the watch list and timeouts, once
static const uint8_t COMMAND_ENTER_WATCH_A = 5;       // enters StateWatchA and arms the watchdog
static const uint8_t COMMAND_ENTER_WATCH_B = 6;       // enters StateWatchB and arms the watchdog

#pragma pack(push, 1)

// The input of IOCTL_WATCHDOG_COMMAND: 24 bytes, little-endian. A 2-byte
// short form carries Command and Parameter1 only; the rest then reads as zero.
struct CommandRecord {
    uint8_t Command;      // command number, 1 to 6
    uint8_t Parameter1;   // command 3: state code; command 4: run timeout, seconds
    uint8_t Parameter2;   // command 4: shutdown timeout, seconds
    uint8_t Reserved1[5]; // not read
    uint32_t NamesLength; // command 4: bytes of the name list
    uint32_t Reserved2;   // not read
    uint64_t Names;       // command 4: address of the UTF-16LE, comma-separated name list
                          // in the calling process
};

#pragma pack(pop)

static_assert(sizeof(CommandRecord) == 24, "command record is 24 bytes");
static_assert(offsetof(CommandRecord, Parameter2) == 2, "Parameter2 at 2");
static_assert(offsetof(CommandRecord, NamesLength) == 8, "NamesLength at 8");
static_assert(offsetof(CommandRecord, Names) == 16, "Names at 16");

// Length of the short form of the command record.
static const uint32_t COMMAND_RECORD_SHORT_SIZE = 2;
