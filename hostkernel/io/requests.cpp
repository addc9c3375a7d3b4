// Request packets: allocation with one stack location per device of the
// stack, sending down, completion with completion routines, buffered
// control requests, and the verifier's rules on how dispatch routines treat
// the requests they receive. Each packet has pages of its own, made
// inaccessible once its completion has finished, so that a touch of a
// completed request stops the test. A request a driver built completes to
// its issuing thread as the platform's special kernel APC does: only while
// that thread is at PASSIVE_LEVEL outside a guarded region.
#include "hostkernel/mm/address_space.h"
#include "hostkernel/ke/scheduler.h"
#include "hostkernel/io/transfer.h"
#include "hostkernel/se/security_internal.h"
#include "hostkernel/verifier/levels.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace hk {

namespace {

constexpr NTSTATUS kMoreProcessingRequired = static_cast<NTSTATUS>(0xC0000016L);

// How long the platform's power manager lets a power request be held before
// it stops the machine ("a device blocked a power request for too long").
constexpr uint64_t kPowerWatchdog = 10 * kMinute;

std::string Describe(PIRP irp) {
    return "request " + Hex(reinterpret_cast<uintptr_t>(irp));
}

bool IsError(NTSTATUS status) {
    return (static_cast<ULONG>(status) >> 30) == 3;
}

// The major function a stack location holds until a driver sets it up for
// the next device: no request has it.
constexpr UCHAR kUnsetMajorFunction = 0xFF;

PIO_STACK_LOCATION FirstLocation(PIRP irp) {
    return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
}

PIRP AllocateIrp(CCHAR stackSize) {
    size_t size = sizeof(IRP) + static_cast<size_t>(stackSize) * sizeof(IO_STACK_LOCATION);
    size_t pages = 0;
    auto* irp = static_cast<PIRP>(AllocatePoolPages(size, &pages));
    if (irp == nullptr) {
        VerifierStop("the host kernel ran out of room for request packets", "(kernel)",
                     std::to_string(K().Irps.size()) + " requests");
    }
    std::memset(static_cast<void*>(irp), 0, size);
    irp->Type = 6;
    irp->Size = static_cast<USHORT>(size);
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation =
        reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
    irp->Tail.Overlay.Thread = K().Current;
    IrpRecord record{};
    record.Pages = pages;
    K().Irps[irp] = record;
    return irp;
}

IrpRecord& RecordOf(PIRP irp, const void* caller) {
    auto found = K().Irps.find(irp);
    if (found == K().Irps.end()) {
        VerifierStop("uses a request the I/O manager never issued", RoutineName(caller),
                     Describe(irp));
    }
    return found->second;
}

void MarkPassedOn(PIRP irp) {
    auto& frames = K().Frames;
    for (auto it = frames.rbegin(); it != frames.rend(); ++it) {
        if (it->Irp == irp) {
            it->PassedOn = true;
            return;
        }
    }
}

// Whether the stack location was marked pending: as the packet says, or as
// its completion found it once the packet is gone.
bool MarkedPending(PIRP irp, const IrpRecord& record, PIO_STACK_LOCATION location) {
    if (!record.Retired) {
        return (location->Control & SL_PENDING_RETURNED) != 0;
    }
    return (record.PendingMarks >> (location - FirstLocation(irp))) & 1;
}

// A dispatch routine has returned `status` for a request it received at
// `location`: it must have completed it with that status, passed it on, or
// marked it pending and returned STATUS_PENDING.
void CheckDispatchReturn(PIRP irp, PIO_STACK_LOCATION location, const DispatchFrame& frame,
                         NTSTATUS status, const void* routine) {
    const IrpRecord& record = K().Irps[irp];
    if (status == STATUS_PENDING) {
        // A request passed down that is still pending below gets its mark
        // when it completes.
        if (!(frame.PassedOn && frame.LowerPending) && !MarkedPending(irp, record, location)) {
            VerifierStop("returns STATUS_PENDING without marking the request pending",
                         RoutineName(routine), Describe(irp));
        }
        return;
    }
    if (!record.Completed) {
        VerifierStop("returns from dispatch with a request neither completed nor passed on",
                     RoutineName(routine), Describe(irp));
    }
    if (record.CompletionStatus != status) {
        VerifierStop("returns a status that differs from the one it completed with",
                     RoutineName(routine),
                     Describe(irp) + ": returned " + Hex(static_cast<ULONG>(status)) +
                         ", completed with " + Hex(static_cast<ULONG>(record.CompletionStatus)));
    }
}

// The end of a completion: the packet's pages go, so that any later touch
// of it stops the test.
void RetireRequest(PIRP irp, IrpRecord& record, const void* caller) {
    record.Final = irp->IoStatus;
    record.Retired = true;
    RetirePoolPages(irp, record.Pages, "touches a request after its completion", Describe(irp),
                    caller);
}

// What the I/O manager does for the issuer once the last completion routine
// has run: copy buffered output back, fill the sender's status block and
// signal its event.
void DeliverCompletion(PIRP irp, IrpRecord& record, const void* caller) {
    if (record.Buffered) {
        if (record.Method == METHOD_BUFFERED && !IsError(irp->IoStatus.Status) &&
            record.OutputLength != 0) {
            if (irp->IoStatus.Information > record.OutputLength) {
                VerifierStop("completes a buffered request with more information than its "
                             "output holds",
                             RoutineName(caller), Describe(irp));
            }
            auto* data = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
            record.Output.assign(data, data + irp->IoStatus.Information);
            DeliverBufferedOutput(irp, record, data, irp->IoStatus.Information);
        }
        FreeKernelMemory(irp->AssociatedIrp.SystemBuffer);
        irp->AssociatedIrp.SystemBuffer = nullptr;
    }
    if (record.Method != METHOD_BUFFERED) {
        FinishUnbufferedOutput(irp, record);
    }
    if (irp->UserIosb != nullptr) {
        *irp->UserIosb = irp->IoStatus;
    }
    if (irp->UserEvent != nullptr) {
        KeSetEvent(irp->UserEvent, IO_NO_INCREMENT, FALSE);
    }
    while (HkThread* sender = FirstWaiter(irp)) {
        Wake(sender, STATUS_SUCCESS);
    }
    RetireRequest(irp, record, caller);
}

// Whether a thread can take the completion of a request it built now: the
// platform delivers it in a special kernel APC, which waits while the thread
// is at APC_LEVEL or above or inside a guarded region.
bool TakesCompletionNow(const HkThread* issuer) {
    return issuer->Irql == PASSIVE_LEVEL && issuer->GuardedRegions == 0;
}

// The last completion routine has run.
void FinishRequest(PIRP irp, IrpRecord& record, const void* caller) {
    record.Completed = true;
    record.CompletionStatus = irp->IoStatus.Status;
    HkThread* issuer = irp->Tail.Overlay.Thread;
    if (record.Built && !TakesCompletionNow(issuer)) {
        issuer->HeldCompletions.push_back(irp);
        return;
    }
    DeliverCompletion(irp, record, caller);
}

bool CompletionRoutineApplies(UCHAR control, const IRP* irp) {
    if (irp->Cancel && (control & SL_INVOKE_ON_CANCEL)) {
        return true;
    }
    return NT_SUCCESS(irp->IoStatus.Status) ? (control & SL_INVOKE_ON_SUCCESS) != 0
                                            : (control & SL_INVOKE_ON_ERROR) != 0;
}

// Every create carries its security context: the access asked for, which
// the object manager has checked and granted by the time the driver sees it.
void AttachSecurityContext(PIO_STACK_LOCATION first, IrpRecord& record, ACCESS_MASK access) {
    ACCESS_MASK mapped = MapFileGenericRights(access);
    record.AccessState.SecurityEvaluated = TRUE;
    record.AccessState.OriginalDesiredAccess = mapped;
    record.AccessState.PreviouslyGrantedAccess = mapped;
    record.Security.AccessState = &record.AccessState;
    record.Security.DesiredAccess = mapped;
    first->Parameters.Create.SecurityContext = &record.Security;
}

// Fills the first stack location of a request sent by the simulated I/O
// manager, and its buffers; fails when the caller's buffers cannot be read.
NTSTATUS PrepareRequest(PIRP irp, const Request& request) {
    PIO_STACK_LOCATION first = IoGetNextIrpStackLocation(irp);
    IrpRecord& record = K().Irps[irp];
    if (request.useParameters) {
        *first = request.parameters;
    }
    first->MajorFunction = request.major;
    first->MinorFunction = request.minor;
    if (request.major == IRP_MJ_CREATE && first->Parameters.Create.SecurityContext == nullptr &&
        !request.withoutSecurityContext) {
        AttachSecurityContext(first, record, request.createAccess);
    }
    irp->IoStatus.Status = request.initialStatus;
    irp->RequestorMode = UserMode;
    if (request.major == IRP_MJ_DEVICE_CONTROL) {
        first->Parameters.DeviceIoControl.IoControlCode = request.ioControlCode;
        return PrepareCallerBuffers(irp, record, request);
    }
    if (request.major == IRP_MJ_READ || request.major == IRP_MJ_WRITE) {
        first->Parameters.Read.Length = request.length;
        size_t size = request.length;
        irp->AssociatedIrp.SystemBuffer = size != 0 ? AllocateKernelMemory(size) : nullptr;
        if (request.major == IRP_MJ_WRITE && size != 0) {
            std::memset(irp->AssociatedIrp.SystemBuffer, 0x57, size);
        }
        record.Buffered = true;
        record.OutputLength = request.major == IRP_MJ_READ ? request.length : 0;
    }
    return STATUS_SUCCESS;
}

// A device object that removal deleted gets no new request: Plug and Play
// removes a device only once its handles are closed, so what a test sends
// after that stands for an open that finds no device.
bool IsDeleted(PDEVICE_OBJECT device) {
    const auto& deleted = K().DeletedDevices;
    return std::find(deleted.begin(), deleted.end(), device) != deleted.end();
}

} // namespace

// Calls the dispatch routine of `DeviceObject` for the request.
NTSTATUS CallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp, const void* caller);

Outcome Send(PDEVICE_OBJECT device, const Request& request) {
    SchedulingPoint();
    PDEVICE_OBJECT top = TopOfStack(device);
    Outcome outcome;
    if (IsDeleted(top)) {
        outcome.returned = STATUS_NO_SUCH_DEVICE;
        outcome.completed = true;
        outcome.ioStatus.Status = STATUS_NO_SUCH_DEVICE;
        return outcome;
    }
    PIRP irp = AllocateIrp(top->StackSize);
    NTSTATUS prepared = PrepareRequest(irp, request);
    if (!NT_SUCCESS(prepared)) {
        // The system service fails before any driver sees the request.
        IrpRecord& record = K().Irps[irp];
        record.Completed = true;
        record.CompletionStatus = prepared;
        FreeKernelMemory(irp->AssociatedIrp.SystemBuffer);
        irp->AssociatedIrp.SystemBuffer = nullptr;
        ReleaseRequestBuffers(irp, record);
        RetireRequest(irp, record, __builtin_return_address(0));
        outcome.returned = prepared;
        outcome.completed = true;
        outcome.ioStatus.Status = prepared;
        return outcome;
    }
    // The power manager's watchdog stops the machine once a power request
    // is held too long, wherever the driver holds it.
    uint64_t watchdog = 0;
    if (request.major == IRP_MJ_POWER) {
        void* routine = reinterpret_cast<void*>(top->DriverObject->MajorFunction[IRP_MJ_POWER]);
        watchdog = ScheduleAt(K().Now + kPowerWatchdog, [irp, routine] {
            VerifierStop("holds a power request longer than the power watchdog allows, bug "
                         "check 0x9F",
                         RoutineName(routine), Describe(irp));
        });
    }
    outcome.returned = CallDriver(top, irp, __builtin_return_address(0));
    // Map nodes stay put, so the record can be held across the wait. The
    // sender gives up after an hour of virtual time.
    const IrpRecord* record = &K().Irps[irp];
    if (!record->Completed) {
        Block(HkWait{HkWaitKind::Request, irp, K().Now + kHour, false, 0,
                     __builtin_return_address(0)});
    }
    if (watchdog != 0) {
        CancelScheduled(watchdog);
    }
    outcome.completed = record->Completed;
    outcome.ioStatus = record->Retired ? record->Final : irp->IoStatus;
    outcome.output = record->Output;
    return outcome;
}

void DeliverHeldCompletions(HkThread* thread) {
    while (!thread->HeldCompletions.empty() && thread->GuardedRegions == 0) {
        PIRP irp = thread->HeldCompletions.front();
        thread->HeldCompletions.erase(thread->HeldCompletions.begin());
        // The APC runs to its end before the thread goes on: no switch of
        // threads while it signals the event.
        KIRQL saved = thread->Irql;
        thread->Irql = DISPATCH_LEVEL;
        DeliverCompletion(irp, K().Irps[irp], nullptr);
        thread->Irql = saved;
    }
}

} // namespace hk

using hk::K;

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    HK_CHECK_LEVEL(IofCallDriver);
    hk::SchedulingPoint();
    NTSTATUS status = hk::CallDriver(DeviceObject, Irp, __builtin_return_address(0));
    if (status == STATUS_PENDING) {
        for (auto it = K().Frames.rbegin(); it != K().Frames.rend(); ++it) {
            if (it->Irp == Irp) {
                it->LowerPending = true;
                break;
            }
        }
    }
    return status;
}

// The call itself, once the sender has given the explorer its chance to
// switch threads.
NTSTATUS hk::CallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp, const void* caller) {
    hk::IrpRecord& record = hk::RecordOf(Irp, caller);
    if (record.Completed) {
        hk::VerifierStop("sends a request that is already completed", hk::RoutineName(caller),
                         hk::Describe(Irp));
    }
    if (Irp->CurrentLocation <= 1) {
        hk::VerifierStop("sends a request that has no stack location left", hk::RoutineName(caller),
                         hk::Describe(Irp));
    }
    if (IoGetNextIrpStackLocation(Irp)->MajorFunction > IRP_MJ_MAXIMUM_FUNCTION) {
        hk::VerifierStop("sends a request down without setting up the next stack location",
                         hk::RoutineName(caller), hk::Describe(Irp));
    }
    hk::MarkPassedOn(Irp);
    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION location = Irp->Tail.Overlay.CurrentStackLocation;
    location->DeviceObject = DeviceObject;
    // The location below is the receiver's to set up (copy, skip or fill)
    // before it sends the request on.
    if (Irp->CurrentLocation > 1) {
        (location - 1)->MajorFunction = hk::kUnsetMajorFunction;
    }
    PDRIVER_DISPATCH routine = DeviceObject->DriverObject->MajorFunction[location->MajorFunction];
    HkThread* thread = K().Current;
    size_t held = thread->Held.size();
    int regions = thread->CriticalRegions;
    KIRQL irql = thread->Irql;
    K().Frames.push_back(hk::DispatchFrame{Irp, false, false});
    NTSTATUS status = STATUS_SUCCESS;
    hk::RunDriverCode(reinterpret_cast<void*>(routine),
                      [&] { status = routine(DeviceObject, Irp); });
    hk::DispatchFrame frame = K().Frames.back();
    K().Frames.pop_back();
    hk::CheckBalancedReturn(thread, held, regions, reinterpret_cast<void*>(routine));
    if (thread->Irql != irql) {
        hk::VerifierStop("returns from dispatch at another level",
                         hk::RoutineName(reinterpret_cast<void*>(routine)), hk::Describe(Irp));
    }
    hk::CheckDispatchReturn(Irp, location, frame, status, reinterpret_cast<void*>(routine));
    return status;
}

VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    HK_CHECK_LEVEL(IofCompleteRequest);
    UNREFERENCED_PARAMETER(PriorityBoost);
    const void* caller = __builtin_return_address(0);
    hk::SchedulingPoint();
    hk::IrpRecord& record = hk::RecordOf(Irp, caller);
    if (record.Completed) {
        hk::VerifierStop("completes a request twice", hk::RoutineName(caller), hk::Describe(Irp));
    }
    if (Irp->IoStatus.Status == STATUS_PENDING) {
        hk::VerifierStop("completes a request with STATUS_PENDING", hk::RoutineName(caller),
                         hk::Describe(Irp));
    }
    while (Irp->CurrentLocation <= Irp->StackCount) {
        PIO_STACK_LOCATION location = Irp->Tail.Overlay.CurrentStackLocation;
        Irp->PendingReturned = (location->Control & SL_PENDING_RETURNED) != 0;
        if (Irp->PendingReturned) {
            record.PendingMarks |= 1ULL << (location - hk::FirstLocation(Irp));
        }
        PIO_COMPLETION_ROUTINE routine = location->CompletionRoutine;
        UCHAR control = location->Control;
        PVOID context = location->Context;
        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;
        bool atTop = Irp->CurrentLocation > Irp->StackCount;
        if (routine != nullptr && hk::CompletionRoutineApplies(control, Irp)) {
            if (K().Current->Irql >= DISPATCH_LEVEL &&
                hk::IsPageableCode(reinterpret_cast<void*>(routine))) {
                hk::VerifierStop("pageable code runs above APC_LEVEL",
                                 hk::RoutineName(reinterpret_cast<void*>(routine)),
                                 "a completion routine called at DISPATCH_LEVEL");
            }
            PDEVICE_OBJECT device =
                atTop ? nullptr : Irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
            if (routine(device, Irp, context) == hk::kMoreProcessingRequired) {
                return;
            }
            if (!atTop && Irp->PendingReturned &&
                (Irp->Tail.Overlay.CurrentStackLocation->Control & SL_PENDING_RETURNED) == 0) {
                hk::VerifierStop("a completion routine does not mark the request pending when "
                                 "the device below returned it pending",
                                 hk::RoutineName(reinterpret_cast<void*>(routine)),
                                 hk::Describe(Irp));
            }
        } else if (Irp->PendingReturned && !atTop) {
            IoMarkIrpPending(Irp);
        }
    }
    hk::FinishRequest(Irp, record, caller);
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                   PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                                   ULONG OutputBufferLength, BOOLEAN InternalDeviceIoControl,
                                   PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
    HK_CHECK_LEVEL(IoBuildDeviceIoControlRequest);
    hk::SchedulingPoint();
    if (hk::TakeRoutineFault("IoBuildDeviceIoControlRequest", nullptr)) {
        return nullptr;
    }
    PIRP irp = hk::AllocateIrp(DeviceObject->StackSize);
    hk::IrpRecord& record = K().Irps[irp];
    record.Built = true;
    PIO_STACK_LOCATION first = IoGetNextIrpStackLocation(irp);
    first->MajorFunction =
        InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    first->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    first->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    first->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    hk::PrepareKernelBuffers(irp, record, IoControlCode & 3, InputBuffer, InputBufferLength,
                             OutputBuffer, OutputBufferLength);
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->RequestorMode = KernelMode;
    return irp;
}
