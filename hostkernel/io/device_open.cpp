// The I/O manager's open and close of a device by name from a user process.
#include "hostkernel/io/device_open.h"

#include "hostkernel/ob/dos_devices.h"
#include "hostkernel/se/security_internal.h"

namespace hk {

namespace {

// The kind of handles to opened devices.
const std::string kFileKind = "file";

// Open files by handle, for the close.
std::map<HANDLE, std::shared_ptr<OpenFile>> g_openFiles;

// The device a name leads to in the process's view, and the remaining name
// after the device's own.
NTSTATUS ResolveDeviceName(const std::u16string& name, HkProcess* process, PDEVICE_OBJECT* device,
                           std::u16string* remaining) {
    std::u16string path;
    NTSTATUS status = ResolveObjectName(name, process, &path);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    size_t deviceEnd = path.find(u'\\', path.find(u'\\', 1) + 1);
    if (deviceEnd == std::u16string::npos) {
        deviceEnd = path.size();
    }
    auto found = K().DeviceNames.find(Upcase(path.substr(0, deviceEnd)));
    if (found == K().DeviceNames.end()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    *device = found->second;
    *remaining = path.substr(deviceEnd);
    return STATUS_SUCCESS;
}

NTSTATUS SendFileRequest(const OpenFile& file, UCHAR major) {
    Request request;
    request.major = major;
    request.createAccess = file.Access;
    request.useParameters = true;
    request.parameters.FileObject = const_cast<FILE_OBJECT*>(&file.Object);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    RunAs(file.Thread, [&] { status = Send(file.Device, request).ioStatus.Status; });
    return status;
}

} // namespace

OpenResult OpenDevice(HkThread* thread, const std::u16string& name, ACCESS_MASK desiredAccess) {
    OpenResult result;
    PDEVICE_OBJECT device = nullptr;
    std::u16string remaining;
    result.Status = ResolveDeviceName(name, thread->Process, &device, &remaining);
    if (!NT_SUCCESS(result.Status)) {
        return result;
    }
    // Without the secure-open characteristic, what lies inside the device
    // is the driver's business, and only the device itself is guarded.
    ACCESS_MASK access = MapFileGenericRights(desiredAccess);
    if (remaining.empty() || (device->Characteristics & FILE_DEVICE_SECURE_OPEN) != 0) {
        ACCESS_MASK granted =
            GrantedAccess(DeviceDescriptor(device), ProcessToken(thread->Process));
        if ((access & ~granted) != 0) {
            result.Status = STATUS_ACCESS_DENIED;
            return result;
        }
    }
    auto file = std::make_shared<OpenFile>(OpenFile{device, access, thread, remaining, {}});
    file->Object.Type = 5;
    file->Object.Size = sizeof(FILE_OBJECT);
    file->Object.DeviceObject = device;
    auto bytes = static_cast<USHORT>(file->RemainingName.size() * sizeof(char16_t));
    file->Object.FileName = UNICODE_STRING{bytes, bytes, file->RemainingName.data()};
    result.Status = SendFileRequest(*file, IRP_MJ_CREATE);
    result.DriverCalled = true;
    if (!NT_SUCCESS(result.Status)) {
        return result;
    }
    RunAs(thread, [&] {
        result.Handle = InsertHandle(HandleEntry{kFileKind, file, access, false, thread->Process,
                                                 nullptr, "file on " + Narrow(name)});
    });
    result.File = file.get();
    g_openFiles[result.Handle] = file;
    return result;
}

NTSTATUS CloseDevice(HANDLE handle) {
    auto found = g_openFiles.find(handle);
    if (found == g_openFiles.end()) {
        return STATUS_INVALID_HANDLE;
    }
    std::shared_ptr<OpenFile> file = found->second;
    g_openFiles.erase(found);
    SendFileRequest(*file, IRP_MJ_CLEANUP);
    SendFileRequest(*file, IRP_MJ_CLOSE);
    NTSTATUS status = STATUS_SUCCESS;
    RunAs(file->Thread, [&] { status = ZwClose(handle); });
    return status;
}

void ResetOpenFiles() {
    g_openFiles.clear();
}

} // namespace hk
