#include "sim/driver_device.h"

#include "driver/install_counter.h"
#include "firmware/watchdog.h"
#include "hostkernel/control.h"
#include "supervision/cycle.h"
#include "supervision/watch_list.h"

namespace sim {

namespace {

WCHAR g_deviceName[] = u"\\Device\\VKTDevice";
WCHAR g_linkName[] = u"\\DosDevices\\VKT0001";

void InitString(UNICODE_STRING* string, WCHAR* text) {
    RtlInitUnicodeString(string, text);
}

void DeleteResources(DeviceContext* context) {
    ExDeleteResourceLite(&context->FirmwareLock);
    ExDeleteResourceLite(&context->StateLock);
    ExDeleteResourceLite(&context->WatchListLock);
}

} // namespace

PDEVICE_OBJECT CreateDriverDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physical) {
    UNICODE_STRING name;
    InitString(&name, g_deviceName);
    PDEVICE_OBJECT device = nullptr;
    if (!NT_SUCCESS(IoCreateDevice(driver, sizeof(DeviceContext), &name, FILE_DEVICE_UNKNOWN, 0,
                                   FALSE, &device))) {
        return nullptr;
    }
    DeviceContext* context = ContextOf(device);
    context->Self = device;
    context->LowerDevice = IoAttachDeviceToDeviceStack(device, physical);
    context->DebuggerPresent = KdDebuggerEnabled ? 1 : 0;
    context->ShutdownTimeout = 60;
    ExInitializeResourceLite(&context->FirmwareLock);
    ExInitializeResourceLite(&context->StateLock);
    ExInitializeResourceLite(&context->WatchListLock);
    InitializeListHead(&context->WatchList);
    InitString(&context->DeviceName, g_deviceName);
    InitString(&context->LinkName, g_linkName);
    if (!NT_SUCCESS(IoCreateSymbolicLink(&context->LinkName, &context->DeviceName))) {
        DeleteResources(context);
        IoDetachDevice(context->LowerDevice);
        IoDeleteDevice(device);
        return nullptr;
    }
    if (CountInstallation()) {
        context->FirmwareStatus = 255;
    } else {
        QueryFirmwareStatus(context, &context->FirmwareStatus);
    }
    KeInitializeTimer(&context->Timer);
    KeInitializeDpc(&context->TimerDpc, SupervisionDpc, context);
    context->WorkItem = IoAllocateWorkItem(device);
    context->State = StateLoaded;
    device->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    StopWatchdog(context);
    ReportState(context, StateLoaded);
    return device;
}

void StartDriverDevice(PDEVICE_OBJECT device) {
    ArmSupervisionTimer(ContextOf(device));
}

void RemoveDriverDevice(PDEVICE_OBJECT device) {
    DeviceContext* context = ContextOf(device);
    // No run may be queued or running, and the timer not armed, before the
    // work item and the record go.
    do {
        KeCancelTimer(&context->Timer);
        hk::RunPending();
    } while (context->WorkQueued != 0 || KeCancelTimer(&context->Timer));
    IoFreeWorkItem(context->WorkItem);
    StopWatchdog(context);
    ReportState(context, StateRemoved);
    while (!IsListEmpty(&context->WatchList)) {
        ExFreePoolWithTag(CONTAINING_RECORD(RemoveHeadList(&context->WatchList), WatchEntry, Links),
                          VKT_POOL_TAG);
    }
    if (context->WatchListText != nullptr) {
        ExFreePoolWithTag(context->WatchListText, VKT_POOL_TAG);
    }
    ResetInstallCounter();
    IoDeleteSymbolicLink(&context->LinkName);
    DeleteResources(context);
    if (context->LowerDevice != nullptr) {
        IoDetachDevice(context->LowerDevice);
    }
    IoDeleteDevice(device);
}

} // namespace sim
