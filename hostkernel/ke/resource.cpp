// Executive resources, exclusive use only, with the verifier's rules:
// acquired inside a critical region, released by the owner, deleted free,
// and taken in one consistent order. A thread that finds a resource held
// waits; release hands it to the thread that has waited longest.
#include "hostkernel/ke/scheduler.h"
#include "hostkernel/verifier/levels.h"

namespace hk {

namespace {

constexpr ULONG kLiveResource = 0x45524553; // marks an initialised resource

std::string Describe(PERESOURCE resource) {
    return "resource " + Hex(reinterpret_cast<uintptr_t>(resource));
}

void CheckLive(PERESOURCE resource, const void* caller) {
    if (resource->Magic != kLiveResource || K().Resources.count(resource) == 0) {
        VerifierStop("uses a resource that is not initialised or already deleted",
                     RoutineName(caller), Describe(resource));
    }
}

// Records that `resource` is taken while everything in `held` is held, and
// stops when the opposite order was seen before.
void CheckLockOrder(const std::vector<PERESOURCE>& held, PERESOURCE resource, const void* caller) {
    Kernel& kernel = K();
    for (PERESOURCE earlier : held) {
        if (earlier == resource) {
            continue;
        }
        if (kernel.LockOrder.count({resource, earlier}) != 0) {
            VerifierStop("takes locks in an order that inverts an order seen before",
                         RoutineName(caller),
                         Describe(resource) + " taken while holding " + Describe(earlier));
        }
        kernel.LockOrder.insert({earlier, resource});
    }
}

} // namespace

void CheckNoLiveObjectsIn(const void* start, size_t size, const void* caller, const char* what) {
    Kernel& kernel = K();
    auto inside = [&](const void* object) {
        auto address = reinterpret_cast<uintptr_t>(object);
        auto base = reinterpret_cast<uintptr_t>(start);
        return address >= base && address < base + size;
    };
    for (PERESOURCE resource : kernel.Resources) {
        if (inside(resource)) {
            VerifierStop(std::string("frees a ") + what + " holding a resource not deleted",
                         RoutineName(caller), Describe(resource));
        }
    }
    for (auto& [key, timer] : kernel.Timers) {
        if (inside(timer)) {
            VerifierStop(std::string("frees a ") + what + " holding an armed timer",
                         RoutineName(caller), "timer " + Hex(reinterpret_cast<uintptr_t>(timer)));
        }
    }
    for (PKDPC dpc : kernel.Dpcs) {
        if (inside(dpc)) {
            VerifierStop(std::string("frees a ") + what + " holding a queued deferred call",
                         RoutineName(caller), "DPC " + Hex(reinterpret_cast<uintptr_t>(dpc)));
        }
    }
}

} // namespace hk

using hk::K;

NTSTATUS ExInitializeResourceLite(PERESOURCE Resource) {
    HK_CHECK_LEVEL(ExInitializeResourceLite);
    hk::CheckNonPagedObject(Resource, "resource", __builtin_return_address(0));
    Resource->Magic = hk::kLiveResource;
    Resource->OwnerThread = nullptr;
    Resource->OwnerCount = 0;
    K().Resources.insert(Resource);
    return STATUS_SUCCESS;
}

NTSTATUS ExDeleteResourceLite(PERESOURCE Resource) {
    HK_CHECK_LEVEL(ExDeleteResourceLite);
    const void* caller = __builtin_return_address(0);
    hk::CheckLive(Resource, caller);
    if (Resource->OwnerThread != nullptr) {
        hk::VerifierStop("deletes a resource that is held", hk::RoutineName(caller),
                         hk::Describe(Resource));
    }
    Resource->Magic = 0;
    K().Resources.erase(Resource);
    for (auto it = K().LockOrder.begin(); it != K().LockOrder.end();) {
        it = (it->first == Resource || it->second == Resource) ? K().LockOrder.erase(it) : ++it;
    }
    return STATUS_SUCCESS;
}

BOOLEAN ExAcquireResourceExclusiveLite(PERESOURCE Resource, BOOLEAN Wait) {
    HK_CHECK_LEVEL(ExAcquireResourceExclusiveLite);
    const void* caller = __builtin_return_address(0);
    HkThread* thread = K().Current;
    hk::CheckLive(Resource, caller);
    if (thread->Irql > APC_LEVEL || (thread->Irql == APC_LEVEL && Wait)) {
        hk::VerifierStop("acquires a resource above APC_LEVEL", hk::RoutineName(caller),
                         hk::Describe(Resource));
    }
    if (thread->CriticalRegions == 0 && thread->Irql < APC_LEVEL) {
        hk::VerifierStop("acquires a resource outside a critical region", hk::RoutineName(caller),
                         hk::Describe(Resource));
    }
    if (Resource->OwnerThread == thread) {
        Resource->OwnerCount++;
        return TRUE;
    }
    hk::SchedulingPoint();
    if (Resource->OwnerThread != nullptr && !Wait) {
        return FALSE;
    }
    hk::CheckLockOrder(thread->Held, Resource, caller);
    if (Resource->OwnerThread != nullptr) {
        // The releasing owner makes this thread the owner before waking it.
        hk::Block(HkWait{HkWaitKind::Resource, Resource, K().Now + hk::kDeadlockHorizon, true, 0,
                         caller});
        return TRUE;
    }
    Resource->OwnerThread = thread;
    Resource->OwnerCount = 1;
    thread->Held.push_back(Resource);
    return TRUE;
}

VOID ExReleaseResourceLite(PERESOURCE Resource) {
    HK_CHECK_LEVEL(ExReleaseResourceLite);
    const void* caller = __builtin_return_address(0);
    HkThread* thread = K().Current;
    hk::SchedulingPoint();
    hk::CheckLive(Resource, caller);
    if (Resource->OwnerThread != thread) {
        hk::VerifierStop("releases a resource it does not own", hk::RoutineName(caller),
                         hk::Describe(Resource));
    }
    if (--Resource->OwnerCount == 0) {
        Resource->OwnerThread = nullptr;
        auto& held = thread->Held;
        for (auto it = held.begin(); it != held.end(); ++it) {
            if (*it == Resource) {
                held.erase(it);
                break;
            }
        }
        if (HkThread* waiter = hk::FirstWaiter(Resource)) {
            Resource->OwnerThread = waiter;
            Resource->OwnerCount = 1;
            waiter->Held.push_back(Resource);
            hk::Wake(waiter, STATUS_SUCCESS);
        }
    }
}

BOOLEAN ExIsResourceAcquiredExclusiveLite(PERESOURCE Resource) {
    HK_CHECK_LEVEL(ExIsResourceAcquiredExclusiveLite);
    return Resource->OwnerThread == K().Current;
}
