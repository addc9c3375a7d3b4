// The object manager's handle tables: one for the kernel (handles opened
// with OBJ_KERNEL_HANDLE, valid in every process) and one per process.
// Handle values are never reused within a run, so a stale handle is always
// caught as invalid.
#include "hostkernel/ke/components.h"
#include "hostkernel/verifier/levels.h"
#include "hostkernel/cm/registry_control.h"

namespace hk {

namespace {

// Kernel handles carry the sign bit, as on the platform.
constexpr uint64_t kKernelHandleBit = 0xFFFFFFFF80000000ULL;

struct HandleTable {
    std::map<uint64_t, HandleEntry> Entries; // by handle value
    uint64_t NextIndex = 1;                  // index of the next handle
};

std::unique_ptr<HandleTable> g_handles;

HandleTable& Table() {
    if (!g_handles) {
        g_handles = std::make_unique<HandleTable>();
    }
    return *g_handles;
}

} // namespace

void ResetHandles() {
    g_handles = std::make_unique<HandleTable>();
}

HANDLE InsertHandle(HandleEntry entry) {
    HandleTable& table = Table();
    uint64_t value = table.NextIndex++ * 4;
    if (entry.KernelHandle) {
        value |= kKernelHandleBit;
    }
    table.Entries[value] = std::move(entry);
    return reinterpret_cast<HANDLE>(value);
}

HandleEntry* LookupHandle(HANDLE handle) {
    auto found = Table().Entries.find(reinterpret_cast<uint64_t>(handle));
    if (found == Table().Entries.end()) {
        return nullptr;
    }
    HandleEntry& entry = found->second;
    if (!entry.KernelHandle && entry.Process != K().Current->Process) {
        return nullptr;
    }
    return &entry;
}

void RemoveHandle(HANDLE handle) {
    Table().Entries.erase(reinterpret_cast<uint64_t>(handle));
}

std::vector<HANDLE> ProcessHandles(const HkProcess* process, const std::string& kind) {
    std::vector<HANDLE> handles;
    for (auto& [value, entry] : Table().Entries) {
        if (!entry.KernelHandle && entry.Process == process && entry.Kind == kind) {
            handles.push_back(reinterpret_cast<HANDLE>(value));
        }
    }
    return handles;
}

size_t OpenHandleCount() {
    return Table().Entries.size();
}

void FindHandleLeaks(std::vector<std::string>& leaks) {
    for (auto& [value, entry] : Table().Entries) {
        leaks.push_back(entry.Kind + " handle " + Hex(value) + " to " + entry.Description +
                        " opened by " + RoutineName(entry.OpenedBy) + " not closed");
    }
}

} // namespace hk

NTSTATUS ZwClose(HANDLE Handle) {
    HK_CHECK_LEVEL(ZwClose);
    const void* caller = __builtin_return_address(0);
    hk::HandleEntry* entry = hk::LookupHandle(Handle);
    if (entry == nullptr) {
        hk::VerifierStop("closes an invalid handle", hk::RoutineName(caller),
                         "handle " + hk::Hex(reinterpret_cast<uint64_t>(Handle)));
    }
    hk::Table().Entries.erase(reinterpret_cast<uint64_t>(Handle));
    return STATUS_SUCCESS;
}
