// Components of the host kernel that keep their state apart from Kernel:
// the handle table, the registry, the error log and the power requests.
// Reset starts each afresh (the registry keeps its tree across a reboot),
// and the leak check asks each what is left over.
#pragma once

#include "hostkernel/kernel_state.h"

namespace hk {

// Called by Reset, after the new Kernel exists.
void ResetExtensions();
// Called by FindLeaks: one line per finding.
void FindExtensionLeaks(std::vector<std::string>& leaks);
// Whether the Reset under way is part of a reboot, which keeps what lies on
// disk: the registry's non-volatile keys and the volumes' files.
bool Rebooting();

// The parts, one per component.
void ResetHandles();
void ResetRegistry();
void ResetErrorLog();
void ResetPowerRequests();
void ResetUserApi();
void FindHandleLeaks(std::vector<std::string>& leaks);
void FindErrorLogLeaks(std::vector<std::string>& leaks);

// ----- the handle table ----------------------------------------------------

// The kind of the handles to registry keys.
inline const std::string kRegistryKeyKind = "registry key";

// What one handle refers to.
struct HandleEntry {
    std::string Kind;             // kind of object, for type checks and messages
    std::shared_ptr<void> Object; // the object, kept alive while the handle is open
    ACCESS_MASK Access;           // access granted when it was opened
    bool KernelHandle;            // OBJ_KERNEL_HANDLE: valid in every process
    HkProcess* Process;           // the process whose table holds it otherwise
    const void* OpenedBy;         // routine that opened it, for leak reports
    std::string Description;      // what it refers to, for messages
};

// Enters an object into the handle table of the current process, or into the
// kernel's table for a kernel handle, and returns its handle.
HANDLE InsertHandle(HandleEntry entry);
// The entry a handle names in the current thread's view, or null.
HandleEntry* LookupHandle(HANDLE handle);
// Removes a handle from its table.
void RemoveHandle(HANDLE handle);
// The handles of one kind that a process holds, in the order opened.
std::vector<HANDLE> ProcessHandles(const HkProcess* process, const std::string& kind);

} // namespace hk
