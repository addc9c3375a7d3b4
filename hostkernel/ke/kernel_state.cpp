// The kernel's state and its life: made at first use, replaced by every
// reset, with the system process and the thread the test runs on; and the
// processes and threads made later.
#include "hostkernel/kernel_state.h"
#include "hostkernel/io/transfer.h"
#include "hostkernel/ke/components.h"
#include "hostkernel/ke/fiber.h"
#include "hostkernel/ke/scheduler.h"
#include "hostkernel/mm/address_space.h"

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
    ResetComponents();
}

namespace {
void ReleaseKernelMemory(Kernel& kernel) {
    ProtectPagedPool(false);
    for (auto& [address, block] : kernel.Pool) {
        DropPoolBlock(address, block.MappedSize);
    }
    for (auto& [irp, record] : kernel.Irps) {
        if (record.Retired) {
            continue;
        }
        if (record.Buffered) {
            FreeKernelMemory(irp->AssociatedIrp.SystemBuffer);
        }
        ReleaseRequestBuffers(irp, record);
        DropPoolPages(irp, record.Pages);
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

} // namespace hk
