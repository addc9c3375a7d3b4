#include "tests/support/driver_test.h"

#include "driver/routing.h"
#include "supervision/cycle.h"
#include "supervision/watch_list.h"

void DriverTest::SetUp() {
    KernelTest::SetUp();
    acpi_ = std::make_unique<sim::AcpiDevice>();
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    driver_ = hk::LoadDriver(DriverEntry, u"VKTDrv", &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
}

void DriverTest::CreateDeviceOver(PDEVICE_OBJECT below) {
    ASSERT_EQ(IoCreateDevice(driver_, sizeof(DeviceContext), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE,
                             &device_),
              STATUS_SUCCESS);
    DeviceContext* context = Context();
    context->Self = device_;
    context->LowerDevice = below != nullptr ? IoAttachDeviceToDeviceStack(device_, below) : nullptr;
    context->ShutdownTimeout = 60;
    context->State = StateLoaded;
    ExInitializeResourceLite(&context->FirmwareLock);
    ExInitializeResourceLite(&context->StateLock);
    ExInitializeResourceLite(&context->WatchListLock);
    InitializeListHead(&context->WatchList);
    KeInitializeTimer(&context->Timer);
    KeInitializeDpc(&context->TimerDpc, SupervisionDpc, context);
    context->WorkItem = IoAllocateWorkItem(device_);
    device_->Flags &= ~DO_DEVICE_INITIALIZING;
}

void DriverTest::StopCycle() {
    DeviceContext* context = Context();
    do {
        KeCancelTimer(&context->Timer);
        hk::RunPending();
    } while (context->WorkQueued != 0 || KeCancelTimer(&context->Timer));
}

void DriverTest::DeleteDevice() {
    StopCycle();
    DeviceContext* context = Context();
    IoFreeWorkItem(context->WorkItem);
    while (!IsListEmpty(&context->WatchList)) {
        ExFreePoolWithTag(CONTAINING_RECORD(RemoveHeadList(&context->WatchList), WatchEntry, Links),
                          VKT_POOL_TAG);
    }
    if (context->WatchListText != nullptr) {
        ExFreePoolWithTag(context->WatchListText, VKT_POOL_TAG);
    }
    ExDeleteResourceLite(&context->FirmwareLock);
    ExDeleteResourceLite(&context->StateLock);
    ExDeleteResourceLite(&context->WatchListLock);
    if (context->LowerDevice != nullptr) {
        IoDetachDevice(context->LowerDevice);
    }
    IoDeleteDevice(device_);
    device_ = nullptr;
}

void DriverTest::ReleaseMachine() {
    if (device_ != nullptr) {
        DeleteDevice();
    }
    if (driver_ != nullptr) {
        hk::UnloadDriver(driver_);
        driver_ = nullptr;
    }
    acpi_.reset();
}
