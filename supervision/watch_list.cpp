// Command 4: the caller's comma-separated name list becomes the watch list,
// once per device. The caller's memory is probed and copied under a guard:
// a bad address fails the command and changes nothing.
#include "supervision/watch_list.h"

#include "supervision/name_key.h"

namespace {

// Separates the names of the list.
const WCHAR WATCH_SEPARATOR = 0x002C;

// What command 4 has always returned when the text could not be copied for
// lack of pool; user-mode software tells it apart from the other failures.
const NTSTATUS WATCH_TEXT_NO_POOL = static_cast<NTSTATUS>(0xC0000058L);

// A list, its text or the enabled flag shows that a list was already set.
VKT_PAGED_ROUTINE BOOLEAN WatchListAlreadySet(DeviceContext* Context) {
    PAGED_CODE();
    return Context->WatchListText != nullptr || !IsListEmpty(&Context->WatchList) ||
           Context->WatchEnabled == 1;
}

VKT_PAGED_ROUTINE NTSTATUS ValidateWatchListRequest(DeviceContext* Context, UCHAR RunTimeout,
                                                    UCHAR ShutdownTimeout, ULONG NamesLength,
                                                    PVOID Names) {
    PAGED_CODE();
    if (Names == nullptr || NamesLength < 1 || NamesLength > WATCH_TEXT_MAX ||
        RunTimeout < TIMEOUT_MIN || ShutdownTimeout < TIMEOUT_MIN || WatchListAlreadySet(Context)) {
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

VKT_PAGED_ROUTINE NTSTATUS ProbeCallerNames(PVOID Names, ULONG NamesLength) {
    PAGED_CODE();
    NTSTATUS status = STATUS_SUCCESS;
    VKT_GUARD_TRY
    ProbeForRead(Names, NamesLength, 1);
    VKT_GUARD_EXCEPT(status)
    VKT_GUARD_END
    return status;
}

// Copies the caller's text into a zeroed pool buffer two bytes longer,
// rounded up to whole characters, so that a zero character always ends it.
VKT_PAGED_ROUTINE NTSTATUS CopyCallerNames(DeviceContext* Context, PVOID Names, ULONG NamesLength) {
    PAGED_CODE();
    ULONG size = (NamesLength + sizeof(WCHAR) + 1) & ~1UL;
    auto* text = static_cast<PWCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, size, VKT_POOL_TAG));
    if (text == nullptr) {
        return WATCH_TEXT_NO_POOL;
    }
    RtlZeroMemory(text, size);
    NTSTATUS status = STATUS_SUCCESS;
    VKT_GUARD_TRY
    memcpy_s(text, size, Names, NamesLength);
    VKT_GUARD_EXCEPT(status)
    VKT_GUARD_END
    if (status < 0) {
        ExFreePoolWithTag(text, VKT_POOL_TAG);
        return status;
    }
    Context->WatchListText = text;
    return STATUS_SUCCESS;
}

// Splits the text in place at its commas into entries, in order. An empty
// field makes no entry: an empty name would match the idle process and keep
// the watchdog fed whatever else dies. Without pool for an entry the split
// stops, the entries made so far stand, and the shortage is reported.
VKT_PAGED_ROUTINE NTSTATUS SplitWatchListText(DeviceContext* Context, ULONG TextCharacters,
                                              const CaseVariants* Variants) {
    PAGED_CODE();
    PWCHAR current = Context->WatchListText;
    PWCHAR end = Context->WatchListText + TextCharacters;
    while (current < end && wcsnlen(current, end - current) != 0) {
        PWCHAR comma = wcschr(current, WATCH_SEPARATOR);
        if (comma != nullptr) {
            *comma = 0;
        }
        if (comma != current) {
            auto* entry = static_cast<WatchEntry*>(
                ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(WatchEntry), VKT_POOL_TAG));
            if (entry == nullptr) {
                return WATCH_TEXT_NO_POOL;
            }
            RtlInitUnicodeString(&entry->ImageName, current);
            ComputeNameKey(&entry->ImageName, nullptr, &entry->NameKey);
            MarkWatchedName(Context->NameFilter, &entry->ImageName, entry->NameKey, Variants);
            InsertTailList(&Context->WatchList, &entry->Links);
        }
        if (comma == nullptr) {
            break;
        }
        current = comma + 1;
    }
    return STATUS_SUCCESS;
}

// A list without a single name is refused and nothing of it is kept, so
// that a later command 4 with names can still set the list: keeping it
// would tell the caller the list is in force while the watchdog is never
// armed. The same holds when not even the first entry got pool.
VKT_PAGED_ROUTINE NTSTATUS BuildWatchListLocked(DeviceContext* Context, UCHAR RunTimeout,
                                                UCHAR ShutdownTimeout, ULONG NamesLength,
                                                PVOID Names) {
    PAGED_CODE();
    if (WatchListAlreadySet(Context)) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = CopyCallerNames(Context, Names, NamesLength);
    if (status < 0) {
        return status;
    }
    CaseVariants variants;
    FindCaseVariants(&variants);
    status =
        SplitWatchListText(Context, (NamesLength + sizeof(WCHAR) + 1) / sizeof(WCHAR), &variants);
    FreeCaseVariants(&variants);
    if (IsListEmpty(&Context->WatchList)) {
        ExFreePoolWithTag(Context->WatchListText, VKT_POOL_TAG);
        Context->WatchListText = nullptr;
        return status < 0 ? status : STATUS_INVALID_PARAMETER;
    }
    // Commands 5 and 6 and the way into a low-power state read the timeouts
    // without the list's lock: they are published before the flag that says
    // a list is in force, which is read with acquire semantics.
    __atomic_store_n(&Context->RunTimeout, RunTimeout, __ATOMIC_RELAXED);
    __atomic_store_n(&Context->ShutdownTimeout, ShutdownTimeout, __ATOMIC_RELAXED);
    __atomic_store_n(&Context->WatchEnabled, 1, __ATOMIC_RELEASE);
    return STATUS_SUCCESS;
}

} // namespace

VKT_PAGED_ROUTINE NTSTATUS SetWatchList(DeviceContext* Context, UCHAR RunTimeout,
                                        UCHAR ShutdownTimeout, ULONG NamesLength, PVOID Names) {
    PAGED_CODE();
    NTSTATUS status =
        ValidateWatchListRequest(Context, RunTimeout, ShutdownTimeout, NamesLength, Names);
    if (status < 0) {
        return status;
    }
    status = ProbeCallerNames(Names, NamesLength);
    if (status < 0) {
        return status;
    }
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&Context->WatchListLock, TRUE);
    status = BuildWatchListLocked(Context, RunTimeout, ShutdownTimeout, NamesLength, Names);
    ExReleaseResourceLite(&Context->WatchListLock);
    KeLeaveCriticalRegion();
    return status;
}

VKT_PAGED_ROUTINE VOID ReadWatchTimeouts(DeviceContext* Context, ULONG* RunTimeout,
                                         ULONG* ShutdownTimeout) {
    PAGED_CODE();
    bool enabled = __atomic_load_n(&Context->WatchEnabled, __ATOMIC_ACQUIRE) != 0;
    *RunTimeout =
        enabled ? static_cast<ULONG>(__atomic_load_n(&Context->RunTimeout, __ATOMIC_RELAXED)) : 0;
    *ShutdownTimeout = __atomic_load_n(&Context->ShutdownTimeout, __ATOMIC_RELAXED);
}
