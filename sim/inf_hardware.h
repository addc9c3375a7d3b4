// The settings a driver package's INF gives the whole device stack in its
// hardware section ("[<install section>.HW]", through AddReg sections with
// HKR lines): the security descriptor and the device characteristics. Plug
// and Play stores them in the device's hardware key at installation and
// applies them to every device object of the stack after the driver added
// its device, before the start.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace sim {

struct HardwareSettings {
    std::optional<std::u16string> Security;  // "Security": the descriptor's text form
    std::optional<uint32_t> Characteristics; // "DeviceCharacteristics"
};

// Reads the hardware section of an INF's text. A section whose name is an
// install section's with ".HW" after it is the hardware section; without one
// the stack keeps what its drivers gave it.
HardwareSettings ParseHardwareSettings(const std::string& inf);

// The hardware settings of the package the tests ship: windows/VKTDrv.inf of
// the source tree, read once. Throws std::runtime_error when it cannot be read.
const HardwareSettings& ShippedHardwareSettings();

} // namespace sim
