// The host kernel's public face: the types, constants and routines of the
// NT kernel that driver code uses, under the platform's own names and with
// the platform's semantics. Driver sources reach it only through the
// platform seam; tests and the simulated machine use it directly.
#pragma once

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------
// Basic types

typedef void VOID;
typedef void* PVOID;
typedef char CHAR;
typedef CHAR* PCHAR;
typedef int8_t CCHAR;
typedef uint8_t UCHAR;
typedef UCHAR* PUCHAR;
typedef int16_t SHORT;
typedef int16_t CSHORT;
typedef uint16_t USHORT;
typedef USHORT* PUSHORT;
typedef int32_t LONG;
typedef LONG* PLONG;
typedef uint32_t ULONG;
typedef ULONG* PULONG;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef int64_t LONG_PTR;
typedef uint64_t ULONG_PTR;
typedef ULONG_PTR SIZE_T;
typedef SIZE_T* PSIZE_T;
typedef uint8_t BOOLEAN;
typedef BOOLEAN* PBOOLEAN;
typedef char16_t WCHAR;
typedef WCHAR* PWCHAR;
typedef WCHAR* PWSTR;
typedef const WCHAR* PCWSTR;
typedef LONG NTSTATUS;
typedef UCHAR KIRQL;
typedef KIRQL* PKIRQL;
typedef CCHAR KPROCESSOR_MODE;
typedef PVOID HANDLE;
typedef HANDLE* PHANDLE;
typedef ULONG ACCESS_MASK;
typedef ULONG DEVICE_TYPE;
typedef int errno_t;

#define TRUE 1
#define FALSE 0
#define NTAPI
#define IN
#define OUT
#define OPTIONAL
#define UNREFERENCED_PARAMETER(p) ((void)(p))

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart; // low 32 bits
        LONG HighPart; // high 32 bits
    } u;
    LONGLONG QuadPart; // the whole value
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY* Flink; // next entry, or the head
    struct _LIST_ENTRY* Blink; // previous entry, or the head
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _UNICODE_STRING {
    USHORT Length;        // bytes of text, without a terminator
    USHORT MaximumLength; // bytes the buffer holds
    PWSTR Buffer;         // UTF-16 text, not necessarily terminated
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _GUID {
    ULONG Data1;    // first group
    USHORT Data2;   // second group
    USHORT Data3;   // third group
    UCHAR Data4[8]; // last two groups, as bytes
} GUID, *LPGUID;
typedef const GUID* LPCGUID;

#define CONTAINING_RECORD(address, type, field) ((type*)((PCHAR)(address)-offsetof(type, field)))

// ---------------------------------------------------------------------------
// Status values

#define NT_SUCCESS(status) (((NTSTATUS)(status)) >= 0)
#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define STATUS_PENDING ((NTSTATUS)0x00000103L)
#define STATUS_USER_APC ((NTSTATUS)0x000000C0L)
#define STATUS_ALERTED ((NTSTATUS)0x00000101L)
#define STATUS_DATATYPE_MISALIGNMENT ((NTSTATUS)0x80000002L)
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005L)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001L)
#define STATUS_NOT_IMPLEMENTED ((NTSTATUS)0xC0000002L)
#define STATUS_INFO_LENGTH_MISMATCH ((NTSTATUS)0xC0000004L)
#define STATUS_ACCESS_VIOLATION ((NTSTATUS)0xC0000005L)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000DL)
#define STATUS_INVALID_DEVICE_REQUEST ((NTSTATUS)0xC0000010L)
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022L)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_NAME_INVALID ((NTSTATUS)0xC0000033L)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034L)
#define STATUS_OBJECT_NAME_COLLISION ((NTSTATUS)0xC0000035L)
#define STATUS_OBJECT_PATH_NOT_FOUND ((NTSTATUS)0xC000003AL)
#define STATUS_QUOTA_EXCEEDED ((NTSTATUS)0xC0000044L)
#define STATUS_INVALID_SECURITY_DESCR ((NTSTATUS)0xC0000079L)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009AL)
#define STATUS_DEVICE_NOT_CONNECTED ((NTSTATUS)0xC000009DL)
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BBL)
#define STATUS_INTERNAL_ERROR ((NTSTATUS)0xC00000E5L)
#define STATUS_NO_SUCH_DEVICE ((NTSTATUS)0xC000000EL)
#define STATUS_DEVICE_DOES_NOT_EXIST ((NTSTATUS)0xC00000C0L)
#define STATUS_INVALID_DEVICE_STATE ((NTSTATUS)0xC0000184L)
#define STATUS_IO_DEVICE_ERROR ((NTSTATUS)0xC0000185L)
#define STATUS_ACPI_INVALID_DATA ((NTSTATUS)0xC014000FL)

// ---------------------------------------------------------------------------
// Interrupt request levels and processor modes

#define PASSIVE_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 15

#define KernelMode 0
#define UserMode 1

// ---------------------------------------------------------------------------
// Pool

typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    PagedPool = 1,
    NonPagedPoolMustSucceed = 2,
    NonPagedPoolCacheAligned = 4,
    PagedPoolCacheAligned = 5,
    NonPagedPoolNx = 512,
} POOL_TYPE;

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
VOID ExFreePoolWithTag(PVOID P, ULONG Tag);
VOID ExFreePool(PVOID P);

// ---------------------------------------------------------------------------
// Dispatcher objects: events and timers

typedef struct _DISPATCHER_HEADER {
    UCHAR Type;       // NotificationEvent, SynchronizationEvent or a timer type
    LONG SignalState; // non-zero while signalled
} DISPATCHER_HEADER;

typedef enum _EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 } EVENT_TYPE;

typedef struct _KEVENT {
    DISPATCHER_HEADER Header; // event type and signal state
} KEVENT, *PKEVENT, *PRKEVENT;

typedef enum _KWAIT_REASON { Executive = 0, UserRequest = 6 } KWAIT_REASON;

typedef struct _KDPC* PKDPC;
typedef struct _KDPC* PRKDPC;
typedef VOID KDEFERRED_ROUTINE(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                               PVOID SystemArgument2);
typedef KDEFERRED_ROUTINE* PKDEFERRED_ROUTINE;

typedef struct _KDPC {
    UCHAR Type;                         // non-zero once initialised
    UCHAR Inserted;                     // 1 while in the deferred-call queue
    PKDEFERRED_ROUTINE DeferredRoutine; // routine run at DISPATCH_LEVEL
    PVOID DeferredContext;              // its first argument after the DPC
    PVOID SystemArgument1;              // set when queued
    PVOID SystemArgument2;              // set when queued
    ULONGLONG QueueSequence;            // host: order of insertion, for a fixed run order
} KDPC;

typedef enum _TIMER_TYPE { NotificationTimer = 8, SynchronizationTimer = 9 } TIMER_TYPE;

typedef struct _KTIMER {
    DISPATCHER_HEADER Header; // timer type and signal state
    ULONGLONG DueTime;        // absolute virtual time of expiry, 100 ns units
    PKDPC Dpc;                // deferred call queued at expiry, may be null
    BOOLEAN Inserted;         // TRUE while armed
    ULONGLONG ArmSequence;    // host: order of arming, breaks ties between equal due times
} KTIMER, *PKTIMER, *PRKTIMER;

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG KeSetEvent(PRKEVENT Event, LONG Increment, BOOLEAN Wait);
VOID KeClearEvent(PRKEVENT Event);
LONG KeReadStateEvent(PRKEVENT Event);
NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout);

VOID KeInitializeTimer(PKTIMER Timer);
VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type);
BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc);
BOOLEAN KeCancelTimer(PKTIMER Timer);
BOOLEAN KeReadStateTimer(PKTIMER Timer);
VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext);
BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2);
BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc);

// ---------------------------------------------------------------------------
// Levels, critical regions, threads

KIRQL KeGetCurrentIrql(void);
VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
VOID KeLowerIrql(KIRQL NewIrql);
VOID KeEnterCriticalRegion(void);
VOID KeLeaveCriticalRegion(void);
VOID KeEnterGuardedRegion(void);
VOID KeLeaveGuardedRegion(void);

typedef struct HkThread* PKTHREAD;
typedef struct HkThread* PETHREAD;
typedef struct HkProcess* PEPROCESS;
PKTHREAD KeGetCurrentThread(void);
PEPROCESS PsGetCurrentProcess(void);
#define IoGetCurrentProcess PsGetCurrentProcess

// ---------------------------------------------------------------------------
// Executive resources

typedef struct _ERESOURCE {
    ULONG Magic;          // host: marks an initialised, not deleted resource
    PKTHREAD OwnerThread; // exclusive owner, or null
    ULONG OwnerCount;     // recursion depth of the exclusive owner
} ERESOURCE, *PERESOURCE;

NTSTATUS ExInitializeResourceLite(PERESOURCE Resource);
NTSTATUS ExDeleteResourceLite(PERESOURCE Resource);
BOOLEAN ExAcquireResourceExclusiveLite(PERESOURCE Resource, BOOLEAN Wait);
VOID ExReleaseResourceLite(PERESOURCE Resource);
BOOLEAN ExIsResourceAcquiredExclusiveLite(PERESOURCE Resource);

// ---------------------------------------------------------------------------
// I/O manager: driver and device objects, request packets

#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CREATE_NAMED_PIPE 0x01
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_READ 0x03
#define IRP_MJ_WRITE 0x04
#define IRP_MJ_QUERY_INFORMATION 0x05
#define IRP_MJ_FLUSH_BUFFERS 0x09
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_INTERNAL_DEVICE_CONTROL 0x0f
#define IRP_MJ_SHUTDOWN 0x10
#define IRP_MJ_CLEANUP 0x12
#define IRP_MJ_POWER 0x16
#define IRP_MJ_SYSTEM_CONTROL 0x17
#define IRP_MJ_PNP 0x1b
#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

#define IRP_MN_START_DEVICE 0x00
#define IRP_MN_QUERY_REMOVE_DEVICE 0x01
#define IRP_MN_REMOVE_DEVICE 0x02
#define IRP_MN_CANCEL_REMOVE_DEVICE 0x03
#define IRP_MN_STOP_DEVICE 0x04
#define IRP_MN_QUERY_STOP_DEVICE 0x05
#define IRP_MN_CANCEL_STOP_DEVICE 0x06
#define IRP_MN_QUERY_DEVICE_RELATIONS 0x07
#define IRP_MN_QUERY_CAPABILITIES 0x09
#define IRP_MN_QUERY_ID 0x13
#define IRP_MN_DEVICE_USAGE_NOTIFICATION 0x16
#define IRP_MN_SURPRISE_REMOVAL 0x17
#define IRP_MN_DEVICE_ENUMERATED 0x19
#define IRP_MN_WAIT_WAKE 0x00
#define IRP_MN_POWER_SEQUENCE 0x01
#define IRP_MN_SET_POWER 0x02
#define IRP_MN_QUERY_POWER 0x03

#define FILE_DEVICE_UNKNOWN 0x00000022
#define FILE_DEVICE_ACPI 0x00000032
#define METHOD_BUFFERED 0
#define FILE_ANY_ACCESS 0
#define FILE_READ_ACCESS 0x0001
#define FILE_WRITE_ACCESS 0x0002
#define CTL_CODE(DeviceType, Function, Method, Access)                                             \
    (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))

#define DO_BUFFERED_IO 0x00000004
#define DO_EXCLUSIVE 0x00000008
#define DO_DEVICE_INITIALIZING 0x00000080
#define DO_POWER_PAGABLE 0x00002000

#define IO_NO_INCREMENT 0
#define SL_PENDING_RETURNED 0x01
#define SL_INVOKE_ON_CANCEL 0x20
#define SL_INVOKE_ON_SUCCESS 0x40
#define SL_INVOKE_ON_ERROR 0x80

typedef struct _IO_STATUS_BLOCK {
    NTSTATUS Status;       // final status of the request
    ULONG_PTR Information; // bytes transferred, or request-specific
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

typedef struct _DEVICE_OBJECT* PDEVICE_OBJECT;
typedef struct _DRIVER_OBJECT* PDRIVER_OBJECT;
typedef struct _IRP* PIRP;

typedef NTSTATUS DRIVER_DISPATCH(PDEVICE_OBJECT DeviceObject, PIRP Irp);
typedef DRIVER_DISPATCH* PDRIVER_DISPATCH;
typedef NTSTATUS DRIVER_ADD_DEVICE(PDRIVER_OBJECT DriverObject,
                                   PDEVICE_OBJECT PhysicalDeviceObject);
typedef DRIVER_ADD_DEVICE* PDRIVER_ADD_DEVICE;
typedef VOID DRIVER_UNLOAD(PDRIVER_OBJECT DriverObject);
typedef DRIVER_UNLOAD* PDRIVER_UNLOAD;
typedef NTSTATUS DRIVER_INITIALIZE(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
typedef DRIVER_INITIALIZE* PDRIVER_INITIALIZE;
typedef NTSTATUS IO_COMPLETION_ROUTINE(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
typedef IO_COMPLETION_ROUTINE* PIO_COMPLETION_ROUTINE;

typedef struct _DRIVER_EXTENSION {
    PDRIVER_OBJECT DriverObject;   // the driver object this extends
    PDRIVER_ADD_DEVICE AddDevice;  // called by Plug and Play for each device found
    UNICODE_STRING ServiceKeyName; // name of the driver's service key
} DRIVER_EXTENSION, *PDRIVER_EXTENSION;

typedef struct _DRIVER_OBJECT {
    CSHORT Type;                       // object type
    CSHORT Size;                       // size of this record
    PDEVICE_OBJECT DeviceObject;       // first device object the driver created
    ULONG Flags;                       // driver flags
    PDRIVER_EXTENSION DriverExtension; // holds the add-device routine
    UNICODE_STRING DriverName;         // "\Driver\..." name
    PDRIVER_INITIALIZE DriverInit;     // entry routine
    PDRIVER_UNLOAD DriverUnload;       // unload routine, may be null
    PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1]; // dispatch table
} DRIVER_OBJECT;

typedef struct _DEVICE_OBJECT {
    CSHORT Type;                   // object type
    USHORT Size;                   // size of the object and its extension
    LONG ReferenceCount;           // open handles and references
    PDRIVER_OBJECT DriverObject;   // owning driver
    PDEVICE_OBJECT NextDevice;     // next device of the same driver
    PDEVICE_OBJECT AttachedDevice; // device attached directly above, or null
    ULONG Flags;                   // DO_ flags
    ULONG Characteristics;         // FILE_ characteristics
    PVOID DeviceExtension;         // the driver's per-device record
    ULONG DeviceType;              // FILE_DEVICE_ type
    CCHAR StackSize;               // stack locations a request to this device needs
} DEVICE_OBJECT;

typedef enum _SYSTEM_POWER_STATE {
    PowerSystemUnspecified = 0,
    PowerSystemWorking = 1,
    PowerSystemSleeping1 = 2,
    PowerSystemSleeping2 = 3,
    PowerSystemSleeping3 = 4,
    PowerSystemHibernate = 5,
    PowerSystemShutdown = 6,
    PowerSystemMaximum = 7
} SYSTEM_POWER_STATE;

typedef enum _DEVICE_POWER_STATE {
    PowerDeviceUnspecified = 0,
    PowerDeviceD0 = 1,
    PowerDeviceD1 = 2,
    PowerDeviceD2 = 3,
    PowerDeviceD3 = 4
} DEVICE_POWER_STATE;

typedef enum _POWER_STATE_TYPE { SystemPowerState = 0, DevicePowerState = 1 } POWER_STATE_TYPE;

typedef union _POWER_STATE {
    SYSTEM_POWER_STATE SystemState; // for SystemPowerState requests
    DEVICE_POWER_STATE DeviceState; // for DevicePowerState requests
} POWER_STATE;

typedef enum _POWER_ACTION {
    PowerActionNone = 0,
    PowerActionSleep = 2,
    PowerActionHibernate = 3,
    PowerActionShutdown = 4
} POWER_ACTION;

typedef struct _SYSTEM_POWER_STATE_CONTEXT {
    union {
        struct {
            ULONG Reserved1 : 8;             // not used
            ULONG TargetSystemState : 4;     // the state the transition ends in
            ULONG EffectiveSystemState : 4;  // the state actually entered
            ULONG CurrentSystemState : 4;    // the state before the transition
            ULONG IgnoreHibernationPath : 1; // not used
            ULONG PseudoTransition : 1;      // not used
            ULONG Reserved2 : 10;            // not used
        };
        ULONG ContextAsUlong; // all of it as one value
    };
} SYSTEM_POWER_STATE_CONTEXT;

struct _IO_SECURITY_CONTEXT;

typedef struct _IO_STACK_LOCATION {
    UCHAR MajorFunction; // IRP_MJ_ code
    UCHAR MinorFunction; // IRP_MN_ code
    UCHAR Flags;         // request-specific flags
    UCHAR Control;       // SL_ flags: pending returned, completion routine conditions
    union {
        struct {
            struct _IO_SECURITY_CONTEXT* SecurityContext; // access state of the open
            ULONG Options;                                // create options and disposition
            USHORT FileAttributes;                        // attributes of a created file
            USHORT ShareAccess;                           // share mode
            ULONG EaLength;                               // extended attribute bytes
        } Create;
        struct {
            ULONG Length;             // bytes to read
            ULONG Key;                // byte-range lock key
            LARGE_INTEGER ByteOffset; // where to read
        } Read;
        struct {
            ULONG Length;             // bytes to write
            ULONG Key;                // byte-range lock key
            LARGE_INTEGER ByteOffset; // where to write
        } Write;
        struct {
            ULONG OutputBufferLength; // capacity of the output
            ULONG InputBufferLength;  // bytes of input
            ULONG IoControlCode;      // the control code
            PVOID Type3InputBuffer;   // caller's input for METHOD_NEITHER
        } DeviceIoControl;
        struct {
            union {
                ULONG SystemContext;                                // as one value
                SYSTEM_POWER_STATE_CONTEXT SystemPowerStateContext; // its fields
            };
            POWER_STATE_TYPE Type;     // system or device power
            POWER_STATE State;         // the state requested
            POWER_ACTION ShutdownType; // why
        } Power;
        struct {
            PVOID Argument1; // request-specific
            PVOID Argument2; // request-specific
            PVOID Argument3; // request-specific
            PVOID Argument4; // request-specific
        } Others;
    } Parameters;
    PDEVICE_OBJECT DeviceObject;              // device this location was sent to
    struct _FILE_OBJECT* FileObject;          // file object of the request
    PIO_COMPLETION_ROUTINE CompletionRoutine; // set by the driver above, may be null
    PVOID Context;                            // its context
} IO_STACK_LOCATION, *PIO_STACK_LOCATION;

typedef struct _IRP {
    CSHORT Type; // object type
    USHORT Size; // size including stack locations
    ULONG Flags; // IRP_ flags
    union {
        PVOID SystemBuffer; // buffered I/O: the kernel's copy of the data
    } AssociatedIrp;
    IO_STATUS_BLOCK IoStatus;      // status and information set by drivers
    KPROCESSOR_MODE RequestorMode; // mode of the sender
    BOOLEAN PendingReturned;       // a lower driver returned STATUS_PENDING
    CHAR StackCount;               // number of stack locations
    CHAR CurrentLocation;          // index of the current location, counting down
    BOOLEAN Cancel;                // cancel requested
    PIO_STATUS_BLOCK UserIosb;     // receives IoStatus at completion
    PKEVENT UserEvent;             // signalled at completion
    PVOID UserBuffer;              // caller's output buffer
    struct _MDL* MdlAddress;       // direct I/O: the caller's locked output buffer
    struct {
        struct {
            PETHREAD Thread;                         // sending thread
            PIO_STACK_LOCATION CurrentStackLocation; // current location
        } Overlay;
    } Tail;
} IRP;

inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp) {
    return Irp->Tail.Overlay.CurrentStackLocation;
}
inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP Irp) {
    return Irp->Tail.Overlay.CurrentStackLocation - 1;
}
inline VOID IoSkipCurrentIrpStackLocation(PIRP Irp) {
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
}
inline VOID IoCopyCurrentIrpStackLocationToNext(PIRP Irp) {
    PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(Irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    *next = *current;
    next->Control = 0;
    next->CompletionRoutine = nullptr;
    next->Context = nullptr;
}
inline VOID IoMarkIrpPending(PIRP Irp) {
    IoGetCurrentIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED;
}
inline VOID IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE Routine, PVOID Context,
                                   BOOLEAN OnSuccess, BOOLEAN OnError, BOOLEAN OnCancel) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->CompletionRoutine = Routine;
    next->Context = Context;
    next->Control = 0;
    if (OnSuccess)
        next->Control |= SL_INVOKE_ON_SUCCESS;
    if (OnError)
        next->Control |= SL_INVOKE_ON_ERROR;
    if (OnCancel)
        next->Control |= SL_INVOKE_ON_CANCEL;
}

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                        PUNICODE_STRING DeviceName, ULONG DeviceType, ULONG DeviceCharacteristics,
                        BOOLEAN Exclusive, PDEVICE_OBJECT* DeviceObject);
VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject);
PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                           PDEVICE_OBJECT TargetDevice);
VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice);
NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName);
NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName);
NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost);
#define IoCallDriver IofCallDriver
#define IoCompleteRequest IofCompleteRequest
PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                   PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                                   ULONG OutputBufferLength, BOOLEAN InternalDeviceIoControl,
                                   PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock);

// Work items

typedef struct HkWorkItem IO_WORKITEM;
typedef IO_WORKITEM* PIO_WORKITEM;
typedef VOID IO_WORKITEM_ROUTINE(PDEVICE_OBJECT DeviceObject, PVOID Context);
typedef IO_WORKITEM_ROUTINE* PIO_WORKITEM_ROUTINE;
typedef enum _WORK_QUEUE_TYPE {
    CriticalWorkQueue = 0,
    DelayedWorkQueue = 1,
    HyperCriticalWorkQueue = 2
} WORK_QUEUE_TYPE;

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject);
VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                     WORK_QUEUE_TYPE QueueType, PVOID Context);
VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem);

// ---------------------------------------------------------------------------
// Run-time library

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                             BOOLEAN CaseInSensitive);
BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                              BOOLEAN CaseInSensitive);
WCHAR RtlUpcaseUnicodeChar(WCHAR SourceCharacter);
inline VOID RtlZeroMemory(PVOID Destination, SIZE_T Length) {
    __builtin_memset(Destination, 0, Length);
}
inline VOID RtlCopyMemory(PVOID Destination, const VOID* Source, SIZE_T Length) {
    __builtin_memcpy(Destination, Source, Length);
}
errno_t memcpy_s(void* Destination, size_t DestinationSize, const void* Source, size_t Count);
const WCHAR* wcschr(const WCHAR* String, WCHAR Character);
WCHAR* wcschr(WCHAR* String, WCHAR Character);
size_t wcsnlen(const WCHAR* String, size_t MaximumCount);
size_t wcslen(const WCHAR* String);
int _wcsnicmp(const WCHAR* String1, const WCHAR* String2, size_t Count);
errno_t wcscpy_s(WCHAR* Destination, size_t DestinationCount, const WCHAR* Source);
NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source);

// The platform's list routines are forced inline, so a fast fail on a corrupt
// list names the routine that used the list, whatever the optimisation level.
#define HK_FORCEINLINE inline __attribute__((always_inline))
HK_FORCEINLINE VOID InitializeListHead(PLIST_ENTRY ListHead) {
    ListHead->Flink = ListHead->Blink = ListHead;
}
HK_FORCEINLINE BOOLEAN IsListEmpty(const LIST_ENTRY* ListHead) {
    return ListHead->Flink == ListHead;
}
VOID HkFastFailCorruptList(PLIST_ENTRY Entry);
HK_FORCEINLINE VOID InsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry) {
    PLIST_ENTRY last = ListHead->Blink;
    if (last->Flink != ListHead)
        HkFastFailCorruptList(ListHead);
    Entry->Flink = ListHead;
    Entry->Blink = last;
    last->Flink = Entry;
    ListHead->Blink = Entry;
}
HK_FORCEINLINE PLIST_ENTRY RemoveHeadList(PLIST_ENTRY ListHead) {
    PLIST_ENTRY entry = ListHead->Flink;
    PLIST_ENTRY next = entry->Flink;
    if (entry->Blink != ListHead || next->Blink != entry)
        HkFastFailCorruptList(entry);
    ListHead->Flink = next;
    next->Blink = ListHead;
    return entry;
}

// ---------------------------------------------------------------------------
// Kernel variables and run-time routine lookup

extern BOOLEAN KdDebuggerEnabled;
PVOID MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName);

// ---------------------------------------------------------------------------
// Host-only hooks used by the platform seam

// The exception the host kernel raises where the platform raises a
// structured exception (a fault on user memory, a failed probe).
struct HkRaisedException {
    NTSTATUS Code; // the platform's exception code
};

// Verifies that pageable code runs at or below APC_LEVEL.
VOID HkCheckPagedCode(const char* Routine);

#include "hostkernel/nt/mdl.h"
#include "hostkernel/nt/process.h"
#include "hostkernel/nt/registry.h"
#include "hostkernel/nt/files.h"
#include "hostkernel/nt/errorlog.h"
#include "hostkernel/nt/power.h"
#include "hostkernel/nt/security.h"
#include "hostkernel/nt/removal.h"
