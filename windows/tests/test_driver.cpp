// A small driver shaped like the real one: a discardable entry, a pageable
// routine with an exception guard and a deferred routine that must stay
// resident. Each VKT_FAULT_*
// macro, defined when the image is built, puts one placement fault into it.
#include "platform/platform.h"

static KDPC TimerDpc;

// Runs at DISPATCH_LEVEL, so it must never be paged out. Static, as deferred
// routines usually are: the check must still find it by name.
static VOID TimerRoutine(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2) {
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(Context);
    UNREFERENCED_PARAMETER(Argument1);
    UNREFERENCED_PARAMETER(Argument2);
}

#if defined(VKT_FAULT_NO_PAGED_CODE)
#define PAGED_PLACEMENT
#else
#define PAGED_PLACEMENT VKT_PAGED_ROUTINE
#endif

PAGED_PLACEMENT VOID UnloadTestDriver(PDRIVER_OBJECT DriverObject) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(DriverObject);
}

// Reads a value from user memory under the guard: the image imports the
// exception handler from the kernel.
PAGED_PLACEMENT NTSTATUS ReadUserValue(const volatile ULONG* UserAddress, ULONG* Value) {
    PAGED_CODE();
    NTSTATUS status = STATUS_SUCCESS;
    VKT_GUARD_TRY
    ProbeForRead(const_cast<ULONG*>(UserAddress), sizeof(ULONG), sizeof(ULONG));
    *Value = *UserAddress;
    VKT_GUARD_EXCEPT(status)
    VKT_GUARD_END
    return status;
}

#if defined(VKT_FAULT_RESIDENT_ENTRY) || defined(VKT_FAULT_NO_INIT)
#define ENTRY_PLACEMENT
#else
#define ENTRY_PLACEMENT VKT_INIT_ROUTINE
#endif

#if defined(VKT_FAULT_RESIDENT_ENTRY)
// Keeps an INIT section in the image while the entry itself lies elsewhere.
VKT_INIT_ROUTINE ULONG InitialPeriod() {
    return 10;
}
#endif

ENTRY_PLACEMENT extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject,
                                                PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(RegistryPath);
    KeInitializeDpc(&TimerDpc, TimerRoutine, nullptr);
    DriverObject->DriverUnload = UnloadTestDriver;
    return STATUS_SUCCESS;
}
