// The platform's system error codes as user mode sees them: the mapping
// from a request's status to the last error, and the system's message texts
// for the codes that mapping produces.
#include "hostkernel/user/user_api.h"

#include <cstring>

namespace {

struct StatusMapping {
    uint32_t Status; // NTSTATUS, as an unsigned value
    DWORD Error;     // the system error code it becomes
};

// The platform's documented mapping (the knowledge-base table "Mapping NT
// status error codes to Win32 error codes") for every status the host
// kernel, the simulated machine or the driver produces, and the common
// statuses of the I/O, object, security and device paths besides.
// Ascending by status.
constexpr StatusMapping kMappings[] = {
    {0x00000000, 0},    // STATUS_SUCCESS
    {0x00000102, 1460}, // STATUS_TIMEOUT: ERROR_TIMEOUT
    {0x00000103, 997},  // STATUS_PENDING: ERROR_IO_PENDING
    {0x00000105, 234},  // STATUS_MORE_ENTRIES: ERROR_MORE_DATA
    {0x00000106, 1300}, // STATUS_NOT_ALL_ASSIGNED
    {0x00000107, 1301}, // STATUS_SOME_NOT_MAPPED
    {0x40000000, 183},  // STATUS_OBJECT_NAME_EXISTS: ERROR_ALREADY_EXISTS
    {0x80000002, 998},  // STATUS_DATATYPE_MISALIGNMENT: ERROR_NOACCESS
    {0x80000005, 234},  // STATUS_BUFFER_OVERFLOW: ERROR_MORE_DATA
    {0x80000006, 18},   // STATUS_NO_MORE_FILES
    {0x80000011, 170},  // STATUS_DEVICE_BUSY: ERROR_BUSY
    {0x8000001A, 259},  // STATUS_NO_MORE_ENTRIES: ERROR_NO_MORE_ITEMS
    {0xC0000001, 31},   // STATUS_UNSUCCESSFUL: ERROR_GEN_FAILURE
    {0xC0000002, 1},    // STATUS_NOT_IMPLEMENTED: ERROR_INVALID_FUNCTION
    {0xC0000003, 87},   // STATUS_INVALID_INFO_CLASS: ERROR_INVALID_PARAMETER
    {0xC0000004, 24},   // STATUS_INFO_LENGTH_MISMATCH: ERROR_BAD_LENGTH
    {0xC0000005, 998},  // STATUS_ACCESS_VIOLATION: ERROR_NOACCESS
    {0xC0000008, 6},    // STATUS_INVALID_HANDLE
    {0xC000000D, 87},   // STATUS_INVALID_PARAMETER
    {0xC000000E, 2},    // STATUS_NO_SUCH_DEVICE: ERROR_FILE_NOT_FOUND
    {0xC000000F, 2},    // STATUS_NO_SUCH_FILE: ERROR_FILE_NOT_FOUND
    {0xC0000010, 1},    // STATUS_INVALID_DEVICE_REQUEST: ERROR_INVALID_FUNCTION
    {0xC0000011, 38},   // STATUS_END_OF_FILE: ERROR_HANDLE_EOF
    {0xC0000013, 21},   // STATUS_NO_MEDIA_IN_DEVICE: ERROR_NOT_READY
    {0xC0000016, 234},  // STATUS_MORE_PROCESSING_REQUIRED: ERROR_MORE_DATA
    {0xC0000017, 8},    // STATUS_NO_MEMORY: ERROR_NOT_ENOUGH_MEMORY
    {0xC0000022, 5},    // STATUS_ACCESS_DENIED
    {0xC0000023, 122},  // STATUS_BUFFER_TOO_SMALL: ERROR_INSUFFICIENT_BUFFER
    {0xC0000024, 6},    // STATUS_OBJECT_TYPE_MISMATCH: ERROR_INVALID_HANDLE
    {0xC0000030, 87},   // STATUS_INVALID_PARAMETER_MIX
    {0xC0000033, 123},  // STATUS_OBJECT_NAME_INVALID: ERROR_INVALID_NAME
    {0xC0000034, 2},    // STATUS_OBJECT_NAME_NOT_FOUND: ERROR_FILE_NOT_FOUND
    {0xC0000035, 183},  // STATUS_OBJECT_NAME_COLLISION: ERROR_ALREADY_EXISTS
    {0xC0000039, 161},  // STATUS_OBJECT_PATH_INVALID: ERROR_BAD_PATHNAME
    {0xC000003A, 3},    // STATUS_OBJECT_PATH_NOT_FOUND: ERROR_PATH_NOT_FOUND
    {0xC000003B, 161},  // STATUS_OBJECT_PATH_SYNTAX_BAD: ERROR_BAD_PATHNAME
    {0xC000003E, 23},   // STATUS_DATA_ERROR: ERROR_CRC
    {0xC0000043, 32},   // STATUS_SHARING_VIOLATION
    {0xC0000044, 1816}, // STATUS_QUOTA_EXCEEDED: ERROR_NOT_ENOUGH_QUOTA
    {0xC0000054, 33},   // STATUS_FILE_LOCK_CONFLICT: ERROR_LOCK_VIOLATION
    {0xC0000056, 5},    // STATUS_DELETE_PENDING: ERROR_ACCESS_DENIED
    {0xC0000058, 1305}, // STATUS_UNKNOWN_REVISION
    {0xC0000059, 1306}, // STATUS_REVISION_MISMATCH
    {0xC0000061, 1314}, // STATUS_PRIVILEGE_NOT_HELD
    {0xC0000073, 1332}, // STATUS_NONE_MAPPED
    {0xC0000077, 1336}, // STATUS_INVALID_ACL
    {0xC0000078, 1337}, // STATUS_INVALID_SID
    {0xC0000079, 1338}, // STATUS_INVALID_SECURITY_DESCR
    {0xC000007F, 112},  // STATUS_DISK_FULL
    {0xC0000095, 534},  // STATUS_INTEGER_OVERFLOW: ERROR_ARITHMETIC_OVERFLOW
    {0xC0000099, 1344}, // STATUS_ALLOTTED_SPACE_EXCEEDED
    {0xC000009A, 1450}, // STATUS_INSUFFICIENT_RESOURCES: ERROR_NO_SYSTEM_RESOURCES
    {0xC000009C, 23},   // STATUS_DEVICE_DATA_ERROR: ERROR_CRC
    {0xC000009D, 1167}, // STATUS_DEVICE_NOT_CONNECTED
    {0xC00000A2, 19},   // STATUS_MEDIA_WRITE_PROTECTED: ERROR_WRITE_PROTECT
    {0xC00000A3, 21},   // STATUS_DEVICE_NOT_READY: ERROR_NOT_READY
    {0xC00000B5, 121},  // STATUS_IO_TIMEOUT: ERROR_SEM_TIMEOUT
    {0xC00000BA, 5},    // STATUS_FILE_IS_A_DIRECTORY: ERROR_ACCESS_DENIED
    {0xC00000BB, 50},   // STATUS_NOT_SUPPORTED
    {0xC00000C0, 55},   // STATUS_DEVICE_DOES_NOT_EXIST: ERROR_DEV_NOT_EXIST
    {0xC00000E5, 1359}, // STATUS_INTERNAL_ERROR
    {0xC00000E7, 1361}, // STATUS_BAD_DESCRIPTOR_FORMAT
    {0xC00000EF, 87},   // STATUS_INVALID_PARAMETER_1 ...
    {0xC00000F0, 87},   {0xC00000F1, 87}, {0xC00000F2, 87}, {0xC00000F3, 87},
    {0xC00000F4, 87},   {0xC00000F5, 87}, {0xC00000F6, 87}, {0xC00000F7, 87},
    {0xC00000F8, 87},   {0xC00000F9, 87}, {0xC00000FA, 87}, // ... _12
    {0xC0000101, 145},  // STATUS_DIRECTORY_NOT_EMPTY: ERROR_DIR_NOT_EMPTY
    {0xC0000103, 267},  // STATUS_NOT_A_DIRECTORY: ERROR_DIRECTORY
    {0xC0000106, 206},  // STATUS_NAME_TOO_LONG: ERROR_FILENAME_EXCED_RANGE
    {0xC000010A, 5},    // STATUS_PROCESS_IS_TERMINATING: ERROR_ACCESS_DENIED
    {0xC0000120, 995},  // STATUS_CANCELLED: ERROR_OPERATION_ABORTED
    {0xC000017C, 1018}, // STATUS_KEY_DELETED
    {0xC0000181, 1021}, // STATUS_CHILD_MUST_BE_VOLATILE
    {0xC0000184, 22},   // STATUS_INVALID_DEVICE_STATE: ERROR_BAD_COMMAND
    {0xC0000185, 1117}, // STATUS_IO_DEVICE_ERROR
    {0xC0000225, 1168}, // STATUS_NOT_FOUND
    {0xC0000421, 537},  // STATUS_VERIFIER_STOP
};

struct ErrorText {
    DWORD Error;      // system error code
    const char* Text; // its message, without the line end
};

constexpr ErrorText kTexts[] = {
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {18, "There are no more files."},
    {19, "The media is write protected."},
    {21, "The device is not ready."},
    {22, "The device does not recognize the command."},
    {23, "Data error (cyclic redundancy check)."},
    {24, "The program issued a command but the command length is incorrect."},
    {31, "A device attached to the system is not functioning."},
    {32, "The process cannot access the file because it is being used by another process."},
    {33, "The process cannot access the file because another process has locked a portion of the "
         "file."},
    {38, "Reached the end of the file."},
    {50, "The request is not supported."},
    {55, "The specified network resource or device is no longer available."},
    {87, "The parameter is incorrect."},
    {112, "There is not enough space on the disk."},
    {121, "The semaphore timeout period has expired."},
    {122, "The data area passed to a system call is too small."},
    {123, "The filename, directory name, or volume label syntax is incorrect."},
    {145, "The directory is not empty."},
    {161, "The specified path is invalid."},
    {170, "The requested resource is in use."},
    {183, "Cannot create a file when that file already exists."},
    {206, "The filename or extension is too long."},
    {234, "More data is available."},
    {259, "No more data is available."},
    {267, "The directory name is invalid."},
    {317, "The system cannot find message text for message number 0x%1 in the message file "
          "for %2."},
    {433, "A device which does not exist was specified."},
    {534, "Arithmetic result exceeded 32 bits."},
    {537, "Application verifier has found an error in the current process."},
    {995, "The I/O operation has been aborted because of either a thread exit or an application "
          "request."},
    {997, "Overlapped I/O operation is in progress."},
    {998, "Invalid access to memory location."},
    {1018, "Illegal operation attempted on a registry key that has been marked for deletion."},
    {1021, "Cannot create a stable subkey under a volatile parent key."},
    {1117, "The request could not be performed because of an I/O device error."},
    {1167, "The device is not connected."},
    {1168, "Element not found."},
    {1300, "Not all privileges or groups referenced are assigned to the caller."},
    {1301, "Some mapping between account names and security IDs was not done."},
    {1305, "The revision level is unknown."},
    {1306, "Indicates two revision levels are incompatible."},
    {1314, "A required privilege is not held by the client."},
    {1332, "No mapping between account names and security IDs was done."},
    {1336, "The access control list (ACL) structure is invalid."},
    {1337, "The security ID structure is invalid."},
    {1338, "The security descriptor structure is invalid."},
    {1344, "No more memory is available for security information updates."},
    {1359, "An internal error occurred."},
    {1361, "A security descriptor is not in the right format (absolute or self-relative)."},
    {1450, "Insufficient system resources exist to complete the requested service."},
    {1460, "This operation returned because the timeout period expired."},
    {1816, "Not enough quota is available to process this command."},
};

} // namespace

// A customer's status (bit 29 set) passes through unchanged, and a system
// error code wrapped in a status of the Win32 facility comes out unwrapped,
// as on the platform; anything the table does not know has no message.
ULONG RtlNtStatusToDosError(NTSTATUS Status) {
    uint32_t status = static_cast<uint32_t>(Status);
    if ((status & 0x20000000) != 0) {
        return status;
    }
    if ((status & 0xFFFF0000) == 0xC0070000 || (status & 0xFFFF0000) == 0x80070000) {
        return status & 0xFFFF;
    }
    for (const StatusMapping& mapping : kMappings) {
        if (mapping.Status == status) {
            return mapping.Error;
        }
    }
    return ERROR_MR_MID_NOT_FOUND;
}

DWORD FormatMessageW(DWORD Flags, LPVOID Source, DWORD MessageId, DWORD LanguageId, LPWSTR Buffer,
                     DWORD Size, void* Arguments) {
    UNREFERENCED_PARAMETER(Source);
    UNREFERENCED_PARAMETER(LanguageId);
    UNREFERENCED_PARAMETER(Arguments);
    if ((Flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || Buffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    for (const ErrorText& text : kTexts) {
        if (text.Error != MessageId) {
            continue;
        }
        size_t length = std::strlen(text.Text);
        if (length + 3 > Size) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        for (size_t i = 0; i < length; i++) {
            Buffer[i] = static_cast<WCHAR>(text.Text[i]);
        }
        Buffer[length] = u'\r';
        Buffer[length + 1] = u'\n';
        Buffer[length + 2] = 0;
        return static_cast<DWORD>(length + 2);
    }
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return 0;
}
