// The simulated machine's address space. One reservation made from the host
// at first use holds, from low to high: the user range every process maps
// its pages in, ending at MmUserProbeAddress; the kernel heap that pool and
// the I/O manager's objects come from; and the paged area, where each paged
// pool block gets pages of its own. Because the host places nothing inside
// a reservation, no host object (a stack, the C heap) lies in the user range,
// under valgrind and the sanitizers too, and every kernel object lies above
// MmUserProbeAddress, as on the platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace hk {

// Where the parts of the reservation lie.
struct AddressLayout {
    uintptr_t UserBase;  // lowest address a process maps pages at
    uintptr_t UserLimit; // first address above user memory: MmUserProbeAddress
    uintptr_t HeapEnd;   // end of the kernel heap, which starts at UserLimit
    uintptr_t PoolEnd;   // end of the pool area, which starts at HeapEnd
};

// Reserves the address space on first use.
const AddressLayout& Layout();

// Zeroed kernel memory, 16-byte aligned, from the kernel heap; null when the
// heap is exhausted. The size is kept, so freeing needs only the address.
void* AllocateKernelMemory(size_t bytes);
void FreeKernelMemory(void* address);

// Accessible pages of their own for a pool block, holding whatever they
// held before (the caller fills them); one inaccessible page stays free after
// them. `mapped` receives the bytes made accessible.
void* AllocatePoolPages(size_t bytes, size_t* mapped);

// The start of the pages AllocatePoolPages handed out for `mapped` bytes,
// from an address within the first page (or huge page) of them.
void* PoolPagesOf(const void* address, size_t mapped);

// A freed block's pages become inaccessible at once and stay out of use
// while the most recently freed blocks, up to a bound, are held back, so
// that a touch after the free stops the test instead of reading the next
// block (pool, or a request packet after its completion). `rule` is the
// rule such a touch breaks, `note` what the block was and `freedBy` who let
// it go, for that stop.
void RetirePoolPages(void* address, size_t mapped, const char* rule, std::string note,
                     const void* freedBy);

// A retired block held back, as the stop on a touch of it names it.
struct RetiredBlock {
    uintptr_t Start;     // first address of its range
    size_t Length;       // its pages and the guard page after them
    const char* Rule;    // the rule a touch breaks
    std::string Note;    // what the block was
    const void* FreedBy; // the routine that let it go
};

// The retired block `address` lies in, or null.
const RetiredBlock* FindRetiredBlock(uintptr_t address);

// Drops a block's pages and their data at once, for a reset of the kernel.
void DropPoolPages(void* address, size_t mapped);

// A stack that simulated threads run on: it is the kernel stack of whichever
// thread runs there, so it counts as kernel memory although the host placed
// it below the user range's limit.
void AddThreadStack(const void* low, size_t size);

// Whether an address is caller memory: below MmUserProbeAddress and not a
// host object that stands for kernel memory there (the loaded images, which
// are the kernel's and the driver's code and constants, and the running
// host thread's stack, the kernel stack).
bool IsUserAddress(uintptr_t address);

// Whether every byte of a range is kernel memory, so that a copy may touch
// it directly.
bool IsKernelRange(const void* address, size_t size);

} // namespace hk
