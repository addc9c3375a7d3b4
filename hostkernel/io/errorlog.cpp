// The error log of the I/O manager: entries allocated for a device or
// driver object, filled by the driver and written. Every written entry is
// kept byte for byte; the verifier checks that an entry's insertion strings
// and dump data lie within it, since the logging thread would read past it.
#include "hostkernel/mm/address_space.h"
#include "hostkernel/verifier/levels.h"
#include "hostkernel/io/errorlog_control.h"
#include "hostkernel/ke/components.h"

#include <algorithm>
#include <cstring>

namespace hk {

namespace {

constexpr uint8_t kFreshEntryPattern = 0xA5;

// An entry handed out and not yet written or freed.
// Entries lie in kernel memory.
struct KernelMemoryDeleter {
    void operator()(uint8_t* bytes) const { FreeKernelMemory(bytes); }
};

struct LiveEntry {
    std::unique_ptr<uint8_t[], KernelMemoryDeleter> Bytes; // the entry
    size_t Size;                                           // bytes allocated
    PVOID IoObject;                                        // object it was allocated for
    const void* AllocatedBy;                               // caller, for leak reports
};

struct ErrorLogState {
    std::map<void*, LiveEntry> Live;    // by address
    std::vector<ErrorLogEntry> Written; // in order of writing
};

std::unique_ptr<ErrorLogState> g_log;

ErrorLogState& Log() {
    if (!g_log) {
        g_log = std::make_unique<ErrorLogState>();
    }
    return *g_log;
}

std::string Describe(const void* entry) {
    return "error-log entry " + Hex(reinterpret_cast<uintptr_t>(entry));
}

bool IsIoObject(PVOID object) {
    auto& devices = K().Devices;
    auto& drivers = K().Drivers;
    return std::find(devices.begin(), devices.end(), object) != devices.end() ||
           std::find(drivers.begin(), drivers.end(), object) != drivers.end();
}

LiveEntry TakeLiveEntry(PVOID entry, const char* action, const void* caller) {
    auto found = Log().Live.find(entry);
    if (found == Log().Live.end()) {
        VerifierStop(std::string(action) + " an error-log entry that is not allocated, or " +
                         action + " it twice",
                     RoutineName(caller), Describe(entry));
    }
    LiveEntry live = std::move(found->second);
    Log().Live.erase(found);
    return live;
}

// The insertion strings, each ending in a NUL inside the entry.
std::vector<std::u16string> ReadStrings(const std::vector<uint8_t>& bytes, const void* caller,
                                        const void* entry) {
    IO_ERROR_LOG_PACKET packet{};
    std::memcpy(&packet, bytes.data(), std::min(bytes.size(), sizeof packet));
    if (offsetof(IO_ERROR_LOG_PACKET, DumpData) + size_t{packet.DumpDataSize} > bytes.size()) {
        VerifierStop("writes an error-log entry whose dump data run past its end",
                     RoutineName(caller), Describe(entry));
    }
    std::vector<std::u16string> strings;
    size_t offset = packet.StringOffset;
    for (USHORT i = 0; i < packet.NumberOfStrings; i++) {
        std::u16string text;
        for (;; offset += sizeof(char16_t)) {
            if (offset + sizeof(char16_t) > bytes.size()) {
                VerifierStop("writes an error-log entry whose insertion strings run past its end",
                             RoutineName(caller), Describe(entry));
            }
            char16_t c;
            std::memcpy(&c, bytes.data() + offset, sizeof c);
            if (c == 0) {
                break;
            }
            text += c;
        }
        offset += sizeof(char16_t);
        strings.push_back(text);
    }
    return strings;
}

} // namespace

void ResetErrorLog() {
    g_log = std::make_unique<ErrorLogState>();
}

void FindErrorLogLeaks(std::vector<std::string>& leaks) {
    for (auto& [address, live] : Log().Live) {
        leaks.push_back(Describe(address) + " of " + std::to_string(live.Size) +
                        " bytes, allocated by " + RoutineName(live.AllocatedBy) +
                        ", neither written nor freed");
    }
}

const std::vector<ErrorLogEntry>& ErrorLog() {
    return Log().Written;
}

} // namespace hk

PVOID IoAllocateErrorLogEntry(PVOID IoObject, UCHAR EntrySize) {
    HK_CHECK_LEVEL(IoAllocateErrorLogEntry);
    const void* caller = __builtin_return_address(0);
    if (!hk::IsIoObject(IoObject)) {
        hk::VerifierStop("allocates an error-log entry for an object that is neither a device "
                         "nor a driver",
                         hk::RoutineName(caller),
                         "object " + hk::Hex(reinterpret_cast<uintptr_t>(IoObject)));
    }
    if (EntrySize > ERROR_LOG_MAXIMUM_SIZE ||
        hk::TakeRoutineFault("IoAllocateErrorLogEntry", nullptr)) {
        return nullptr;
    }
    std::unique_ptr<uint8_t[], hk::KernelMemoryDeleter> bytes(
        static_cast<uint8_t*>(hk::AllocateKernelMemory(EntrySize)));
    std::memset(bytes.get(), hk::kFreshEntryPattern, EntrySize);
    void* address = bytes.get();
    hk::Log().Live[address] = hk::LiveEntry{std::move(bytes), EntrySize, IoObject, caller};
    return address;
}

VOID IoWriteErrorLogEntry(PVOID ElEntry) {
    HK_CHECK_LEVEL(IoWriteErrorLogEntry);
    const void* caller = __builtin_return_address(0);
    hk::LiveEntry live = hk::TakeLiveEntry(ElEntry, "writes", caller);
    hk::ErrorLogEntry written;
    written.Time = hk::Now();
    written.IoObject = live.IoObject;
    written.Bytes.assign(live.Bytes.get(), live.Bytes.get() + live.Size);
    written.Strings = hk::ReadStrings(written.Bytes, caller, ElEntry);
    hk::Log().Written.push_back(std::move(written));
}

VOID IoFreeErrorLogEntry(PVOID ElEntry) {
    HK_CHECK_LEVEL(IoFreeErrorLogEntry);
    const void* caller = __builtin_return_address(0);
    hk::TakeLiveEntry(ElEntry, "frees", caller);
}
