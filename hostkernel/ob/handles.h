// The object manager's handle tables as the kernel's components use them:
// what a handle refers to, and entering, finding and removing handles.
#pragma once

#include "hostkernel/kernel_state.h"

namespace hk {

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
