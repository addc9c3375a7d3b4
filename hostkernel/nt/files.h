// Files and the object manager's object routines as drivers reach them:
// opening files and directories by name, file objects, object types,
// references, names of objects, process handles and the image file name of
// a process.
#pragma once

#ifndef STATUS_INVALID_INFO_CLASS
#define STATUS_INVALID_INFO_CLASS ((NTSTATUS)0xC0000003L)
#endif
#define STATUS_FILE_IS_A_DIRECTORY ((NTSTATUS)0xC00000BAL)
#define STATUS_INVALID_PARAMETER_2 ((NTSTATUS)0xC00000F0L)
#define STATUS_NOT_A_DIRECTORY ((NTSTATUS)0xC0000103L)
#define STATUS_NAME_TOO_LONG ((NTSTATUS)0xC0000106L)

// ---------------------------------------------------------------------------
// Object types and file objects

// The kernel's record of one kind of object; drivers only pass it along.
typedef struct HkObjectType* POBJECT_TYPE;

// The object types the kernel exports by name.
extern POBJECT_TYPE IoFileObjectType;
extern POBJECT_TYPE PsProcessType;

// An open file or directory, or an open of a device: then FileName is the
// remaining name after the device's own (empty for the device itself).
typedef struct _FILE_OBJECT {
    CSHORT Type;                            // object type (5)
    CSHORT Size;                            // size of this record
    PDEVICE_OBJECT DeviceObject;            // the device opened; null on the host's volumes
    PVOID FsContext;                        // the file system's record of the file
    ULONG Flags;                            // FO_ flags
    struct _FILE_OBJECT* RelatedFileObject; // the open file a relative name was opened from
    UNICODE_STRING FileName;                // path on the volume, or inside the device
} FILE_OBJECT, *PFILE_OBJECT;

typedef struct _OBJECT_NAME_INFORMATION {
    UNICODE_STRING Name; // the full name; its characters follow the record
} OBJECT_NAME_INFORMATION, *POBJECT_NAME_INFORMATION;

typedef struct _OBJECT_HANDLE_INFORMATION {
    ULONG HandleAttributes;    // OBJ_ flags of the handle
    ACCESS_MASK GrantedAccess; // access the handle grants
} OBJECT_HANDLE_INFORMATION, *POBJECT_HANDLE_INFORMATION;

typedef struct _ACCESS_STATE* PACCESS_STATE;

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                   POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                   PVOID* Object, POBJECT_HANDLE_INFORMATION HandleInformation);
LONG_PTR ObfDereferenceObject(PVOID Object);
#define ObDereferenceObject ObfDereferenceObject
NTSTATUS ObOpenObjectByPointer(PVOID Object, ULONG HandleAttributes,
                               PACCESS_STATE PassedAccessState, ACCESS_MASK DesiredAccess,
                               POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode, PHANDLE Handle);
NTSTATUS ObQueryNameString(PVOID Object, POBJECT_NAME_INFORMATION ObjectNameInfo, ULONG Length,
                           PULONG ReturnLength);

// ---------------------------------------------------------------------------
// Opening files

#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_NORMAL 0x00000080

#define FILE_SUPERSEDE 0x00000000
#define FILE_OPEN 0x00000001
#define FILE_CREATE 0x00000002
#define FILE_OPEN_IF 0x00000003
#define FILE_OVERWRITE 0x00000004
#define FILE_OVERWRITE_IF 0x00000005

#define FILE_DIRECTORY_FILE 0x00000001
#define FILE_SYNCHRONOUS_IO_NONALERT 0x00000020
#define FILE_NON_DIRECTORY_FILE 0x00000040

#define FILE_OPENED 0x00000001

NTSTATUS ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                      POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                      PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
                      ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength);

// ---------------------------------------------------------------------------
// Process information

typedef enum _PROCESSINFOCLASS {
    ProcessBasicInformation = 0,
    ProcessImageFileName = 27, // the image's full NT path, as a counted string and its text
} PROCESSINFOCLASS;

// The handle that names the calling process without opening it.
#define NtCurrentProcess() ((HANDLE)(LONG_PTR)-1)

NTSTATUS ZwQueryInformationProcess(HANDLE ProcessHandle, PROCESSINFOCLASS ProcessInformationClass,
                                   PVOID ProcessInformation, ULONG ProcessInformationLength,
                                   PULONG ReturnLength);
