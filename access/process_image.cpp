// The image file name of a process, as the process manager gives it: the
// executable's full NT path.
#include "access/caller_verification.h"

VKT_PAGED_ROUTINE NTSTATUS QueryProcessImageName(PEPROCESS Process, PUNICODE_STRING* ImageName) {
    PAGED_CODE();
    if (ImageName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *ImageName = nullptr;
    HANDLE handle = nullptr;
    NTSTATUS status = ObOpenObjectByPointer(Process, OBJ_KERNEL_HANDLE, nullptr, 0,
                                            VKT_OBJECT_TYPE(PsProcessType), KernelMode, &handle);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG length = 0;
    status = ZwQueryInformationProcess(handle, ProcessImageFileName, nullptr, 0, &length);
    if (status == STATUS_INFO_LENGTH_MISMATCH) {
        *ImageName = static_cast<PUNICODE_STRING>(ExAllocatePool(PagedPool, length));
        status = STATUS_INSUFFICIENT_RESOURCES;
        if (*ImageName != nullptr) {
            RtlZeroMemory(*ImageName, length);
            status = ZwQueryInformationProcess(handle, ProcessImageFileName, *ImageName, length,
                                               &length);
            if (!NT_SUCCESS(status)) {
                ExFreePoolWithTag(*ImageName, 0);
                *ImageName = nullptr;
            }
        }
    }
    ZwClose(handle);
    return status;
}
