// The object manager's routines on objects: object types, handles opened to
// an object by its address, references taken through handles and released
// by drivers (a reference left over is a leak), and the names of objects.
#include "hostkernel/ob/object_manager.h"
#include "hostkernel/verifier/levels.h"
#include "hostkernel/se/security_internal.h"

#include <cstring>

namespace {

bool IsProcess(PVOID object) {
    for (auto& process : hk::K().Processes) {
        if (process.get() == object) {
            return true;
        }
    }
    return false;
}

// The process type's entry: a live process, which has no name here.
bool IdentifyProcess(PVOID object, std::u16string* name) {
    name->clear();
    return IsProcess(object);
}

HkObjectType g_processType{"process", &IdentifyProcess};
HkObjectType g_deviceType{"device object", nullptr};

// The types whose objects ObQueryNameString can name.
const POBJECT_TYPE* const kNamedTypes[] = {&IoFileObjectType, &PsProcessType};

} // namespace

POBJECT_TYPE PsProcessType = &g_processType;
POBJECT_TYPE IoDeviceObjectType = &g_deviceType;

namespace hk {

namespace {

// References one object has from drivers.
struct ObjectReference {
    std::shared_ptr<void> Object;  // keeps the object alive while referenced
    uint64_t Count = 0;            // references not yet released
    const void* TakenBy = nullptr; // routine that took the last one
    std::string Description;       // what it is, for messages
};

std::map<PVOID, ObjectReference> g_references;

} // namespace

void ResetObjects() {
    g_references.clear();
}

void FindObjectLeaks(std::vector<std::string>& leaks) {
    for (auto& [object, reference] : g_references) {
        leaks.push_back(std::to_string(reference.Count) + " reference(s) to " +
                        reference.Description + " taken by " + RoutineName(reference.TakenBy) +
                        " not released");
    }
}

size_t ObjectReferenceCount() {
    size_t count = 0;
    for (auto& [object, reference] : g_references) {
        count += reference.Count;
    }
    return count;
}

} // namespace hk

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                   POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                   PVOID* Object, POBJECT_HANDLE_INFORMATION HandleInformation) {
    HK_CHECK_LEVEL(ObReferenceObjectByHandle);
    const void* caller = __builtin_return_address(0);
    std::string handle = "handle " + hk::Hex(reinterpret_cast<uint64_t>(Handle));
    NTSTATUS status = STATUS_SUCCESS;
    if (hk::TakeRoutineFault("ObReferenceObjectByHandle", &status)) {
        return status;
    }
    hk::HandleEntry* entry = hk::LookupHandle(Handle);
    // A caller in user mode cannot name a kernel handle; a kernel-mode
    // reference to a handle of a user process's table trusts whatever that
    // process put there, which Driver Verifier stops.
    if (entry == nullptr || (entry->KernelHandle && AccessMode == UserMode)) {
        return STATUS_INVALID_HANDLE;
    }
    if (!entry->KernelHandle && AccessMode == KernelMode &&
        hk::K().Current->Process != hk::K().System) {
        hk::VerifierStop("references a user-mode handle with KernelMode", hk::RoutineName(caller),
                         handle + " in " + hk::Narrow(hk::K().Current->Process->ImageName));
    }
    if (ObjectType != nullptr && entry->Kind != ObjectType->Kind) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    if (AccessMode == UserMode && (DesiredAccess & ~entry->Access) != 0) {
        return STATUS_ACCESS_DENIED;
    }
    hk::ObjectReference& reference = hk::g_references[entry->Object.get()];
    reference.Object = entry->Object;
    reference.Count++;
    reference.TakenBy = caller;
    reference.Description = entry->Kind + " " + entry->Description;
    *Object = entry->Object.get();
    if (HandleInformation != nullptr) {
        HandleInformation->HandleAttributes = entry->KernelHandle ? OBJ_KERNEL_HANDLE : 0;
        HandleInformation->GrantedAccess = entry->Access;
    }
    return STATUS_SUCCESS;
}

LONG_PTR ObfDereferenceObject(PVOID Object) {
    HK_CHECK_LEVEL(ObfDereferenceObject);
    auto found = hk::g_references.find(Object);
    if (found == hk::g_references.end()) {
        hk::VerifierStop("releases a reference to an object it holds none of",
                         hk::RoutineName(__builtin_return_address(0)),
                         "object " + hk::Hex(reinterpret_cast<uintptr_t>(Object)));
    }
    LONG_PTR left = static_cast<LONG_PTR>(--found->second.Count);
    if (left == 0) {
        hk::g_references.erase(found);
    }
    return left;
}

// Drivers open processes and device objects by address.
NTSTATUS ObOpenObjectByPointer(PVOID Object, ULONG HandleAttributes,
                               PACCESS_STATE PassedAccessState, ACCESS_MASK DesiredAccess,
                               POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                               PHANDLE Handle) {
    HK_CHECK_LEVEL(ObOpenObjectByPointer);
    UNREFERENCED_PARAMETER(PassedAccessState);
    UNREFERENCED_PARAMETER(AccessMode);
    const void* caller = __builtin_return_address(0);
    std::string object = "object " + hk::Hex(reinterpret_cast<uintptr_t>(Object));
    NTSTATUS status = STATUS_SUCCESS;
    if (hk::TakeRoutineFault("ObOpenObjectByPointer", &status)) {
        return status;
    }
    if (ObjectType == IoDeviceObjectType) {
        return hk::OpenDeviceObjectByPointer(Object, HandleAttributes, DesiredAccess, AccessMode,
                                             Handle, caller);
    }
    if (!IsProcess(Object)) {
        hk::VerifierStop("opens by address something that is no process", hk::RoutineName(caller),
                         object);
    }
    if (ObjectType != nullptr && ObjectType != PsProcessType) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    auto* process = static_cast<HkProcess*>(Object);
    *Handle = hk::InsertHandle(hk::HandleEntry{
        hk::kProcessKind, std::shared_ptr<void>(std::shared_ptr<void>(), Object), DesiredAccess,
        (HandleAttributes & OBJ_KERNEL_HANDLE) != 0, hk::K().Current->Process, caller,
        "process " + std::to_string(process->Id)});
    return STATUS_SUCCESS;
}

// An object is named by the entry of its type: files by their volume's device
// and their path on it; processes have no name here.
NTSTATUS ObQueryNameString(PVOID Object, POBJECT_NAME_INFORMATION ObjectNameInfo, ULONG Length,
                           PULONG ReturnLength) {
    HK_CHECK_LEVEL(ObQueryNameString);
    const void* caller = __builtin_return_address(0);
    std::string object = "object " + hk::Hex(reinterpret_cast<uintptr_t>(Object));
    NTSTATUS status = STATUS_SUCCESS;
    if (hk::TakeRoutineFault("ObQueryNameString", &status)) {
        return status;
    }
    std::u16string name;
    bool identified = false;
    for (const POBJECT_TYPE* type : kNamedTypes) {
        identified = identified || (*type)->Identify(Object, &name);
    }
    if (!identified) {
        hk::VerifierStop("queries the name of something that is no object", hk::RoutineName(caller),
                         object);
    }
    size_t bytes = name.size() * sizeof(WCHAR);
    if (bytes > 0xFFFC) {
        return STATUS_NAME_TOO_LONG;
    }
    ULONG needed = static_cast<ULONG>(sizeof(OBJECT_NAME_INFORMATION) + bytes + sizeof(WCHAR));
    *ReturnLength = needed;
    if (Length < needed || ObjectNameInfo == nullptr) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    auto* text = reinterpret_cast<WCHAR*>(ObjectNameInfo + 1);
    std::memcpy(text, name.data(), bytes);
    text[name.size()] = 0;
    ObjectNameInfo->Name = UNICODE_STRING{static_cast<USHORT>(bytes),
                                          static_cast<USHORT>(bytes + sizeof(WCHAR)), text};
    return STATUS_SUCCESS;
}
