// The few routines of the platform's user-mode API through which a program
// reaches a driver (CreateFileW, DeviceIoControl, CloseHandle, the last
// error and its message), as the host kernel provides them to programs of
// the simulated machine. They run in the calling simulated thread: a program
// calls them inside hk::RunAs for one of its process's threads, and every
// request they send comes from that thread. User-mode code written against
// these names compiles unchanged against the platform's <windows.h>.
#pragma once

#include "hostkernel/nt.h"

typedef uint32_t DWORD;
typedef DWORD* LPDWORD;
typedef int BOOL;
typedef void* LPVOID;
typedef const WCHAR* LPCWSTR;
typedef WCHAR* LPWSTR;

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)

#define OPEN_EXISTING 3u

#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200u
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000u

// The system error codes the stand-ins produce.
#define ERROR_SUCCESS 0u
#define ERROR_INVALID_FUNCTION 1u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_GEN_FAILURE 31u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_ALREADY_EXISTS 183u
#define ERROR_INVALID_NAME 123u
#define ERROR_MORE_DATA 234u
#define ERROR_MR_MID_NOT_FOUND 317u
#define ERROR_NOACCESS 998u
#define ERROR_DEVICE_NOT_CONNECTED 1167u
#define ERROR_NO_SYSTEM_RESOURCES 1450u

// Opens a device by its user-mode path ("\\.\NAME", the link \DosDevices\NAME):
// the I/O manager sends IRP_MJ_CREATE from the calling thread, and the
// handle belongs to the calling process. INVALID_HANDLE_VALUE on failure,
// with the last error set.
HANDLE CreateFileW(LPCWSTR FileName, DWORD DesiredAccess, DWORD ShareMode, LPVOID Security,
                   DWORD CreationDisposition, DWORD FlagsAndAttributes, HANDLE Template);

// Sends IRP_MJ_DEVICE_CONTROL on an open device from the calling thread and
// waits for its completion. FALSE on failure, with the last error set to the
// request's status as RtlNtStatusToDosError maps it.
BOOL DeviceIoControl(HANDLE Device, DWORD IoControlCode, LPVOID InBuffer, DWORD InBufferSize,
                     LPVOID OutBuffer, DWORD OutBufferSize, LPDWORD BytesReturned,
                     LPVOID Overlapped);

// Closes a handle: cleanup and close requests for the last handle to a device.
BOOL CloseHandle(HANDLE Object);

// The calling thread's last error, and the status it came from (kept by
// the platform beside it, read through ntdll's RtlGetLastNtStatus).
DWORD GetLastError();

// A program of the simulated machine is host code, so its own variables lie
// in host memory, which the kernel treats as no process's memory. A pointer
// that the kernel is to follow inside a request (such as a command's name
// list) goes through this first: data already in the calling process's user
// memory stays where it is, anything else is copied into new pages of that
// process. On the platform the program's memory is user memory already.
const void* VktCallerMemory(const void* data, size_t bytes);
void SetLastError(DWORD Error);
NTSTATUS RtlGetLastNtStatus();

// The system error code for a status, as the platform maps it;
// ERROR_MR_MID_NOT_FOUND when it has none.
ULONG RtlNtStatusToDosError(NTSTATUS Status);

// The system's text for an error code (FORMAT_MESSAGE_FROM_SYSTEM only, no
// inserts), ending in "\r\n" as the platform's does. Returns the characters
// written, 0 when the code has no text or the buffer is too small.
DWORD FormatMessageW(DWORD Flags, LPVOID Source, DWORD MessageId, DWORD LanguageId, LPWSTR Buffer,
                     DWORD Size, void* Arguments);

// Defines a DOS device name for the calling process's logon session; with
// DDD_RAW_TARGET_PATH the target is an NT name, else a DOS path (taken as
// "\??\" and the path). A standard user may not define a name the global
// directory holds (ERROR_ACCESS_DENIED): a private drive letter of that name
// would change what the user's programs open under it.
#define DDD_RAW_TARGET_PATH 0x00000001u
BOOL DefineDosDeviceW(DWORD Flags, LPCWSTR DeviceName, LPCWSTR TargetPath);

// The native creation of a symbolic link: "\??\NAME" (or "\DosDevices\NAME")
// in the caller's logon session's directory, which the caller owns, so a name
// the global directory holds may be shadowed there; "\GLOBAL??\NAME" for
// administrators only. The link lives while the handle is open.
NTSTATUS NtCreateSymbolicLinkObject(PHANDLE LinkHandle, ACCESS_MASK DesiredAccess,
                                    POBJECT_ATTRIBUTES ObjectAttributes,
                                    PUNICODE_STRING LinkTarget);

namespace hk {

// Closes every handle a process still holds, as the platform does when the
// process ends; the devices receive cleanup and close.
void CloseProcessHandles(HkProcess* process);

} // namespace hk
