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

// Every status the host kernel, the simulated machine or the driver
// produces, with the platform's mapping.
constexpr StatusMapping kMappings[] = {
    {0x00000000, ERROR_SUCCESS},
    {0x80000002, ERROR_NOACCESS},
    {0x80000005, ERROR_MORE_DATA},
    {0xC0000001, ERROR_GEN_FAILURE},
    {0xC0000002, ERROR_INVALID_FUNCTION},
    {0xC0000004, 24},
    {0xC0000005, ERROR_NOACCESS},
    {0xC0000008, ERROR_INVALID_HANDLE},
    {0xC000000D, ERROR_INVALID_PARAMETER},
    {0xC000000E, 433},
    {0xC0000010, ERROR_INVALID_FUNCTION},
    {0xC0000017, ERROR_NOT_ENOUGH_MEMORY},
    {0xC0000022, ERROR_ACCESS_DENIED},
    {0xC0000023, ERROR_INSUFFICIENT_BUFFER},
    {0xC0000033, ERROR_INVALID_NAME},
    {0xC0000034, ERROR_FILE_NOT_FOUND},
    {0xC0000035, 183},
    {0xC000003A, ERROR_PATH_NOT_FOUND},
    {0xC000003B, 161},
    {0xC0000044, 1816},
    {0xC0000056, ERROR_ACCESS_DENIED},
    {0xC0000058, 1305},
    {0xC0000061, 1314},
    {0xC0000079, 1338},
    {0xC000009A, ERROR_NO_SYSTEM_RESOURCES},
    {0xC000009D, ERROR_DEVICE_NOT_CONNECTED},
    {0xC00000BB, ERROR_NOT_SUPPORTED},
    {0xC00000C0, 55},
    {0xC00000E5, 1359},
    {0xC0000184, 22},
    {0xC0000185, 1117},
    {0xC0000421, 537},
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
    {22, "The device does not recognize the command."},
    {24, "The program issued a command but the command length is incorrect."},
    {31, "A device attached to the system is not functioning."},
    {50, "The request is not supported."},
    {55, "The specified network resource or device is no longer available."},
    {87, "The parameter is incorrect."},
    {122, "The data area passed to a system call is too small."},
    {123, "The filename, directory name, or volume label syntax is incorrect."},
    {161, "The specified path is invalid."},
    {183, "Cannot create a file when that file already exists."},
    {234, "More data is available."},
    {317, "The system cannot find message text for message number 0x%1 in the message file "
          "for %2."},
    {433, "A device which does not exist was specified."},
    {537, "Application verifier has found an error in the current process."},
    {998, "Invalid access to memory location."},
    {1117, "The request could not be performed because of an I/O device error."},
    {1167, "The device is not connected."},
    {1305, "The revision level is unknown."},
    {1314, "A required privilege is not held by the client."},
    {1338, "The security descriptor structure is invalid."},
    {1359, "An internal error occurred."},
    {1450, "Insufficient system resources exist to complete the requested service."},
    {1816, "Not enough quota is available to process this command."},
};

} // namespace

ULONG RtlNtStatusToDosError(NTSTATUS Status) {
    for (const StatusMapping& mapping : kMappings) {
        if (mapping.Status == static_cast<uint32_t>(Status)) {
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
