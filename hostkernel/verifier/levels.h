// The highest interrupt request level at which each kernel routine may be
// called, as the platform documents it: one table for every routine the
// driver imports and every one the host kernel provides to drivers. Each
// routine begins with HK_CHECK_LEVEL(itself). The check also stops a call
// made from pageable code at DISPATCH_LEVEL or above, whether or not that
// code begins with PAGED_CODE(): the host build places pageable routines in
// a section of their own, so their addresses tell.
#pragma once

#include "hostkernel/kernel_state.h"

// X(routine, highest level)
#define HK_ROUTINE_LEVELS(X)                                                                       \
    X(ExAcquireResourceExclusiveLite, APC_LEVEL)                                                   \
    X(ExAllocatePool, DISPATCH_LEVEL)                                                              \
    X(ExAllocatePoolWithTag, DISPATCH_LEVEL)                                                       \
    X(ExDeleteResourceLite, APC_LEVEL)                                                             \
    X(ExFreePool, DISPATCH_LEVEL)                                                                  \
    X(ExFreePoolWithTag, DISPATCH_LEVEL)                                                           \
    X(ExInitializeResourceLite, DISPATCH_LEVEL)                                                    \
    X(ExIsResourceAcquiredExclusiveLite, DISPATCH_LEVEL)                                           \
    X(ExReleaseResourceLite, DISPATCH_LEVEL)                                                       \
    X(IoAcquireRemoveLockEx, DISPATCH_LEVEL)                                                       \
    X(IoAllocateErrorLogEntry, DISPATCH_LEVEL)                                                     \
    X(IoAllocateWorkItem, DISPATCH_LEVEL)                                                          \
    X(IoAttachDeviceToDeviceStack, PASSIVE_LEVEL)                                                  \
    X(IoBuildDeviceIoControlRequest, PASSIVE_LEVEL)                                                \
    X(IoCreateDevice, PASSIVE_LEVEL)                                                               \
    X(IoCreateSymbolicLink, PASSIVE_LEVEL)                                                         \
    X(IoDeleteDevice, PASSIVE_LEVEL)                                                               \
    X(IoDeleteSymbolicLink, PASSIVE_LEVEL)                                                         \
    X(IoDetachDevice, PASSIVE_LEVEL)                                                               \
    X(IoFreeErrorLogEntry, DISPATCH_LEVEL)                                                         \
    X(IoFreeWorkItem, DISPATCH_LEVEL)                                                              \
    X(PsGetCurrentProcess, DISPATCH_LEVEL)                                                         \
    X(IoInitializeRemoveLockEx, PASSIVE_LEVEL)                                                     \
    X(IoIsWdmVersionAvailable, DISPATCH_LEVEL)                                                     \
    X(IoQueueWorkItem, DISPATCH_LEVEL)                                                             \
    X(IoReleaseRemoveLockAndWaitEx, PASSIVE_LEVEL)                                                 \
    X(IoReleaseRemoveLockEx, DISPATCH_LEVEL)                                                       \
    X(IoWriteErrorLogEntry, DISPATCH_LEVEL)                                                        \
    X(IofCallDriver, DISPATCH_LEVEL)                                                               \
    X(IofCompleteRequest, DISPATCH_LEVEL)                                                          \
    X(KeCancelTimer, DISPATCH_LEVEL)                                                               \
    X(KeClearEvent, DISPATCH_LEVEL)                                                                \
    X(KeEnterCriticalRegion, APC_LEVEL)                                                            \
    X(KeEnterGuardedRegion, APC_LEVEL)                                                             \
    X(KeFlushQueuedDpcs, PASSIVE_LEVEL)                                                            \
    X(KeInitializeDpc, HIGH_LEVEL)                                                                 \
    X(KeInitializeEvent, HIGH_LEVEL)                                                               \
    X(KeInitializeTimer, DISPATCH_LEVEL)                                                           \
    X(KeInitializeTimerEx, DISPATCH_LEVEL)                                                         \
    X(KeInsertQueueDpc, HIGH_LEVEL)                                                                \
    X(KeLeaveCriticalRegion, APC_LEVEL)                                                            \
    X(KeLeaveGuardedRegion, APC_LEVEL)                                                             \
    X(KeReadStateEvent, HIGH_LEVEL)                                                                \
    X(KeReadStateTimer, HIGH_LEVEL)                                                                \
    X(KeRemoveQueueDpc, HIGH_LEVEL)                                                                \
    X(KeSetEvent, DISPATCH_LEVEL)                                                                  \
    X(KeSetTimer, DISPATCH_LEVEL)                                                                  \
    X(KeWaitForSingleObject, DISPATCH_LEVEL)                                                       \
    X(MmGetSystemRoutineAddress, PASSIVE_LEVEL)                                                    \
    X(ObOpenObjectByPointer, PASSIVE_LEVEL)                                                        \
    X(ObQueryNameString, PASSIVE_LEVEL)                                                            \
    X(ObReferenceObjectByHandle, PASSIVE_LEVEL)                                                    \
    X(ObfDereferenceObject, DISPATCH_LEVEL)                                                        \
    X(PoCallDriver, DISPATCH_LEVEL)                                                                \
    X(PoStartNextPowerIrp, DISPATCH_LEVEL)                                                         \
    X(ProbeForRead, APC_LEVEL)                                                                     \
    X(ProbeForWrite, APC_LEVEL)                                                                    \
    X(RtlAbsoluteToSelfRelativeSD, APC_LEVEL)                                                      \
    X(RtlAddAccessAllowedAce, APC_LEVEL)                                                           \
    X(RtlAppendUnicodeStringToString, DISPATCH_LEVEL)                                              \
    X(RtlCompareUnicodeString, APC_LEVEL)                                                          \
    X(RtlCreateSecurityDescriptor, APC_LEVEL)                                                      \
    X(RtlFreeUnicodeString, PASSIVE_LEVEL)                                                         \
    X(RtlGetDaclSecurityDescriptor, APC_LEVEL)                                                     \
    X(RtlGetGroupSecurityDescriptor, APC_LEVEL)                                                    \
    X(RtlGetOwnerSecurityDescriptor, APC_LEVEL)                                                    \
    X(RtlGetSaclSecurityDescriptor, APC_LEVEL)                                                     \
    X(RtlInitUnicodeString, DISPATCH_LEVEL)                                                        \
    X(RtlLengthSecurityDescriptor, APC_LEVEL)                                                      \
    X(RtlLengthSid, APC_LEVEL)                                                                     \
    X(RtlSetDaclSecurityDescriptor, APC_LEVEL)                                                     \
    X(RtlUpcaseUnicodeChar, APC_LEVEL)                                                             \
    X(RtlValidRelativeSecurityDescriptor, APC_LEVEL)                                               \
    X(SeCaptureSecurityDescriptor, PASSIVE_LEVEL)                                                  \
    X(ZwClose, PASSIVE_LEVEL)                                                                      \
    X(ZwCreateFile, PASSIVE_LEVEL)                                                                 \
    X(ZwCreateKey, PASSIVE_LEVEL)                                                                  \
    X(ZwDeleteValueKey, PASSIVE_LEVEL)                                                             \
    X(ZwOpenKey, PASSIVE_LEVEL)                                                                    \
    X(ZwQueryInformationProcess, PASSIVE_LEVEL)                                                    \
    X(ZwQuerySystemInformation, PASSIVE_LEVEL)                                                     \
    X(ZwQueryValueKey, PASSIVE_LEVEL)                                                              \
    X(ZwSetSecurityObject, PASSIVE_LEVEL)                                                          \
    X(ZwSetValueKey, PASSIVE_LEVEL)

namespace hk {

// The routines of the table, by name.
enum class KernelRoutine : uint16_t {
#define HK_ROUTINE_NAME(routine, level) routine,
    HK_ROUTINE_LEVELS(HK_ROUTINE_NAME)
#undef HK_ROUTINE_NAME
};

// The highest level of each routine, in the order of the table.
inline constexpr KIRQL kHighestLevel[] = {
#define HK_ROUTINE_LEVEL(routine, level) level,
    HK_ROUTINE_LEVELS(HK_ROUTINE_LEVEL)
#undef HK_ROUTINE_LEVEL
};

// Whether code at this address is pageable driver code.
bool IsPageableCode(const void* code);

// The stops, kept out of line so that the check costs a few instructions.
[[noreturn, gnu::cold]] void StopAboveHighestLevel(KernelRoutine routine, const void* caller);
[[noreturn, gnu::cold]] void StopPageableCaller(KernelRoutine routine, const void* caller);

inline void CheckLevel(KernelRoutine routine, const void* caller) {
    KIRQL irql = K().Current->Irql;
    if (irql > kHighestLevel[static_cast<size_t>(routine)]) {
        StopAboveHighestLevel(routine, caller);
    }
    if (irql >= DISPATCH_LEVEL && IsPageableCode(caller)) {
        StopPageableCaller(routine, caller);
    }
}

} // namespace hk

// The first statement of each routine of the table.
#define HK_CHECK_LEVEL(routine)                                                                    \
    hk::CheckLevel(hk::KernelRoutine::routine, __builtin_return_address(0))
