// Whether any watched process runs now, from a fresh snapshot of all
// processes. Whenever the question cannot be answered the answer is yes, so
// that a failure to look never lets the firmware reset a healthy machine;
// and a snapshot too big for its buffer is asked for again in a bigger one,
// so that a large machine is still looked at instead of counted as running.
#include "supervision/name_key.h"
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

// Queries of one check: the first in PROCESS_SNAPSHOT_SIZE bytes, each
// further one in the size the previous one asked for, with headroom.
const ULONG SNAPSHOT_ATTEMPTS = 4;

// Buffers beyond the first are whole pages.
const ULONGLONG SNAPSHOT_GRANULE = 0x1000;

// The buffer for the next query: what the last one asked for (at least what
// it had) and an eighth more, for the processes and threads that start
// between the two queries. A size a query cannot be given fails.
VKT_PAGED_ROUTINE NTSTATUS NextSnapshotSize(ULONG Tried, ULONG Needed, ULONG* Next) {
    PAGED_CODE();
    ULONGLONG size = Needed > Tried ? Needed : Tried;
    size += size / 8;
    size = (size + SNAPSHOT_GRANULE - 1) & ~(SNAPSHOT_GRANULE - 1);
    if (size > 0xFFFFF000ULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *Next = static_cast<ULONG>(size);
    return STATUS_SUCCESS;
}

// Takes a snapshot of all processes into non-paged pool that the caller
// frees; `Length` receives its valid bytes. A snapshot that does not fit is
// asked for again in a bigger buffer, SNAPSHOT_ATTEMPTS queries at most.
VKT_PAGED_ROUTINE NTSTATUS TakeProcessSnapshot(QuerySystemInformationRoutine Query,
                                               UCHAR** Snapshot, ULONG* Length) {
    PAGED_CODE();
    ULONG size = PROCESS_SNAPSHOT_SIZE;
    for (ULONG attempt = 1;; attempt++) {
        auto* buffer =
            static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, size, VKT_POOL_TAG));
        if (buffer == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        ULONG returned = 0;
        NTSTATUS status = Query(PROCESS_INFORMATION_CLASS, buffer, size, &returned);
        if (status >= 0) {
            *Snapshot = buffer;
            *Length = returned < size ? returned : size;
            return status;
        }
        ExFreePoolWithTag(buffer, VKT_POOL_TAG);
        if (status != STATUS_INFO_LENGTH_MISMATCH || attempt == SNAPSHOT_ATTEMPTS) {
            return status;
        }
        status = NextSnapshotSize(size, returned, &size);
        if (status < 0) {
            return status;
        }
    }
}

// One bit per watched name's key, at NameKeyFilterBit: a name whose bit is
// clear is watched by no entry.
VKT_PAGED_ROUTINE NTSTATUS BuildKeyFilter(DeviceContext* Context, ULONGLONG* Filter) {
    PAGED_CODE();
    for (ULONG i = 0; i < NAME_KEY_FILTER_WORDS; i++) {
        Filter[i] = 0;
    }
    for (PLIST_ENTRY link = Context->WatchList.Flink; link != &Context->WatchList;
         link = link->Flink) {
        ULONG bit = NameKeyFilterBit(CONTAINING_RECORD(link, WatchEntry, Links)->NameKey);
        Filter[bit / 64] |= 1ULL << (bit % 64);
    }
    return STATUS_SUCCESS;
}

// The kernel's case-insensitive comparison decides, for the entries whose
// key is the name's own.
VKT_PAGED_ROUTINE BOOLEAN IsWatchedName(DeviceContext* Context, PCUNICODE_STRING ImageName,
                                        ULONGLONG Key) {
    PAGED_CODE();
    for (PLIST_ENTRY link = Context->WatchList.Flink; link != &Context->WatchList;
         link = link->Flink) {
        WatchEntry* entry = CONTAINING_RECORD(link, WatchEntry, Links);
        if (entry->NameKey == Key &&
            RtlCompareUnicodeString(ImageName, &entry->ImageName, TRUE) == 0) {
            return TRUE;
        }
    }
    return FALSE;
}

// Walks the entries of a snapshot of `Length` valid bytes; an entry that
// would reach past them ends the walk. A name is looked up in the list only
// when its key's filter bit is set.
VKT_PAGED_ROUTINE BOOLEAN SnapshotHasWatchedName(DeviceContext* Context, const UCHAR* Snapshot,
                                                 ULONG Length) {
    PAGED_CODE();
    ULONGLONG filter[NAME_KEY_FILTER_WORDS];
    BuildKeyFilter(Context, filter);
    const UCHAR* at = Snapshot;
    const UCHAR* end = Snapshot + Length;
    while (static_cast<ULONG>(end - at) >= sizeof(ProcessSnapshotEntry)) {
        auto* entry = reinterpret_cast<const ProcessSnapshotEntry*>(at);
        ULONGLONG key;
        ComputeNameKey(&entry->ImageName, &key);
        ULONG bit = NameKeyFilterBit(key);
        if ((filter[bit / 64] >> (bit % 64) & 1) != 0 &&
            IsWatchedName(Context, &entry->ImageName, key)) {
            return TRUE;
        }
        ULONG next = entry->NextEntryOffset;
        if (next == 0 || next >= static_cast<ULONG>(end - at)) {
            return FALSE;
        }
        at += next;
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
    UCHAR* snapshot = nullptr;
    ULONG length = 0;
    if (TakeProcessSnapshot(query, &snapshot, &length) < 0) {
        return TRUE;
    }
    BOOLEAN running = SnapshotHasWatchedName(Context, snapshot, length);
    ExFreePoolWithTag(snapshot, VKT_POOL_TAG);
    return running;
}
