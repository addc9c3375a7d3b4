// User-mode programs' way to a driver: opening a device by its link through
// the I/O manager's open (which checks the device's DACL against the
// process's token), control requests from the calling thread, closing, and
// the last error with the platform's mapping from status to system error
// code.
#include "hostkernel/user/user_api.h"

#include "hostkernel/io/device_open.h"
#include "hostkernel/ke/components.h"
#include "hostkernel/ob/dos_devices.h"

#include <algorithm>
#include <cstring>

namespace hk {

namespace {

constexpr NTSTATUS kInvalidHandle = static_cast<NTSTATUS>(0xC0000008L);
constexpr NTSTATUS kDeletePending = static_cast<NTSTATUS>(0xC0000056L);
const std::string kFileKind = "file";

// The thread's last error and the status it came from.
struct LastError {
    DWORD Error = ERROR_SUCCESS;      // GetLastError
    NTSTATUS Status = STATUS_SUCCESS; // RtlGetLastNtStatus
};

std::map<const HkThread*, LastError> g_lastErrors;

LastError& Last() {
    return g_lastErrors[K().Current];
}

BOOL Fail(NTSTATUS status) {
    Last() = LastError{RtlNtStatusToDosError(status), status};
    return FALSE;
}

bool DeviceExists(PDEVICE_OBJECT device) {
    const auto& devices = K().Devices;
    return std::find(devices.begin(), devices.end(), device) != devices.end();
}

// The open a handle of the calling process stands for, or null.
OpenFile* LookupFile(HANDLE handle) {
    HandleEntry* entry = LookupHandle(handle);
    if (entry == nullptr || entry->Kind != kFileKind) {
        return nullptr;
    }
    return static_cast<OpenFile*>(entry->Object.get());
}

} // namespace

void ResetUserApi() {
    g_lastErrors.clear();
}

void CloseProcessHandles(HkProcess* process) {
    for (HANDLE handle : ProcessHandles(process, kFileKind)) {
        CloseDevice(handle);
    }
    CloseSymbolicLinks(process);
}

} // namespace hk

using hk::K;

HANDLE CreateFileW(LPCWSTR FileName, DWORD DesiredAccess, DWORD ShareMode, LPVOID Security,
                   DWORD CreationDisposition, DWORD FlagsAndAttributes, HANDLE Template) {
    UNREFERENCED_PARAMETER(ShareMode);
    UNREFERENCED_PARAMETER(Security);
    UNREFERENCED_PARAMETER(FlagsAndAttributes);
    UNREFERENCED_PARAMETER(Template);
    // "\\.\NAME" is the user-mode spelling of "\??\NAME".
    const std::u16string prefix = u"\\\\.\\";
    std::u16string path = FileName != nullptr ? FileName : u"";
    if (CreationDisposition != OPEN_EXISTING || path.size() <= prefix.size() ||
        path.compare(0, prefix.size(), prefix) != 0) {
        hk::Fail(STATUS_OBJECT_NAME_INVALID);
        return INVALID_HANDLE_VALUE;
    }
    hk::OpenResult result =
        hk::OpenDevice(K().Current, u"\\??\\" + path.substr(prefix.size()), DesiredAccess);
    if (!NT_SUCCESS(result.Status)) {
        hk::Fail(result.Status);
        return INVALID_HANDLE_VALUE;
    }
    hk::Last() = hk::LastError{};
    return result.Handle;
}

BOOL DeviceIoControl(HANDLE Device, DWORD IoControlCode, LPVOID InBuffer, DWORD InBufferSize,
                     LPVOID OutBuffer, DWORD OutBufferSize, LPDWORD BytesReturned,
                     LPVOID Overlapped) {
    UNREFERENCED_PARAMETER(Overlapped);
    hk::OpenFile* file = hk::LookupFile(Device);
    if (file == nullptr) {
        return hk::Fail(hk::kInvalidHandle);
    }
    if (!hk::DeviceExists(file->Device)) {
        return hk::Fail(hk::kDeletePending);
    }
    hk::Request request;
    request.major = IRP_MJ_DEVICE_CONTROL;
    request.useParameters = true;
    request.parameters.FileObject = &file->Object;
    request.ioControlCode = IoControlCode;
    const auto* input = static_cast<const uint8_t*>(InBuffer);
    if (input != nullptr) {
        request.input.assign(input, input + InBufferSize);
    }
    request.outputLength = OutBuffer != nullptr ? OutBufferSize : 0;
    hk::Outcome outcome = hk::Send(file->Device, request);
    NTSTATUS status = outcome.completed ? outcome.ioStatus.Status : STATUS_INTERNAL_ERROR;
    size_t copied = std::min<size_t>(outcome.output.size(), request.outputLength);
    if (copied != 0) {
        std::memcpy(OutBuffer, outcome.output.data(), copied);
    }
    if (BytesReturned != nullptr) {
        *BytesReturned = static_cast<DWORD>(copied);
    }
    if (!NT_SUCCESS(status)) {
        return hk::Fail(status);
    }
    hk::Last() = hk::LastError{ERROR_SUCCESS, status};
    return TRUE;
}

BOOL CloseHandle(HANDLE Object) {
    if (hk::LookupFile(Object) == nullptr) {
        return hk::Fail(hk::kInvalidHandle);
    }
    hk::CloseDevice(Object);
    return TRUE;
}

const void* VktCallerMemory(const void* data, size_t bytes) {
    auto address = reinterpret_cast<uint64_t>(data);
    if (data == nullptr || (address >= hk::kUserWindowBase && address < hk::kUserWindowEnd)) {
        return data;
    }
    HkProcess* process = hk::CurrentThread()->Process;
    uint64_t copy = hk::AllocateUserMemory(process, bytes == 0 ? 1 : bytes);
    hk::WriteUserMemory(process, copy, data, bytes);
    return reinterpret_cast<const void*>(copy);
}

DWORD GetLastError() {
    return hk::Last().Error;
}

void SetLastError(DWORD Error) {
    hk::Last().Error = Error;
}

NTSTATUS RtlGetLastNtStatus() {
    return hk::Last().Status;
}

BOOL DefineDosDeviceW(DWORD Flags, LPCWSTR DeviceName, LPCWSTR TargetPath) {
    if ((Flags & ~DDD_RAW_TARGET_PATH) != 0 || DeviceName == nullptr || TargetPath == nullptr) {
        return hk::Fail(STATUS_INVALID_PARAMETER);
    }
    HkProcess* process = K().Current->Process;
    if (!hk::IsAdministrator(process) && hk::GlobalDosDeviceExists(DeviceName)) {
        return hk::Fail(STATUS_ACCESS_DENIED);
    }
    std::u16string target = TargetPath;
    if ((Flags & DDD_RAW_TARGET_PATH) == 0) {
        target = u"\\??\\" + target;
    }
    NTSTATUS status = hk::CreateDosDeviceLink(process, DeviceName, target, nullptr, false);
    if (!NT_SUCCESS(status)) {
        return hk::Fail(status);
    }
    hk::Last() = hk::LastError{};
    return TRUE;
}
