// Kernel state, threads, levels, critical regions, verifier reporting and
// fault injection.
#include "hostkernel/mm/address_space.h"
#include "hostkernel/kernel_state.h"
#include "hostkernel/io/transfer.h"
#include "hostkernel/ke/components.h"
#include "hostkernel/verifier/explorer.h"
#include "hostkernel/ke/fiber.h"
#include "hostkernel/verifier/local_symbols.h"
#include "hostkernel/ke/scheduler.h"

#include <cstdio>
#include <cstdlib>
#include <cxxabi.h>
#include <dlfcn.h>

BOOLEAN KdDebuggerEnabled = FALSE;

namespace hk {

namespace {
std::unique_ptr<Kernel> g_kernel;

void ReleaseKernelMemory(Kernel& kernel);
} // namespace

Kernel& K() {
    if (!g_kernel) {
        Reset();
    }
    return *g_kernel;
}

void Reset() {
    if (g_kernel) {
        ReleaseThreads();
        ReleaseKernelMemory(*g_kernel);
    }
    g_kernel = std::make_unique<Kernel>();
    InstallFaultHandler();
    Kernel& kernel = *g_kernel;
    KdDebuggerEnabled = FALSE;
    kernel.Processes.push_back(std::make_unique<HkProcess>(HkProcess{0, u""}));
    kernel.Processes.push_back(std::make_unique<HkProcess>(HkProcess{4, u"System"}));
    kernel.System = kernel.Processes.back().get();
    // The test runs as the system's initial thread, on the host's own stack.
    kernel.Current = CreateThread(kernel.System);
    kernel.Current->Fiber = HostFiber();
    kernel.Current->State = HkThreadState::Running;
    kernel.Exports["ZwQuerySystemInformation"] =
        reinterpret_cast<void*>(HkZwQuerySystemInformation);
    ResetExtensions();
}

namespace {
void ReleaseKernelMemory(Kernel& kernel) {
    ProtectPagedPool(false);
    for (auto& [address, block] : kernel.Pool) {
        if (block.Paged) {
            FreePagedBlock(address, block.MappedSize);
        } else {
            FreeKernelMemory(address);
        }
    }
    for (auto& [irp, record] : kernel.Irps) {
        if (record.Buffered && !record.Completed) {
            FreeKernelMemory(irp->AssociatedIrp.SystemBuffer);
        }
        ReleaseRequestBuffers(irp, record);
        FreeKernelMemory(irp);
    }
    for (PDEVICE_OBJECT device : kernel.Devices) {
        FreeKernelMemory(device);
    }
    for (PDEVICE_OBJECT device : kernel.DeletedDevices) {
        FreeKernelMemory(device);
    }
    for (PDRIVER_OBJECT driver : kernel.Drivers) {
        FreeKernelMemory(driver);
    }
}
} // namespace

// ----- messages ------------------------------------------------------------

std::string Hex(uint64_t value) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

std::string Narrow(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) {
        out += (c < 0x80) ? static_cast<char>(c) : '?';
    }
    return out;
}

std::u16string Upcase(const std::u16string& text) {
    std::u16string out = text;
    for (char16_t& c : out) {
        c = RtlUpcaseUnicodeChar(c);
    }
    return out;
}

std::u16string FromCounted(PCUNICODE_STRING string) {
    if (string == nullptr || string->Buffer == nullptr) {
        return u"";
    }
    return std::u16string(string->Buffer, string->Length / sizeof(WCHAR));
}

std::string RoutineName(const void* code) {
    Dl_info info{};
    if (code == nullptr || dladdr(code, &info) == 0) {
        return code == nullptr ? "(unknown routine)" : Hex(reinterpret_cast<uintptr_t>(code));
    }
    // A routine of internal linkage is not exported: look in the full table.
    std::string mangled;
    if (info.dli_sname != nullptr) {
        mangled = info.dli_sname;
    } else if (info.dli_fname == nullptr ||
               !LocalRoutineName(code, info.dli_fbase, info.dli_fname, &mangled)) {
        return Hex(reinterpret_cast<uintptr_t>(code));
    }
    int status = 0;
    char* demangled = abi::__cxa_demangle(mangled.c_str(), nullptr, nullptr, &status);
    std::string name = (status == 0 && demangled != nullptr) ? demangled : mangled;
    std::free(demangled);
    size_t paren = name.find('(');
    return paren == std::string::npos ? name : name.substr(0, paren);
}

void VerifierStop(const std::string& rule, const std::string& routine, const std::string& object) {
    std::fprintf(stderr, "VERIFIER STOP: %s\n  routine: %s\n  object: %s\n", rule.c_str(),
                 routine.c_str(), object.c_str());
    std::string note = ExplorerStopNote();
    if (!note.empty()) {
        std::fprintf(stderr, "%s\n", note.c_str());
    }
    std::fflush(stderr);
    std::abort();
}

// ----- threads and processes -------------------------------------------------

HkProcess* SystemProcess() {
    return K().System;
}
HkThread* CurrentThread() {
    return K().Current;
}

HkProcess* CreateProcess(const std::u16string& imageName) {
    Kernel& kernel = K();
    uint64_t id = 4 * (kernel.Processes.size() + 100);
    kernel.Processes.push_back(std::make_unique<HkProcess>(HkProcess{id, imageName}));
    return kernel.Processes.back().get();
}

HkThread* CreateThread(HkProcess* process) {
    Kernel& kernel = K();
    uint64_t id = 4 * (kernel.Threads.size() + 1000);
    auto thread = std::make_unique<HkThread>();
    thread->Id = id;
    thread->Process = process;
    thread->Irql = PASSIVE_LEVEL;
    thread->CriticalRegions = 0;
    kernel.Threads.push_back(std::move(thread));
    return kernel.Threads.back().get();
}

void RunDriverCode(const void* routine, const std::function<void()>& body) {
    try {
        body();
    } catch (const HkRaisedException& raised) {
        VerifierStop("raises an exception that it does not handle", RoutineName(routine),
                     "exception code " + Hex(static_cast<ULONG>(raised.Code)));
    }
}

void CheckBalancedReturn(HkThread* thread, size_t heldBefore, int regionsBefore,
                         const void* routine) {
    if (thread->Held.size() != heldBefore) {
        VerifierStop("returns to the kernel holding a resource", RoutineName(routine),
                     "resource " + Hex(reinterpret_cast<uintptr_t>(thread->Held.back())));
    }
    if (thread->CriticalRegions != regionsBefore) {
        VerifierStop("returns to the kernel inside a critical region it entered",
                     RoutineName(routine), "thread " + Hex(thread->Id));
    }
}

// ----- fault injection ---------------------------------------------------------

void FailNthAllocation(uint64_t n) {
    K().FailAtAllocation = K().Allocations + n;
}

void FailAllocationsWithTag(ULONG tag, uint64_t count) {
    K().FailTags[tag] = count == 0 ? UINT64_MAX : count;
}

void FailRoutine(const std::string& name, NTSTATUS status, uint64_t count, uint64_t skip) {
    K().RoutineFaults[name] = RoutineFault{status, count, skip};
}

void ClearFaults() {
    K().FailAtAllocation = 0;
    K().FailTags.clear();
    K().RoutineFaults.clear();
}

bool TakeRoutineFault(const std::string& name, NTSTATUS* status) {
    auto found = K().RoutineFaults.find(name);
    if (found == K().RoutineFaults.end() || found->second.Remaining == 0) {
        return false;
    }
    if (found->second.Skip != 0) {
        found->second.Skip--;
        return false;
    }
    found->second.Remaining--;
    if (status != nullptr) {
        *status = found->second.Status;
    }
    return true;
}

// ----- run-time routine lookup -------------------------------------------------

void SetExport(const std::string& name, void* routine) {
    K().Exports[name] = routine;
}
void RemoveExport(const std::string& name) {
    K().Exports.erase(name);
}

} // namespace hk

using hk::K;

// ----- levels and critical regions ---------------------------------------------

KIRQL KeGetCurrentIrql() {
    return K().Current->Irql;
}

VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    KIRQL current = K().Current->Irql;
    if (NewIrql < current) {
        hk::VerifierStop("KeRaiseIrql to a lower level",
                         hk::RoutineName(__builtin_return_address(0)),
                         "level " + std::to_string(NewIrql));
    }
    *OldIrql = current;
    hk::SetIrql(NewIrql);
}

VOID KeLowerIrql(KIRQL NewIrql) {
    if (NewIrql > K().Current->Irql) {
        hk::VerifierStop("KeLowerIrql to a higher level",
                         hk::RoutineName(__builtin_return_address(0)),
                         "level " + std::to_string(NewIrql));
    }
    hk::SetIrql(NewIrql);
}

void hk::SetIrql(KIRQL irql) {
    KIRQL before = K().Current->Irql;
    K().Current->Irql = irql;
    if ((before >= DISPATCH_LEVEL) != (irql >= DISPATCH_LEVEL)) {
        ProtectPagedPool(irql >= DISPATCH_LEVEL);
    }
}

VOID KeEnterCriticalRegion() {
    hk::SchedulingPoint();
    K().Current->CriticalRegions++;
}

VOID KeLeaveCriticalRegion() {
    hk::SchedulingPoint();
    if (K().Current->CriticalRegions == 0) {
        hk::VerifierStop("leaves a critical region it did not enter",
                         hk::RoutineName(__builtin_return_address(0)),
                         "thread " + hk::Hex(K().Current->Id));
    }
    K().Current->CriticalRegions--;
}

PKTHREAD KeGetCurrentThread() {
    return K().Current;
}
PEPROCESS PsGetCurrentProcess() {
    return K().Current->Process;
}

// Kept out of line, so that the check every pageable routine makes costs a
// few instructions.
[[noreturn, gnu::noinline, gnu::cold]] static void StopPagedCodeAtRaisedLevel(const char* Routine) {
    hk::VerifierStop("pageable code runs above APC_LEVEL", Routine,
                     "level " + std::to_string(K().Current->Irql));
}

VOID HkCheckPagedCode(const char* Routine) {
    if (K().Current->Irql > APC_LEVEL) {
        StopPagedCodeAtRaisedLevel(Routine);
    }
}

PVOID MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName) {
    auto found = K().Exports.find(hk::Narrow(hk::FromCounted(SystemRoutineName)));
    return found == K().Exports.end() ? nullptr : found->second;
}
