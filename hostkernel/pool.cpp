// Pool memory with tags and pool types, all of it above MmUserProbeAddress
// as on the platform. Non-paged blocks come from the kernel heap, filled
// with a pattern so that nothing relies on fresh pool being zero. Paged
// blocks get pages of their own in the paged area, which are made
// inaccessible while the running thread is at DISPATCH_LEVEL or above, so
// that a touch of paged memory there stops the test as it would fault on
// the platform.
#include "hostkernel/address_space.h"
#include "hostkernel/kernel_state.h"

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

void OnSegmentationFault(int signal, siginfo_t* info, void* rawContext) {
    uintptr_t address = reinterpret_cast<uintptr_t>(info->si_addr);
    auto* context = static_cast<ucontext_t*>(rawContext);
    const void* pc = reinterpret_cast<const void*>(context->uc_mcontext.gregs[REG_RIP]);
    const AddressLayout& layout = Layout();
    if (address >= layout.HeapEnd && address < layout.PagedEnd) {
        for (auto& [start, block] : K().Pool) {
            uintptr_t base = reinterpret_cast<uintptr_t>(start);
            if (block.Paged && address >= base && address < base + block.MappedSize) {
                VerifierStop("touches paged pool at DISPATCH_LEVEL or above", RoutineName(pc),
                             "pool block " + Hex(base) + " tag " + Hex(block.Tag));
            }
        }
        VerifierStop("touches paged pool that is not allocated (freed, or beyond its block)",
                     RoutineName(pc), "address " + Hex(address));
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
    void* address = nullptr;
    if (block.Paged) {
        address = AllocatePagedPages(size, &block.MappedSize);
    } else {
        address = AllocateKernelMemory(size);
    }
    if (address == nullptr) {
        return nullptr;
    }
    std::memset(address, kFreshPoolPattern, size);
    kernel.Pool[address] = block;
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
    kernel.Pool.erase(found);
    if (block.Paged) {
        FreePagedBlock(address, block.MappedSize);
    } else {
        FreeKernelMemory(address);
    }
}

} // namespace

void FreePagedBlock(void* address, size_t mappedSize) {
    FreePagedPages(address, mappedSize);
}

void ProtectPagedPool(bool inaccessible) {
    for (auto& [address, block] : K().Pool) {
        if (block.Paged) {
            mprotect(address, block.MappedSize, inaccessible ? PROT_NONE : PROT_READ | PROT_WRITE);
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

} // namespace hk

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    return hk::Allocate(PoolType, NumberOfBytes, Tag, __builtin_return_address(0));
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return hk::Allocate(PoolType, NumberOfBytes, hk::kUntaggedPoolTag, __builtin_return_address(0));
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) {
    hk::Free(P, Tag, __builtin_return_address(0));
}

VOID ExFreePool(PVOID P) {
    hk::Free(P, 0, __builtin_return_address(0));
}
