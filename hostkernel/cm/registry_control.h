// What tests and the simulated machine use to prepare and inspect the
// registry, to reboot the machine around it, and to make its routines fail.
// Paths are absolute ("\REGISTRY\MACHINE\..."), compared without regard to
// case. Nothing here is visible to driver code.
#pragma once

#include "hostkernel/control.h"
#include "hostkernel/nt/registry.h"

#include <optional>

namespace hk {

// The service key of the driver, present on a freshly reset machine.
inline const std::u16string kServiceKeyPath =
    u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VKTDrv";

// A value as the registry holds it.
struct RegistryValueRecord {
    ULONG Type = REG_NONE;     // REG_ type
    std::vector<uint8_t> Data; // its bytes
};

// Starts the kernel afresh as a reboot does: every object, handle, request
// and allocation is gone and time starts at 0, but the registry keeps its
// non-volatile keys and values, and the volumes their files. (Reset empties
// the registry back to the tree a machine starts with: the driver's service
// key, without subkeys.)
void Reboot();

// Removes every key but \REGISTRY itself.
void EmptyRegistry();

// Creates a non-volatile key and any missing parents.
void CreateRegistryKey(const std::u16string& path);
// Deletes a key with its subkeys; handles still open to it see it deleted.
void DeleteRegistryKey(const std::u16string& path);
bool RegistryKeyExists(const std::u16string& path);

// Stores a value of any type and length, creating the key if needed.
void SetRegistryValue(const std::u16string& keyPath, const std::u16string& name, ULONG type,
                      const std::vector<uint8_t>& data);
void SetRegistryDword(const std::u16string& keyPath, const std::u16string& name, uint32_t value);
// The value, if the key and the value exist.
std::optional<RegistryValueRecord> ReadRegistryValue(const std::u16string& keyPath,
                                                     const std::u16string& name);

// Handles of any kind open now.
size_t OpenHandleCount();

} // namespace hk
