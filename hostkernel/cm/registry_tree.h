// The registry's keys and values, shared by the registry routines and the
// controls. The tree outlives a reboot; everything else of the registry
// (handles, injected failures) belongs to one run of the kernel.
#pragma once

#include "hostkernel/ke/components.h"
#include "hostkernel/cm/registry_control.h"

namespace hk {

// One value of a key.
struct RegistryValue {
    std::u16string Name;       // as first written; the default value has an empty name
    ULONG Type = REG_NONE;     // REG_ type, never checked against the data
    std::vector<uint8_t> Data; // the bytes
};

// One key.
struct RegistryKey {
    std::u16string Name;                                            // last path component
    std::u16string Path;                                            // full path, for messages
    bool Volatile = false;                                          // gone after a reboot
    bool Deleted = false;                                           // deleted while open
    std::map<std::u16string, std::shared_ptr<RegistryKey>> Subkeys; // by upcased name
    std::vector<RegistryValue> Values;                              // in order of creation
    std::vector<uint8_t> Security; // self-relative descriptor given at creation, or empty
};

// \REGISTRY.
std::shared_ptr<RegistryKey> RegistryRoot();

// The subkey of that name, or null.
std::shared_ptr<RegistryKey> FindSubkey(const RegistryKey& key, const std::u16string& name);
// Adds a subkey; the name must not exist yet.
std::shared_ptr<RegistryKey> AddSubkey(RegistryKey& key, const std::u16string& name,
                                       bool isVolatile);
// The value of that name, or null.
RegistryValue* FindValue(RegistryKey& key, const std::u16string& name);

// Splits a path relative to some key into its components. Fails as the
// platform does for empty components.
NTSTATUS SplitRegistryPath(const std::u16string& path, std::vector<std::u16string>* parts);

} // namespace hk
