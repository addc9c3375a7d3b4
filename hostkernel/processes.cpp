// Processes: the snapshot the system information query returns, in the
// platform's x64 layout, and each process's user address space.
#include "hostkernel/kernel_state.h"

#include <cstddef>
#include <cstring>

ULONG_PTR MmUserProbeAddress = 0x7FFFFFFF0000ULL;

namespace hk {

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

void TerminateProcess(HkProcess* process) {
    process->Alive = false;
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
        FindPage(process, address + i)->at((address + i) % kUserPageSize) = bytes[i];
    }
}

void UnmapUserPage(HkProcess* process, uint64_t address) {
    process->UserPages.erase(address / kUserPageSize * kUserPageSize);
}

bool InUserWindow(const void* address, size_t size) {
    auto start = reinterpret_cast<uint64_t>(address);
    return size != 0 && start < kUserWindowEnd && start + size > kUserWindowBase;
}

// Copies between kernel memory and the current process's user pages, one
// byte at a time through the page map, raising at the first unmapped byte.
void CopyThroughUserPages(void* destination, const void* source, size_t count) {
    HkProcess* process = CurrentProcess();
    for (size_t i = 0; i < count; i++) {
        uint8_t byte;
        auto from = reinterpret_cast<uint64_t>(source) + i;
        if (InUserWindow(reinterpret_cast<void*>(from), 1)) {
            std::vector<uint8_t>* page = FindPage(process, from);
            if (page == nullptr) {
                throw HkRaisedException{STATUS_ACCESS_VIOLATION};
            }
            byte = (*page)[from % kUserPageSize];
        } else {
            byte = *reinterpret_cast<const uint8_t*>(from);
        }
        auto to = reinterpret_cast<uint64_t>(destination) + i;
        if (InUserWindow(reinterpret_cast<void*>(to), 1)) {
            std::vector<uint8_t>* page = FindPage(process, to);
            if (page == nullptr) {
                throw HkRaisedException{STATUS_ACCESS_VIOLATION};
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
    const void* caller = __builtin_return_address(0);
    if (K().Current->Irql != PASSIVE_LEVEL) {
        hk::VerifierStop("queries system information above PASSIVE_LEVEL", hk::RoutineName(caller),
                         "class " + std::to_string(SystemInformationClass));
    }
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

VOID ProbeForRead(const volatile VOID* Address, SIZE_T Length, ULONG Alignment) {
    if (Length == 0) {
        return;
    }
    auto start = reinterpret_cast<uint64_t>(const_cast<const void*>(Address));
    if ((start & (Alignment - 1)) != 0) {
        throw HkRaisedException{STATUS_DATATYPE_MISALIGNMENT};
    }
    uint64_t end = start + Length;
    if (end < start || end > MmUserProbeAddress) {
        throw HkRaisedException{STATUS_ACCESS_VIOLATION};
    }
}
