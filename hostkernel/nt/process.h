// Processes as the driver sees them: the system information query and the
// probe of user addresses.
#pragma once

#define SystemProcessInformation 5

typedef NTSTATUS (*PZW_QUERY_SYSTEM_INFORMATION)(ULONG SystemInformationClass,
                                                 PVOID SystemInformation,
                                                 ULONG SystemInformationLength,
                                                 PULONG ReturnLength);

// Reached only through MmGetSystemRoutineAddress, as on the platform where
// the routine is not declared for drivers.
NTSTATUS HkZwQuerySystemInformation(ULONG SystemInformationClass, PVOID SystemInformation,
                                    ULONG SystemInformationLength, PULONG ReturnLength);

// Raises STATUS_DATATYPE_MISALIGNMENT or STATUS_ACCESS_VIOLATION for a range
// that is not a properly aligned range of user address space.
VOID ProbeForRead(const volatile VOID* Address, SIZE_T Length, ULONG Alignment);
VOID ProbeForWrite(volatile VOID* Address, SIZE_T Length, ULONG Alignment);

extern ULONG_PTR MmUserProbeAddress;
