// Pool memory with tags and pool types, all of it above MmUserProbeAddress
// as on the platform, kept as the platform's special pool keeps it. Every
// block gets pages of its own and ends where they end (rounded up to 8
// bytes), with an inaccessible page after it, so that a read or write past
// its end stops the test; the few bytes of the rounding are filled with the
// fresh-pool pattern and checked when the block is freed. A new block is
// filled with that pattern once, so that nothing relies on fresh pool being
// zero. A freed block's pages become inaccessible at once and are held back
// for a while, so that a use after the free stops the test too; being
// inaccessible, they need no fill. Paged blocks are also made inaccessible
// while the running thread is at DISPATCH_LEVEL or above, so that a touch of
// paged memory there stops the test as it would fault on the platform.
#include "hostkernel/mm/address_space.h"
#include "hostkernel/verifier/levels.h"
#include "hostkernel/kernel_state.h"
#include "hostkernel/mm/pool_control.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <ucontext.h>

namespace hk {

namespace {

constexpr uint8_t kFreshPoolPattern = 0xA5;
constexpr ULONG kUntaggedPoolTag = 0x656E6F4E; // 'None'

bool IsPagedType(POOL_TYPE type) {
    return (type & 1) != 0;
}

bool InjectedAllocationFailure(ULONG tag) {
    Kernel& kernel = K();
    if (kernel.FailAtAllocation != 0 && kernel.Allocations == kernel.FailAtAllocation) {
        kernel.FailAtAllocation = 0;
        return true;
    }
    auto rule = kernel.FailTags.find(tag);
    if (rule == kernel.FailTags.end() || rule->second == 0) {
        return false;
    }
    if (rule->second != UINT64_MAX) {
        rule->second--;
    }
    return true;
}

size_t PageSize() {
    return static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

// The start of the pages of a block.
void* PagesOf(const void* address, size_t mapped) {
    return PoolPagesOf(address, mapped);
}

std::string Describe(const void* start, const PoolBlock& block) {
    return std::string(block.Paged ? "paged" : "non-paged") + " pool block " +
           Hex(reinterpret_cast<uintptr_t>(start)) + " of " + std::to_string(block.Size) +
           " bytes, tag " + Hex(block.Tag);
}

void OnSegmentationFault(int signal, siginfo_t* info, void* rawContext) {
    uintptr_t address = reinterpret_cast<uintptr_t>(info->si_addr);
    auto* context = static_cast<ucontext_t*>(rawContext);
    const void* pc = reinterpret_cast<const void*>(context->uc_mcontext.gregs[REG_RIP]);
    const AddressLayout& layout = Layout();
    if (address >= layout.HeapEnd && address < layout.PoolEnd) {
        for (auto& [start, block] : K().Pool) {
            uintptr_t base = reinterpret_cast<uintptr_t>(PagesOf(start, block.MappedSize));
            std::string object = Describe(start, block);
            if (block.Paged && address >= base && address < base + block.MappedSize) {
                VerifierStop("touches paged pool at DISPATCH_LEVEL or above", RoutineName(pc),
                             object);
            }
            uintptr_t guard = base + block.MappedSize;
            if (address >= guard && address < guard + PageSize()) {
                VerifierStop("touches memory past the end of a pool block", RoutineName(pc),
                             object);
            }
        }
        if (const RetiredBlock* retired = FindRetiredBlock(address)) {
            VerifierStop(retired->Rule, RoutineName(pc),
                         "address " + Hex(address) + " in " + retired->Note + ", let go by " +
                             RoutineName(retired->FreedBy));
        }
        VerifierStop("touches pool that is not allocated", RoutineName(pc),
                     "address " + Hex(address));
    }
    if (address >= layout.UserBase && address < layout.UserLimit) {
        VerifierStop("touches user memory directly instead of through a guarded copy",
                     RoutineName(pc), "address " + Hex(address));
    }
    std::signal(signal, SIG_DFL);
}

} // namespace

void InstallFaultHandler() {
    static bool installed = false;
    if (installed) {
        return;
    }
    struct sigaction action {};
    action.sa_sigaction = OnSegmentationFault;
    action.sa_flags = SA_SIGINFO;
    sigaction(SIGSEGV, &action, nullptr);
    installed = true;
}

namespace {

size_t RoundedSize(size_t size) {
    return size == 0 ? 8 : (size + 7) / 8 * 8;
}

// Pages of its own for a block, which ends where they end (rounded up to 8
// bytes) so that the inaccessible page after them catches overruns.
void* AllocateBlockPages(size_t size, size_t* mappedSize) {
    size_t rounded = RoundedSize(size);
    auto* pages = static_cast<uint8_t*>(AllocatePoolPages(rounded, mappedSize));
    return pages == nullptr ? nullptr : pages + *mappedSize - rounded;
}

// A write past the end that stayed within the rounding changed the pattern
// there, which the guard page cannot see.
void CheckRounding(void* address, const PoolBlock& block, const void* caller) {
    auto* bytes = static_cast<const uint8_t*>(address);
    for (size_t i = block.Size; i < RoundedSize(block.Size); i++) {
        if (bytes[i] != kFreshPoolPattern) {
            VerifierStop("writes past the end of a pool block", RoutineName(caller),
                         Describe(address, block) + ", byte " + std::to_string(i));
        }
    }
}

PVOID Allocate(POOL_TYPE type, SIZE_T size, ULONG tag, const void* caller) {
    Kernel& kernel = K();
    KIRQL irql = kernel.Current->Irql;
    if (irql > DISPATCH_LEVEL || (IsPagedType(type) && irql > APC_LEVEL)) {
        VerifierStop("allocates pool at a level that does not allow it", RoutineName(caller),
                     "pool type " + std::to_string(type) + " at level " + std::to_string(irql));
    }
    kernel.Allocations++;
    if (InjectedAllocationFailure(tag)) {
        return nullptr;
    }
    PoolBlock block{size, tag, type, IsPagedType(type), 0, caller};
    void* address = AllocateBlockPages(size, &block.MappedSize);
    if (address == nullptr) {
        return nullptr;
    }
    std::memset(address, kFreshPoolPattern, RoundedSize(size));
    kernel.Pool[address] = block;
    if (!block.Paged) {
        kernel.NonPagedBytes += size;
        kernel.NonPagedPeak = std::max(kernel.NonPagedPeak, kernel.NonPagedBytes);
    }
    return address;
}

void Free(PVOID address, ULONG tag, const void* caller) {
    Kernel& kernel = K();
    auto found = kernel.Pool.find(address);
    if (found == kernel.Pool.end()) {
        VerifierStop("frees pool that is not allocated, or frees it twice", RoutineName(caller),
                     "address " + Hex(reinterpret_cast<uintptr_t>(address)));
    }
    PoolBlock block = found->second;
    if (tag != 0 && tag != block.Tag) {
        VerifierStop("frees pool with the wrong tag", RoutineName(caller),
                     "block " + Hex(reinterpret_cast<uintptr_t>(address)) + " tag " +
                         Hex(block.Tag) + ", freed with " + Hex(tag));
    }
    KIRQL irql = kernel.Current->Irql;
    if (irql > DISPATCH_LEVEL || (block.Paged && irql > APC_LEVEL)) {
        VerifierStop("frees pool at a level that does not allow it", RoutineName(caller),
                     "block " + Hex(reinterpret_cast<uintptr_t>(address)));
    }
    CheckNoLiveObjectsIn(address, block.Size, caller, "pool block");
    CheckRounding(address, block, caller);
    kernel.Pool.erase(found);
    if (!block.Paged) {
        kernel.NonPagedBytes -= block.Size;
    }
    RetirePoolPages(PagesOf(address, block.MappedSize), block.MappedSize,
                    "touches pool after it was freed", Describe(address, block), caller);
}

} // namespace

void DropPoolBlock(void* address, size_t mappedSize) {
    DropPoolPages(PagesOf(address, mappedSize), mappedSize);
}

bool InPagedPool(const void* address) {
    auto& pool = K().Pool;
    auto after = pool.upper_bound(const_cast<void*>(address));
    if (after == pool.begin()) {
        return false;
    }
    auto& [start, block] = *std::prev(after);
    return block.Paged &&
           static_cast<const uint8_t*>(address) < static_cast<const uint8_t*>(start) + block.Size;
}

void CheckNonPagedObject(const void* object, const char* kind, const void* caller) {
    if (InPagedPool(object)) {
        VerifierStop(std::string("puts a ") + kind + " in paged pool", RoutineName(caller),
                     std::string(kind) + " " + Hex(reinterpret_cast<uintptr_t>(object)));
    }
}

void ProtectPagedPool(bool inaccessible) {
    for (auto& [address, block] : K().Pool) {
        if (block.Paged) {
            mprotect(PagesOf(address, block.MappedSize), block.MappedSize,
                     inaccessible ? PROT_NONE : PROT_READ | PROT_WRITE);
        }
    }
}

uint64_t AllocationCount() {
    return K().Allocations;
}

size_t LiveBlocksWithTag(ULONG tag) {
    size_t count = 0;
    for (auto& [address, block] : K().Pool) {
        count += block.Tag == tag ? 1 : 0;
    }
    return count;
}

size_t NonPagedPoolBytes() {
    return K().NonPagedBytes;
}

size_t NonPagedPoolPeak() {
    return K().NonPagedPeak;
}

void ResetNonPagedPoolPeak() {
    K().NonPagedPeak = K().NonPagedBytes;
}

} // namespace hk

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    HK_CHECK_LEVEL(ExAllocatePoolWithTag);
    return hk::Allocate(PoolType, NumberOfBytes, Tag, __builtin_return_address(0));
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    HK_CHECK_LEVEL(ExAllocatePool);
    return hk::Allocate(PoolType, NumberOfBytes, hk::kUntaggedPoolTag, __builtin_return_address(0));
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) {
    HK_CHECK_LEVEL(ExFreePoolWithTag);
    hk::Free(P, Tag, __builtin_return_address(0));
}

VOID ExFreePool(PVOID P) {
    HK_CHECK_LEVEL(ExFreePool);
    hk::Free(P, 0, __builtin_return_address(0));
}
