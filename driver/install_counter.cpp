// The install counter: a REG_DWORD "InstallTimes" under the Parameters key
// of the driver's service, incremented at every device creation and deleted
// at every removal. Every failure makes the creation count as the first and
// leaves the stored count as it was.
#include "driver/install_counter.h"

#include "driver/device_context.h"

static const WCHAR PARAMETERS_KEY_PATH[] =
    VKT_TEXT("\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VKTDrv\\Parameters");
static const WCHAR INSTALL_TIMES_NAME[] = VKT_TEXT("InstallTimes");

// The first read asks for exactly a partial record with four data bytes.
static const ULONG FIRST_READ_LENGTH = 16;

static_assert(offsetof(KEY_VALUE_PARTIAL_INFORMATION, DataLength) == 8, "data length at 8");
static_assert(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) == 12, "data at 12");
static_assert(sizeof(KEY_VALUE_PARTIAL_INFORMATION) == FIRST_READ_LENGTH,
              "a partial record with four data bytes");

// Kernel handles, so that no user process can reach them whatever thread
// the caller runs in.
VKT_PAGED_ROUTINE static VOID DescribeParametersKey(POBJECT_ATTRIBUTES Attributes,
                                                    PUNICODE_STRING Path) {
    PAGED_CODE();
    RtlInitUnicodeString(Path, PARAMETERS_KEY_PATH);
    InitializeObjectAttributes(Attributes, Path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                               nullptr);
}

// Opened to read the count and to store or delete it. The platform does not
// hold a kernel-mode call to the rights its handle was opened with, but
// Wine's kernel and the host kernel do: a handle opened for reading only
// would store nothing there.
VKT_PAGED_ROUTINE static NTSTATUS OpenParametersKey(HANDLE* Key) {
    PAGED_CODE();
    UNICODE_STRING path;
    OBJECT_ATTRIBUTES attributes;
    DescribeParametersKey(&attributes, &path);
    return ZwOpenKey(Key, KEY_READ | KEY_SET_VALUE, &attributes);
}

// Only the Parameters key itself is created; the service key must exist.
VKT_PAGED_ROUTINE static NTSTATUS CreateParametersKey(HANDLE* Key, ULONG* Disposition) {
    PAGED_CODE();
    UNICODE_STRING path;
    OBJECT_ATTRIBUTES attributes;
    DescribeParametersKey(&attributes, &path);
    return ZwCreateKey(Key, KEY_SET_VALUE | KEY_CREATE_SUB_KEY, &attributes, 0, nullptr,
                       REG_OPTION_NON_VOLATILE, Disposition);
}

// Whether the count was stored is not looked at: the answer follows the
// count computed either way.
VKT_PAGED_ROUTINE static VOID WriteInstallTimes(HANDLE Key, ULONG Count) {
    PAGED_CODE();
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, INSTALL_TIMES_NAME);
    ZwSetValueKey(Key, &name, 0, REG_DWORD, &Count, sizeof Count);
}

// Reads the value into a pool buffer of the length the first read reported.
// Data of up to four bytes fill the low-order bytes of the count; longer data
// leave it 0. A failure here is never "not found": nothing is to be written.
VKT_PAGED_ROUTINE static NTSTATUS ReadIntoPool(HANDLE Key, PUNICODE_STRING Name, ULONG Length,
                                               ULONG* Count) {
    PAGED_CODE();
    auto* record = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(
        ExAllocatePoolWithTag(NonPagedPoolNx, Length, VKT_POOL_TAG));
    if (record == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *Count = 0;
    ULONG returned = 0;
    NTSTATUS status =
        ZwQueryValueKey(Key, Name, KeyValuePartialInformation, record, Length, &returned);
    // Longer data never reach the copy: the kernel's bounded copy may treat
    // a source larger than its destination as a fatal invalid parameter.
    if (NT_SUCCESS(status) && record->DataLength <= sizeof *Count) {
        memcpy_s(Count, sizeof *Count, record->Data, record->DataLength);
    }
    ExFreePoolWithTag(record, VKT_POOL_TAG);
    return NT_SUCCESS(status) ? status : STATUS_UNSUCCESSFUL;
}

// STATUS_OBJECT_NAME_NOT_FOUND when the value does not exist; success with
// the stored count; any other failure when it cannot be read.
VKT_PAGED_ROUTINE static NTSTATUS ReadInstallTimes(HANDLE Key, ULONG* Count) {
    PAGED_CODE();
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, INSTALL_TIMES_NAME);
    ULONG first[FIRST_READ_LENGTH / sizeof(ULONG)];
    ULONG length = 0;
    NTSTATUS status =
        ZwQueryValueKey(Key, &name, KeyValuePartialInformation, first, sizeof first, &length);
    if (status != STATUS_SUCCESS && status != STATUS_BUFFER_OVERFLOW &&
        status != STATUS_BUFFER_TOO_SMALL) {
        return status;
    }
    return ReadIntoPool(Key, &name, length, Count);
}

// The key could not be opened. Only a key that did not exist starts
// counting; a key that exists but failed to open keeps its count.
VKT_PAGED_ROUTINE static BOOLEAN StartCounting() {
    PAGED_CODE();
    HANDLE key = nullptr;
    ULONG disposition = 0;
    if (!NT_SUCCESS(CreateParametersKey(&key, &disposition))) {
        return TRUE;
    }
    if (disposition == REG_CREATED_NEW_KEY) {
        WriteInstallTimes(key, 1);
    }
    ZwClose(key);
    return TRUE;
}

VKT_PAGED_ROUTINE BOOLEAN CountInstallation() {
    PAGED_CODE();
    HANDLE key = nullptr;
    if (!NT_SUCCESS(OpenParametersKey(&key))) {
        return StartCounting();
    }
    ULONG count = 0;
    NTSTATUS status = ReadInstallTimes(key, &count);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND || NT_SUCCESS(status)) {
        count++;
        WriteInstallTimes(key, count);
    } else {
        count = 0;
    }
    ZwClose(key);
    return count <= 1 ? TRUE : FALSE;
}

VKT_PAGED_ROUTINE VOID ResetInstallCounter() {
    PAGED_CODE();
    HANDLE key = nullptr;
    if (!NT_SUCCESS(OpenParametersKey(&key))) {
        return;
    }
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, INSTALL_TIMES_NAME);
    ZwDeleteValueKey(key, &name);
    ZwClose(key);
}
