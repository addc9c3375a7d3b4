// Whether any watched process runs now, from a fresh snapshot of all
// processes. Whenever the question cannot be answered the answer is yes, so
// that a failure to look never lets the firmware reset a healthy machine;
// but the event log says when checks stop being able to look and when they
// can again, so that a machine that is not watched any more is not so in
// silence. A snapshot too big for its buffer is asked for again in a bigger
// one, so that a large machine is still looked at instead of counted as
// running, and the next check starts in the size this one needed.
#include "driver/event_log.h"
#include "driver/routing.h"
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
const WCHAR QUERY_ROUTINE_NAME[] = VKT_TEXT("ZwQuerySystemInformation");

// Queries of one check: the first in the device's SnapshotSize, each
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
    if (size > 0xFFFFFFFFULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *Next = static_cast<ULONG>(size);
    return STATUS_SUCCESS;
}

// Takes a snapshot of all processes into non-paged pool that the caller
// frees; `Length` receives its valid bytes. The first query asks in the
// device's SnapshotSize, so that a machine as big as at the last check is
// looked at with one query; a snapshot that does not fit is asked for again
// in a bigger buffer, SNAPSHOT_ATTEMPTS queries at most. A snapshot taken
// sets the size of the next check's first query: what this one was given
// and an eighth more, never less than PROCESS_SNAPSHOT_SIZE.
VKT_PAGED_ROUTINE NTSTATUS TakeProcessSnapshot(DeviceContext* Context,
                                               QuerySystemInformationRoutine Query,
                                               UCHAR** Snapshot, ULONG* Length) {
    PAGED_CODE();
    ULONG size = Context->SnapshotSize > PROCESS_SNAPSHOT_SIZE ? Context->SnapshotSize
                                                               : PROCESS_SNAPSHOT_SIZE;
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
            ULONG next = size;
            NextSnapshotSize(0, *Length, &next);
            Context->SnapshotSize = next > PROCESS_SNAPSHOT_SIZE ? next : PROCESS_SNAPSHOT_SIZE;
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

// The kernel's case-insensitive comparison decides, for the entries whose
// key is the name's own; a key no watched name has is refused by its mark.
// Kept out of the walk, which it would crowd.
[[gnu::noinline]] VKT_PAGED_ROUTINE BOOLEAN IsWatchedName(DeviceContext* Context,
                                                          PCUNICODE_STRING ImageName) {
    PAGED_CODE();
    ULONGLONG key;
    ComputeNameKey(ImageName, Context->FoldedCharacters, &key);
    if ((Context->NameFilter[NameFilterKeySlot(key)] & NAME_FILTER_KEY) == 0) {
        return FALSE;
    }
    for (PLIST_ENTRY link = Context->WatchList.Flink; link != &Context->WatchList;
         link = link->Flink) {
        WatchEntry* entry = CONTAINING_RECORD(link, WatchEntry, Links);
        if (entry->NameKey == key &&
            RtlCompareUnicodeString(ImageName, &entry->ImageName, TRUE) == 0) {
            return TRUE;
        }
    }
    return FALSE;
}

// Walks the entries of a snapshot of `Length` valid bytes; an entry that
// would reach past them ends the walk. A name the sample filter lets through
// (see name_key.h) is looked up in the list. A routine of its own, so that
// the walk keeps its values in registers: it runs for every process of the
// machine.
[[gnu::noinline]] VKT_PAGED_ROUTINE BOOLEAN SnapshotHasWatchedName(DeviceContext* Context,
                                                                   const UCHAR* Snapshot,
                                                                   ULONG Length) {
    PAGED_CODE();
    if (Length < sizeof(ProcessSnapshotEntry)) {
        return FALSE;
    }
    const UCHAR* at = Snapshot;
    // Bytes by which the current entry's start may still move on with its
    // whole entry inside the snapshot.
    ULONG room = Length - sizeof(ProcessSnapshotEntry);
    for (;;) {
        auto* entry = reinterpret_cast<const ProcessSnapshotEntry*>(at);
        ULONGLONG word;
        SIZE_T bytes = entry->ImageName.Length;
        if (ReadNameSample(entry->ImageName.Buffer, bytes, &word) &&
            (Context->NameFilter[NameFilterSlot(word & ~NAME_CASE_BITS, bytes)] &
             NAME_FILTER_SAMPLE) != 0 &&
            IsWatchedName(Context, &entry->ImageName)) {
            return TRUE;
        }
        // The last entry's offset is 0, which wraps to the largest value.
        ULONG next = entry->NextEntryOffset;
        if (next - 1 >= room) {
            return FALSE;
        }
        room -= next;
        at += next;
    }
}

// The event-log messages of a change between checks that look and checks
// that cannot: text ending in a line feed, and the NUL.
const WCHAR MESSAGE_CHECKS_BLIND[] = VKT_TEXT("Cannot list processes\n");
const WCHAR MESSAGE_CHECKS_SEE[] = VKT_TEXT("Can list processes again\n");

// Logs the first check that cannot look after one that could (or after the
// start), and the first that can again; a run of either kind is logged once.
VKT_PAGED_ROUTINE NTSTATUS NoteWhetherCheckLooked(DeviceContext* Context, BOOLEAN Looked) {
    PAGED_CODE();
    UCHAR blind = Looked ? 0 : 1;
    if (Context->ChecksBlind == blind) {
        return STATUS_SUCCESS;
    }
    Context->ChecksBlind = blind;
    if (blind != 0) {
        WriteEventLogEntry(SavedDriverObject, sizeof MESSAGE_CHECKS_BLIND, MESSAGE_CHECKS_BLIND);
    } else {
        WriteEventLogEntry(SavedDriverObject, sizeof MESSAGE_CHECKS_SEE, MESSAGE_CHECKS_SEE);
    }
    return STATUS_SUCCESS;
}

// A snapshot through the process-list routine, when the kernel has one.
VKT_PAGED_ROUTINE NTSTATUS LookAtProcesses(DeviceContext* Context, UCHAR** Snapshot,
                                           ULONG* Length) {
    PAGED_CODE();
    UNICODE_STRING routineName = {sizeof QUERY_ROUTINE_NAME - sizeof(WCHAR),
                                  sizeof QUERY_ROUTINE_NAME,
                                  const_cast<PWCHAR>(QUERY_ROUTINE_NAME)};
    auto query =
        reinterpret_cast<QuerySystemInformationRoutine>(MmGetSystemRoutineAddress(&routineName));
    if (query == nullptr) {
        return STATUS_NOT_IMPLEMENTED;
    }
    return TakeProcessSnapshot(Context, query, Snapshot, Length);
}

} // namespace

VKT_PAGED_ROUTINE BOOLEAN IsWatchedProcessRunning(DeviceContext* Context) {
    PAGED_CODE();
    if (IsListEmpty(&Context->WatchList)) {
        return TRUE;
    }
    UCHAR* snapshot = nullptr;
    ULONG length = 0;
    NTSTATUS status = LookAtProcesses(Context, &snapshot, &length);
    NoteWhetherCheckLooked(Context, status >= 0 ? TRUE : FALSE);
    if (status < 0) {
        return TRUE;
    }
    BOOLEAN running = SnapshotHasWatchedName(Context, snapshot, length);
    ExFreePoolWithTag(snapshot, VKT_POOL_TAG);
    return running;
}
