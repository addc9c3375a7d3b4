#include "sim/acpi_device.h"

#include "firmware/acpi_buffers.h"
#include "hostkernel/se/security_control.h"

#include <cstring>

namespace sim {

namespace {

constexpr ULONG kOutputHeaderSize = 12;  // signature, length, count
constexpr ULONG kIntegerOutputSize = 20; // the header and one integer argument
constexpr uint32_t kForeignSignature = 0x41414141;

uint32_t ReadU32(const std::vector<uint8_t>& bytes, size_t offset) {
    uint32_t value = 0;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

// Decodes an evaluation input as the platform's ACPI driver does: a simple
// block names a method without arguments, a complex block carries an
// argument array whose first entry must be an integer.
NTSTATUS ParseInput(const std::vector<uint8_t>& input, std::string* method,
                    std::optional<uint32_t>* argument) {
    if (input.size() < 8) {
        return STATUS_INVALID_PARAMETER;
    }
    *method = std::string(reinterpret_cast<const char*>(input.data() + 4), 4);
    uint32_t signature = ReadU32(input, 0);
    if (signature == ACPI_EVAL_INPUT_BUFFER_SIGNATURE) {
        return STATUS_SUCCESS;
    }
    if (signature != ACPI_EVAL_INPUT_BUFFER_COMPLEX_SIGNATURE || input.size() < 24) {
        return STATUS_INVALID_PARAMETER;
    }
    uint32_t size = ReadU32(input, 8);
    uint32_t count = ReadU32(input, 12);
    uint16_t type = static_cast<uint16_t>(input[16] | (input[17] << 8));
    uint16_t dataLength = static_cast<uint16_t>(input[18] | (input[19] << 8));
    if (count != 1 || size < 8 || size > input.size() - 16 ||
        type != ACPI_METHOD_ARGUMENT_INTEGER || dataLength == 0 || dataLength > 4) {
        return STATUS_INVALID_PARAMETER;
    }
    uint32_t value = 0;
    std::memcpy(&value, input.data() + 20, dataLength);
    *argument = value;
    return STATUS_SUCCESS;
}

void WriteOutput(uint8_t* output, uint32_t signature, uint32_t count, uint32_t value) {
    AcpiOutput record{signature, kIntegerOutputSize, count, ACPI_METHOD_ARGUMENT_INTEGER, 4, value};
    std::memcpy(output, &record, count == 0 ? kOutputHeaderSize : kIntegerOutputSize);
}

// Power requests end here as at the bottom of any stack: the next power
// request is started, set-power and query-power succeed, anything else keeps
// the status it carries.
NTSTATUS CompletePowerRequest(PDEVICE_OBJECT device, PIRP irp) {
    UNREFERENCED_PARAMETER(device);
    PoStartNextPowerIrp(irp);
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    if (minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER) {
        irp->IoStatus.Status = STATUS_SUCCESS;
    }
    NTSTATUS status = irp->IoStatus.Status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

} // namespace

AcpiDevice::AcpiDevice() {
    driver_ = hk::CreateStandInDriver(u"ACPI");
    driver_->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_CLEANUP, IRP_MJ_FLUSH_BUFFERS,
                        IRP_MJ_SYSTEM_CONTROL}) {
        driver_->MajorFunction[major] = DispatchOther;
    }
    driver_->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver_->MajorFunction[IRP_MJ_POWER] = CompletePowerRequest;
    std::u16string name = kDeviceName;
    UNICODE_STRING counted{static_cast<USHORT>(name.size() * 2),
                           static_cast<USHORT>(name.size() * 2), name.data()};
    IoCreateDevice(driver_, sizeof(AcpiDevice*), &counted, FILE_DEVICE_ACPI, 0, FALSE, &device_);
    hk::SetDeviceSecurity(device_, hk::SddlDescriptor(kDefaultSddl));
    *static_cast<AcpiDevice**>(device_->DeviceExtension) = this;
    device_->Flags &= ~DO_DEVICE_INITIALIZING;
}

AcpiDevice::~AcpiDevice() {
    Remove();
}

void AcpiDevice::Remove() {
    if (device_ == nullptr) {
        return;
    }
    IoDeleteDevice(device_);
    hk::UnloadDriver(driver_);
    device_ = nullptr;
    driver_ = nullptr;
}

void AcpiDevice::Discard() {
    device_ = nullptr;
    driver_ = nullptr;
}

void AcpiDevice::PowerOff() {
    Discard();
    firmware_.PowerOff();
}

void AcpiDevice::InjectFault(const std::string& method, AcpiFault fault, uint32_t count,
                             NTSTATUS status, uint64_t delay, int form) {
    faults_[method].push_back(FaultRule{fault, status, delay, count, form, count == UINT32_MAX});
}

std::vector<AcpiDevice::CountedFault> AcpiDevice::CountedFaults() const {
    std::vector<CountedFault> counted;
    for (const auto& [method, rules] : faults_) {
        for (const FaultRule& rule : rules) {
            if (!rule.Lasting) {
                counted.push_back(CountedFault{method, rule.Fault, rule.Status, rule.Delay,
                                               rule.Remaining, rule.Form});
            }
        }
    }
    return counted;
}

size_t AcpiDevice::Unanswered(const std::string& method) const {
    return unanswered_.count(method);
}

std::vector<std::string> AcpiDevice::Methods() const {
    std::vector<std::string> methods;
    for (const Evaluation& evaluation : trace_) {
        methods.push_back(evaluation.Method);
    }
    return methods;
}

// The first rule for the method (else for every method) that the input's
// form meets; a counted rule is used up by the evaluations it met.
std::optional<AcpiDevice::FaultRule> AcpiDevice::TakeFault(const std::string& method, int form) {
    for (const std::string& key : {method, std::string(kAnyMethod)}) {
        auto found = faults_.find(key);
        if (found == faults_.end()) {
            continue;
        }
        std::deque<FaultRule>& rules = found->second;
        for (auto rule = rules.begin(); rule != rules.end(); ++rule) {
            if (rule->Form != kAnyInputForm && rule->Form != form) {
                continue;
            }
            FaultRule taken = *rule;
            if (--rule->Remaining == 0) {
                rules.erase(rule);
            }
            return taken;
        }
    }
    return std::nullopt;
}

// Whatever is not a method evaluation is finished as the bottom of the stack
// finishes it: with the status the request already carries.
NTSTATUS AcpiDevice::DispatchOther(PDEVICE_OBJECT device, PIRP irp) {
    UNREFERENCED_PARAMETER(device);
    NTSTATUS status = irp->IoStatus.Status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS AcpiDevice::DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    return (*static_cast<AcpiDevice**>(device->DeviceExtension))->ReceivePnp(irp);
}

// The bus driver's part of the state changes: nothing to do but agree.
NTSTATUS AcpiDevice::ReceivePnp(PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    PnpArrival arrival{location->MinorFunction, irp->IoStatus.Status, 0, trace_.size()};
    auto fault = pnpFaults_.find(location->MinorFunction);
    if (fault != pnpFaults_.end()) {
        irp->IoStatus.Status = fault->second;
        pnpFaults_.erase(fault);
    } else if (location->MinorFunction <= IRP_MN_CANCEL_STOP_DEVICE ||
               location->MinorFunction == IRP_MN_SURPRISE_REMOVAL) {
        irp->IoStatus.Status = STATUS_SUCCESS;
    }
    arrival.Status = irp->IoStatus.Status;
    pnpTrace_.push_back(arrival);
    // Between a surprise removal and the removal that follows, the device
    // is no longer there; the removal ends with the device object, so a
    // device added and started later finds the device present again.
    gone_ = location->MinorFunction == IRP_MN_SURPRISE_REMOVAL;
    NTSTATUS status = irp->IoStatus.Status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS AcpiDevice::DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    return (*static_cast<AcpiDevice**>(device->DeviceExtension))->Receive(irp);
}

NTSTATUS AcpiDevice::Receive(PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    ULONG inputLength = location->Parameters.DeviceIoControl.InputBufferLength;
    auto* system = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    std::vector<uint8_t> input(system, system + (system ? inputLength : 0));
    std::string method = input.size() >= 8 ? std::string(input.begin() + 4, input.begin() + 8) : "";
    int form = input.size() >= 20 && ReadU32(input, 0) == ACPI_EVAL_INPUT_BUFFER_COMPLEX_SIGNATURE
                   ? input[18] | (input[19] << 8)
                   : kNoArgument;
    if (gone_) {
        // The ACPI driver evaluates nothing for a device that is no longer
        // there: the request fails and no firmware hears it.
        trace_.push_back(Evaluation{hk::Now(), hk::Now(), method, input, STATUS_NO_SUCH_DEVICE});
        if (onEvaluation_) {
            onEvaluation_(trace_.back());
        }
        irp->IoStatus.Status = STATUS_NO_SUCH_DEVICE;
        irp->IoStatus.Information = 0;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_NO_SUCH_DEVICE;
    }
    std::optional<FaultRule> fault = TakeFault(method, form);
    uint64_t delay = fault && fault->Fault == AcpiFault::Pend ? fault->Delay : pendAll_;
    uint64_t sent = hk::Now();
    if (delay == 0) {
        Answer(irp, input, fault ? &*fault : nullptr, sent);
        return trace_.back().Status;
    }
    IoMarkIrpPending(irp);
    unanswered_.insert(method);
    hk::ScheduleAt(hk::Now() + delay, [this, irp, input, fault, sent, method] {
        unanswered_.erase(unanswered_.find(method));
        Answer(irp, input, fault && fault->Fault != AcpiFault::Pend ? &*fault : nullptr, sent);
    });
    return STATUS_PENDING;
}

void AcpiDevice::Answer(PIRP irp, const std::vector<uint8_t>& input, const FaultRule* fault,
                        uint64_t sent) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    ULONG outputLength = location->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG_PTR written = 0;
    std::string method;
    NTSTATUS status =
        location->Parameters.DeviceIoControl.IoControlCode == IOCTL_ACPI_EVAL_METHOD
            ? Evaluate(input, fault, static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer),
                       outputLength, &written, &method)
            : STATUS_INVALID_DEVICE_REQUEST;
    trace_.push_back(Evaluation{hk::Now(), sent, method, input, status});
    static const std::map<AcpiFault, const char*> kOdd = {
        {AcpiFault::WrongSignature, "with a foreign signature"},
        {AcpiFault::CountZero, "with Count 0"},
        {AcpiFault::ShortOutput, "shorter than its header"}};
    if (NT_SUCCESS(status) && fault != nullptr && kOdd.count(fault->Fault) != 0) {
        trace_.back().Odd = kOdd.at(fault->Fault);
    }
    if (written >= kIntegerOutputSize) {
        uint32_t value = 0;
        std::memcpy(&value, static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer) + 16,
                    sizeof value);
        trace_.back().Value = value;
    }
    if (onEvaluation_) {
        onEvaluation_(trace_.back());
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = written;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS AcpiDevice::Evaluate(const std::vector<uint8_t>& input, const FaultRule* fault,
                              uint8_t* output, ULONG outputLength, ULONG_PTR* written,
                              std::string* method) {
    std::optional<uint32_t> argument;
    NTSTATUS status = ParseInput(input, method, &argument);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (fault != nullptr && fault->Fault == AcpiFault::FailWithStatus) {
        return fault->Status;
    }
    MethodResult result = firmware_.Evaluate(*method, argument);
    if (!NT_SUCCESS(result.Status)) {
        return result.Status;
    }
    if (outputLength < kOutputHeaderSize) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    bool overflow = outputLength < kIntegerOutputSize ||
                    (fault != nullptr && fault->Fault == AcpiFault::BufferOverflow);
    bool empty = fault != nullptr && fault->Fault == AcpiFault::CountZero;
    uint32_t signature = fault != nullptr && fault->Fault == AcpiFault::WrongSignature
                             ? kForeignSignature
                             : ACPI_EVAL_OUTPUT_BUFFER_SIGNATURE;
    if (overflow) {
        WriteOutput(output, ACPI_EVAL_OUTPUT_BUFFER_SIGNATURE, 0, 0);
        *written = kOutputHeaderSize;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (fault != nullptr && fault->Fault == AcpiFault::ShortOutput) {
        // The signature and the length, but no count.
        WriteOutput(output, ACPI_EVAL_OUTPUT_BUFFER_SIGNATURE, 0, 0);
        *written = kOutputHeaderSize - sizeof(ULONG);
        return STATUS_SUCCESS;
    }
    WriteOutput(output, signature, empty ? 0 : 1, result.Value);
    *written = empty ? kOutputHeaderSize : kIntegerOutputSize;
    return STATUS_SUCCESS;
}

} // namespace sim
