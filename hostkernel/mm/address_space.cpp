// The simulated address space: one reservation from the host, split into
// the user range, the kernel heap and the pool area, with the allocators
// of the two kernel parts and the pool's held-back freed blocks.
#include "hostkernel/mm/address_space.h"

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <link.h>
#include <map>
#include <pthread.h>
#include <set>
#include <sys/mman.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace hk {

namespace {

constexpr uintptr_t kGiB = 1ULL << 30;
constexpr uintptr_t kUserBytes = 16 * kGiB;
constexpr uintptr_t kHeapBytes = 16 * kGiB;
constexpr uintptr_t kPoolBytes = 16 * kGiB;
// Freed pool blocks are held back, inaccessible, until this many bytes of
// later frees push them out; then their range may be handed out again.
constexpr size_t kRetiredPoolBytes = 4ULL << 20;
// Blocks of this size and more (a process snapshot, say) lie on huge pages
// at the end of the pool area, each in whole huge pages with a free huge
// page after them, so that making them inaccessible and accessible again
// changes one page-table entry per huge page instead of hundreds. A freed
// one is held back until a block of its size is allocated again.
constexpr size_t kLargeBlockBytes = 256ULL << 10;
constexpr uintptr_t kHugePage = 2ULL << 20;
constexpr uintptr_t kLargeAreaBytes = 4 * kGiB;
// The platform's user range ends on a 64 KB boundary; so does this one.
constexpr uintptr_t kAllocationGranularity = 0x10000;
constexpr size_t kHeapAlignment = 16;
// The heap is made accessible in steps of this size as it grows, which keeps
// start-up cheap under valgrind; the rest of the reservation stays
// inaccessible.
constexpr uintptr_t kHeapCommitStep = 4ULL << 20;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "host kernel: %s\n", what);
    std::abort();
}

// Free and used address ranges of one part of the reservation; freed ranges
// merge with their free neighbours, and an allocation takes the smallest
// free range that fits.
class RangeAllocator {
  public:
    void Reset(uintptr_t start, uintptr_t end) {
        free_.clear();
        bySize_.clear();
        used_.clear();
        AddFree(start, end - start);
    }

    uintptr_t Take(size_t size) {
        auto fit = bySize_.lower_bound(size);
        if (fit == bySize_.end()) {
            return 0;
        }
        auto [length, start] = *fit;
        bySize_.erase(fit);
        free_.erase(start);
        if (length > size) {
            AddFree(start + size, length - size);
        }
        used_[start] = size;
        return start;
    }

    // The size of a range handed out at `start`, 0 when none is.
    size_t SizeOf(uintptr_t start) const {
        auto found = used_.find(start);
        return found == used_.end() ? 0 : found->second;
    }

    void Give(uintptr_t start) {
        auto found = used_.find(start);
        size_t size = found->second;
        used_.erase(found);
        auto next = free_.find(start + size);
        if (next != free_.end()) {
            size += next->second;
            RemoveFree(next->first);
        }
        auto previous = free_.lower_bound(start);
        if (previous != free_.begin() && (--previous)->first + previous->second == start) {
            start = previous->first;
            size += previous->second;
            RemoveFree(start);
        }
        AddFree(start, size);
    }

  private:
    void AddFree(uintptr_t start, size_t size) {
        free_[start] = size;
        bySize_.emplace(size, start);
    }

    void RemoveFree(uintptr_t start) {
        size_t size = free_[start];
        auto [first, last] = bySize_.equal_range(size);
        for (auto it = first; it != last; ++it) {
            if (it->second == start) {
                bySize_.erase(it);
                break;
            }
        }
        free_.erase(start);
    }

    std::map<uintptr_t, size_t> free_;        // free ranges by start
    std::multimap<size_t, uintptr_t> bySize_; // the same ranges by size
    std::map<uintptr_t, size_t> used_;        // ranges handed out, by start
};

struct AddressSpace {
    AddressLayout Layout{};                              // the parts
    RangeAllocator Heap;                                 // the kernel heap
    RangeAllocator Pool;                                 // the pool area, in pages
    std::vector<std::pair<uintptr_t, uintptr_t>> Images; // loaded images' segments
    std::vector<std::pair<uintptr_t, uintptr_t>> Stacks; // simulated threads' own stacks
    size_t PageSize = 0;                                 // the host's page size
    uintptr_t HeapCommitted = 0;                         // end of the heap's accessible part
    std::deque<RetiredBlock> Retired;                    // freed pool blocks, oldest first
    size_t RetiredBytes = 0;                             // bytes of their ranges
    uintptr_t LargeNext = 0;                             // next free huge page of the large area
    std::map<size_t, std::vector<uintptr_t>> LargeFree;  // freed large ranges by mapped size
    std::map<uintptr_t, RetiredBlock> RetiredLarge;      // the freed ones held back, by start
    std::set<uintptr_t> LargeFresh;                      // freed ones whose pages were dropped
};

int CollectImage(dl_phdr_info* info, size_t, void* data) {
    auto* images = static_cast<std::vector<std::pair<uintptr_t, uintptr_t>>*>(data);
    for (int i = 0; i < info->dlpi_phnum; i++) {
        const ElfW(Phdr)& header = info->dlpi_phdr[i];
        if (header.p_type == PT_LOAD) {
            uintptr_t start = info->dlpi_addr + header.p_vaddr;
            images->emplace_back(start, start + header.p_memsz);
        }
    }
    return 0;
}

AddressSpace* Create() {
    auto* space = new AddressSpace;
    space->PageSize = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size_t total = kUserBytes + kHeapBytes + kPoolBytes + kAllocationGranularity;
    void* reserved =
        mmap(nullptr, total, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (reserved == MAP_FAILED) {
        Fail("cannot reserve the simulated address space");
    }
    uintptr_t base = (reinterpret_cast<uintptr_t>(reserved) + kAllocationGranularity - 1) &
                     ~(kAllocationGranularity - 1);
    AddressLayout& layout = space->Layout;
    layout.UserBase = base;
    layout.UserLimit = base + kUserBytes;
    layout.HeapEnd = layout.UserLimit + kHeapBytes;
    layout.PoolEnd = layout.HeapEnd + kPoolBytes;
    space->HeapCommitted = layout.UserLimit;
    space->Heap.Reset(layout.UserLimit, layout.HeapEnd);
    space->LargeNext = (layout.PoolEnd - kLargeAreaBytes + kHugePage - 1) & ~(kHugePage - 1);
    space->Pool.Reset(layout.HeapEnd, layout.PoolEnd - kLargeAreaBytes);
    dl_iterate_phdr(CollectImage, &space->Images);
    return space;
}

AddressSpace& Space() {
    // Made once and kept for the life of the process: kernel objects may
    // be released by static destructors after main returns.
    static AddressSpace* space = Create();
    return *space;
}

// The running host thread's stack, looked up once per thread.
struct StackBounds {
    uintptr_t Low = 0;  // lowest address
    uintptr_t High = 0; // one past the highest
};

const StackBounds& CurrentStack() {
    thread_local StackBounds bounds = [] {
        StackBounds found;
        pthread_attr_t attributes;
        if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
            void* low = nullptr;
            size_t size = 0;
            if (pthread_attr_getstack(&attributes, &low, &size) == 0) {
                found.Low = reinterpret_cast<uintptr_t>(low);
                found.High = found.Low + size;
            }
            pthread_attr_destroy(&attributes);
        }
        return found;
    }();
    return bounds;
}

// The host object below the user range's limit that a kernel-resident
// address lies in, as [low, high); {0, 0} when the address is in none.
std::pair<uintptr_t, uintptr_t> KernelResidentRange(uintptr_t address) {
    const StackBounds& stack = CurrentStack();
    if (address >= stack.Low && address < stack.High) {
        return {stack.Low, stack.High};
    }
    for (auto* ranges : {&Space().Images, &Space().Stacks}) {
        for (auto& [low, high] : *ranges) {
            if (address >= low && address < high) {
                return {low, high};
            }
        }
    }
    return {0, 0};
}

} // namespace

void AddThreadStack(const void* low, size_t size) {
    auto start = reinterpret_cast<uintptr_t>(low);
    Space().Stacks.emplace_back(start, start + size);
}

const AddressLayout& Layout() {
    return Space().Layout;
}

void* AllocateKernelMemory(size_t bytes) {
    size_t size = ((bytes == 0 ? 1 : bytes) + kHeapAlignment - 1) / kHeapAlignment * kHeapAlignment;
    AddressSpace& space = Space();
    uintptr_t start = space.Heap.Take(size);
    if (start == 0) {
        return nullptr;
    }
    if (start + size > space.HeapCommitted) {
        uintptr_t end = (start + size + kHeapCommitStep - 1) / kHeapCommitStep * kHeapCommitStep;
        end = end > space.Layout.HeapEnd ? space.Layout.HeapEnd : end;
        if (mprotect(reinterpret_cast<void*>(space.HeapCommitted), end - space.HeapCommitted,
                     PROT_READ | PROT_WRITE) != 0) {
            Fail("cannot map the kernel heap");
        }
        space.HeapCommitted = end;
    }
    auto* memory = reinterpret_cast<void*>(start);
    __builtin_memset(memory, 0, size);
    return memory;
}

void FreeKernelMemory(void* address) {
    if (address == nullptr) {
        return;
    }
    auto start = reinterpret_cast<uintptr_t>(address);
    if (Space().Heap.SizeOf(start) == 0) {
        Fail("frees kernel memory it never allocated");
    }
    Space().Heap.Give(start);
}

namespace {

bool IsLarge(size_t mapped) {
    return mapped >= kLargeBlockBytes;
}

// Whole huge pages for a large block: a freed range of its size, or fresh
// ones with a free huge page after them.
uintptr_t TakeLargeRange(size_t mapped, bool* fresh) {
    AddressSpace& space = Space();
    std::vector<uintptr_t>& free = space.LargeFree[mapped];
    if (!free.empty()) {
        uintptr_t start = free.back();
        free.pop_back();
        space.RetiredLarge.erase(start);
        *fresh = space.LargeFresh.erase(start) != 0;
        return start;
    }
    if (space.LargeNext + mapped + kHugePage > space.Layout.PoolEnd) {
        return 0;
    }
    uintptr_t start = space.LargeNext;
    space.LargeNext += mapped + kHugePage;
    // The guard page differs from the blocks beside it in one flag the
    // tests never see, so the host keeps each block's range a mapping of
    // its own: making it accessible or not changes that mapping's
    // protection instead of splitting the pool area and merging it again.
    madvise(reinterpret_cast<void*>(start + mapped), kHugePage, MADV_DONTDUMP);
    *fresh = true;
    return start;
}

} // namespace

void* PoolPagesOf(const void* address, size_t mapped) {
    uintptr_t granule = IsLarge(mapped) ? kHugePage : Space().PageSize;
    return reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(address) & ~(granule - 1));
}

void* AllocatePoolPages(size_t bytes, size_t* mapped) {
    AddressSpace& space = Space();
    *mapped = ((bytes == 0 ? 1 : bytes) + space.PageSize - 1) / space.PageSize * space.PageSize;
    bool large = IsLarge(*mapped);
    if (large) {
        *mapped = (*mapped + kHugePage - 1) & ~(kHugePage - 1);
    }
    bool fresh = false;
    uintptr_t start =
        large ? TakeLargeRange(*mapped, &fresh) : space.Pool.Take(*mapped + space.PageSize);
    if (start == 0) {
        return nullptr;
    }
    auto* memory = reinterpret_cast<void*>(start);
    if (mprotect(memory, *mapped, PROT_READ | PROT_WRITE) != 0) {
        Fail("cannot make pool pages accessible");
    }
    if (fresh) {
        madvise(memory, *mapped, MADV_HUGEPAGE);
    }
    return memory;
}

void RetirePoolPages(void* address, size_t mapped, const char* rule, std::string note,
                     const void* freedBy) {
    // The pages keep their frames: a range handed out again is made
    // accessible without faulting every page in afresh.
    if (mprotect(address, mapped, PROT_NONE) != 0) {
        Fail("cannot make freed pool pages inaccessible");
    }
    AddressSpace& space = Space();
    auto start = reinterpret_cast<uintptr_t>(address);
    if (IsLarge(mapped)) {
        space.RetiredLarge[start] = RetiredBlock{start, mapped, rule, std::move(note), freedBy};
        space.LargeFree[mapped].push_back(start);
        return;
    }
    space.Retired.push_back(
        RetiredBlock{start, mapped + space.PageSize, rule, std::move(note), freedBy});
    space.RetiredBytes += mapped + space.PageSize;
    while (space.RetiredBytes > kRetiredPoolBytes && space.Retired.size() > 1) {
        RetiredBlock& oldest = space.Retired.front();
        space.RetiredBytes -= oldest.Length;
        space.Pool.Give(oldest.Start);
        space.Retired.pop_front();
    }
}

const RetiredBlock* FindRetiredBlock(uintptr_t address) {
    AddressSpace& space = Space();
    for (const RetiredBlock& block : space.Retired) {
        if (address >= block.Start && address < block.Start + block.Length) {
            return &block;
        }
    }
    auto after = space.RetiredLarge.upper_bound(address);
    if (after != space.RetiredLarge.begin()) {
        const RetiredBlock& block = std::prev(after)->second;
        if (address < block.Start + block.Length) {
            return &block;
        }
    }
    return nullptr;
}

void DropPoolPages(void* address, size_t mapped) {
    // A fresh inaccessible mapping in place drops the pages and their data.
    if (mmap(address, mapped, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED,
             -1, 0) == MAP_FAILED) {
        Fail("cannot release pool pages");
    }
    auto start = reinterpret_cast<uintptr_t>(address);
    if (IsLarge(mapped)) {
        // Fresh pages want huge pages again when the range is handed out.
        Space().LargeFresh.insert(start);
        Space().LargeFree[mapped].push_back(start);
    } else {
        Space().Pool.Give(start);
    }
}

bool IsUserAddress(uintptr_t address) {
    const AddressLayout& layout = Layout();
    if (address >= layout.UserLimit) {
        return false;
    }
    return address >= layout.UserBase || KernelResidentRange(address).second == 0;
}

bool IsKernelRange(const void* address, size_t size) {
    if (size == 0) {
        return true;
    }
    auto start = reinterpret_cast<uintptr_t>(address);
    uintptr_t last = start + size - 1;
    if (last < start) {
        return false;
    }
    if (start >= Layout().UserLimit) {
        return true;
    }
    if (start >= Layout().UserBase) {
        return false;
    }
    auto [low, high] = KernelResidentRange(start);
    return high != 0 && last < high;
}

} // namespace hk
