// The I/O manager's remove lock: a count of the references that requests
// and deferred work hold on a device, and a wait for the count to drain
// once removal has begun. It blocks on the kernel's own event, so removal
// waits for holders exactly as long as they hold. Like the platform's
// checked build, the verifier tracks each reference by its tag.
#include "hostkernel/kernel_state.h"
#include "hostkernel/verifier/levels.h"
#include "hostkernel/ke/scheduler.h"

namespace hk {

namespace {

std::string Describe(PIO_REMOVE_LOCK lock) {
    return "remove lock " + Hex(reinterpret_cast<uintptr_t>(lock));
}

std::multiset<const void*>& TagsOf(PIO_REMOVE_LOCK lock, const void* caller) {
    auto found = K().RemoveLockTags.find(lock);
    if (found == K().RemoveLockTags.end()) {
        VerifierStop("uses a remove lock that is not initialised or is freed", RoutineName(caller),
                     Describe(lock));
    }
    return found->second;
}

void CheckSize(ULONG size, PIO_REMOVE_LOCK lock, const void* caller) {
    if (size != sizeof(IO_REMOVE_LOCK)) {
        VerifierStop("passes a remove lock of the wrong size", RoutineName(caller),
                     Describe(lock) + ": " + std::to_string(size) + " bytes");
    }
}

// Gives back one reference; the last one after removal began wakes removal.
void Drop(PIO_REMOVE_LOCK lock) {
    if (__atomic_sub_fetch(&lock->Common.IoCount, 1, __ATOMIC_SEQ_CST) == 0) {
        KeSetEvent(&lock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
    }
}

void TakeTag(PIO_REMOVE_LOCK lock, PVOID tag, const void* caller, const char* rule) {
    std::multiset<const void*>& tags = TagsOf(lock, caller);
    auto found = tags.find(tag);
    if (found == tags.end()) {
        VerifierStop(rule, RoutineName(caller),
                     Describe(lock) + ", tag " + Hex(reinterpret_cast<uintptr_t>(tag)));
    }
    tags.erase(found);
}

} // namespace

// The memory of a device extension is being freed: a lock in it with
// references still held would be used after the free, and a lock in it is
// never usable again.
void ForgetRemoveLocksIn(const void* start, size_t size, const void* caller) {
    auto& locks = K().RemoveLockTags;
    auto base = reinterpret_cast<uintptr_t>(start);
    for (auto it = locks.begin(); it != locks.end();) {
        auto address = reinterpret_cast<uintptr_t>(it->first);
        if (address < base || address >= base + size) {
            ++it;
            continue;
        }
        if (!it->second.empty()) {
            VerifierStop("frees a device extension holding a remove lock still held",
                         RoutineName(caller),
                         Describe(static_cast<PIO_REMOVE_LOCK>(const_cast<void*>(it->first))) +
                             ", tag " + Hex(reinterpret_cast<uintptr_t>(*it->second.begin())));
        }
        it = locks.erase(it);
    }
}

} // namespace hk

using hk::K;

VOID IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes,
                              ULONG HighWatermark, ULONG RemlockSize) {
    HK_CHECK_LEVEL(IoInitializeRemoveLockEx);
    UNREFERENCED_PARAMETER(AllocateTag);
    UNREFERENCED_PARAMETER(MaxLockedMinutes);
    UNREFERENCED_PARAMETER(HighWatermark);
    hk::CheckSize(RemlockSize, Lock, __builtin_return_address(0));
    Lock->Common.Removed = FALSE;
    Lock->Common.IoCount = 1;
    KeInitializeEvent(&Lock->Common.RemoveEvent, NotificationEvent, FALSE);
    K().RemoveLockTags[Lock].clear();
}

NTSTATUS IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, const char* File, ULONG Line,
                               ULONG RemlockSize) {
    HK_CHECK_LEVEL(IoAcquireRemoveLockEx);
    UNREFERENCED_PARAMETER(File);
    UNREFERENCED_PARAMETER(Line);
    const void* caller = __builtin_return_address(0);
    hk::CheckSize(RemlockSize, RemoveLock, caller);
    std::multiset<const void*>& tags = hk::TagsOf(RemoveLock, caller);
    __atomic_add_fetch(&RemoveLock->Common.IoCount, 1, __ATOMIC_SEQ_CST);
    if (RemoveLock->Common.Removed) {
        hk::Drop(RemoveLock);
        return STATUS_DELETE_PENDING;
    }
    tags.insert(Tag);
    return STATUS_SUCCESS;
}

VOID IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
    HK_CHECK_LEVEL(IoReleaseRemoveLockEx);
    const void* caller = __builtin_return_address(0);
    hk::CheckSize(RemlockSize, RemoveLock, caller);
    hk::TakeTag(RemoveLock, Tag, caller, "releases a remove lock reference it does not hold");
    hk::Drop(RemoveLock);
}

// Gives back the caller's reference and the lock's own, then waits until
// every other holder has given back theirs. No reference is given after
// this begins.
VOID IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
    HK_CHECK_LEVEL(IoReleaseRemoveLockAndWaitEx);
    const void* caller = __builtin_return_address(0);
    hk::CheckSize(RemlockSize, RemoveLock, caller);
    if (RemoveLock->Common.Removed) {
        hk::VerifierStop("waits for a remove lock a second time", hk::RoutineName(caller),
                         hk::Describe(RemoveLock));
    }
    hk::TakeTag(RemoveLock, Tag, caller, "waits for a remove lock without holding a reference");
    RemoveLock->Common.Removed = TRUE;
    __atomic_sub_fetch(&RemoveLock->Common.IoCount, 1, __ATOMIC_SEQ_CST);
    if (__atomic_sub_fetch(&RemoveLock->Common.IoCount, 1, __ATOMIC_SEQ_CST) > 0) {
        KeWaitForSingleObject(&RemoveLock->Common.RemoveEvent, Executive, KernelMode, FALSE,
                              nullptr);
    }
}

// Flushing waits for a deferred call running on the second processor and
// runs those still queued.
VOID KeFlushQueuedDpcs() {
    HK_CHECK_LEVEL(KeFlushQueuedDpcs);
    hk::FlushDeferredCalls();
}
