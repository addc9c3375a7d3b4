// What tests and the simulated machine use to give processes their security
// identity, to steer the kernel's WDM version, and to read the descriptors
// that devices and registry keys carry. Nothing here is visible to driver
// code.
#pragma once

#include "hostkernel/control.h"

namespace hk {

// A SID in its binary form.
using SidBytes = std::vector<uint8_t>;

// The SID of a text "S-1-5-32-544"; throws std::invalid_argument for text
// that is no SID.
SidBytes ParseSid(const std::string& text);
// The "S-1-..." text of a SID.
std::string SidText(const void* sid);

// The identity a process acts with: its user and the groups it belongs to.
struct Token {
    SidBytes User;                // the user's SID
    std::vector<SidBytes> Groups; // groups, Everyone among them
};

// LocalSystem: SYSTEM, with Administrators, Everyone and Authenticated Users.
Token LocalSystemToken();
// A member of Administrators (and of Users, Everyone, Interactive,
// Authenticated Users).
Token AdministratorToken();
// A standard user: Users, Everyone, Interactive, Authenticated Users.
Token StandardUserToken();

// A process's token. Until one is set, the system process has LocalSystem's
// and every other process an administrator's.
void SetProcessToken(HkProcess* process, const Token& token);
Token ProcessToken(HkProcess* process);

// The kernel's WDM version, which IoIsWdmVersionAvailable compares against
// (6.0x30 unless set).
void SetWdmVersion(UCHAR major, UCHAR minor);

// The self-relative descriptor a device object carries; empty until one is
// set through its handle.
std::vector<uint8_t> DeviceSecurity(PDEVICE_OBJECT device);

// Gives a device object a descriptor, as the Plug and Play manager does from
// the device's registry settings, or a bus driver for the devices it makes.
void SetDeviceSecurity(PDEVICE_OBJECT device, const std::vector<uint8_t>& descriptor);

// The self-relative descriptor of a text in the descriptor's text form, as
// the kernel's converter makes it; throws std::invalid_argument for a text
// it refuses.
std::vector<uint8_t> SddlDescriptor(const std::u16string& sddl);

// The self-relative descriptor a registry key was created with; empty when
// it was created without one. Throws std::out_of_range for a missing key.
std::vector<uint8_t> RegistryKeySecurity(const std::u16string& path);

} // namespace hk
