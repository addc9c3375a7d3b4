// The registry routines drivers call: opening and creating keys by name,
// and reading, writing and deleting values through key handles, with the
// platform's records, statuses and required lengths.
//
// Drivers call the Zw routines from kernel mode, where the platform checks
// no access: the access asked for is recorded with the handle but never
// enforced. Names of keys and values never depend on case.
#include "hostkernel/cm/registry_tree.h"
#include "hostkernel/verifier/levels.h"
#include "hostkernel/se/security_internal.h"

#include <cstring>

namespace hk {

namespace {

NTSTATUS ReferenceKey(HANDLE handle, std::shared_ptr<RegistryKey>* key) {
    HandleEntry* entry = LookupHandle(handle);
    if (entry == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    if (entry->Kind != kRegistryKeyKind) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    *key = std::static_pointer_cast<RegistryKey>(entry->Object);
    return (*key)->Deleted ? STATUS_KEY_DELETED : STATUS_SUCCESS;
}

// Where a name leads: the key it starts from, and the components below it.
NTSTATUS ParseName(POBJECT_ATTRIBUTES attributes, std::shared_ptr<RegistryKey>* start,
                   std::vector<std::u16string>* parts) {
    if (attributes == nullptr || attributes->Length != sizeof(OBJECT_ATTRIBUTES)) {
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string name = FromCounted(attributes->ObjectName);
    if (attributes->RootDirectory != nullptr) {
        if (!name.empty() && name[0] == u'\\') {
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        }
        NTSTATUS status = ReferenceKey(attributes->RootDirectory, start);
        return NT_SUCCESS(status) ? SplitRegistryPath(name, parts) : status;
    }
    if (name.empty() || name[0] != u'\\') {
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    }
    NTSTATUS status = SplitRegistryPath(name.substr(1), parts);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (parts->empty() || Upcase(parts->front()) != u"REGISTRY") {
        return parts->size() > 1 ? STATUS_OBJECT_PATH_NOT_FOUND : STATUS_OBJECT_NAME_NOT_FOUND;
    }
    parts->erase(parts->begin());
    *start = RegistryRoot();
    return STATUS_SUCCESS;
}

// Follows `count` components from `key`.
NTSTATUS Descend(std::shared_ptr<RegistryKey>* key, const std::vector<std::u16string>& parts,
                 size_t count) {
    for (size_t i = 0; i < count; i++) {
        *key = FindSubkey(**key, parts[i]);
        if (*key == nullptr) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
    }
    return STATUS_SUCCESS;
}

ACCESS_MASK MapGenericAccess(ACCESS_MASK access) {
    ACCESS_MASK mapped = access & 0x00FFFFFF & ~MAXIMUM_ALLOWED;
    if (access & (GENERIC_READ | GENERIC_EXECUTE)) {
        mapped |= KEY_READ;
    }
    if (access & GENERIC_WRITE) {
        mapped |= KEY_WRITE;
    }
    if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) {
        mapped |= KEY_ALL_ACCESS;
    }
    return mapped;
}

HANDLE OpenHandle(const std::shared_ptr<RegistryKey>& key, ACCESS_MASK access,
                  POBJECT_ATTRIBUTES attributes, const void* caller) {
    return InsertHandle(HandleEntry{kRegistryKeyKind, key, MapGenericAccess(access),
                                    (attributes->Attributes & OBJ_KERNEL_HANDLE) != 0,
                                    K().Current->Process, caller, Narrow(key->Path)});
}

// ----- value records ----------------------------------------------------------------

// A value's record in one of the query classes: the whole record, and how much
// of it is the fixed part that a short buffer still receives.
struct ValueRecord {
    std::vector<uint8_t> Bytes; // the complete record
    size_t Fixed = 0;           // bytes before the name or data
};

void PutUlong(std::vector<uint8_t>& bytes, size_t offset, ULONG value) {
    std::memcpy(bytes.data() + offset, &value, sizeof value);
}

void PutBytes(std::vector<uint8_t>& bytes, size_t offset, const void* data, size_t size) {
    if (size != 0) {
        std::memcpy(bytes.data() + offset, data, size);
    }
}

ValueRecord BasicRecord(const RegistryValue& value) {
    ULONG nameLength = static_cast<ULONG>(value.Name.size() * sizeof(WCHAR));
    ValueRecord record{std::vector<uint8_t>(12 + nameLength), 12};
    PutUlong(record.Bytes, 4, value.Type);
    PutUlong(record.Bytes, 8, nameLength);
    PutBytes(record.Bytes, 12, value.Name.data(), nameLength);
    return record;
}

// The data follow the name at the next multiple of four bytes.
ValueRecord FullRecord(const RegistryValue& value) {
    ULONG nameLength = static_cast<ULONG>(value.Name.size() * sizeof(WCHAR));
    ULONG dataLength = static_cast<ULONG>(value.Data.size());
    ULONG dataOffset = (20 + nameLength + 3) & ~3u;
    size_t size = dataLength == 0 ? 20 + nameLength : dataOffset + dataLength;
    ValueRecord record{std::vector<uint8_t>(size), 20};
    PutUlong(record.Bytes, 4, value.Type);
    PutUlong(record.Bytes, 8, dataOffset);
    PutUlong(record.Bytes, 12, dataLength);
    PutUlong(record.Bytes, 16, nameLength);
    PutBytes(record.Bytes, 20, value.Name.data(), nameLength);
    PutBytes(record.Bytes, dataOffset, value.Data.data(), dataLength);
    return record;
}

ValueRecord PartialRecord(const RegistryValue& value) {
    ULONG dataLength = static_cast<ULONG>(value.Data.size());
    ValueRecord record{std::vector<uint8_t>(12 + dataLength), 12};
    PutUlong(record.Bytes, 4, value.Type);
    PutUlong(record.Bytes, 8, dataLength);
    PutBytes(record.Bytes, 12, value.Data.data(), dataLength);
    return record;
}

// Too short for the fixed part: nothing is written. Too short for the rest:
// the fixed part is written and the caller learns the length needed.
NTSTATUS DeliverRecord(const ValueRecord& record, PVOID buffer, ULONG length, PULONG resultLength) {
    *resultLength = static_cast<ULONG>(record.Bytes.size());
    if (length < record.Fixed) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (buffer == nullptr) {
        return STATUS_ACCESS_VIOLATION;
    }
    if (length < record.Bytes.size()) {
        std::memcpy(buffer, record.Bytes.data(), record.Fixed);
        return STATUS_BUFFER_OVERFLOW;
    }
    std::memcpy(buffer, record.Bytes.data(), record.Bytes.size());
    return STATUS_SUCCESS;
}

// Whether a handle opened with `granted` carries the specific right
// `needed`, generic rights mapped as the platform maps them for keys.
bool Grants(ACCESS_MASK granted, ACCESS_MASK needed) {
    if (granted & (GENERIC_ALL | MAXIMUM_ALLOWED)) {
        return true;
    }
    if (granted & GENERIC_READ) {
        granted |= KEY_READ;
    }
    if (granted & GENERIC_WRITE) {
        granted |= KEY_WRITE;
    }
    return (granted & needed) == needed;
}

// The common start of a value routine: an injected failure, the key behind
// the handle, and the right the routine needs: as on the platform, a handle
// opened for reading neither sets nor deletes.
NTSTATUS BeginValueRoutine(const char* routine, HANDLE handle, ACCESS_MASK needed,
                           std::shared_ptr<RegistryKey>* key) {
    NTSTATUS status = STATUS_SUCCESS;
    // An injected status, a success too, is the routine's whole answer: no key
    // is referenced and nothing is done.
    if (TakeRoutineFault(routine, &status)) {
        return status;
    }
    status = ReferenceKey(handle, key);
    if (NT_SUCCESS(status)) {
        HandleEntry* entry = LookupHandle(handle);
        if (entry != nullptr && !Grants(entry->Access, needed)) {
            key->reset();
            return STATUS_ACCESS_DENIED;
        }
    }
    return status;
}

} // namespace

} // namespace hk

using hk::K;

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                   POBJECT_ATTRIBUTES ObjectAttributes) {
    HK_CHECK_LEVEL(ZwOpenKey);
    const void* caller = __builtin_return_address(0);
    NTSTATUS status = STATUS_SUCCESS;
    if (hk::TakeRoutineFault("ZwOpenKey", &status)) {
        return status;
    }
    std::shared_ptr<hk::RegistryKey> key;
    std::vector<std::u16string> parts;
    status = hk::ParseName(ObjectAttributes, &key, &parts);
    if (NT_SUCCESS(status)) {
        status = hk::Descend(&key, parts, parts.size());
    }
    if (NT_SUCCESS(status)) {
        *KeyHandle = hk::OpenHandle(key, DesiredAccess, ObjectAttributes, caller);
    }
    return status;
}

NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                     POBJECT_ATTRIBUTES ObjectAttributes, ULONG TitleIndex, PUNICODE_STRING Class,
                     ULONG CreateOptions, PULONG Disposition) {
    HK_CHECK_LEVEL(ZwCreateKey);
    UNREFERENCED_PARAMETER(TitleIndex);
    UNREFERENCED_PARAMETER(Class);
    const void* caller = __builtin_return_address(0);
    NTSTATUS status = STATUS_SUCCESS;
    if (hk::TakeRoutineFault("ZwCreateKey", &status)) {
        return status;
    }
    if ((CreateOptions & ~REG_OPTION_VOLATILE) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    std::shared_ptr<hk::RegistryKey> key;
    std::vector<std::u16string> parts;
    status = hk::ParseName(ObjectAttributes, &key, &parts);
    if (NT_SUCCESS(status) && !parts.empty()) {
        status = hk::Descend(&key, parts, parts.size() - 1);
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // A new key keeps the descriptor it is created with; a malformed one
    // fails the creation.
    hk::DescriptorParts security;
    bool secured = ObjectAttributes->SecurityDescriptor != nullptr;
    if (secured && !hk::ReadDescriptor(ObjectAttributes->SecurityDescriptor, &security)) {
        return STATUS_UNKNOWN_REVISION;
    }
    if (secured && !NT_SUCCESS(status = hk::CheckParts(security))) {
        return status;
    }
    ULONG disposition = REG_OPENED_EXISTING_KEY;
    if (!parts.empty()) {
        std::shared_ptr<hk::RegistryKey> existing = hk::FindSubkey(*key, parts.back());
        bool makeVolatile = (CreateOptions & REG_OPTION_VOLATILE) != 0;
        if (existing == nullptr && key->Volatile && !makeVolatile) {
            return STATUS_CHILD_MUST_BE_VOLATILE;
        }
        if (existing == nullptr) {
            existing = hk::AddSubkey(*key, parts.back(), makeVolatile);
            disposition = REG_CREATED_NEW_KEY;
            if (secured) {
                existing->Security = hk::SelfRelativeBytes(security);
            }
        }
        key = existing;
    }
    *KeyHandle = hk::OpenHandle(key, DesiredAccess, ObjectAttributes, caller);
    if (Disposition != nullptr) {
        *Disposition = disposition;
    }
    return STATUS_SUCCESS;
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                         PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
    HK_CHECK_LEVEL(ZwQueryValueKey);
    std::shared_ptr<hk::RegistryKey> key;
    NTSTATUS status = hk::BeginValueRoutine("ZwQueryValueKey", KeyHandle, KEY_QUERY_VALUE, &key);
    if (!NT_SUCCESS(status) || key == nullptr) {
        return status;
    }
    hk::RegistryValue* value = hk::FindValue(*key, hk::FromCounted(ValueName));
    if (value == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    switch (KeyValueInformationClass) {
    case KeyValueBasicInformation:
        return hk::DeliverRecord(hk::BasicRecord(*value), KeyValueInformation, Length,
                                 ResultLength);
    case KeyValueFullInformation:
        return hk::DeliverRecord(hk::FullRecord(*value), KeyValueInformation, Length, ResultLength);
    case KeyValuePartialInformation:
        return hk::DeliverRecord(hk::PartialRecord(*value), KeyValueInformation, Length,
                                 ResultLength);
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                       PVOID Data, ULONG DataSize) {
    HK_CHECK_LEVEL(ZwSetValueKey);
    UNREFERENCED_PARAMETER(TitleIndex);
    std::shared_ptr<hk::RegistryKey> key;
    NTSTATUS status = hk::BeginValueRoutine("ZwSetValueKey", KeyHandle, KEY_SET_VALUE, &key);
    if (!NT_SUCCESS(status) || key == nullptr) {
        return status;
    }
    if (Data == nullptr && DataSize != 0) {
        return STATUS_ACCESS_VIOLATION;
    }
    auto* bytes = static_cast<const uint8_t*>(Data);
    std::vector<uint8_t> data(bytes, bytes + (Data == nullptr ? 0 : DataSize));
    std::u16string name = hk::FromCounted(ValueName);
    hk::RegistryValue* value = hk::FindValue(*key, name);
    if (value == nullptr) {
        key->Values.push_back(hk::RegistryValue{name, Type, std::move(data)});
    } else {
        value->Type = Type;
        value->Data = std::move(data);
    }
    return STATUS_SUCCESS;
}

NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
    HK_CHECK_LEVEL(ZwDeleteValueKey);
    std::shared_ptr<hk::RegistryKey> key;
    NTSTATUS status = hk::BeginValueRoutine("ZwDeleteValueKey", KeyHandle, KEY_SET_VALUE, &key);
    if (!NT_SUCCESS(status) || key == nullptr) {
        return status;
    }
    hk::RegistryValue* value = hk::FindValue(*key, hk::FromCounted(ValueName));
    if (value == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    key->Values.erase(key->Values.begin() + (value - key->Values.data()));
    return STATUS_SUCCESS;
}
