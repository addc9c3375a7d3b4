// The NT name of a directory, as the object manager gives it: a device path
// whatever drive letter or link the directory was opened by.
#include "access/caller_verification.h"

// The name of an open file object, in a new paged-pool buffer that the
// caller frees with tag 0.
VKT_PAGED_ROUTINE static NTSTATUS QueryObjectName(PVOID Object, POBJECT_NAME_INFORMATION* Info) {
    PAGED_CODE();
    *Info = nullptr;
    ULONG length = 0;
    NTSTATUS status = ObQueryNameString(Object, nullptr, 0, &length);
    if (status != STATUS_INFO_LENGTH_MISMATCH) {
        return status;
    }
    auto* info = static_cast<POBJECT_NAME_INFORMATION>(ExAllocatePool(PagedPool, length));
    if (info == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(info, length);
    status = ObQueryNameString(Object, info, length, &length);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(info, 0);
        return status;
    }
    *Info = info;
    return status;
}

// Copies the name when it fits the caller's buffer.
VKT_PAGED_ROUTINE static NTSTATUS CopyName(PCUNICODE_STRING Source, PUNICODE_STRING Name) {
    PAGED_CODE();
    if (Source->Length > Name->MaximumLength) {
        return STATUS_INVALID_PARAMETER_2;
    }
    Name->Length = Source->Length;
    memcpy_s(Name->Buffer, Name->MaximumLength, Source->Buffer, Source->Length);
    return STATUS_SUCCESS;
}

// Only an existing directory opens: a file or a missing path fails here with
// the platform's status.
VKT_PAGED_ROUTINE NTSTATUS QueryDirectoryName(PCUNICODE_STRING Path, PUNICODE_STRING Name) {
    PAGED_CODE();
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, const_cast<PUNICODE_STRING>(Path),
                               OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    IO_STATUS_BLOCK ioStatus;
    HANDLE handle = nullptr;
    NTSTATUS status = ZwCreateFile(
        &handle, READ_CONTROL, &attributes, &ioStatus, nullptr, FILE_ATTRIBUTE_DIRECTORY,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
        FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PVOID file = nullptr;
    status = ObReferenceObjectByHandle(handle, READ_CONTROL, VKT_OBJECT_TYPE(IoFileObjectType),
                                       KernelMode, &file, nullptr);
    if (NT_SUCCESS(status)) {
        POBJECT_NAME_INFORMATION info = nullptr;
        status = QueryObjectName(file, &info);
        if (NT_SUCCESS(status)) {
            status = CopyName(&info->Name, Name);
            ExFreePoolWithTag(info, 0);
        }
        ObfDereferenceObject(file);
    }
    ZwClose(handle);
    return status;
}
