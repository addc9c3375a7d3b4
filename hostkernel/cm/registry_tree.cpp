// The registry's tree of keys and values, which survives a reboot, and the
// controls through which tests prepare and inspect it.
#include "hostkernel/cm/registry_tree.h"

#include <cstring>
#include <stdexcept>

namespace hk {

namespace {

std::shared_ptr<RegistryKey> g_root; // \REGISTRY, kept across a reboot
bool g_rebooting = false;            // Reset is part of a reboot

std::shared_ptr<RegistryKey> NewRoot() {
    auto root = std::make_shared<RegistryKey>();
    root->Name = u"REGISTRY";
    root->Path = u"\\REGISTRY";
    return root;
}

// The tree a machine starts with: the driver is installed as a service,
// but has never run.
void PlantStartingTree() {
    g_root = NewRoot();
    CreateRegistryKey(u"\\REGISTRY\\USER");
    CreateRegistryKey(u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class");
    SetRegistryDword(kServiceKeyPath, u"Type", 1);
    SetRegistryDword(kServiceKeyPath, u"Start", 3);
    SetRegistryDword(kServiceKeyPath, u"ErrorControl", 1);
    std::u16string image = u"\\SystemRoot\\System32\\drivers\\VKTDrv.sys";
    std::vector<uint8_t> bytes((image.size() + 1) * sizeof(char16_t));
    std::memcpy(bytes.data(), image.c_str(), bytes.size());
    SetRegistryValue(kServiceKeyPath, u"ImagePath", REG_EXPAND_SZ, bytes);
}

void DropVolatileKeys(RegistryKey& key) {
    for (auto it = key.Subkeys.begin(); it != key.Subkeys.end();) {
        if (it->second->Volatile) {
            it = key.Subkeys.erase(it);
        } else {
            DropVolatileKeys(*it->second);
            ++it;
        }
    }
}

void MarkDeleted(RegistryKey& key) {
    key.Deleted = true;
    for (auto& [name, subkey] : key.Subkeys) {
        MarkDeleted(*subkey);
    }
}

// The key at an absolute path, creating what is missing when asked to.
std::shared_ptr<RegistryKey> Walk(const std::u16string& path, bool create) {
    std::vector<std::u16string> parts;
    if (path.empty() || path[0] != u'\\' ||
        !NT_SUCCESS(SplitRegistryPath(path.substr(1), &parts)) || parts.empty() ||
        Upcase(parts[0]) != u"REGISTRY") {
        throw std::invalid_argument("not a registry path: " + Narrow(path));
    }
    std::shared_ptr<RegistryKey> key = RegistryRoot();
    for (size_t i = 1; i < parts.size() && key != nullptr; i++) {
        std::shared_ptr<RegistryKey> next = FindSubkey(*key, parts[i]);
        if (next == nullptr && create) {
            next = AddSubkey(*key, parts[i], false);
        }
        key = next;
    }
    return key;
}

} // namespace

std::shared_ptr<RegistryKey> RegistryRoot() {
    if (!g_root) {
        PlantStartingTree();
    }
    return g_root;
}

void ResetRegistry() {
    if (g_rebooting && g_root) {
        DropVolatileKeys(*g_root);
    } else {
        PlantStartingTree();
    }
}

void Reboot() {
    g_rebooting = true;
    Reset();
    g_rebooting = false;
}

bool Rebooting() {
    return g_rebooting;
}

std::shared_ptr<RegistryKey> FindSubkey(const RegistryKey& key, const std::u16string& name) {
    auto found = key.Subkeys.find(Upcase(name));
    return found == key.Subkeys.end() ? nullptr : found->second;
}

std::shared_ptr<RegistryKey> AddSubkey(RegistryKey& key, const std::u16string& name,
                                       bool isVolatile) {
    auto subkey = std::make_shared<RegistryKey>();
    subkey->Name = name;
    subkey->Path = key.Path + u"\\" + name;
    subkey->Volatile = isVolatile;
    key.Subkeys[Upcase(name)] = subkey;
    return subkey;
}

RegistryValue* FindValue(RegistryKey& key, const std::u16string& name) {
    std::u16string wanted = Upcase(name);
    for (RegistryValue& value : key.Values) {
        if (Upcase(value.Name) == wanted) {
            return &value;
        }
    }
    return nullptr;
}

NTSTATUS SplitRegistryPath(const std::u16string& path, std::vector<std::u16string>* parts) {
    parts->clear();
    if (path.empty()) {
        return STATUS_SUCCESS;
    }
    size_t start = 0;
    for (;;) {
        size_t end = path.find(u'\\', start);
        std::u16string part = path.substr(start, end == std::u16string::npos ? end : end - start);
        if (part.empty()) {
            return STATUS_OBJECT_NAME_INVALID;
        }
        parts->push_back(part);
        if (end == std::u16string::npos) {
            return STATUS_SUCCESS;
        }
        start = end + 1;
    }
}

// ----- controls ------------------------------------------------------------------

void EmptyRegistry() {
    g_root = NewRoot();
}

void CreateRegistryKey(const std::u16string& path) {
    Walk(path, true);
}

void DeleteRegistryKey(const std::u16string& path) {
    std::shared_ptr<RegistryKey> key = Walk(path, false);
    if (key == nullptr || key == RegistryRoot()) {
        return;
    }
    MarkDeleted(*key);
    std::u16string parentPath = path.substr(0, path.rfind(u'\\'));
    Walk(parentPath, false)->Subkeys.erase(Upcase(key->Name));
}

bool RegistryKeyExists(const std::u16string& path) {
    return Walk(path, false) != nullptr;
}

std::vector<uint8_t> RegistryKeySecurity(const std::u16string& path) {
    std::shared_ptr<RegistryKey> key = Walk(path, false);
    if (key == nullptr) {
        throw std::out_of_range("no registry key " + Narrow(path));
    }
    return key->Security;
}

void SetRegistryValue(const std::u16string& keyPath, const std::u16string& name, ULONG type,
                      const std::vector<uint8_t>& data) {
    std::shared_ptr<RegistryKey> key = Walk(keyPath, true);
    RegistryValue* value = FindValue(*key, name);
    if (value == nullptr) {
        key->Values.push_back(RegistryValue{name, type, data});
    } else {
        value->Type = type;
        value->Data = data;
    }
}

void SetRegistryDword(const std::u16string& keyPath, const std::u16string& name, uint32_t value) {
    std::vector<uint8_t> data(sizeof value);
    std::memcpy(data.data(), &value, sizeof value);
    SetRegistryValue(keyPath, name, REG_DWORD, data);
}

std::optional<RegistryValueRecord> ReadRegistryValue(const std::u16string& keyPath,
                                                     const std::u16string& name) {
    std::shared_ptr<RegistryKey> key = Walk(keyPath, false);
    RegistryValue* value = key == nullptr ? nullptr : FindValue(*key, name);
    if (value == nullptr) {
        return std::nullopt;
    }
    return RegistryValueRecord{value->Type, value->Data};
}

} // namespace hk
