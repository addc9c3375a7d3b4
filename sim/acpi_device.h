// The ACPI driver of the simulated machine: the physical device object at
// the bottom of the driver's stack. It answers IOCTL_ACPI_EVAL_METHOD as the
// platform's ACPI driver does, by having the firmware evaluate the method,
// synchronously or later in virtual time, and can be told to misbehave.
#pragma once

#include "sim/firmware.h"

#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace sim {

// One evaluation, as the ACPI driver saw and answered it.
struct Evaluation {
    uint64_t Time;              // virtual time the answer was given
    uint64_t Sent;              // virtual time the request reached the ACPI driver
    std::string Method;         // the method's four characters
    std::vector<uint8_t> Input; // the input bytes as received
    NTSTATUS Status;            // status the ACPI driver completed the request with
    std::optional<uint32_t> Value = std::nullopt; // the integer the output carried, if any
    std::string Odd = "";                         // what was odd about a successful answer
};

// One Plug and Play request as it reached the ACPI device.
struct PnpArrival {
    UCHAR Minor;              // IRP_MN_ code
    NTSTATUS Carried;         // IoStatus.Status on arrival
    NTSTATUS Status;          // status it was completed with
    size_t EvaluationsBefore; // method evaluations answered before it arrived
};

// Ways the ACPI driver can be made to answer the next evaluations of a method.
enum class AcpiFault {
    FailWithStatus, // complete with a failure status, no output
    WrongSignature, // a full output whose signature is not the output signature
    CountZero,      // a well-formed output that carries no value
    BufferOverflow, // 0x80000005: the value did not fit
    Pend,           // answer correctly, but only after a delay
    ShortOutput,    // success, with fewer bytes than the output's header
};

// The input forms of an evaluation, for a fault that only one of them meets.
constexpr int kAnyInputForm = -1; // every form
constexpr int kNoArgument = 0;    // a simple input: the method's name only
// Any other form is the length in bytes (1 to 4) of the integer argument.

class AcpiDevice {
  public:
    // Any method, for a fault rule.
    static constexpr const char* kAnyMethod = "*";

    AcpiDevice();
    ~AcpiDevice();
    AcpiDevice(const AcpiDevice&) = delete;
    AcpiDevice& operator=(const AcpiDevice&) = delete;

    // The ACPI driver names its device as the platform names the devices
    // it enumerates; any program may learn the name (through the device
    // installation API). Until Plug and Play sets another, the device has
    // the platform's default descriptor for a named device: all access for
    // LocalSystem and the Administrators, read and execute for everyone.
    static constexpr const char16_t* kDeviceName = u"\\Device\\0000004a";
    static constexpr const char16_t* kDefaultSddl =
        u"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GRGX;;;WD)(A;;GRGX;;;RC)";

    PDEVICE_OBJECT PhysicalDevice() const { return device_; }
    // The hardware ID the firmware gives the device (its _HID), by which Plug
    // and Play finds the driver for it.
    const std::u16string& HardwareId() const { return hardwareId_; }
    void SetHardwareId(const std::u16string& id) { hardwareId_ = id; }
    sim::Firmware& Firmware() { return firmware_; }

    // The next `count` evaluations of `method` answer with `fault`.
    // With `form`, only evaluations whose input has that form meet the fault.
    void InjectFault(const std::string& method, AcpiFault fault, uint32_t count = 1,
                     NTSTATUS status = STATUS_UNSUCCESSFUL, uint64_t delay = hk::kMillisecond,
                     int form = kAnyInputForm);
    // Every evaluation pends for `delay` (0: answer synchronously again).
    void PendAll(uint64_t delay) { pendAll_ = delay; }
    // A counted fault with the evaluations it has left.
    struct CountedFault {
        std::string Method; // the method, or "*"
        AcpiFault Fault;    // what it does
        NTSTATUS Status;    // for FailWithStatus
        uint64_t Delay;     // for Pend
        uint32_t Remaining; // evaluations left
        int Form;           // input form it applies to
    };
    // The counted faults (not those injected for every evaluation) not used up.
    std::vector<CountedFault> CountedFaults() const;
    // Forgets every injected fault and pending rule.
    void ClearFaults() {
        faults_.clear();
        pendAll_ = 0;
    }
    // Called with every evaluation as it is answered (the scenario trace).
    void OnEvaluation(std::function<void(const Evaluation&)> observer) {
        onEvaluation_ = std::move(observer);
    }

    const std::vector<Evaluation>& Trace() const { return trace_; }
    // Evaluations of `method` sent but not answered yet.
    size_t Unanswered(const std::string& method) const;
    // The methods evaluated so far, in order.
    std::vector<std::string> Methods() const;
    void ClearTrace() { trace_.clear(); }

    // Plug and Play requests: the state changes (start, stop, removal and
    // their queries) succeed, any other keeps the status it carries. The
    // next request of `minor` is completed with `status` instead.
    void FailPnp(UCHAR minor, NTSTATUS status) { pnpFaults_[minor] = status; }
    const std::vector<PnpArrival>& PnpTrace() const { return pnpTrace_; }

    // Deletes the device and its driver before the kernel's leak check.
    void Remove();
    // Forgets the device and its driver without deleting them: a reboot has
    // discarded every kernel object.
    void Discard();
    // The machine lost power: the device is discarded with the kernel that
    // held it, and the firmware's watchdog stops.
    void PowerOff();

  private:
    struct FaultRule {
        AcpiFault Fault;    // what to do
        NTSTATUS Status;    // for FailWithStatus
        uint64_t Delay;     // for Pend
        uint32_t Remaining; // evaluations left
        int Form;           // input form it applies to, or kAnyInputForm
        bool Lasting;       // injected for every evaluation (a count of UINT32_MAX)
    };

    static NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS DispatchOther(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp);
    NTSTATUS ReceivePnp(PIRP irp);
    NTSTATUS Receive(PIRP irp);
    void Answer(PIRP irp, const std::vector<uint8_t>& input, const FaultRule* fault, uint64_t sent);
    NTSTATUS Evaluate(const std::vector<uint8_t>& input, const FaultRule* fault, uint8_t* output,
                      ULONG outputLength, ULONG_PTR* written, std::string* method);
    std::optional<FaultRule> TakeFault(const std::string& method, int form);

    PDRIVER_OBJECT driver_ = nullptr;                     // the ACPI driver's object
    PDEVICE_OBJECT device_ = nullptr;                     // the physical device object
    sim::Firmware firmware_;                              // the methods behind the device
    std::map<std::string, std::deque<FaultRule>> faults_; // per method, in order of injection
    uint64_t pendAll_ = 0;                                // delay for every evaluation, 0 for none
    std::vector<Evaluation> trace_;                       // every evaluation answered
    std::multiset<std::string> unanswered_;               // methods of evaluations pending
    std::function<void(const Evaluation&)> onEvaluation_; // observer of each answer, may be empty
    std::u16string hardwareId_ = u"ACPI\\VKT0001";        // the device's hardware ID
    std::map<UCHAR, NTSTATUS> pnpFaults_; // minor code -> status of its next request
    bool gone_ = false; // surprise-removed and not yet removed: every evaluation fails
    std::vector<PnpArrival> pnpTrace_; // every Plug and Play request received
};

} // namespace sim
