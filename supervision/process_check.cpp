// Whether any watched process runs now, from a fresh snapshot of all
// processes. Whenever the question cannot be answered the answer is yes, so
// that a failure to look never lets the firmware reset a healthy machine.
#include "supervision/watch_list.h"

namespace {

// The start of one process entry of the system's process snapshot (x64
// layout); thread entries and the name text follow it.
struct ProcessSnapshotEntry {
    ULONG NextEntryOffset;    // bytes to the next entry, 0 for the last
    ULONG NumberOfThreads;    // thread entries that follow
    UCHAR Reserved[48];       // counters not used here
    UNICODE_STRING ImageName; // bare image file name; empty for the idle process
};
static_assert(offsetof(ProcessSnapshotEntry, ImageName) == 56, "image name at 56");
static_assert(sizeof(UNICODE_STRING) == 16, "counted string is 16 bytes on x64");

typedef NTSTATUS (*QuerySystemInformationRoutine)(ULONG InformationClass, PVOID Buffer,
                                                  ULONG BufferLength, PULONG ReturnLength);

const ULONG PROCESS_INFORMATION_CLASS = 5;

VKT_PAGED_ROUTINE BOOLEAN IsWatchedName(DeviceContext* Context, PCUNICODE_STRING ImageName) {
    PAGED_CODE();
    for (PLIST_ENTRY link = Context->WatchList.Flink; link != &Context->WatchList;
         link = link->Flink) {
        WatchEntry* entry = CONTAINING_RECORD(link, WatchEntry, Links);
        if (RtlCompareUnicodeString(ImageName, &entry->ImageName, TRUE) == 0) {
            return TRUE;
        }
    }
    return FALSE;
}

// Walks the entries of a snapshot of `Length` valid bytes; an entry that
// would reach past them ends the walk.
VKT_PAGED_ROUTINE BOOLEAN SnapshotHasWatchedName(DeviceContext* Context, const UCHAR* Snapshot,
                                                 ULONG Length) {
    PAGED_CODE();
    ULONG offset = 0;
    while (Length - offset >= sizeof(ProcessSnapshotEntry)) {
        auto* entry = reinterpret_cast<const ProcessSnapshotEntry*>(Snapshot + offset);
        if (IsWatchedName(Context, &entry->ImageName)) {
            return TRUE;
        }
        if (entry->NextEntryOffset == 0 || entry->NextEntryOffset >= Length - offset) {
            return FALSE;
        }
        offset += entry->NextEntryOffset;
    }
    return FALSE;
}

} // namespace

VKT_PAGED_ROUTINE BOOLEAN IsWatchedProcessRunning(DeviceContext* Context) {
    PAGED_CODE();
    if (IsListEmpty(&Context->WatchList)) {
        return TRUE;
    }
    UNICODE_STRING routineName;
    RtlInitUnicodeString(&routineName, VKT_TEXT("ZwQuerySystemInformation"));
    auto query =
        reinterpret_cast<QuerySystemInformationRoutine>(MmGetSystemRoutineAddress(&routineName));
    if (query == nullptr) {
        return TRUE;
    }
    auto* snapshot = static_cast<UCHAR*>(
        ExAllocatePoolWithTag(NonPagedPoolNx, PROCESS_SNAPSHOT_SIZE, VKT_POOL_TAG));
    if (snapshot == nullptr) {
        return TRUE;
    }
    ULONG returned = 0;
    NTSTATUS status = query(PROCESS_INFORMATION_CLASS, snapshot, PROCESS_SNAPSHOT_SIZE, &returned);
    BOOLEAN running = TRUE;
    if (status >= 0) {
        ULONG valid = returned < PROCESS_SNAPSHOT_SIZE ? returned : PROCESS_SNAPSHOT_SIZE;
        running = SnapshotHasWatchedName(Context, snapshot, valid);
    }
    ExFreePoolWithTag(snapshot, VKT_POOL_TAG);
    return running;
}
