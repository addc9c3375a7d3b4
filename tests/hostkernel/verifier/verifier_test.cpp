// Every verifier rule, each shown firing on a deliberately faulty routine.
// The faulty routines have external names so that the stop can name them.
#include "platform/platform.h"
#include "tests/hostkernel/host_test.h"

// ----- faulty routines -----------------------------------------------------

FAULTY void FaultyPagedCodeAtDispatch() {
    AtDispatch raised;
    PAGED_CODE();
}

// Pageable (placed so) without the check at its top.
VKT_PAGED_ROUTINE FAULTY void FaultyPageableDeferredRoutine(PKDPC, PVOID, PVOID, PVOID) {}

VKT_PAGED_ROUTINE FAULTY void FaultyPageableCallAtDispatch(PKEVENT event) {
    KIRQL old = PASSIVE_LEVEL;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    KeLowerIrql(old);
}

// Each calls a routine above the highest level its documentation gives.
FAULTY void FaultyCallsAtDispatch(int call, PDRIVER_OBJECT driver, PDEVICE_OBJECT device) {
    AtDispatch raised;
    UNICODE_STRING name = {};
    PDEVICE_OBJECT created = nullptr;
    switch (call) {
    case 0:
        IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &created);
        break;
    case 1:
        IoCreateSymbolicLink(&name, &name);
        break;
    case 2:
        IoAttachDeviceToDeviceStack(device, device);
        break;
    case 3:
        IoDeleteDevice(device);
        break;
    case 4:
        MmGetSystemRoutineAddress(&name);
        break;
    case 5:
        ProbeForRead(nullptr, 0, 1);
        break;
    case 6:
        KeEnterCriticalRegion();
        break;
    default:
        RtlCompareUnicodeString(&name, &name, TRUE);
    }
}

FAULTY void FaultyRegistryOpenAtApcLevel() {
    KIRQL old = PASSIVE_LEVEL;
    KeRaiseIrql(APC_LEVEL, &old);
    std::u16string path = u"\\REGISTRY\\MACHINE\\SYSTEM";
    UNICODE_STRING name = Counted(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE key = nullptr;
    ZwOpenKey(&key, KEY_READ, &attributes);
}

FAULTY void FaultyWaitAtDispatch(PKEVENT event) {
    AtDispatch raised;
    KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
}

FAULTY int FaultyTouchOfPagedPool(volatile uint8_t* paged) {
    AtDispatch raised;
    return *paged;
}

FAULTY int FaultyReadPastPoolBlock(volatile uint8_t* block, size_t size) {
    return block[size];
}

FAULTY int FaultyReadAfterFree(POOL_TYPE type) {
    auto* block = static_cast<volatile uint8_t*>(ExAllocatePoolWithTag(type, 24, 'Test'));
    ExFreePoolWithTag(const_cast<uint8_t*>(block), 'Test');
    return block[0];
}

FAULTY void FaultyWriteIntoRounding() {
    auto* block = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPoolNx, 13, 'Test'));
    block[13] = 0;
    ExFreePoolWithTag(block, 'Test');
}

FAULTY void FaultyTimerInPagedPool() {
    KeInitializeTimer(
        static_cast<PKTIMER>(ExAllocatePoolWithTag(PagedPool, sizeof(KTIMER), 'Test')));
}

FAULTY void FaultyDpcInPagedPool() {
    KeInitializeDpc(
        static_cast<PKDPC>(ExAllocatePoolWithTag(PagedPool, sizeof(KDPC), 'Test')),
        [](PKDPC, PVOID, PVOID, PVOID) {}, nullptr);
}

FAULTY void FaultyResourceInPagedPool() {
    ExInitializeResourceLite(
        static_cast<PERESOURCE>(ExAllocatePoolWithTag(PagedPool, sizeof(ERESOURCE), 'Test')));
}

FAULTY void FaultyLeavesRegionHoldingResource(PERESOURCE resource) {
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(resource, TRUE);
    KeLeaveCriticalRegion();
}

FAULTY void FaultyOversizedBoundedCopy() {
    ULONG count = 0;
    const uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    memcpy_s(&count, sizeof count, data, sizeof data);
}

FAULTY void FaultyAcquireOutsideCriticalRegion(PERESOURCE resource) {
    ExAcquireResourceExclusiveLite(resource, TRUE);
}

FAULTY void FaultyReleaseOfUnownedResource(PERESOURCE resource) {
    ExReleaseResourceLite(resource);
}

FAULTY void FaultyDeleteOfHeldResource(PERESOURCE resource) {
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(resource, TRUE);
    ExDeleteResourceLite(resource);
}

// Takes `first`, then `second`: faulty where another thread took them the
// other way round.
FAULTY void FaultyLockOrder(PERESOURCE first, PERESOURCE second) {
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(first, TRUE);
    ExAcquireResourceExclusiveLite(second, TRUE);
    ExReleaseResourceLite(second);
    ExReleaseResourceLite(first);
    KeLeaveCriticalRegion();
}

FAULTY NTSTATUS FaultyCompletesTwice(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

FAULTY NTSTATUS FaultyCompletesPending(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_PENDING;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_PENDING;
}

FAULTY NTSTATUS FaultyDropsRequest(PDEVICE_OBJECT, PIRP) {
    return STATUS_SUCCESS;
}

FAULTY NTSTATUS FaultyPendsWithoutMarking(PDEVICE_OBJECT, PIRP) {
    return STATUS_PENDING;
}

FAULTY NTSTATUS FaultyReturnsOtherStatus(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

FAULTY NTSTATUS FaultyReturnsHoldingResource(PDEVICE_OBJECT device, PIRP irp) {
    auto* resource = static_cast<PERESOURCE>(device->DeviceExtension);
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(resource, TRUE);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

FAULTY NTSTATUS FaultyTouchesCompletedRequest(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return irp->IoStatus.Status;
}

// The device below the stand-in's in the tests of requests passed down.
PDEVICE_OBJECT g_lower = nullptr;

// Marks the request pending, completes it at once and says it pends.
NTSTATUS PendAndComplete(PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_PENDING;
}

FAULTY NTSTATUS FaultyCompletionRoutine(PDEVICE_OBJECT, PIRP, PVOID) {
    return STATUS_SUCCESS;
}

NTSTATUS PropagatingCompletionRoutine(PDEVICE_OBJECT, PIRP irp, PVOID) {
    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    return STATUS_SUCCESS;
}

template <PIO_COMPLETION_ROUTINE routine> NTSTATUS PassDownWith(PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, routine, nullptr, TRUE, TRUE, TRUE);
    return IofCallDriver(g_lower, irp);
}

FAULTY NTSTATUS FaultyCallsDownUnprepared(PDEVICE_OBJECT, PIRP irp) {
    return IofCallDriver(g_lower, irp);
}

FAULTY NTSTATUS FaultyHoldsPowerRequest(PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    return STATUS_PENDING;
}

FAULTY void FaultyReferencesUserHandleAsKernel(HANDLE handle) {
    PVOID object = nullptr;
    ObReferenceObjectByHandle(handle, 0, nullptr, KernelMode, &object, nullptr);
}

FAULTY void FaultyOversizedTextCopy() {
    WCHAR name[4];
    wcscpy_s(name, 4, u"four");
}

FAULTY void FaultyDoubleFree() {
    PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 16, 'Test');
    ExFreePoolWithTag(block, 'Test');
    ExFreePoolWithTag(block, 'Test');
}

FAULTY void FaultyFreeWithWrongTag() {
    PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 16, 'Test');
    ExFreePoolWithTag(block, 'Tsst');
}

FAULTY void FaultyFreeOfQueuedWorkItem(PIO_WORKITEM item) {
    IoQueueWorkItem(
        item, [](PDEVICE_OBJECT, PVOID) {}, DelayedWorkQueue, nullptr);
    IoFreeWorkItem(item);
}

FAULTY void FaultyDeleteWithArmedTimer(PDEVICE_OBJECT device) {
    auto* timer = static_cast<PKTIMER>(device->DeviceExtension);
    KeInitializeTimer(timer);
    KeSetTimer(timer, Relative(hk::kSecond), nullptr);
    IoDeleteDevice(device);
}

FAULTY void FaultyDeleteWithQueuedDpc(PDEVICE_OBJECT device) {
    auto* dpc = static_cast<PKDPC>(device->DeviceExtension);
    KeInitializeDpc(
        dpc, [](PKDPC, PVOID, PVOID, PVOID) {}, nullptr);
    KeInsertQueueDpc(dpc, nullptr, nullptr);
    IoDeleteDevice(device);
}

FAULTY void FaultyDeleteWithPendingWorkItem(PDEVICE_OBJECT device) {
    PIO_WORKITEM item = IoAllocateWorkItem(device);
    IoQueueWorkItem(
        item, [](PDEVICE_OBJECT, PVOID) {}, DelayedWorkQueue, nullptr);
    IoDeleteDevice(device);
}

FAULTY void FaultyFreeOfLiveResource() {
    auto* resource =
        static_cast<PERESOURCE>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(ERESOURCE), 'Test'));
    ExInitializeResourceLite(resource);
    ExFreePoolWithTag(resource, 'Test');
}

FAULTY void FaultyRemovalFromCorruptList() {
    LIST_ENTRY head, entry;
    InitializeListHead(&head);
    InsertTailList(&head, &entry);
    entry.Blink = &entry;
    RemoveHeadList(&head);
}

namespace {

// A stand-in driver with one device whose routines tests replace.
class VerifierTest : public DeviceTest {
  protected:
    VerifierTest() : DeviceTest(256) {}
    hk::Outcome SendWith(PDRIVER_DISPATCH routine) {
        driver_->MajorFunction[IRP_MJ_CLOSE] = routine;
        return hk::Send(device_, {.major = IRP_MJ_CLOSE});
    }
};

// A stop of `rule` in the faulty dispatch routine `routine`, sent a request.
#define EXPECT_SENT_STOP(routine, rule) EXPECT_STOP(SendWith(routine), rule, #routine)

TEST_F(VerifierTest, LevelRules) {
    EXPECT_STOP_IN(FaultyPagedCodeAtDispatch, (), "pageable code runs above APC_LEVEL");
    Event event;
    EXPECT_STOP_IN(FaultyWaitAtDispatch, (&event), "blocks at DISPATCH_LEVEL or above");
    auto* paged = static_cast<uint8_t*>(ExAllocatePoolWithTag(PagedPool, 64, 'Page'));
    EXPECT_EQ(paged[3], 0xA5) << "fresh pool carries the fill pattern, not zeros";
    EXPECT_STOP_IN(FaultyTouchOfPagedPool, (paged),
                   "touches paged pool at DISPATCH_LEVEL or above");
    ExFreePoolWithTag(paged, 'Page');
    KDPC dpc;
    KeInitializeDpc(&dpc, FaultyPageableDeferredRoutine, nullptr);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    EXPECT_STOP(hk::RunPending(), "pageable code runs above APC_LEVEL",
                "FaultyPageableDeferredRoutine");
    KeRemoveQueueDpc(&dpc);
    EXPECT_STOP_IN(FaultyPageableCallAtDispatch, (&event), "pageable code runs above APC_LEVEL");
}

// One table gives every kernel routine's highest level.
TEST_F(VerifierTest, CallsAboveTheHighestLevel) {
    const char* const stops[] = {
        "calls IoCreateDevice above PASSIVE_LEVEL",
        "calls IoCreateSymbolicLink above PASSIVE_LEVEL",
        "calls IoAttachDeviceToDeviceStack above PASSIVE_LEVEL",
        "calls IoDeleteDevice above PASSIVE_LEVEL",
        "calls MmGetSystemRoutineAddress above PASSIVE_LEVEL",
        "calls ProbeForRead above APC_LEVEL",
        "calls KeEnterCriticalRegion above APC_LEVEL",
        "calls RtlCompareUnicodeString above APC_LEVEL",
    };
    for (int call = 0; call < 8; call++) {
        EXPECT_DEATH(FaultyCallsAtDispatch(call, driver_, device_),
                     std::string("VERIFIER STOP: ") + stops[call] +
                         "\n  routine: FaultyCallsAtDispatch\n  object: at DISPATCH_LEVEL");
    }
    EXPECT_STOP_IN(FaultyRegistryOpenAtApcLevel, (), "calls ZwOpenKey above PASSIVE_LEVEL");
}

TEST_F(VerifierTest, ResourceRules) {
    ERESOURCE first, second;
    ExInitializeResourceLite(&first);
    ExInitializeResourceLite(&second);
    EXPECT_STOP_IN(FaultyAcquireOutsideCriticalRegion, (&first),
                   "acquires a resource outside a critical region");
    EXPECT_STOP_IN(FaultyReleaseOfUnownedResource, (&first), "releases a resource it does not own");
    EXPECT_STOP_IN(FaultyDeleteOfHeldResource, (&first), "deletes a resource that is held");
    EXPECT_STOP_IN(FaultyLeavesRegionHoldingResource, (&first),
                   "leaves a critical region while holding a resource");
    // The order seen in one thread binds every other.
    hk::RunAs(hk::CreateThread(hk::SystemProcess()), [&] { FaultyLockOrder(&first, &second); });
    EXPECT_STOP_IN(FaultyLockOrder, (&second, &first),
                   "takes locks in an order that inverts an order seen before");
    ExDeleteResourceLite(&first);
    ExDeleteResourceLite(&second);
}

TEST_F(VerifierTest, RequestRules) {
    EXPECT_SENT_STOP(FaultyCompletesTwice, "completes a request twice");
    EXPECT_SENT_STOP(FaultyCompletesPending, "completes a request with STATUS_PENDING");
    EXPECT_SENT_STOP(FaultyDropsRequest,
                     "returns from dispatch with a request neither completed nor passed on");
    EXPECT_SENT_STOP(FaultyPendsWithoutMarking,
                     "returns STATUS_PENDING without marking the request pending");
    EXPECT_SENT_STOP(FaultyReturnsOtherStatus,
                     "returns a status that differs from the one it completed with");
    ExInitializeResourceLite(Extension<ERESOURCE>());
    EXPECT_SENT_STOP(FaultyReturnsHoldingResource, "returns to the kernel holding a resource");
    ExDeleteResourceLite(Extension<ERESOURCE>());
    EXPECT_SENT_STOP(FaultyTouchesCompletedRequest, "touches a request after its completion");
    driver_->MajorFunction[IRP_MJ_POWER] = FaultyHoldsPowerRequest;
    const hk::Request power{.major = IRP_MJ_POWER, .minor = IRP_MN_SET_POWER};
    EXPECT_STOP(hk::Send(device_, power),
                "holds a power request longer than the power watchdog allows, bug check 0x9F",
                "FaultyHoldsPowerRequest");
}

// Requests passed down to a device below: a completion routine must carry
// the pending mark up, and the sender must set up the next stack location.
TEST_F(VerifierTest, PassingDownRules) {
    PDRIVER_OBJECT lowerDriver = hk::CreateStandInDriver(u"Lower");
    ASSERT_EQ(IoCreateDevice(lowerDriver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_lower),
              STATUS_SUCCESS);
    ASSERT_EQ(IoAttachDeviceToDeviceStack(device_, g_lower), g_lower);
    lowerDriver->MajorFunction[IRP_MJ_CLOSE] = PendAndComplete;
    hk::Outcome sound = SendWith(PassDownWith<PropagatingCompletionRoutine>);
    EXPECT_EQ(sound.returned, STATUS_PENDING);
    EXPECT_TRUE(sound.completed);
    EXPECT_STOP(SendWith(PassDownWith<FaultyCompletionRoutine>),
                "a completion routine does not mark the request pending when the device below "
                "returned it pending",
                "FaultyCompletionRoutine");
    EXPECT_SENT_STOP(FaultyCallsDownUnprepared,
                     "sends a request down without setting up the next stack location");
    IoDetachDevice(g_lower);
    IoDeleteDevice(g_lower);
    hk::UnloadDriver(lowerDriver);
}

TEST_F(VerifierTest, PoolAndListRules) {
    EXPECT_STOP_IN(FaultyDoubleFree, (), "frees pool that is not allocated, or frees it twice");
    EXPECT_STOP_IN(FaultyFreeWithWrongTag, (), "frees pool with the wrong tag");
    EXPECT_STOP_IN(FaultyFreeOfLiveResource, (),
                   "frees a pool block holding a resource not deleted");
    EXPECT_STOP_IN(FaultyRemovalFromCorruptList, (), "fast fail 3: corrupt list entry");
    // A bounded copy that does not fit is not an error to handle: the
    // kernel's run-time library may treat it as fatal.
    EXPECT_STOP_IN(FaultyOversizedBoundedCopy, (),
                   "memcpy_s copies more than its destination holds");
    EXPECT_STOP_IN(FaultyOversizedTextCopy, (), "wcscpy_s copies more than its destination holds");
    EXPECT_STOP_IN(FaultyWriteIntoRounding, (), "writes past the end of a pool block");
    // What the kernel touches at DISPATCH_LEVEL must not be pageable.
    EXPECT_STOP_IN(FaultyTimerInPagedPool, (), "puts a timer in paged pool");
    EXPECT_STOP_IN(FaultyDpcInPagedPool, (), "puts a deferred call in paged pool");
    EXPECT_STOP_IN(FaultyResourceInPagedPool, (), "puts a resource in paged pool");
}

TEST_F(VerifierTest, WorkItemAndDeviceDeletionRules) {
    PIO_WORKITEM item = IoAllocateWorkItem(device_);
    EXPECT_STOP_IN(FaultyFreeOfQueuedWorkItem, (item), "frees a work item that is queued");
    IoFreeWorkItem(item);
    EXPECT_STOP_IN(FaultyDeleteWithArmedTimer, (device_),
                   "frees a device extension holding an armed timer");
    EXPECT_STOP_IN(FaultyDeleteWithQueuedDpc, (device_),
                   "frees a device extension holding a queued deferred call");
    EXPECT_STOP_IN(FaultyDeleteWithPendingWorkItem, (device_),
                   "deletes a device whose work item is still pending");
}

TEST_F(VerifierTest, LeaksAreFoundAtTheEndAndAtUnload) {
    PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 40, 'Leak');
    PIO_WORKITEM item = IoAllocateWorkItem(device_);
    std::vector<std::string> leaks = hk::FindLeaks();
    ASSERT_EQ(leaks.size(), 3u); // the block, the work item and the device
    EXPECT_NE(leaks[0].find("40 bytes, tag 'Leak'"), std::string::npos) << leaks[0];
    EXPECT_NE(leaks[0].find("allocated by"), std::string::npos) << leaks[0];
    EXPECT_NE(leaks[1].find("not freed"), std::string::npos) << leaks[1];
    ExFreePoolWithTag(block, 'Leak');
    IoFreeWorkItem(item);
    EXPECT_DEATH(hk::UnloadDriver(driver_),
                 VERIFIER_STOP("unloads with a device object not deleted"));
}

// Pool blocks of either type end against an inaccessible page, rounded up
// to 8 bytes, so a read just past a block stops the test; a freed block's
// pages stay inaccessible for a while, so a read after the free stops too.
TEST_F(VerifierTest, ReadPastOrAfterFreeOfPoolBlock) {
    for (POOL_TYPE type : {PagedPool, NonPagedPoolNx}) {
        SCOPED_TRACE(type);
        for (size_t size : {8u, 520u, 4096u, 4104u}) {
            auto* block = static_cast<uint8_t*>(ExAllocatePool(type, size));
            block[0] = 1;
            block[size - 1] = 2;
            EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 8, 0u);
            EXPECT_STOP_IN(FaultyReadPastPoolBlock, (block, size),
                           "touches memory past the end of a pool block");
            ExFreePoolWithTag(block, 0);
        }
        EXPECT_STOP_IN(FaultyReadAfterFree, (type), "touches pool after it was freed");
    }
}

// A kernel handle means nothing to a caller in user mode; a user process's
// handle must not be trusted as a kernel one.
TEST_F(VerifierTest, HandleRules) {
    HkThread* user = hk::CreateThread(hk::CreateProcess(u"user.exe"));
    std::u16string path = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class";
    UNICODE_STRING name = Counted(path);
    HANDLE kernelHandle = nullptr;
    HANDLE userHandle = nullptr;
    hk::RunAs(user, [&] {
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                                   nullptr, nullptr);
        ASSERT_EQ(ZwOpenKey(&kernelHandle, KEY_READ, &attributes), STATUS_SUCCESS);
        attributes.Attributes = OBJ_CASE_INSENSITIVE;
        ASSERT_EQ(ZwOpenKey(&userHandle, KEY_READ, &attributes), STATUS_SUCCESS);
        PVOID object = nullptr;
        EXPECT_EQ(ObReferenceObjectByHandle(kernelHandle, 0, nullptr, UserMode, &object, nullptr),
                  STATUS_INVALID_HANDLE);
        ASSERT_EQ(ObReferenceObjectByHandle(userHandle, 0, nullptr, UserMode, &object, nullptr),
                  STATUS_SUCCESS);
        ObfDereferenceObject(object);
    });
    EXPECT_STOP(hk::RunAs(user, [&] { FaultyReferencesUserHandleAsKernel(userHandle); }),
                "references a user-mode handle with KernelMode",
                "FaultyReferencesUserHandleAsKernel");
    hk::RunAs(user, [&] {
        ZwClose(userHandle);
        ZwClose(kernelHandle);
    });
}

} // namespace
