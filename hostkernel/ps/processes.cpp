// Processes: the snapshot the system information query returns, in the
// platform's x64 layout, and each process's user address space.
#include "hostkernel/mm/address_space.h"
#include "hostkernel/verifier/levels.h"
#include "hostkernel/kernel_state.h"
#include "hostkernel/ke/thread_control.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// The first address above user memory: the end of the reserved user range.
ULONG_PTR MmUserProbeAddress = hk::Layout().UserLimit;

namespace hk {

const uint64_t kUserWindowBase = Layout().UserBase;
const uint64_t kUserWindowEnd = Layout().UserLimit;

namespace {

constexpr NTSTATUS kInvalidInfoClass = static_cast<NTSTATUS>(0xC0000003L);

// One process entry of the snapshot; its thread entries and its image name
// follow it in the buffer.
struct ProcessEntry {
    ULONG NextEntryOffset;         // bytes to the next entry, 0 for the last
    ULONG NumberOfThreads;         // thread entries after this record
    uint8_t Unused1[48];           // counters the driver does not read
    USHORT ImageNameLength;        // ImageName.Length
    USHORT ImageNameMaximumLength; // ImageName.MaximumLength
    ULONG Padding;                 // alignment of the pointer
    uint64_t ImageNameBuffer;      // ImageName.Buffer, pointing into the snapshot
    LONG BasePriority;             // scheduling priority
    ULONG Padding2;                // alignment
    uint64_t UniqueProcessId;      // process id
    uint8_t Unused2[168];          // further counters
};
static_assert(sizeof(ProcessEntry) == 256, "x64 process entry is 256 bytes");
static_assert(offsetof(ProcessEntry, ImageNameLength) == 56, "image name at 56");
static_assert(offsetof(ProcessEntry, UniqueProcessId) == 80, "process id at 80");

constexpr size_t kThreadEntrySize = 80;

size_t EntrySize(const HkProcess& process) {
    size_t name = (process.ImageName.size() + 1) * sizeof(char16_t);
    return sizeof(ProcessEntry) + process.SnapshotThreads * kThreadEntrySize + (name + 7) / 8 * 8;
}

void WriteEntry(uint8_t* at, const HkProcess& process, bool last) {
    size_t size = EntrySize(process);
    std::memset(at, 0, size);
    auto* entry = reinterpret_cast<ProcessEntry*>(at);
    entry->NextEntryOffset = last ? 0 : static_cast<ULONG>(size);
    entry->NumberOfThreads = process.SnapshotThreads;
    entry->UniqueProcessId = process.Id;
    entry->BasePriority = 8;
    if (!process.ImageName.empty()) {
        uint8_t* name = at + sizeof(ProcessEntry) + process.SnapshotThreads * kThreadEntrySize;
        std::memcpy(name, process.ImageName.data(), process.ImageName.size() * 2);
        entry->ImageNameLength = static_cast<USHORT>(process.ImageName.size() * 2);
        entry->ImageNameMaximumLength = static_cast<USHORT>(entry->ImageNameLength + 2);
        entry->ImageNameBuffer = reinterpret_cast<uint64_t>(name);
    }
}

HkProcess* CurrentProcess() {
    return K().Current->Process;
}

std::vector<uint8_t>* FindPage(HkProcess* process, uint64_t address) {
    auto page = process->UserPages.find(address / kUserPageSize * kUserPageSize);
    return page == process->UserPages.end() ? nullptr : &page->second;
}

} // namespace

// The ending process's threads are alerted, which ends their alertable
// waits early.
void TerminateProcess(HkProcess* process) {
    process->Alive = false;
    for (auto& thread : K().Threads) {
        if (thread->Process == process) {
            AlertThread(thread.get());
        }
    }
}
void SetSnapshotThreads(HkProcess* process, uint32_t threads) {
    process->SnapshotThreads = threads;
}

uint64_t AllocateUserMemory(HkProcess* process, size_t bytes) {
    if (process->NextUserAddress == 0) {
        process->NextUserAddress = kUserWindowBase + 0x10000;
    }
    uint64_t address = process->NextUserAddress;
    size_t pages = (bytes + kUserPageSize - 1) / kUserPageSize;
    if (pages + 1 > (kUserWindowEnd - address) / kUserPageSize) {
        std::fprintf(stderr, "host kernel: user range of process %llu exhausted\n",
                     static_cast<unsigned long long>(process->Id));
        std::abort();
    }
    for (size_t i = 0; i < pages; i++) {
        process->UserPages[address + i * kUserPageSize].assign(kUserPageSize, 0);
    }
    // A guard page stays unmapped after every allocation.
    process->NextUserAddress = address + (pages + 1) * kUserPageSize;
    return address;
}

void WriteUserMemory(HkProcess* process, uint64_t address, const void* data, size_t size) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < size; i++) {
        std::vector<uint8_t>* page = FindPage(process, address + i);
        if (page == nullptr) {
            std::fprintf(stderr, "host kernel: writes user address %s, which is not mapped\n",
                         Hex(address + i).c_str());
            std::abort();
        }
        (*page)[(address + i) % kUserPageSize] = bytes[i];
    }
}

bool ReadUserMemory(HkProcess* process, uint64_t address, void* data, size_t size) {
    auto* bytes = static_cast<uint8_t*>(data);
    for (size_t i = 0; i < size; i++) {
        std::vector<uint8_t>* page = FindPage(process, address + i);
        if (page == nullptr) {
            return false;
        }
        bytes[i] = (*page)[(address + i) % kUserPageSize];
    }
    return true;
}

void UnmapUserPage(HkProcess* process, uint64_t address) {
    process->UserPages.erase(address / kUserPageSize * kUserPageSize);
}

bool TouchesUserMemory(const void* address, size_t size) {
    return !IsKernelRange(address, size);
}

bool UserRangeMapped(uint64_t address, size_t size) {
    HkProcess* process = CurrentProcess();
    for (uint64_t page = address / kUserPageSize * kUserPageSize; page < address + size;
         page += kUserPageSize) {
        if (FindPage(process, page) == nullptr) {
            return false;
        }
    }
    return true;
}

namespace {

// Raises the access violation of a user address the current process did
// not map. An address below the user window that the host has mapped is a
// host object handed to the driver as if it were kernel memory; the first
// such raise says so, since only objects in kernel memory (pool, the
// I/O manager's objects, images, the kernel stack) are read as kernel memory.
bool HostMapped(uint64_t address) {
    std::FILE* maps = std::fopen("/proc/self/maps", "r");
    if (maps == nullptr) {
        return false;
    }
    unsigned long long start = 0;
    unsigned long long end = 0;
    bool found = false;
    char line[512];
    while (!found && std::fgets(line, sizeof line, maps) != nullptr) {
        found =
            std::sscanf(line, "%llx-%llx", &start, &end) == 2 && address >= start && address < end;
    }
    std::fclose(maps);
    return found;
}

[[noreturn]] void RaiseUnmappedUserAddress(uint64_t address) {
    static bool told = false;
    if (!told && address < kUserWindowBase && HostMapped(address)) {
        told = true;
        std::fprintf(stderr,
                     "host kernel: a copy reads or writes %s as user memory: it lies below "
                     "MmUserProbeAddress, so it is caller memory, yet it is a host object; "
                     "objects that stand for kernel memory must come from kernel memory\n",
                     Hex(address).c_str());
    }
    throw HkRaisedException{STATUS_ACCESS_VIOLATION};
}

} // namespace

// Copies between kernel memory and the current process's user pages, one
// byte at a time through the page map, raising at the first byte the
// process did not map. No host object below the limit is ever read or
// written as user memory: only the process's own pages are.
void CopyThroughUserPages(void* destination, const void* source, size_t count) {
    HkProcess* process = CurrentProcess();
    for (size_t i = 0; i < count; i++) {
        uint8_t byte;
        auto from = reinterpret_cast<uint64_t>(source) + i;
        if (IsUserAddress(from)) {
            std::vector<uint8_t>* page = FindPage(process, from);
            if (page == nullptr) {
                RaiseUnmappedUserAddress(from);
            }
            byte = (*page)[from % kUserPageSize];
        } else {
            byte = *reinterpret_cast<const uint8_t*>(from);
        }
        auto to = reinterpret_cast<uint64_t>(destination) + i;
        if (IsUserAddress(to)) {
            std::vector<uint8_t>* page = FindPage(process, to);
            if (page == nullptr) {
                RaiseUnmappedUserAddress(to);
            }
            (*page)[to % kUserPageSize] = byte;
        } else {
            *reinterpret_cast<uint8_t*>(to) = byte;
        }
    }
}

} // namespace hk

using hk::K;

NTSTATUS HkZwQuerySystemInformation(ULONG SystemInformationClass, PVOID SystemInformation,
                                    ULONG SystemInformationLength, PULONG ReturnLength) {
    HK_CHECK_LEVEL(ZwQuerySystemInformation);
    NTSTATUS status = STATUS_SUCCESS;
    if (hk::TakeRoutineFault("ZwQuerySystemInformation", &status)) {
        return status;
    }
    if (SystemInformationClass != SystemProcessInformation) {
        return hk::kInvalidInfoClass;
    }
    std::vector<const HkProcess*> alive;
    size_t total = 0;
    for (auto& process : K().Processes) {
        if (process->Alive) {
            alive.push_back(process.get());
            total += hk::EntrySize(*process);
        }
    }
    if (ReturnLength != nullptr) {
        *ReturnLength = static_cast<ULONG>(total);
    }
    if (total > SystemInformationLength) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    auto* at = static_cast<uint8_t*>(SystemInformation);
    for (size_t i = 0; i < alive.size(); i++) {
        hk::WriteEntry(at, *alive[i], i + 1 == alive.size());
        at += hk::EntrySize(*alive[i]);
    }
    return STATUS_SUCCESS;
}

namespace {

// The range checks both probes share: the alignment, then the range lying
// wholly below MmUserProbeAddress without wrapping.
void ProbeUserRange(uint64_t start, SIZE_T Length, ULONG Alignment) {
    if ((start & (Alignment - 1)) != 0) {
        throw HkRaisedException{STATUS_DATATYPE_MISALIGNMENT};
    }
    uint64_t end = start + Length;
    if (end < start || end > MmUserProbeAddress) {
        throw HkRaisedException{STATUS_ACCESS_VIOLATION};
    }
}

} // namespace

VOID ProbeForRead(const volatile VOID* Address, SIZE_T Length, ULONG Alignment) {
    HK_CHECK_LEVEL(ProbeForRead);
    if (Length == 0) {
        return;
    }
    ProbeUserRange(reinterpret_cast<uint64_t>(const_cast<const void*>(Address)), Length, Alignment);
}

// Besides the range, the platform touches every page of it for writing, so
// a page the caller did not map raises here already.
VOID ProbeForWrite(volatile VOID* Address, SIZE_T Length, ULONG Alignment) {
    HK_CHECK_LEVEL(ProbeForWrite);
    if (Length == 0) {
        return;
    }
    auto start = reinterpret_cast<uint64_t>(const_cast<void*>(Address));
    ProbeUserRange(start, Length, Alignment);
    if (!hk::UserRangeMapped(start, Length)) {
        throw HkRaisedException{STATUS_ACCESS_VIOLATION};
    }
}
