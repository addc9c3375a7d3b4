// The Windows side of the seam: the driver is built by clang for
// x86_64-w64-windows-gnu against the mingw-w64 DDK headers and runs on the NT
// kernel. Everything that header set gets wrong or lacks is settled here, once.
#pragma once

// The lowest system the driver is built for: Windows 10. The DDK headers hide
// declarations newer than these values.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0A00
#endif
#ifndef WINVER
#define WINVER 0x0A00
#endif
#ifndef NTDDI_VERSION
#define NTDDI_VERSION 0x0A000000
#endif

// The DDK declares its own InterlockedBitTestAndSet/Reset, which clash with
// the compiler's intrinsics of the same names in C++. Claiming them as already
// defined keeps the compiler's versions.
#ifndef __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#endif
#ifndef __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#endif

#include <stdint.h>
#include <stddef.h>
#include <ntddk.h>
// Security descriptors, SIDs and ACLs, SE_EXPORTS and the object manager's
// handle routines are declared only with the file-system kit.
#include <ntifs.h>

// Pageable code goes to the PAGE section, which the kernel may page out; the
// entry goes to INIT, which the kernel discards once DriverEntry has returned.
#define VKT_PAGED_ROUTINE __declspec(code_seg("PAGE"))
#define VKT_INIT_ROUTINE __declspec(code_seg("INIT"))

#define VKT_TEXT(literal) L"" literal

// The DDK defines PAGED_CODE() as a check in checked builds and as nothing in
// free builds; keep it defined either way.
#ifndef PAGED_CODE
#define PAGED_CODE()
#endif

// Structured exception handling: an access fault on user memory inside the
// guard lands in the handler with its exception code. The compiler's unwind
// tables name __C_specific_handler, which the kernel exports.
#define VKT_GUARD_TRY __try {
#define VKT_GUARD_EXCEPT(status)                                                                   \
    }                                                                                              \
    __except (EXCEPTION_EXECUTE_HANDLER) {                                                         \
        (status) = GetExceptionCode();
#define VKT_GUARD_END }

// The kernel exports KdDebuggerEnabled as a BOOLEAN variable. The DDK headers
// declare it differently per compiler (a BOOLEAN under clang, a PBOOLEAN
// elsewhere) and define KD_DEBUGGER_ENABLED to read it correctly under each,
// so the flag is read only through that macro.
#define VKT_DEBUGGER_ENABLED() (KD_DEBUGGER_ENABLED != FALSE)

// The platform's list routines check the links around an entry before they
// change them and stop the system at once (fast fail, corrupt list entry) on
// a corrupt one; the mingw-w64 headers carry the older unchecked versions.
#define VKT_FAST_FAIL_CORRUPT_LIST_ENTRY 3

FORCEINLINE VOID VktCheckedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry) {
    PLIST_ENTRY last = ListHead->Blink;
    if (last->Flink != ListHead) {
        __fastfail(VKT_FAST_FAIL_CORRUPT_LIST_ENTRY);
    }
    Entry->Flink = ListHead;
    Entry->Blink = last;
    last->Flink = Entry;
    ListHead->Blink = Entry;
}

FORCEINLINE PLIST_ENTRY VktCheckedRemoveHeadList(PLIST_ENTRY ListHead) {
    PLIST_ENTRY entry = ListHead->Flink;
    PLIST_ENTRY next = entry->Flink;
    if (entry->Blink != ListHead || next->Blink != entry) {
        __fastfail(VKT_FAST_FAIL_CORRUPT_LIST_ENTRY);
    }
    ListHead->Flink = next;
    next->Blink = ListHead;
    return entry;
}

#define InsertTailList VktCheckedInsertTailList
#define RemoveHeadList VktCheckedRemoveHeadList

// The object types the kernel exports (IoFileObjectType, PsProcessType). The
// DDK headers declare each as an imported POBJECT_TYPE*, so reading the name
// already yields the kernel variable's content, which is the object type: it
// is cast, never dereferenced.
#define VKT_OBJECT_TYPE(exported) ((POBJECT_TYPE)(exported))

// Kernel exports the mingw-w64 DDK headers do not declare.
extern "C" {

// Object manager and process manager routines that these headers declare
// only for file system drivers (ntifs.h), which cannot be included beside
// ntddk.h.
NTKERNELAPI NTSTATUS NTAPI ObOpenObjectByPointer(PVOID Object, ULONG HandleAttributes,
                                                 PACCESS_STATE PassedAccessState,
                                                 ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                                 KPROCESSOR_MODE AccessMode, PHANDLE Handle);
NTKERNELAPI NTSTATUS NTAPI ObQueryNameString(PVOID Object, POBJECT_NAME_INFORMATION ObjectNameInfo,
                                             ULONG Length, PULONG ReturnLength);
NTSYSAPI NTSTATUS NTAPI ZwQueryInformationProcess(HANDLE ProcessHandle,
                                                  PROCESSINFOCLASS ProcessInformationClass,
                                                  PVOID ProcessInformation,
                                                  ULONG ProcessInformationLength,
                                                  PULONG ReturnLength);

// Object type of device objects. Declared like its siblings IoFileObjectType
// and PsProcessType in these headers: the value of the name is the object
// type itself, so it is used as (POBJECT_TYPE)IoDeviceObjectType, never
// dereferenced.
extern POBJECT_TYPE NTSYSAPI* IoDeviceObjectType;

// Builds a self-relative security descriptor from its NUL-terminated string
// form, as its user-mode twin does. The driver looks it up at run time with
// MmGetSystemRoutineAddress and calls it through a pointer of type
//   decltype(&SeConvertStringSecurityDescriptorToSecurityDescriptor)
// so that a kernel without it still loads the driver; a direct call would
// import it.
NTSTATUS NTAPI SeConvertStringSecurityDescriptorToSecurityDescriptor(
    PCWSTR StringSecurityDescriptor, ULONG StringSDRevision,
    PSECURITY_DESCRIPTOR* SecurityDescriptor, PULONG SecurityDescriptorLength);

// Copies a security descriptor, probing and capturing it when it comes from
// user mode, into pool of the given type.
NTKERNELAPI NTSTATUS NTAPI SeCaptureSecurityDescriptor(
    PSECURITY_DESCRIPTOR InputSecurityDescriptor, KPROCESSOR_MODE RequestorMode, POOL_TYPE PoolType,
    BOOLEAN ForceCapture, PSECURITY_DESCRIPTOR* OutputSecurityDescriptor);

// The kernel's bounded wide formatter (the DDK headers declare it only with
// the C library's stdio).
__declspec(dllimport) int __cdecl _snwprintf(wchar_t* Buffer, size_t Count, const wchar_t* Format,
                                             ...);

} // extern "C"

// The kernel's SE_EXPORTS record goes on past SeOwnerRightsSid, where these
// headers end it, with the SIDs added in Windows 8.
struct VKT_SE_EXPORTS : SE_EXPORTS {
    PSID SeAllAppPackagesSid;  // S-1-15-2-1, ALL APPLICATION PACKAGES
    PSID SeUserModeDriversSid; // S-1-5-84-0-0-0-0-0, user-mode drivers
};
static_assert(offsetof(VKT_SE_EXPORTS, SeOwnerRightsSid) == 512, "as the kernel lays it out");
static_assert(offsetof(VKT_SE_EXPORTS, SeUserModeDriversSid) == 528, "as the kernel lays it out");

// SeExports is a kernel variable holding a pointer to the record, declared
// dllimport as on the platform: reading the name loads the variable through
// its import slot (two loads), then the field is read from the record.
#define VKT_SE_EXPORTS_RECORD() (static_cast<VKT_SE_EXPORTS*>(SeExports))
