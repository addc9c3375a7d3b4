// Work items of the I/O manager: routines queued from any level up to
// DISPATCH_LEVEL and run later at PASSIVE_LEVEL in a system worker thread.
#include "hostkernel/kernel_state.h"

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

} // namespace

bool RunNextWorkItem() {
    Kernel& kernel = K();
    if (kernel.WorkQueue.empty()) {
        return false;
    }
    HkWorkItem* item = kernel.WorkQueue.front();
    kernel.WorkQueue.pop_front();
    item->Queued = false;
    item->Running = true;
    // A work item that runs while the worker itself waits gets a worker of its own.
    HkThread* worker =
        kernel.Current == kernel.Worker ? CreateThread(kernel.System) : kernel.Worker;
    HkThread* previous = kernel.Current;
    kernel.Current = worker;
    size_t held = worker->Held.size();
    int regions = worker->CriticalRegions;
    RunDriverCode(reinterpret_cast<void*>(item->Routine),
                  [item] { item->Routine(item->Device, item->Context); });
    CheckBalancedReturn(worker, held, regions, reinterpret_cast<void*>(item->Routine));
    if (worker->Irql != PASSIVE_LEVEL) {
        VerifierStop("returns from a work item above PASSIVE_LEVEL",
                     RoutineName(reinterpret_cast<void*>(item->Routine)), Describe(item));
    }
    kernel.Current = previous;
    item->Running = false;
    return true;
}

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
    if (hk::TakeRoutineFault("IoAllocateWorkItem", nullptr)) {
        return nullptr;
    }
    K().WorkItems.push_back(std::make_unique<HkWorkItem>(HkWorkItem{
        DeviceObject, nullptr, nullptr, false, false, false, __builtin_return_address(0)}));
    return K().WorkItems.back().get();
}

VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                     WORK_QUEUE_TYPE QueueType, PVOID Context) {
    UNREFERENCED_PARAMETER(QueueType);
    const void* caller = __builtin_return_address(0);
    hk::CheckUsable(IoWorkItem, caller);
    if (K().Current->Irql > DISPATCH_LEVEL) {
        hk::VerifierStop("queues a work item above DISPATCH_LEVEL", hk::RoutineName(caller),
                         hk::Describe(IoWorkItem));
    }
    if (IoWorkItem->Queued) {
        hk::VerifierStop("queues a work item that is already queued", hk::RoutineName(caller),
                         hk::Describe(IoWorkItem));
    }
    IoWorkItem->Routine = WorkerRoutine;
    IoWorkItem->Context = Context;
    IoWorkItem->Queued = true;
    K().WorkQueue.push_back(IoWorkItem);
}

VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
    const void* caller = __builtin_return_address(0);
    hk::CheckUsable(IoWorkItem, caller);
    if (IoWorkItem->Queued || IoWorkItem->Running) {
        hk::VerifierStop("frees a work item that is queued or running", hk::RoutineName(caller),
                         hk::Describe(IoWorkItem));
    }
    IoWorkItem->Freed = true;
}
