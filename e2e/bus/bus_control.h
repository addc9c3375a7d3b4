// The control interface of the test bus driver: what the end-to-end test's
// program sends to \\.\VKTBusControl. Plain C++ with fixed-width types, shared
// by the bus driver and the Windows program that drives it.
#pragma once

#include <stdint.h>

// Control codes: device type FILE_DEVICE_UNKNOWN, buffered, any access.
#define VKTBUS_CONTROL_CODE(function) ((0x22u << 16) | ((function) << 2))

// Sets the firmware model's behaviour (VktBusFirmwareSettings in).
static const uint32_t IOCTL_VKTBUS_CONFIGURE = VKTBUS_CONTROL_CODE(0x800);
// Sends the driver's control request to the top of the child's device
// stack from kernel mode: a command record, then the name list of command 4
// (VktBusCommand in, VktBusCommandResult out). Under Wine a driver runs in a
// process of its own, where a user-mode client's name list is not mapped:
// the list must come from kernel memory.
static const uint32_t IOCTL_VKTBUS_SEND_COMMAND = VKTBUS_CONTROL_CODE(0x801);
// Sends a system set-power request to the top of the child's device stack
// (VktBusPowerRequest in, VktBusResult out).
static const uint32_t IOCTL_VKTBUS_SET_POWER = VKTBUS_CONTROL_CODE(0x802);
// Takes the child away: the bus reports it gone, and the Plug and Play
// manager removes its device stack.
static const uint32_t IOCTL_VKTBUS_UNPLUG = VKTBUS_CONTROL_CODE(0x803);
// Reports the child's state (VktBusState out).
static const uint32_t IOCTL_VKTBUS_QUERY = VKTBUS_CONTROL_CODE(0x804);
// Appends a marker line "# <text>" to the trace (text in, up to 63 bytes).
static const uint32_t IOCTL_VKTBUS_MARK = VKTBUS_CONTROL_CODE(0x805);

#pragma pack(push, 1)

// How the firmware model answers.
struct VktBusFirmwareSettings {
    uint32_t StatusValue;  // the value "GSXS" returns
    uint8_t FailMethod[4]; // a method that fails; all zero for none
    int32_t FailStatus;    // the status it fails with
};

// The largest name list the bus passes with command 4, in bytes.
static const uint32_t VKTBUS_MAX_NAMES = 512;

struct VktBusCommand {
    uint32_t RecordLength;           // bytes of Record to send, 2 or 24
    uint32_t OutputLength;           // bytes of output to offer the driver, up to 16
    uint8_t Record[24];              // the command record; a zero Names field with a
                                     // non-zero NamesLength points at Names below
    uint8_t Names[VKTBUS_MAX_NAMES]; // UTF-16LE name list of command 4
};

struct VktBusCommandResult {
    int32_t Status;       // the status the driver completed the request with
    uint32_t Information; // its information field: bytes of output
    uint8_t Output[16];   // the output
};

struct VktBusPowerRequest {
    uint32_t SystemState;   // SYSTEM_POWER_STATE: 1 working, 4 sleeping S3, 5 hibernate, ...
    uint32_t ShutdownType;  // POWER_ACTION: 0 none, 2 sleep, 3 hibernate, 4 shutdown, ...
    uint32_t SystemContext; // SYSTEM_POWER_STATE_CONTEXT: bits 8 to 11 the target state
};

struct VktBusResult {
    int32_t Status; // the status the request was completed with
};

struct VktBusState {
    uint32_t ChildPresent;       // the bus reports the child
    uint32_t ChildStarted;       // the child received a start request
    uint32_t Evaluations;        // method evaluations answered so far
    uint16_t FunctionDriver[64]; // name of the driver above the child, UTF-16,
                                 // NUL-terminated; empty when none
};

#pragma pack(pop)
