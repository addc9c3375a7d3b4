// Processes started from executables on the simulated volumes, and the
// process manager's query of a process's image file name.
#include "hostkernel/fs/file_systems.h"
#include "hostkernel/verifier/levels.h"

#include <cstring>

namespace hk {

HkProcess* CreateProcessFromImage(const std::u16string& path) {
    std::u16string image = DevicePath(path);
    if (image.empty() || image.back() == u'\\') {
        return nullptr;
    }
    Volume* volume = nullptr;
    std::u16string rest;
    std::shared_ptr<FsNode> node;
    bool trailing = false;
    ResolveVolumePath(image, &volume, &rest);
    WalkVolume(*volume, rest, &node, &trailing);
    if (node->Directory) {
        return nullptr;
    }
    HkProcess* process = CreateProcess(node->Name);
    process->ImagePath = image;
    return process;
}

} // namespace hk

namespace {

// The process a handle names in the current thread's view.
NTSTATUS ProcessOfHandle(HANDLE handle, HkProcess** process) {
    if (handle == NtCurrentProcess()) {
        *process = hk::K().Current->Process;
        return STATUS_SUCCESS;
    }
    hk::HandleEntry* entry = hk::LookupHandle(handle);
    if (entry == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    if (entry->Kind != hk::kProcessKind) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    *process = static_cast<HkProcess*>(entry->Object.get());
    return STATUS_SUCCESS;
}

} // namespace

// Only the image file name is simulated: a counted string followed by its
// text and a terminator; empty for processes started without an image path.
NTSTATUS ZwQueryInformationProcess(HANDLE ProcessHandle, PROCESSINFOCLASS ProcessInformationClass,
                                   PVOID ProcessInformation, ULONG ProcessInformationLength,
                                   PULONG ReturnLength) {
    HK_CHECK_LEVEL(ZwQueryInformationProcess);
    NTSTATUS status = STATUS_SUCCESS;
    if (hk::TakeRoutineFault("ZwQueryInformationProcess", &status)) {
        return status;
    }
    HkProcess* process = nullptr;
    status = ProcessOfHandle(ProcessHandle, &process);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (ProcessInformationClass != ProcessImageFileName) {
        return STATUS_INVALID_INFO_CLASS;
    }
    size_t bytes = process->ImagePath.size() * sizeof(WCHAR);
    size_t text = bytes == 0 ? 0 : bytes + sizeof(WCHAR);
    ULONG needed = static_cast<ULONG>(sizeof(UNICODE_STRING) + text);
    if (ReturnLength != nullptr) {
        *ReturnLength = needed;
    }
    if (ProcessInformationLength < needed) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    auto* name = static_cast<PUNICODE_STRING>(ProcessInformation);
    *name = UNICODE_STRING{0, 0, nullptr};
    if (bytes != 0) {
        auto* characters = reinterpret_cast<WCHAR*>(name + 1);
        std::memcpy(characters, process->ImagePath.data(), bytes);
        characters[process->ImagePath.size()] = 0;
        *name = UNICODE_STRING{static_cast<USHORT>(bytes), static_cast<USHORT>(text), characters};
    }
    return STATUS_SUCCESS;
}
