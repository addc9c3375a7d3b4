// User-mode programs' way to a driver: opening a device by its link, control
// requests from the calling thread, closing, and the last error with the
// platform's mapping from status to system error code and its texts.
#include "hostkernel/user_api.h"

#include "hostkernel/kernel_extensions.h"

#include <algorithm>
#include <cstring>

namespace hk {

namespace {

constexpr NTSTATUS kInvalidHandle = static_cast<NTSTATUS>(0xC0000008L);
constexpr NTSTATUS kDeletePending = static_cast<NTSTATUS>(0xC0000056L);
const std::string kFileKind = "file";

// What a handle to a device refers to.
struct OpenDevice {
    PDEVICE_OBJECT Device; // the device the link named, the target of every request
};

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

// "\\.\NAME" names the link \DosDevices\NAME (also spelt \??\NAME); the
// link names a device object.
PDEVICE_OBJECT ResolveDevicePath(const std::u16string& path, NTSTATUS* status) {
    const std::u16string prefix = u"\\\\.\\";
    if (path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix) != 0) {
        *status = STATUS_OBJECT_NAME_INVALID;
        return nullptr;
    }
    std::u16string name = path.substr(prefix.size());
    std::u16string target;
    if (!FindSymbolicLink(u"\\DosDevices\\" + name, &target) &&
        !FindSymbolicLink(u"\\??\\" + name, &target)) {
        *status = STATUS_OBJECT_NAME_NOT_FOUND;
        return nullptr;
    }
    auto device = K().DeviceNames.find(Upcase(target));
    if (device == K().DeviceNames.end()) {
        *status = STATUS_OBJECT_NAME_NOT_FOUND;
        return nullptr;
    }
    return device->second;
}

OpenDevice* LookupDevice(HANDLE handle) {
    HandleEntry* entry = LookupHandle(handle);
    if (entry == nullptr || entry->Kind != kFileKind) {
        return nullptr;
    }
    return static_cast<OpenDevice*>(entry->Object.get());
}

// The I/O manager's last requests on a handle being closed.
void SendCleanupAndClose(PDEVICE_OBJECT device) {
    if (!DeviceExists(device)) {
        return;
    }
    for (UCHAR major : {UCHAR{IRP_MJ_CLEANUP}, UCHAR{IRP_MJ_CLOSE}}) {
        Request request;
        request.major = major;
        Send(device, request);
    }
}

} // namespace

void ResetUserApi() {
    g_lastErrors.clear();
}

void CloseProcessHandles(HkProcess* process) {
    RunAs(CreateThread(process), [process] {
        for (HANDLE handle : ProcessHandles(process, kFileKind)) {
            CloseHandle(handle);
        }
    });
}

} // namespace hk

using hk::K;

HANDLE CreateFileW(LPCWSTR FileName, DWORD DesiredAccess, DWORD ShareMode, LPVOID Security,
                   DWORD CreationDisposition, DWORD FlagsAndAttributes, HANDLE Template) {
    UNREFERENCED_PARAMETER(ShareMode);
    UNREFERENCED_PARAMETER(Security);
    UNREFERENCED_PARAMETER(FlagsAndAttributes);
    UNREFERENCED_PARAMETER(Template);
    if (FileName == nullptr || CreationDisposition != OPEN_EXISTING) {
        hk::Fail(STATUS_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    NTSTATUS status = STATUS_SUCCESS;
    PDEVICE_OBJECT device = hk::ResolveDevicePath(FileName, &status);
    if (device == nullptr) {
        hk::Fail(status);
        return INVALID_HANDLE_VALUE;
    }
    hk::Request request;
    request.major = IRP_MJ_CREATE;
    hk::Outcome outcome = hk::Send(device, request);
    status = outcome.completed ? outcome.ioStatus.Status : STATUS_INTERNAL_ERROR;
    if (!NT_SUCCESS(status)) {
        hk::Fail(status);
        return INVALID_HANDLE_VALUE;
    }
    hk::HandleEntry entry{
        hk::kFileKind,        std::make_shared<hk::OpenDevice>(hk::OpenDevice{device}),
        DesiredAccess,        false,
        K().Current->Process, __builtin_return_address(0),
        hk::Narrow(FileName)};
    HANDLE handle = hk::InsertHandle(std::move(entry));
    hk::Last() = hk::LastError{};
    return handle;
}

BOOL DeviceIoControl(HANDLE Device, DWORD IoControlCode, LPVOID InBuffer, DWORD InBufferSize,
                     LPVOID OutBuffer, DWORD OutBufferSize, LPDWORD BytesReturned,
                     LPVOID Overlapped) {
    UNREFERENCED_PARAMETER(Overlapped);
    hk::OpenDevice* open = hk::LookupDevice(Device);
    if (open == nullptr) {
        return hk::Fail(hk::kInvalidHandle);
    }
    if (!hk::DeviceExists(open->Device)) {
        return hk::Fail(hk::kDeletePending);
    }
    hk::Request request;
    request.major = IRP_MJ_DEVICE_CONTROL;
    request.ioControlCode = IoControlCode;
    const auto* input = static_cast<const uint8_t*>(InBuffer);
    if (input != nullptr) {
        request.input.assign(input, input + InBufferSize);
    }
    request.outputLength = OutBuffer != nullptr ? OutBufferSize : 0;
    hk::Outcome outcome = hk::Send(open->Device, request);
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
    hk::OpenDevice* open = hk::LookupDevice(Object);
    if (open == nullptr) {
        return hk::Fail(hk::kInvalidHandle);
    }
    PDEVICE_OBJECT device = open->Device;
    hk::RemoveHandle(Object);
    hk::SendCleanupAndClose(device);
    return TRUE;
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
