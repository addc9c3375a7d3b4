// The host kernel's internal state, shared by its components. One instance
// exists at a time; Reset replaces it.
#pragma once

#include "hostkernel/control.h"
#include "hostkernel/se/security_control.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

// A simulated process.
struct HkProcess {
    uint64_t Id;                                        // process id
    std::u16string ImageName;                           // bare image file name; empty for idle
    bool Alive = true;                                  // false once terminated
    uint32_t SnapshotThreads = 1;                       // threads listed in a process snapshot
    std::map<uint64_t, std::vector<uint8_t>> UserPages; // mapped user pages by address
    uint64_t NextUserAddress = 0;                       // where the next user allocation goes
    std::u16string ImagePath = {};                      // full NT name of the image, if known
    std::optional<hk::Token> Token; // its security identity; none: the default (ProcessToken)
};

// What a blocked thread waits for.
enum class HkWaitKind {
    None,     // it does not wait
    Object,   // an event or timer to be signalled
    Resource, // a resource to be granted
    Request,  // a request it sent to be completed
    Thread,   // a thread to finish its body
    Quiet,    // nothing to be left to run up to its deadline (RunFor, RunPending)
};

// One wait of a thread, from the moment it blocks until it is woken.
struct HkWait {
    HkWaitKind Kind = HkWaitKind::None; // what it waits for
    const void* Object = nullptr;       // the object, resource, request or thread
    uint64_t Deadline = UINT64_MAX;     // virtual time it stops waiting; UINT64_MAX: never
    bool DeadlockAtDeadline = false;    // the deadline only bounds a wait that has no time-out
    uint64_t Sequence = 0;              // order of waiting: the first waiter is woken first
    const void* Caller = nullptr;       // routine that waits, for the deadlock report
    NTSTATUS Status = 0;                // how the wait ended
    bool Alertable = false;             // an alert ends it early (KeWaitForSingleObject)
    KPROCESSOR_MODE Mode = KernelMode;  // the wait's mode, which says how an alert ends it
};

enum class HkThreadState {
    Idle,    // runs no body: created, finished, or a worker with nothing to do
    Ready,   // waits for its turn to run
    Running, // the one thread that runs
    Blocked, // waits for what Wait names
};

namespace hk {
struct Fiber;
}

// A simulated thread: the test's own, a sender of requests, or a system worker.
struct HkThread {
    uint64_t Id;                               // thread id
    HkProcess* Process;                        // the process it runs in
    KIRQL Irql;                                // current interrupt request level
    int CriticalRegions;                       // depth of KeEnterCriticalRegion
    int GuardedRegions = 0;                    // depth of KeEnterGuardedRegion
    std::vector<PIRP> HeldCompletions;         // its requests' completions it cannot take yet
    bool Alerted = false;                      // an alert waits for its next alertable wait
    std::vector<PERESOURCE> Held;              // resources owned, in order of acquisition
    HkThreadState State = HkThreadState::Idle; // where it is in the scheduler
    HkWait Wait;                               // what it waits for while Blocked
    hk::Fiber* Fiber = nullptr;                // its execution context while it has a body
    std::function<void()> Body;                // what it runs on that context
    struct HkWorkItem* Item = nullptr;         // the work item a worker runs
    bool Unwinding = false;                    // a reset ends it where it waits
};

// A work item of the I/O manager.
struct HkWorkItem {
    PDEVICE_OBJECT Device;        // device the item was allocated for
    PIO_WORKITEM_ROUTINE Routine; // routine of the pending run
    PVOID Context;                // its context
    bool Queued;                  // waiting to run
    bool Running;                 // its routine is running
    bool Freed;                   // IoFreeWorkItem was called
    const void* AllocatedBy;      // caller of IoAllocateWorkItem, for leak reports
};

namespace hk {

// One pool allocation.
struct PoolBlock {
    size_t Size;        // bytes asked for
    ULONG Tag;          // pool tag
    POOL_TYPE Type;     // pool type
    bool Paged;         // from paged pool
    size_t MappedSize;  // bytes of the block's own pages
    const void* Caller; // allocating routine
};

// What the I/O manager knows of one request.
struct IrpRecord {
    bool Completed = false;         // IofCompleteRequest finished with it
    NTSTATUS CompletionStatus = 0;  // IoStatus.Status when completed
    bool Built = false;             // made by IoBuildDeviceIoControlRequest
    bool Buffered = false;          // METHOD_BUFFERED: SystemBuffer is the kernel's
    ULONG OutputLength = 0;         // caller's output capacity
    std::vector<uint8_t> Output;    // output copied back at completion (for Send)
    ULONG Method = METHOD_BUFFERED; // transfer method of a control request
    HkProcess* Sender = nullptr;    // process whose user memory the caller's buffers are in
    uint64_t UserOutput = 0;        // the caller's output buffer there, 0 for none
    bool MirroredOutput = false;    // MdlAddress maps a system-space copy of UserOutput
    size_t Pages = 0;               // bytes of the packet's own pages
    bool Retired = false;           // its pages are gone: the completion has finished
    IO_STATUS_BLOCK Final{};        // IoStatus when the completion finished
    uint64_t PendingMarks = 0;      // stack locations (by index) found marked pending then
    ACCESS_STATE AccessState{};     // a create's access, as the object manager checked it
    IO_SECURITY_CONTEXT Security{}; // a create's security context, pointing to AccessState
};

// A dispatch routine running for a request, innermost last.
struct DispatchFrame {
    PIRP Irp;          // the request
    bool PassedOn;     // the routine sent it to another device
    bool LowerPending; // and that device answered STATUS_PENDING
};

// The entry of a fault rule for a named routine.
struct RoutineFault {
    NTSTATUS Status;    // status to fail with
    uint64_t Remaining; // failures left after the calls let through
    uint64_t Skip;      // calls still to let through
};

struct Kernel {
    uint64_t Now = 0;      // virtual time
    uint64_t Sequence = 0; // fixes the order of equal-time events
    std::deque<std::unique_ptr<HkProcess>> Processes;
    std::deque<std::unique_ptr<HkThread>> Threads;
    HkProcess* System = nullptr;               // the system process
    HkThread* Current = nullptr;               // the thread now running
    std::deque<HkThread*> Ready;               // threads ready to run, first to run first
    std::vector<HkThread*> IdleWorkers;        // system workers with nothing to do
    uint64_t WaitSequence = 0;                 // orders waiters
    struct ScheduleChooser* Chooser = nullptr; // the explorer deciding every switch, or null
    HkThread* SecondProcessor = nullptr;       // runs deferred calls beside the threads, or null

    std::map<void*, PoolBlock> Pool;    // live allocations
    uint64_t Allocations = 0;           // allocations attempted
    uint64_t FailAtAllocation = 0;      // fail this allocation number (0: none)
    std::map<ULONG, uint64_t> FailTags; // tag -> failures left (UINT64_MAX: always)
    std::map<std::string, RoutineFault> RoutineFaults;
    size_t NonPagedBytes = 0; // bytes now allocated from non-paged pool
    size_t NonPagedPeak = 0;  // the most of them at once since the last reset of the peak

    std::map<std::pair<uint64_t, uint64_t>, PKTIMER> Timers; // armed timers by (due, seq)
    std::map<std::pair<uint64_t, uint64_t>, std::function<void()>> Events; // machine events
    std::deque<PKDPC> Dpcs;                                                // queued deferred calls
    std::vector<std::unique_ptr<HkWorkItem>> WorkItems;

    std::set<PERESOURCE> Resources;                        // initialised, not deleted
    std::set<std::pair<PERESOURCE, PERESOURCE>> LockOrder; // (first, then) pairs seen

    std::map<PIRP, IrpRecord> Irps;    // every request, until Reset
    std::vector<DispatchFrame> Frames; // dispatch routines running

    std::vector<PDRIVER_OBJECT> Drivers;                  // loaded driver objects
    std::map<PDRIVER_OBJECT, std::u16string> DriverNames; // texts behind DriverName
    std::vector<PDEVICE_OBJECT> Devices;                  // live device objects
    std::vector<PDEVICE_OBJECT> DeletedDevices; // kept until Reset, so stale use reads junk
    std::map<PDEVICE_OBJECT, size_t> ExtensionSizes;
    std::map<std::u16string, PDEVICE_OBJECT> DeviceNames; // upcased name -> device
    std::map<std::u16string, std::u16string> Links;       // upcased link -> device name

    std::map<std::string, void*> Exports; // names MmGetSystemRoutineAddress finds

    std::map<const void*, std::multiset<const void*>> RemoveLockTags; // lock -> tags of references
};

Kernel& K();

// Stops the test: a verifier rule was broken.
[[noreturn]] void VerifierStop(const std::string& rule, const std::string& routine,
                               const std::string& object);

// Consumes one injected failure of a named routine, if any.
bool TakeRoutineFault(const std::string& name, NTSTATUS* status);

// Text for messages.
std::string Hex(uint64_t value);
std::string Narrow(const std::u16string& text);
std::u16string Upcase(const std::u16string& text);
std::u16string FromCounted(PCUNICODE_STRING string);

// Raises or lowers the current thread's level, keeping paged pool out of
// reach while it is at DISPATCH_LEVEL or above.
void SetIrql(KIRQL irql);

// User memory: whether a range touches user memory (anything below
// MmUserProbeAddress but the host objects that stand for kernel memory),
// whether the current process mapped every page of a user range, and the
// copy that goes through the current process's pages, raising on a byte it
// did not map.
bool TouchesUserMemory(const void* address, size_t size);
bool UserRangeMapped(uint64_t address, size_t size);
void CopyThroughUserPages(void* destination, const void* source, size_t count);

// Turns faults on paged pool at raised level and on user memory touched
// without the copy routine into verifier stops.
void InstallFaultHandler();

// Stops when a kernel object that the kernel touches at DISPATCH_LEVEL (a
// timer, a deferred call, a resource) lies in paged pool.
void CheckNonPagedObject(const void* object, const char* kind, const void* caller);

// Pool protection follows the level.
void ProtectPagedPool(bool inaccessible);
// Drops a block's pages at once, for a reset of the kernel.
void DropPoolBlock(void* address, size_t mappedSize);

// Gives a thread that has come down to PASSIVE_LEVEL outside a guarded
// region the completions of its own requests that waited for that.
void DeliverHeldCompletions(HkThread* thread);

// Runs every queued deferred call.
void DrainDpcs();
// Fires the earliest alarm (timer or machine event) due at or before `limit`.
bool FireNextAlarm(uint64_t limit);
// The due time of the earliest alarm; UINT64_MAX when none is armed.
uint64_t NextAlarmTime();

// Runs driver code; an exception it leaves unhandled stops the test as it
// stops the platform.
void RunDriverCode(const void* routine, const std::function<void()>& body);

// Checks a thread returning from driver code for locks and regions it kept.
void CheckBalancedReturn(HkThread* thread, size_t heldBefore, int regionsBefore,
                         const void* routine);

// Verifier checks that need the I/O manager's knowledge of a device.
void CheckDeviceQuiet(PDEVICE_OBJECT device, const void* caller);
void CheckNoLiveObjectsIn(const void* start, size_t size, const void* caller, const char* what);
// Stops on a remove lock with references held in memory being freed, and
// forgets the locks there.
void ForgetRemoveLocksIn(const void* start, size_t size, const void* caller);

} // namespace hk
