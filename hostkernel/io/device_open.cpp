// The I/O manager's open and close of a device by name from a user process.
#include "hostkernel/io/device_open.h"

#include "hostkernel/se/security_internal.h"

namespace hk {

namespace {

// The kind of handles to opened devices.
const std::string kFileKind = "file";

// Open files by handle, for the close.
std::map<HANDLE, std::shared_ptr<OpenFile>> g_openFiles;

// The device a name leads to, through one symbolic link for the DOS forms.
PDEVICE_OBJECT ResolveDeviceName(const std::u16string& name) {
    std::u16string upper = Upcase(name);
    for (const std::u16string prefix : {u"\\??\\", u"\\DOSDEVICES\\", u"\\GLOBAL??\\"}) {
        if (upper.rfind(prefix, 0) != 0) {
            continue;
        }
        std::u16string suffix = upper.substr(prefix.size());
        for (const std::u16string linkPrefix : {u"\\??\\", u"\\DOSDEVICES\\", u"\\GLOBAL??\\"}) {
            auto link = K().Links.find(linkPrefix + suffix);
            if (link != K().Links.end()) {
                upper = Upcase(link->second);
                break;
            }
        }
        break;
    }
    auto device = K().DeviceNames.find(upper);
    return device == K().DeviceNames.end() ? nullptr : device->second;
}

NTSTATUS SendFileRequest(const OpenFile& file, UCHAR major) {
    Request request;
    request.major = major;
    request.useParameters = true;
    request.parameters.FileObject = const_cast<OpenFile*>(&file);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    RunAs(file.Thread, [&] { status = Send(file.Device, request).ioStatus.Status; });
    return status;
}

} // namespace

OpenResult OpenDevice(HkThread* thread, const std::u16string& name, ACCESS_MASK desiredAccess) {
    OpenResult result;
    PDEVICE_OBJECT device = ResolveDeviceName(name);
    if (device == nullptr) {
        result.Status = STATUS_OBJECT_NAME_NOT_FOUND;
        return result;
    }
    ACCESS_MASK access = MapFileGenericRights(desiredAccess);
    ACCESS_MASK granted = GrantedAccess(DeviceDescriptor(device), ProcessToken(thread->Process));
    if ((access & ~granted) != 0) {
        result.Status = STATUS_ACCESS_DENIED;
        return result;
    }
    auto file = std::make_shared<OpenFile>(OpenFile{device, access, thread});
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
