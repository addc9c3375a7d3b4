// What tests and the simulated machine use to steer and observe the host
// kernel: virtual time, threads and processes, fault injection, the routines
// the kernel "exports", and the verifier's leak check. Nothing here is
// visible to driver code.
#pragma once

#include "hostkernel/nt.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace hk {

// 100-nanosecond units, the kernel's unit of time.
constexpr uint64_t kMillisecond = 10'000;
constexpr uint64_t kSecond = 10'000'000;
constexpr uint64_t kMinute = 60 * kSecond;
constexpr uint64_t kHour = 60 * kMinute;

// ----- lifetime of the kernel ---------------------------------------------

// Throws away all kernel state and starts a fresh kernel at virtual time 0.
void Reset();

// Everything still allocated, open, queued or armed that the driver should
// have released: pool blocks, work items, requests, devices, links, handles.
// One line per finding; empty when clean.
std::vector<std::string> FindLeaks();

// ----- virtual time --------------------------------------------------------

uint64_t Now();

// Runs deferred calls, work items, timers and machine events in their fixed
// order until virtual time reaches Now() + duration.
void RunFor(uint64_t duration);

// Runs everything that is ready at the current time without advancing it.
void RunPending();

// Schedules a callback of the simulated machine at an absolute virtual time;
// it runs at DISPATCH_LEVEL like a deferred call. Returns an id for cancel.
uint64_t ScheduleAt(uint64_t time, std::function<void()> callback);
void CancelScheduled(uint64_t id);

// ----- threads and processes ----------------------------------------------

HkProcess* SystemProcess();
HkThread* CurrentThread();

// A process with its image file name (the bare name the system reports).
HkProcess* CreateProcess(const std::u16string& imageName);

// Ends a process: it no longer appears in process snapshots.
void TerminateProcess(HkProcess* process);

// How many threads a process lists in a snapshot (each takes room there).
void SetSnapshotThreads(HkProcess* process, uint32_t threads);

// ----- user memory -----------------------------------------------------------
// Every address below MmUserProbeAddress is user memory. Each process maps
// its own pages inside the window [kUserWindowBase, kUserWindowEnd), which
// the host kernel reserved from the host at start-up so that no host object
// lies in it; kUserWindowEnd is MmUserProbeAddress. The kernel's copy
// routine reaches a process's pages, and a copy that touches an address the
// process did not map, anywhere below the limit, raises the platform's
// access violation.

extern const uint64_t kUserWindowBase;
extern const uint64_t kUserWindowEnd;
constexpr uint64_t kUserPageSize = 4096;

// Maps zeroed pages for `bytes` and returns their user address.
uint64_t AllocateUserMemory(HkProcess* process, size_t bytes);
void WriteUserMemory(HkProcess* process, uint64_t address, const void* data, size_t size);
// Reads a process's user memory; false when a byte of the range is unmapped.
bool ReadUserMemory(HkProcess* process, uint64_t address, void* data, size_t size);
void UnmapUserPage(HkProcess* process, uint64_t address);

// A new thread in a process. Threads live until Reset.
HkThread* CreateThread(HkProcess* process);

// Runs `body` as `thread` (at PASSIVE_LEVEL, on the thread's own context)
// and waits until it has finished; other threads run while it waits. The
// verifier checks that the thread leaves no lock held.
void RunAs(HkThread* thread, const std::function<void()>& body);

// Work items queued and not yet started, in the order they will start.
size_t QueuedWorkItems();

// ----- drivers, devices and requests ---------------------------------------

// Creates a driver object and calls its entry routine at PASSIVE_LEVEL.
PDRIVER_OBJECT LoadDriver(PDRIVER_INITIALIZE entry, const std::u16string& serviceName,
                          NTSTATUS* entryStatus);

// Calls the unload routine, checks for leaks, and frees the driver object.
void UnloadDriver(PDRIVER_OBJECT driver);

// A driver object for a stand-in driver of the simulated machine, created
// without an entry routine; freed by UnloadDriver or Reset.
PDRIVER_OBJECT CreateStandInDriver(const std::u16string& name);

// A request as the I/O manager would send it to the top of a device's stack.
struct Request {
    UCHAR major = 0;                         // IRP_MJ_ code
    UCHAR minor = 0;                         // IRP_MN_ code
    ULONG ioControlCode = 0;                 // for device control
    std::vector<uint8_t> input;              // buffered input
    ULONG outputLength = 0;                  // buffered output capacity
    ULONG length = 0;                        // read and write length
    IO_STACK_LOCATION parameters{};          // other parameters, copied into the first location
    bool useParameters = false;              // copy `parameters` rather than build from the above
    NTSTATUS initialStatus = STATUS_SUCCESS; // IoStatus.Status as the sender sets it
    // The access a create asked for and was granted (generic rights allowed):
    // its security context says so, unless `parameters` brings one.
    ACCESS_MASK createAccess = GENERIC_READ | GENERIC_WRITE;
    bool withoutSecurityContext = false; // a create without one, which the platform never sends
    // A control request carries the caller's buffers as the control code's
    // transfer method says: METHOD_NEITHER hands the driver the caller's
    // own addresses (no system buffer), the direct methods lock the output
    // into a memory descriptor list. The caller's buffers lie in the sending
    // thread's process: at these addresses when given (0: not given), else
    // the I/O manager places `input` and `outputLength` bytes there itself.
    uint64_t inputAddress = 0;  // caller's input buffer
    ULONG inputLength = 0;      // its length, when inputAddress is given
    uint64_t outputAddress = 0; // caller's output buffer, `outputLength` bytes
};

// What became of a request.
struct Outcome {
    NTSTATUS returned = 0;       // what the dispatch routine returned
    bool completed = false;      // completed by the time the sender stopped waiting
    IO_STATUS_BLOCK ioStatus{};  // final status block
    std::vector<uint8_t> output; // output the caller got back (Information bytes)
};

// Sends a request to the top of `device`'s stack from the current thread and
// waits (running pending work in virtual time) until it completes.
Outcome Send(PDEVICE_OBJECT device, const Request& request);

// The top of the stack that `device` belongs to.
PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device);

// Whether a symbolic link exists, and the device name it points to.
bool FindSymbolicLink(const std::u16string& link, std::u16string* target);

// ----- run-time routine lookup and kernel variables --------------------------

// Makes MmGetSystemRoutineAddress find (or stop finding) a routine by name.
void SetExport(const std::string& name, void* routine);
void RemoveExport(const std::string& name);

// ----- fault injection -----------------------------------------------------

// Fails the n-th pool allocation from now (1 is the next one).
void FailNthAllocation(uint64_t n);
// Fails every allocation with this tag, `count` times (0: until cleared).
void FailAllocationsWithTag(ULONG tag, uint64_t count = 0);
// Lets `skip` calls of the named kernel routine through, then fails the next
// `count` with `status` (or a null result). A routine failed so returns having
// done nothing, with a success status too.
void FailRoutine(const std::string& name, NTSTATUS status, uint64_t count = 1, uint64_t skip = 0);
void ClearFaults();

// Number of pool allocations made so far (successful or not).
uint64_t AllocationCount();
// Bytes and blocks currently allocated with a tag.
size_t LiveBlocksWithTag(ULONG tag);

// ----- verifier ------------------------------------------------------------

// The routine that contains a code address, by name, for messages.
std::string RoutineName(const void* code);

} // namespace hk
