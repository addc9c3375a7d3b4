// The simulated volumes' file systems and the file objects of open files:
// directories and files with case-blind names, opened by ZwCreateFile with
// the statuses the platform's file systems give, and the controls that lay
// them out.
#include "hostkernel/fs/file_systems.h"
#include "hostkernel/verifier/levels.h"

#include <cstring>

namespace hk {

namespace {

// A file object and what backs it; the FILE_OBJECT's address is what
// drivers see.
struct HkFile {
    FILE_OBJECT Object{};         // handed to drivers
    Volume* OnVolume = nullptr;   // the volume it lies on
    std::shared_ptr<FsNode> Node; // the file or directory
    std::u16string FileName;      // text behind Object.FileName
};

// Live file objects by the address drivers see; they die with their last
// handle and reference.
std::map<PVOID, std::weak_ptr<HkFile>> g_files;

// Characters no component of a file name may hold.
bool IsValidComponent(const std::u16string& component) {
    if (component.empty() || component.size() > 255 || component == u"." || component == u"..") {
        return false;
    }
    for (char16_t c : component) {
        if (c < 0x20 || std::u16string_view(u"\"*?<>|:/").find(c) != std::u16string_view::npos) {
            return false;
        }
    }
    return true;
}

// Splits a rest of a name ("\a\b", "\a\b\" or "\") into its components.
NTSTATUS SplitVolumePath(const std::u16string& rest, std::vector<std::u16string>* parts,
                         bool* trailing) {
    *trailing = rest.size() > 1 && rest.back() == u'\\';
    std::u16string body = *trailing ? rest.substr(0, rest.size() - 1) : rest;
    size_t position = 1;
    while (position <= body.size() && body.size() > 1) {
        size_t next = body.find(u'\\', position);
        if (next == std::u16string::npos) {
            next = body.size();
        }
        parts->push_back(body.substr(position, next - position));
        if (!IsValidComponent(parts->back())) {
            return STATUS_OBJECT_NAME_INVALID;
        }
        position = next + 1;
    }
    return STATUS_SUCCESS;
}

NTSTATUS ResolveControlPath(const std::u16string& path, Volume** volume, std::u16string* rest) {
    bool driveLetter = path.size() >= 2 && path[1] == u':';
    return ResolveVolumePath(driveLetter ? u"\\GLOBAL??\\" + path : path, volume, rest);
}

// Creates what is missing on the way to `path`; the last component becomes
// a directory or a file. An existing directory may be made again.
NTSTATUS Make(const std::u16string& path, bool directory) {
    Volume* volume = nullptr;
    std::u16string rest;
    std::vector<std::u16string> parts;
    bool trailing = false;
    NTSTATUS status = ResolveControlPath(path, &volume, &rest);
    if (NT_SUCCESS(status)) {
        status = SplitVolumePath(rest, &parts, &trailing);
    }
    if (!NT_SUCCESS(status) || parts.empty()) {
        return NT_SUCCESS(status) ? STATUS_OBJECT_NAME_COLLISION : status;
    }
    FsNode* node = volume->Root.get();
    for (size_t i = 0; i < parts.size(); i++) {
        bool last = i + 1 == parts.size();
        std::shared_ptr<FsNode>& entry = node->Entries[Upcase(parts[i])];
        if (entry == nullptr) {
            entry = std::make_shared<FsNode>(FsNode{parts[i], !last || directory, node, {}});
        } else if (last && !(directory && entry->Directory)) {
            return STATUS_OBJECT_NAME_COLLISION;
        } else if (!entry->Directory) {
            return STATUS_OBJECT_PATH_NOT_FOUND;
        }
        node = entry.get();
    }
    return STATUS_SUCCESS;
}

} // namespace

void ResetFileSystems() {
    g_files.clear();
    ResetNamespace();
}

NTSTATUS WalkVolume(Volume& volume, const std::u16string& rest, std::shared_ptr<FsNode>* node,
                    bool* trailing) {
    std::vector<std::u16string> parts;
    NTSTATUS status = SplitVolumePath(rest, &parts, trailing);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *node = volume.Root;
    for (size_t i = 0; i < parts.size(); i++) {
        bool last = i + 1 == parts.size();
        auto entry = (*node)->Entries.find(Upcase(parts[i]));
        if (entry == (*node)->Entries.end() || (!last && !entry->second->Directory)) {
            return last ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
        }
        *node = entry->second;
    }
    return STATUS_SUCCESS;
}

std::u16string NodeName(const Volume& volume, const FsNode& node) {
    if (node.Parent == nullptr) {
        return volume.DeviceName + u"\\";
    }
    std::u16string name;
    for (const FsNode* at = &node; at->Parent != nullptr; at = at->Parent) {
        name = u"\\" + at->Name + name;
    }
    return volume.DeviceName + name;
}

NTSTATUS MakeDirectory(const std::u16string& path) {
    return Make(path, true);
}

NTSTATUS MakeFile(const std::u16string& path) {
    return Make(path, false);
}

std::u16string DevicePath(const std::u16string& path) {
    Volume* volume = nullptr;
    std::u16string rest;
    std::shared_ptr<FsNode> node;
    bool trailing = false;
    if (!NT_SUCCESS(ResolveControlPath(path, &volume, &rest)) ||
        !NT_SUCCESS(WalkVolume(*volume, rest, &node, &trailing))) {
        return u"";
    }
    return NodeName(*volume, *node);
}

} // namespace hk

namespace {

// The file type's entry for the object manager: a live file object the file
// systems opened, named by its volume's device and its path on it.
bool IdentifyFile(PVOID object, std::u16string* name) {
    auto found = hk::g_files.find(object);
    std::shared_ptr<hk::HkFile> file = found == hk::g_files.end() ? nullptr : found->second.lock();
    if (file == nullptr) {
        return false;
    }
    *name = hk::NodeName(*file->OnVolume, *file->Node);
    return true;
}

HkObjectType g_fileType{"file", &IdentifyFile};

} // namespace

POBJECT_TYPE IoFileObjectType = &g_fileType;

namespace {

// What an open asks of the node it found.
NTSTATUS CheckOpenedKind(const hk::FsNode& node, bool trailing, ULONG options) {
    if ((options & FILE_DIRECTORY_FILE) && !node.Directory) {
        return STATUS_NOT_A_DIRECTORY;
    }
    if ((options & FILE_NON_DIRECTORY_FILE) && node.Directory) {
        return STATUS_FILE_IS_A_DIRECTORY;
    }
    return trailing && !node.Directory ? STATUS_OBJECT_NAME_INVALID : STATUS_SUCCESS;
}

// Finds the node an absolute name opens. The volume itself (nothing after
// its device name) is no directory.
NTSTATUS FindOpened(POBJECT_ATTRIBUTES attributes, ULONG options, hk::Volume** volume,
                    std::shared_ptr<hk::FsNode>* node) {
    if (attributes == nullptr || attributes->Length != sizeof(OBJECT_ATTRIBUTES)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (attributes->RootDirectory != nullptr) {
        return STATUS_NOT_IMPLEMENTED; // names relative to an open file are not simulated
    }
    std::u16string rest;
    NTSTATUS status = hk::ResolveVolumePath(hk::FromCounted(attributes->ObjectName), volume, &rest);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (rest.empty()) {
        return (options & FILE_DIRECTORY_FILE) ? STATUS_NOT_A_DIRECTORY : STATUS_NOT_IMPLEMENTED;
    }
    bool trailing = false;
    status = hk::WalkVolume(**volume, rest, node, &trailing);
    return NT_SUCCESS(status) ? CheckOpenedKind(**node, trailing, options) : status;
}

} // namespace

// Opens existing files and directories (FILE_OPEN); the host's volumes are
// laid out by the controls, so no other disposition is simulated.
NTSTATUS ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                      POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                      PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
                      ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                      ULONG EaLength) {
    HK_CHECK_LEVEL(ZwCreateFile);
    UNREFERENCED_PARAMETER(AllocationSize);
    UNREFERENCED_PARAMETER(FileAttributes);
    UNREFERENCED_PARAMETER(ShareAccess);
    UNREFERENCED_PARAMETER(EaBuffer);
    UNREFERENCED_PARAMETER(EaLength);
    const void* caller = __builtin_return_address(0);
    std::string name = ObjectAttributes == nullptr
                           ? std::string("(no name)")
                           : hk::Narrow(hk::FromCounted(ObjectAttributes->ObjectName));
    NTSTATUS status = STATUS_SUCCESS;
    if (hk::TakeRoutineFault("ZwCreateFile", &status)) {
        return status;
    }
    if (CreateDisposition != FILE_OPEN) {
        return STATUS_NOT_IMPLEMENTED;
    }
    hk::Volume* volume = nullptr;
    std::shared_ptr<hk::FsNode> node;
    status = FindOpened(ObjectAttributes, CreateOptions, &volume, &node);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto file = std::make_shared<hk::HkFile>();
    file->OnVolume = volume;
    file->Node = node;
    file->FileName = hk::NodeName(*volume, *node).substr(volume->DeviceName.size());
    file->Object.Type = 5;
    file->Object.Size = sizeof(FILE_OBJECT);
    file->Object.FsContext = node.get();
    file->Object.FileName =
        UNICODE_STRING{static_cast<USHORT>(file->FileName.size() * 2),
                       static_cast<USHORT>(file->FileName.size() * 2), file->FileName.data()};
    hk::g_files[&file->Object] = file;
    *FileHandle = hk::InsertHandle(
        hk::HandleEntry{hk::kFileKind, std::shared_ptr<void>(file, &file->Object), DesiredAccess,
                        (ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE) != 0,
                        hk::K().Current->Process, caller, name});
    IoStatusBlock->Status = STATUS_SUCCESS;
    IoStatusBlock->Information = FILE_OPENED;
    return STATUS_SUCCESS;
}
