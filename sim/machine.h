// The whole simulated machine: firmware, the ACPI device, the driver loaded
// over it, processes, power and device removal, in virtual time, with a
// trace of everything that happens. When the firmware's watchdog expires
// the machine resets as hardware does (every process ends, the driver gets
// no request, the registry is kept) and boots again.
//
// The firmware keeps one thing across a reset: it remembers that it reset
// the machine. After a boot that followed a watchdog reset, the value
// "GSXS" returns has bit 7 (0x80) of its status byte set and carries in
// bits 8 to 15 the state code it last held before the reset; after any
// other boot both are clear. The other bits of the status byte are the
// scenario's ("firmware status").
#pragma once

#include "client/user_platform.h"
#include "sim/acpi_device.h"
#include "sim/pnp_manager.h"
#include "sim/trace.h"

#include <map>
#include <memory>
#include <set>

namespace sim {

// The firmware watchdog at one moment, for the timeline.
struct WatchdogSample {
    uint64_t Time;       // machine time
    bool Open;           // counting down
    uint64_t Deadline;   // machine time of expiry while open
    bool Halted = false; // open but halted while the platform sleeps
    uint64_t Left = 0;   // while halted: time left when it halted
};

// A command a process sends through the client library.
struct ClientCommand {
    enum class Kind { Nop, Status, Report, Watch, EnterA, EnterB, Raw };
    Kind What = Kind::Nop;
    uint8_t Code = 0;             // Report: the state code
    uint8_t RunSeconds = 0;       // Watch: run timeout
    uint8_t ShutdownSeconds = 0;  // Watch: shutdown timeout
    std::u16string Names;         // Watch: the name list, put in the process's memory
    uint32_t ControlCode = 0;     // Raw: the control code
    std::vector<uint8_t> Input;   // Raw: the input bytes
    uint32_t OutputLength = 0;    // Raw: output capacity
    std::string Describe() const; // "report 0x40", for the trace
};

// A firmware behaviour the scenario sets: a method failing, pending or
// answering oddly.
struct FirmwareRule {
    std::string Method;       // four characters, or "*"
    AcpiFault Fault;          // a failure, a delay or an odd answer
    NTSTATUS Status;          // for FailWithStatus
    uint64_t Delay;           // for Pend
    uint32_t Count;           // evaluations it holds for, whichever boot; 0 for every one
    int Form = kAnyInputForm; // the input form it applies to (see AcpiDevice)
};

class Machine {
  public:
    // A fresh machine, powered off, with the registry as installed.
    Machine();
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // ----- set-up: any time; what the driver reads at device creation takes
    // effect at the next one
    void SetDebugger(bool enabled);
    void SetExport(const std::string& routine, bool exported);
    void SetFirmwareStatus(uint8_t bits);
    void AddFirmwareRule(const FirmwareRule& rule);
    void ClearFirmwareRules();
    // Whether the firmware's watchdog counts on while the platform sleeps
    // (S1 to S4); by default it halts, and goes on from where it halted when
    // the platform wakes.
    void SetSleepCounting(bool counting);
    void SetRegistryValue(const std::u16string& key, const std::u16string& name, ULONG type,
                          const std::vector<uint8_t>& data);
    void DeleteRegistryKey(const std::u16string& key);
    // Folders and files on the simulated volumes ("C:\..." paths); they
    // survive reboots.
    void MakeFolder(const std::string& path);
    void MakeFile(const std::string& path);

    // ----- the machine's life
    bool PoweredOn() const { return acpi_ != nullptr; }
    void PowerOn();
    // Lets machine time pass up to `time` before the machine is powered on.
    void WaitPoweredOff(uint64_t time);
    // Machine time, 100-ns units since the scenario began.
    uint64_t Now() const;
    // Runs until `time`, resets and boots included.
    void RunUntil(uint64_t time);
    // Ends a step: its log entries are traced, and a watchdog that expired
    // while the step waited for the firmware resets the machine now.
    void FinishStep();
    // An orderly restart: processes end, the system shuts down, the machine
    // boots again.
    void Reboot();

    // ----- processes, by the scenario's label; a process starts from an
    // executable file on a volume, and does not start without one
    void StartProcess(const std::string& label, const std::string& path, bool administrator);
    void EndProcess(const std::string& label);
    bool HasProcess(const std::string& label) const { return processes_.count(label) != 0; }
    // Opens and closes the device through the client library; with a name,
    // the process opens that name itself (CreateFileW, read access: the
    // least a caller needs, since the driver's control code asks for none).
    // With an access ("none", "read" or "read-write") the process opens the
    // name, or the device's own, itself asking for that access.
    void OpenDevice(const std::string& label, const std::string& name = "",
                    const std::string& access = "");
    void CloseDevice(const std::string& label);
    // Sends a command through the client library; returns the system error code.
    DWORD Send(const std::string& label, const ClientCommand& command);
    // Runs vktctl in the process, with its arguments after the program's
    // name; returns its exit code and appends its lines to `lines`.
    int RunVktctl(const std::string& label, const std::vector<std::string>& arguments,
                  std::vector<std::string>* lines);

    // ----- power and Plug and Play
    // Set-power for a sleep state (S1 to S3) or hibernation; unless the entry
    // hangs, the platform then sleeps until Wake: the machine's kernel stands
    // still and the firmware's watchdog halts or counts on as set.
    void Sleep(SYSTEM_POWER_STATE state = PowerSystemSleeping3, bool hang = false);
    void Hibernate(bool toShutdown, bool hang = false);
    void Shutdown();
    void Wake();
    // A device set-power request, and a query-power request for a system
    // state (`system` true) or a device state.
    void SetDevicePower(DEVICE_POWER_STATE state);
    void QueryPower(bool system, ULONG state);
    void RemoveDevice();
    void AddDevice();
    // One Plug and Play request to the device's stack (start, the queries,
    // stop, surprise removal and their cancellations).
    void SendPnp(UCHAR minor);
    // The device disappears: surprise removal, the processes close their
    // handles, removal.
    void Unplug();
    bool Asleep() const { return asleep_; }

    // ----- the DOS device names; a target is an NT name or a path on an
    // existing letter ("C:\\Users\\eve"), resolved in the global directory
    // A drive letter of the system's own, for every process.
    void DefineGlobalLetter(const std::string& letter, const std::string& target);
    // The process defines a letter for its logon session: through
    // DefineDosDevice (`define`), or as a symbolic link it creates in its
    // session's directory (held while the process runs).
    void DefineProcessLetter(const std::string& label, const std::string& letter,
                             const std::string& target, bool define);
    // The next attachment of a device to the stack fails.
    void FailNextAttachment();

    // ----- what happened
    const std::vector<TraceEvent>& Events() const { return events_; }
    const std::vector<WatchdogSample>& WatchdogSamples() const { return samples_; }
    sim::Firmware& Firmware() { return acpi_->Firmware(); }
    PDEVICE_OBJECT DriverDevice() const { return device_; }
    uint32_t Boots() const { return boots_; }

  private:
    // One process the scenario started.
    struct Process {
        std::string Path;                     // its image path
        bool Administrator;                   // runs as an administrator
        HkProcess* Kernel;                    // the kernel's process
        HkThread* Thread;                     // its thread that talks to the device
        HANDLE Device = INVALID_HANDLE_VALUE; // its handle to the device, if open
    };

    TraceEvent& Emit(const std::string& kind, const std::string& who, const std::string& text);
    void ObserveEvaluation(const Evaluation& evaluation);
    void FlushErrorLog();
    void StampWhenWritten(TraceEvent* event, uint64_t written);
    void SampleWatchdog();
    void Expired(const ResetRecord& record);
    void ResetAndBoot(const std::string& why);
    void EndAllProcesses(const std::string& why);
    void PowerRequest(const std::string& state, SYSTEM_POWER_STATE enter,
                      SYSTEM_POWER_STATE target);
    void FallAsleep(const std::string& state, bool hang);
    void SleepUntil(uint64_t time);
    void EmitRequest(const std::string& who, const std::string& request, NTSTATUS status,
                     std::optional<DWORD> error);
    void EmitCycle(size_t mark);
    void FinishChunk(size_t mark, bool cycleRan);
    void MarkUntimedRuns(size_t mark);
    uint32_t GsxsValue() const;
    Process& Find(const std::string& label);

    std::unique_ptr<AcpiDevice> acpi_;         // the ACPI device and firmware of this boot
    std::unique_ptr<PnpManager> pnp_;          // this boot's Plug and Play manager
    PDEVICE_OBJECT device_ = nullptr;          // the driver's device, while added
    uint64_t base_ = 0;                        // machine time at which this boot's kernel began
    uint32_t boots_ = 0;                       // boots so far
    bool debugger_ = false;                    // kernel debugger enabled
    std::set<std::string> removedExports_;     // routines the kernel does not export
    uint8_t statusBits_ = 0;                   // the scenario's bits of the status byte
    bool resetBoot_ = false;                   // this boot followed a watchdog reset
    uint8_t stateAtReset_ = 0;                 // state code the firmware held at that reset
    std::vector<FirmwareRule> rules_;          // rules that hold across reboots
    std::vector<FirmwareRule> nextBootRules_;  // counted rules not used up, for the next boot
    std::map<std::string, Process> processes_; // by label
    std::string actor_ = "machine";            // who causes what happens now
    size_t logSeen_ = 0;                       // error-log entries already traced
    bool resetPending_ = false;                // the watchdog expired in this boot
    bool resetting_ = false;                   // the reset is being carried out
    TraceEvent discarded_;                     // what Emit hands out while the machine resets
    uint64_t resetKernelTime_ = 0;             // kernel time of that expiry
    SYSTEM_POWER_STATE lowState_ = PowerSystemWorking; // the state entered, until wake
    bool sleepCounting_ = false;                       // the watchdog counts while asleep
    bool asleep_ = false;                              // the platform sleeps, until wake
    uint64_t asleepDeadline_ = 0;         // machine time of expiry while asleep and counting
    std::vector<TraceEvent> events_;      // everything, in order
    std::vector<WatchdogSample> samples_; // the watchdog after every change
};

} // namespace sim
