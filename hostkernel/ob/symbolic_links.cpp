// Symbolic links that user-mode programs create through the native API: in
// the DOS device directory of the caller's logon session a link is the
// caller's to make, whatever the global directory holds; the global
// directory itself is the administrators'. A link lives while its handle is
// open (no permanent objects for programs).
#include "hostkernel/ob/dos_devices.h"
#include "hostkernel/ob/handles.h"
#include "hostkernel/user/user_api.h"

namespace hk {

namespace {

// The directory a link name is created in, and the link's own name there.
enum class LinkDirectory { Session, Global, Other };

LinkDirectory Split(const std::u16string& name, std::u16string* entry) {
    std::u16string upper = Upcase(name);
    for (const std::u16string prefix : {u"\\??\\", u"\\DOSDEVICES\\", u"\\GLOBAL??\\"}) {
        if (upper.rfind(prefix, 0) == 0 && upper.size() > prefix.size() &&
            upper.find(u'\\', prefix.size()) == std::u16string::npos) {
            *entry = name.substr(prefix.size());
            return prefix == u"\\GLOBAL??\\" ? LinkDirectory::Global : LinkDirectory::Session;
        }
    }
    return LinkDirectory::Other;
}

} // namespace

void CloseSymbolicLinks(HkProcess* process) {
    for (HANDLE handle : ProcessHandles(process, kSymbolicLinkKind)) {
        RemoveHandle(handle);
    }
}

} // namespace hk

NTSTATUS NtCreateSymbolicLinkObject(PHANDLE LinkHandle, ACCESS_MASK DesiredAccess,
                                    POBJECT_ATTRIBUTES ObjectAttributes,
                                    PUNICODE_STRING LinkTarget) {
    if (LinkHandle == nullptr || ObjectAttributes == nullptr || LinkTarget == nullptr ||
        ObjectAttributes->RootDirectory != nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    HkProcess* process = hk::K().Current->Process;
    std::u16string entry;
    hk::LinkDirectory directory = hk::Split(hk::FromCounted(ObjectAttributes->ObjectName), &entry);
    if (directory == hk::LinkDirectory::Other ||
        (directory == hk::LinkDirectory::Global && !hk::IsAdministrator(process))) {
        return STATUS_ACCESS_DENIED;
    }
    auto holder = std::make_shared<std::u16string>(hk::FromCounted(LinkTarget));
    NTSTATUS status = hk::CreateDosDeviceLink(process, entry, *holder, holder,
                                              directory == hk::LinkDirectory::Global);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *LinkHandle = hk::InsertHandle(hk::HandleEntry{hk::kSymbolicLinkKind, holder, DesiredAccess,
                                                   false, process, __builtin_return_address(0),
                                                   "symbolic link " + hk::Narrow(entry)});
    return STATUS_SUCCESS;
}
