// The simulated address space: user memory below MmUserProbeAddress, each
// process with its own pages, every kernel object above the limit, and no
// host object read as caller memory.
#include "platform/platform.h"
#include "tests/support/kernel_test.h"

#include <memory>
#include <vector>

namespace {

constexpr ULONG kTag = 'TseT';

using UserMemoryTest = KernelTest;

// What a guarded copy from `source` into `destination` ends with.
NTSTATUS GuardedCopy(void* destination, const void* source, size_t count) {
    NTSTATUS status = STATUS_SUCCESS;
    VKT_GUARD_TRY
    memcpy_s(destination, count, source, count);
    VKT_GUARD_EXCEPT(status)
    VKT_GUARD_END
    return status;
}

NTSTATUS GuardedProbe(const void* address, size_t length, ULONG alignment, bool write) {
    NTSTATUS status = STATUS_SUCCESS;
    VKT_GUARD_TRY
    if (write) {
        ProbeForWrite(const_cast<void*>(address), length, alignment);
    } else {
        ProbeForRead(address, length, alignment);
    }
    VKT_GUARD_EXCEPT(status)
    VKT_GUARD_END
    return status;
}

const void* At(uint64_t address) {
    return reinterpret_cast<const void*>(address);
}

bool InUserWindow(const void* address) {
    auto value = reinterpret_cast<uint64_t>(address);
    return value >= hk::kUserWindowBase && value < hk::kUserWindowEnd;
}

// Pool and kernel objects lie above the limit and host objects outside the
// user window; kernel memory wherever the host placed it is copied directly.
TEST_F(UserMemoryTest, PoolAndKernelObjectsLieAboveTheLimitAndHostObjectsOutsideTheUserWindow) {
    void* nonPaged = ExAllocatePoolWithTag(NonPagedPoolNx, 64, kTag);
    void* paged = ExAllocatePoolWithTag(PagedPool, 5000, kTag);
    EXPECT_GE(reinterpret_cast<ULONG_PTR>(nonPaged), MmUserProbeAddress);
    EXPECT_GE(reinterpret_cast<ULONG_PTR>(paged), MmUserProbeAddress);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(nonPaged) % 16, 0u);
    // Probing pool as caller memory raises, as on the platform.
    EXPECT_EQ(GuardedProbe(nonPaged, 64, 1, false), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(GuardedProbe(paged, 1, 1, false), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(GuardedProbe(nonPaged, 8, 1, true), STATUS_ACCESS_VIOLATION);
    // A range that ends exactly at the limit is user memory; one byte more is not.
    EXPECT_EQ(GuardedProbe(At(MmUserProbeAddress - 16), 16, 1, false), STATUS_SUCCESS);
    EXPECT_EQ(GuardedProbe(At(MmUserProbeAddress - 16), 17, 1, false), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(GuardedProbe(At(MmUserProbeAddress - 15), 4, 4, false), STATUS_DATATYPE_MISALIGNMENT);
    EXPECT_EQ(GuardedProbe(At(~0ULL - 3), 8, 1, false), STATUS_ACCESS_VIOLATION);
    ExFreePoolWithTag(paged, kTag);

    int local = 0;
    auto heap = std::make_unique<std::vector<uint8_t>>(1 << 20);
    static int global;
    EXPECT_FALSE(InUserWindow(&local));
    EXPECT_FALSE(InUserWindow(heap.get()));
    EXPECT_FALSE(InUserWindow(heap->data()));
    EXPECT_FALSE(InUserWindow(&global));

    // The driver's constants lie in its image and its locals on the kernel
    // stack; both are kernel memory wherever the host placed them.
    static const char constant[] = "image constant";
    char copy[16] = {};
    EXPECT_EQ(GuardedCopy(copy, constant, sizeof constant), STATUS_SUCCESS);
    EXPECT_STREQ(copy, constant);
    EXPECT_EQ(GuardedCopy(nonPaged, copy, sizeof copy), STATUS_SUCCESS);
    EXPECT_STREQ(static_cast<char*>(nonPaged), constant);
    ExFreePoolWithTag(nonPaged, kTag);
}

TEST_F(UserMemoryTest, UnmappedUserAddressesRaiseWhereverTheyAre) {
    HkProcess* process = hk::CreateProcess(u"caller.exe");
    uint64_t mapped = hk::AllocateUserMemory(process, 16);
    hk::WriteUserMemory(process, mapped, "caller's bytes", 15);
    // A host object below the limit is not the caller's memory: copying from
    // or to it as user memory raises, as an unmapped address would, and the
    // host object is left alone.
    std::vector<char> host(32, 'h');
    char kernel[32] = {};
    // The first pages of the address space, an address below the window and
    // a host heap object lie below the limit; so do the window's first page
    // and the guard page after the allocation; none is mapped by the process.
    std::vector<uint64_t> unmapped = {0x1000, 0x10000, reinterpret_cast<uint64_t>(host.data()),
                                      hk::kUserWindowBase, mapped + hk::kUserPageSize};
    hk::RunAs(hk::CreateThread(process), [&] {
        for (uint64_t address : unmapped) {
            if (address > hk::kUserWindowBase && address < MmUserProbeAddress) {
                EXPECT_EQ(GuardedProbe(At(address), 4, 1, false), STATUS_SUCCESS);
                EXPECT_EQ(GuardedProbe(At(address), 4, 1, true), STATUS_ACCESS_VIOLATION);
            }
            EXPECT_EQ(GuardedCopy(kernel, At(address), 4), STATUS_ACCESS_VIOLATION) << address;
            EXPECT_EQ(GuardedCopy(const_cast<void*>(At(address)), kernel, 4),
                      STATUS_ACCESS_VIOLATION);
        }
        EXPECT_EQ(host, std::vector<char>(32, 'h'));
        EXPECT_EQ(GuardedProbe(At(mapped), 16, 8, true), STATUS_SUCCESS);
        EXPECT_EQ(GuardedCopy(kernel, At(mapped), 15), STATUS_SUCCESS);
        EXPECT_STREQ(kernel, "caller's bytes");
    });
    // The same address in another process is that process's own memory.
    HkProcess* other = hk::CreateProcess(u"other.exe");
    EXPECT_EQ(hk::AllocateUserMemory(other, 16), mapped);
    hk::WriteUserMemory(other, mapped, "other", 6);
    char back[16] = {};
    EXPECT_TRUE(hk::ReadUserMemory(process, mapped, back, 15));
    EXPECT_STREQ(back, "caller's bytes");
    EXPECT_FALSE(hk::ReadUserMemory(process, mapped + hk::kUserPageSize - 2, back, 4));
}

TEST_F(UserMemoryTest, DirectTouchesOfUserMemoryStop) {
    HkProcess* process = hk::CreateProcess(u"caller.exe");
    uint64_t mapped = hk::AllocateUserMemory(process, 16);
    EXPECT_DEATH(*reinterpret_cast<volatile char*>(mapped) = 1,
                 VERIFIER_STOP("touches user memory directly instead of through a guarded copy"));
}

} // namespace
