// Work items of the I/O manager: routines queued from any level up to
// DISPATCH_LEVEL and run later at PASSIVE_LEVEL in a system worker thread,
// each worker a thread of its own that can wait like any other.
#include "hostkernel/ke/scheduler.h"
#include "hostkernel/verifier/levels.h"

namespace hk {

namespace {

std::string Describe(PIO_WORKITEM item) {
    return "work item " + Hex(reinterpret_cast<uintptr_t>(item));
}

void CheckUsable(PIO_WORKITEM item, const void* caller) {
    if (item == nullptr || item->Freed) {
        VerifierStop("uses a work item that is freed", RoutineName(caller), Describe(item));
    }
}

void RunWorkItem(HkThread* worker, HkWorkItem* item) {
    item->Queued = false;
    item->Running = true;
    size_t held = worker->Held.size();
    int regions = worker->CriticalRegions;
    RunDriverCode(reinterpret_cast<void*>(item->Routine),
                  [item] { item->Routine(item->Device, item->Context); });
    CheckBalancedReturn(worker, held, regions, reinterpret_cast<void*>(item->Routine));
    if (worker->Irql != PASSIVE_LEVEL) {
        VerifierStop("returns from a work item above PASSIVE_LEVEL",
                     RoutineName(reinterpret_cast<void*>(item->Routine)), Describe(item));
    }
    // The worker may lose the processor between the routine's return and the
    // I/O manager's release of the item, as on the platform.
    SchedulingPoint();
    item->Running = false;
}

// A system worker with nothing to do takes the item; when every worker is
// busy or waiting, another worker is made, as the platform adds dynamic
// workers to a queue whose workers block.
void StartWorkItem(HkWorkItem* item) {
    Kernel& kernel = K();
    HkThread* worker = nullptr;
    if (kernel.IdleWorkers.empty()) {
        worker = CreateThread(kernel.System);
    } else {
        worker = kernel.IdleWorkers.front();
        kernel.IdleWorkers.erase(kernel.IdleWorkers.begin());
    }
    worker->Item = item;
    StartBody(worker, [worker, item] { RunWorkItem(worker, item); });
}

} // namespace

void CheckDeviceQuiet(PDEVICE_OBJECT device, const void* caller) {
    for (auto& item : K().WorkItems) {
        if (item->Device == device && !item->Freed && (item->Queued || item->Running)) {
            VerifierStop("deletes a device whose work item is still pending", RoutineName(caller),
                         Describe(item.get()));
        }
    }
    auto size = K().ExtensionSizes.find(device);
    if (size != K().ExtensionSizes.end()) {
        CheckNoLiveObjectsIn(device->DeviceExtension, size->second, caller, "device extension");
    }
}

} // namespace hk

using hk::K;

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
    HK_CHECK_LEVEL(IoAllocateWorkItem);
    if (hk::TakeRoutineFault("IoAllocateWorkItem", nullptr)) {
        return nullptr;
    }
    K().WorkItems.push_back(std::make_unique<HkWorkItem>(HkWorkItem{
        DeviceObject, nullptr, nullptr, false, false, false, __builtin_return_address(0)}));
    return K().WorkItems.back().get();
}

VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                     WORK_QUEUE_TYPE QueueType, PVOID Context) {
    HK_CHECK_LEVEL(IoQueueWorkItem);
    UNREFERENCED_PARAMETER(QueueType);
    const void* caller = __builtin_return_address(0);
    hk::CheckUsable(IoWorkItem, caller);
    if (IoWorkItem->Queued) {
        hk::VerifierStop("queues a work item that is already queued", hk::RoutineName(caller),
                         hk::Describe(IoWorkItem));
    }
    IoWorkItem->Routine = WorkerRoutine;
    IoWorkItem->Context = Context;
    hk::SchedulingPoint();
    IoWorkItem->Queued = true;
    hk::StartWorkItem(IoWorkItem);
}

// A queued item would run after its memory is gone. A running one may be
// freed, by its own routine or by another thread: the I/O manager touches
// neither the item nor the driver's record once the routine returns, and it
// holds its own reference on the device meanwhile. The release itself waits
// for that return; the item is unusable from the free on, so a routine that
// queues or frees it again is stopped.
VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
    HK_CHECK_LEVEL(IoFreeWorkItem);
    const void* caller = __builtin_return_address(0);
    hk::CheckUsable(IoWorkItem, caller);
    if (IoWorkItem->Queued) {
        hk::VerifierStop("frees a work item that is queued", hk::RoutineName(caller),
                         hk::Describe(IoWorkItem));
    }
    IoWorkItem->Freed = true;
}

namespace hk {

size_t QueuedWorkItems() {
    size_t queued = 0;
    for (auto& item : K().WorkItems) {
        queued += (item->Queued && !item->Freed) ? 1 : 0;
    }
    return queued;
}

} // namespace hk
