#include "sim/machine.h"

#include "driver/routing.h"
#include "hostkernel/io/errorlog_control.h"
#include "hostkernel/fs/files_control.h"
#include "hostkernel/cm/registry_control.h"

#include <cstring>

namespace sim {

namespace {

constexpr uint8_t kResetFlag = 0x80;

// The integer argument of an evaluation's input, if it carries one.
std::optional<uint32_t> ArgumentOf(const std::vector<uint8_t>& input) {
    if (input.size() < 24 || std::memcmp(input.data(), "AeiC", 4) != 0) {
        return std::nullopt;
    }
    uint16_t length = static_cast<uint16_t>(input[18] | (input[19] << 8));
    uint32_t value = 0;
    std::memcpy(&value, input.data() + 20, length <= 4 ? length : 4);
    return value;
}

// The text an event-log entry shows: its insertion strings, line ends cut.
std::string EntryText(const hk::ErrorLogEntry& entry) {
    std::string text;
    for (const std::u16string& string : entry.Strings) {
        text += Narrow(string);
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == 0)) {
        text.pop_back();
    }
    return text;
}

} // namespace

Machine::Machine() {
    hk::Reset();
}

Machine::~Machine() {
    if (acpi_) {
        pnp_->Discard();
        pnp_.reset();
        acpi_->PowerOff();
    }
}

uint64_t Machine::Now() const {
    return base_ + hk::Now();
}

TraceEvent& Machine::Emit(const std::string& kind, const std::string& who,
                          const std::string& text) {
    if (resetPending_ && !resetting_) {
        // The machine is resetting: nothing after the expiry happened.
        discarded_ = TraceEvent{};
        return discarded_;
    }
    TraceEvent event;
    event.Time = Now();
    event.Kind = kind;
    event.Who = who;
    event.Text = text;
    events_.push_back(std::move(event));
    return events_.back();
}

// ----- set-up -----------------------------------------------------------------

void Machine::SetDebugger(bool enabled) {
    debugger_ = enabled;
    KdDebuggerEnabled = enabled ? TRUE : FALSE;
    Emit("setup", "machine", std::string("kernel debugger ") + (enabled ? "enabled" : "disabled"))
        .Bool("debugger", enabled);
}

void Machine::SetExport(const std::string& routine, bool exported) {
    static std::map<std::string, void*> known; // routines seen exported, by name
    UNICODE_STRING name;
    std::u16string wide = Widen(routine);
    RtlInitUnicodeString(&name, wide.c_str());
    if (void* address = MmGetSystemRoutineAddress(&name)) {
        known[routine] = address;
    }
    if (exported) {
        removedExports_.erase(routine);
        if (known.count(routine) != 0) {
            hk::SetExport(routine, known[routine]);
        }
    } else {
        removedExports_.insert(routine);
        hk::RemoveExport(routine);
    }
    Emit("setup", "machine",
         "kernel " + std::string(exported ? "exports " : "does not export ") + routine)
        .String("routine", routine)
        .Bool("exported", exported);
}

void Machine::SetFirmwareStatus(uint8_t bits) {
    statusBits_ = bits & ~kResetFlag;
    if (acpi_) {
        acpi_->Firmware().SetStatusValue(GsxsValue());
    }
    Emit("setup", "firmware", "status byte bits " + FormatByte(statusBits_))
        .Number("status", statusBits_);
}

void Machine::AddFirmwareRule(const FirmwareRule& rule) {
    if (rule.Count == 0) {
        rules_.push_back(rule);
    } else if (!acpi_) {
        nextBootRules_.push_back(rule);
    }
    if (acpi_) {
        acpi_->InjectFault(rule.Method, rule.Fault, rule.Count == 0 ? UINT32_MAX : rule.Count,
                           rule.Status, rule.Delay, rule.Form);
    }
    static const char* const kAnswers[] = {"fails with ",
                                           "answers with a foreign signature",
                                           "answers with Count 0",
                                           "answers 0x80000005",
                                           "pends ",
                                           "answers shorter than its header"};
    std::string text = rule.Method + " " + kAnswers[static_cast<int>(rule.Fault)];
    if (rule.Fault == AcpiFault::Pend) {
        text += FormatTime(rule.Delay);
    } else if (rule.Fault == AcpiFault::FailWithStatus) {
        text += FormatStatus(rule.Status);
    }
    if (rule.Form != kAnyInputForm) {
        text += rule.Form == kNoArgument
                    ? " when called without an argument"
                    : " when called with a " + std::to_string(rule.Form) + "-byte argument";
    }
    if (rule.Count != 0) {
        text += " for " + std::to_string(rule.Count) + " evaluation(s)";
    }
    Emit("setup", "firmware", text).String("method", rule.Method);
}

void Machine::ClearFirmwareRules() {
    rules_.clear();
    nextBootRules_.clear();
    if (acpi_) {
        acpi_->ClearFaults();
    }
    Emit("setup", "firmware", "every method answers normally");
}

void Machine::SetRegistryValue(const std::u16string& key, const std::u16string& name, ULONG type,
                               const std::vector<uint8_t>& data) {
    hk::SetRegistryValue(key, name, type, data);
    Emit("setup", "machine",
         "registry " + Narrow(key) + " \"" + Narrow(name) + "\" set, type " + std::to_string(type) +
             ", " + std::to_string(data.size()) + " bytes")
        .String("key", Narrow(key))
        .String("value", Narrow(name));
}

void Machine::DeleteRegistryKey(const std::u16string& key) {
    hk::DeleteRegistryKey(key);
    Emit("setup", "machine", "registry " + Narrow(key) + " deleted").String("key", Narrow(key));
}

void Machine::MakeFolder(const std::string& path) {
    NTSTATUS status = hk::MakeDirectory(Widen(path));
    Emit("setup", "machine", "folder " + path + " -> " + FormatStatus(status))
        .String("folder", path)
        .Number("status", static_cast<uint32_t>(status));
}

void Machine::MakeFile(const std::string& path) {
    NTSTATUS status = hk::MakeFile(Widen(path));
    Emit("setup", "machine", "file " + path + " -> " + FormatStatus(status))
        .String("file", path)
        .Number("status", static_cast<uint32_t>(status));
}

uint32_t Machine::GsxsValue() const {
    uint32_t value = statusBits_;
    if (resetBoot_) {
        value |= kResetFlag | (uint32_t{stateAtReset_} << 8);
    }
    return value;
}

// ----- the machine's life ---------------------------------------------------------

void Machine::PowerOn() {
    boots_++;
    KdDebuggerEnabled = debugger_ ? TRUE : FALSE;
    for (const std::string& routine : removedExports_) {
        hk::RemoveExport(routine);
    }
    logSeen_ = 0;
    Emit("boot", "machine",
         "boot " + std::to_string(boots_) + (resetBoot_ ? " after a watchdog reset" : ""))
        .Number("boot", boots_)
        .Bool("after_reset", resetBoot_);
    acpi_ = std::make_unique<AcpiDevice>();
    acpi_->Firmware().SetStatusValue(GsxsValue());
    for (const FirmwareRule& rule : rules_) {
        acpi_->InjectFault(rule.Method, rule.Fault, UINT32_MAX, rule.Status, rule.Delay, rule.Form);
    }
    for (const FirmwareRule& rule : nextBootRules_) {
        acpi_->InjectFault(rule.Method, rule.Fault, rule.Count, rule.Status, rule.Delay, rule.Form);
    }
    nextBootRules_.clear();
    acpi_->OnEvaluation([this](const Evaluation& evaluation) { ObserveEvaluation(evaluation); });
    acpi_->Firmware().OnReset([this](const ResetRecord& record) { Expired(record); });
    SampleWatchdog();
    pnp_ = std::make_unique<PnpManager>(*acpi_);
    pnp_->Install(
        DriverMatch{acpi_->HardwareId(), u"VKTDrv", DriverEntry, ShippedHardwareSettings()});
    AddDevice();
}

// The Plug and Play manager finds the device: it loads the driver if it is
// not loaded, has it add its device, and starts the device.
void Machine::AddDevice() {
    if (device_ != nullptr) {
        Emit("device", "pnp", "the device is already present");
        return;
    }
    actor_ = "pnp";
    NTSTATUS status = pnp_->Enumerate();
    device_ = pnp_->FunctionDevice();
    FlushErrorLog();
    if (device_ == nullptr) {
        Emit("device", "pnp", "adding the device failed: " + FormatStatus(status))
            .String("action", "add")
            .Number("status", static_cast<uint32_t>(status));
        return;
    }
    std::string started = NT_SUCCESS(status)
                              ? std::string("device added and started")
                              : "device added, its start failed with " + FormatStatus(status);
    Emit("device", "pnp",
         started + ", firmware status byte " + FormatByte(ContextOf(device_)->FirmwareStatus))
        .String("action", "add")
        .Number("status", static_cast<uint32_t>(status));
}

// Query-remove and remove, as on disabling the device; the processes close
// their handles first, as removal waits for the last one.
void Machine::RemoveDevice() {
    if (device_ == nullptr) {
        Emit("device", "pnp", "no device to remove");
        return;
    }
    for (auto& [label, process] : processes_) {
        if (process.Device != INVALID_HANDLE_VALUE) {
            CloseDevice(label);
        }
    }
    actor_ = "pnp";
    bool removed = pnp_->Remove();
    device_ = pnp_->FunctionDevice();
    FlushErrorLog();
    Emit("device", "pnp", removed ? "device removed" : "the driver refused the removal")
        .String("action", "remove")
        .Bool("ok", removed);
}

void Machine::WaitPoweredOff(uint64_t time) {
    if (!PoweredOn() && time > Now()) {
        base_ += time - Now();
    }
}

// One request as the Plug and Play manager sends it, traced with its status.
void Machine::SendPnp(UCHAR minor) {
    static const std::map<UCHAR, const char*> kNames = {
        {IRP_MN_START_DEVICE, "start"},
        {IRP_MN_QUERY_REMOVE_DEVICE, "query-remove"},
        {IRP_MN_CANCEL_REMOVE_DEVICE, "cancel-remove"},
        {IRP_MN_STOP_DEVICE, "stop"},
        {IRP_MN_QUERY_STOP_DEVICE, "query-stop"},
        {IRP_MN_CANCEL_STOP_DEVICE, "cancel-stop"},
        {IRP_MN_SURPRISE_REMOVAL, "surprise-removal"}};
    std::string name = kNames.count(minor) != 0 ? kNames.at(minor) : "minor " + FormatByte(minor);
    if (device_ == nullptr) {
        Emit("device", "pnp", "no device for " + name);
        return;
    }
    actor_ = "pnp";
    hk::Outcome outcome = pnp_->Send(minor);
    FlushErrorLog();
    EmitRequest("pnp", name, outcome.ioStatus.Status, std::nullopt);
}

void Machine::Unplug() {
    if (device_ == nullptr) {
        Emit("device", "pnp", "no device to unplug");
        return;
    }
    SendPnp(IRP_MN_SURPRISE_REMOVAL);
    for (auto& [label, process] : processes_) {
        if (process.Device != INVALID_HANDLE_VALUE) {
            CloseDevice(label);
        }
    }
    actor_ = "pnp";
    pnp_->SendRemove();
    device_ = pnp_->FunctionDevice();
    FlushErrorLog();
    Emit("device", "pnp", "device unplugged and removed")
        .String("action", "unplug")
        .Bool("ok", device_ == nullptr);
}

void Machine::RunUntil(uint64_t time) {
    if (!PoweredOn()) {
        PowerOn();
    }
    while (Now() < time) {
        if (asleep_) {
            SleepUntil(time);
            continue;
        }
        if (device_ != nullptr && ContextOf(device_)->WorkQueued != 0) {
            // A run queued while a request waited for the firmware: it runs
            // before time moves on.
            size_t mark = events_.size();
            actor_ = "cycle";
            hk::RunPending();
            FinishChunk(mark, true);
            continue;
        }
        uint64_t next = time;
        sim::Firmware& firmware = acpi_->Firmware();
        if (firmware.WatchdogOpen()) {
            next = std::min(next, base_ + firmware.Deadline());
        }
        bool cycleDue = false;
        if (device_ != nullptr && ContextOf(device_)->Timer.Inserted &&
            base_ + ContextOf(device_)->Timer.DueTime <= next) {
            next = base_ + ContextOf(device_)->Timer.DueTime;
            cycleDue = true;
        }
        size_t mark = events_.size();
        actor_ = "cycle";
        hk::RunFor(next - Now());
        FinishChunk(mark, cycleDue);
    }
}

void Machine::FinishStep() {
    if (PoweredOn()) {
        FinishChunk(events_.size(), false);
    }
}

// After a stretch of virtual time: its log entries, the cycle's run if one
// was due, and the reset if the watchdog expired.
void Machine::FinishChunk(size_t mark, bool cycleRan) {
    FlushErrorLog();
    // A run whose feed waits for the firmware is traced when it is answered.
    bool runWaits = acpi_->Unanswered("FVKT") != 0;
    if (cycleRan && !resetPending_ && device_ != nullptr && !runWaits) {
        EmitCycle(mark);
    } else {
        MarkUntimedRuns(mark);
    }
    if (resetPending_) {
        ResetAndBoot("the firmware's watchdog expired");
    }
}

// One run of the supervision cycle, placed before what it evaluated.
void Machine::EmitCycle(size_t mark) {
    DeviceContext* context = ContextOf(device_);
    int feeds = 0;
    int fed = 0;
    for (size_t i = mark; i < events_.size(); i++) {
        if (events_[i].Kind == "eval" && events_[i].Field("method") == "\"FVKT\"") {
            feeds++;
            fed += events_[i].Field("status") == "0" ? 1 : 0;
        }
    }
    std::string text;
    std::string reason;
    if (fed != 0) {
        text = "fed the watchdog with " + DescribeState(context->State);
        reason = "a watched process counts as running";
    } else if (feeds != 0) {
        text = "the feed failed";
        reason = "feed failed";
    } else if (context->State != StateWatchA && context->State != StateWatchB) {
        reason = "state " + FormatByte(context->State) + " not supervised";
        text = "did not feed: " + reason;
    } else if (context->DebuggerPresent != 0) {
        reason = "kernel debugger present: the watchdog is left alone";
        text = "did not feed: " + reason;
    } else if (context->WatchEnabled == 0) {
        reason = "no watch list";
        text = "did not feed: " + reason;
    } else {
        reason = "no watched process running";
        text = "did not feed: " + reason;
    }
    TraceEvent event;
    event.Time = Now();
    event.Kind = "cycle";
    event.Who = "driver";
    event.Text = text;
    event.Bool("fed", fed != 0).String("reason", reason);
    events_.insert(events_.begin() + static_cast<std::ptrdiff_t>(mark), std::move(event));
}

// Runs that began while a step waited for the firmware go on without the
// timer being armed, so no chunk ends at them: each feed that opens such a
// run (the one carrying the state code) is marked as a run of its own.
void Machine::MarkUntimedRuns(size_t mark) {
    for (size_t i = mark; i < events_.size(); i++) {
        const TraceEvent& feed = events_[i];
        if (feed.Kind != "eval" || feed.Who != "cycle" || feed.Field("method") != "\"FVKT\"" ||
            feed.Field("arg") == "null") {
            continue;
        }
        bool fed = feed.Field("status") == "0" ||
                   (i + 1 < events_.size() && events_[i + 1].Field("method") == "\"FVKT\"" &&
                    events_[i + 1].Field("status") == "0");
        uint8_t code = static_cast<uint8_t>(std::stoul(*feed.Field("arg")));
        TraceEvent run{feed.Time,
                       "cycle",
                       "driver",
                       fed ? "fed the watchdog with " + DescribeState(code) : "the feed failed",
                       {}};
        run.Bool("fed", fed)
            .String("reason", fed ? "a watched process counts as running" : "feed failed");
        events_.insert(events_.begin() + static_cast<std::ptrdiff_t>(i), std::move(run));
        i++;
    }
}

void Machine::ObserveEvaluation(const Evaluation& evaluation) {
    if (resetPending_) {
        return; // the machine is resetting: nothing after the expiry happened
    }
    FlushErrorLog();
    std::optional<uint32_t> argument = ArgumentOf(evaluation.Input);
    std::string text = "\"" + evaluation.Method + "\"";
    if (argument) {
        text += "(" +
                (evaluation.Method == "SVKT" ? std::to_string(*argument) + " s"
                                             : DescribeState(static_cast<uint8_t>(*argument))) +
                ")";
    }
    text += " -> " + FormatStatus(evaluation.Status);
    if (!evaluation.Odd.empty()) {
        text += ", " + evaluation.Odd;
    }
    if (evaluation.Method == "GSXS" && evaluation.Value) {
        char value[16];
        std::snprintf(value, sizeof value, "0x%X", *evaluation.Value);
        text += std::string(" = ") + value;
    }
    if (evaluation.Sent != evaluation.Time) {
        text += " (sent at " + FormatTime(base_ + evaluation.Sent) + ")";
    }
    TraceEvent& event = Emit("eval", actor_, text);
    event.String("method", evaluation.Method);
    if (argument) {
        event.Number("arg", *argument);
    } else {
        event.Null("arg");
    }
    event.Number("status", static_cast<uint32_t>(evaluation.Status));
    if (evaluation.Value) {
        event.Number("value", *evaluation.Value);
    }
    if (evaluation.Sent != evaluation.Time) {
        event.Number("sent", static_cast<int64_t>(base_ + evaluation.Sent))
            .Number("answered", static_cast<int64_t>(base_ + evaluation.Time));
    }
    SampleWatchdog();
}

void Machine::FlushErrorLog() {
    const auto& log = hk::ErrorLog();
    for (; logSeen_ < log.size(); logSeen_++) {
        const hk::ErrorLogEntry& entry = log[logSeen_];
        uint32_t code = 0;
        if (entry.Bytes.size() >= 16) {
            std::memcpy(&code, entry.Bytes.data() + 12, sizeof code);
        }
        char codeText[16];
        std::snprintf(codeText, sizeof codeText, "0x%08X", code);
        std::string message = EntryText(entry);
        TraceEvent& event =
            Emit("log", "driver", std::string("event log ") + codeText + " \"" + message + "\"")
                .Number("code", code)
                .String("message", message);
        StampWhenWritten(&event, base_ + entry.Time);
    }
}

// An entry is traced where the driver wrote it, which may be before
// evaluations already traced (a power request that waited for the firmware).
void Machine::StampWhenWritten(TraceEvent* event, uint64_t written) {
    if (event == &discarded_ || written >= event->Time) {
        return;
    }
    event->Time = written;
    size_t at = events_.size() - 1;
    while (at > 0 && events_[at - 1].Time > written) {
        std::swap(events_[at - 1], events_[at]);
        at--;
    }
}

void Machine::SampleWatchdog() {
    sim::Firmware& firmware = acpi_->Firmware();
    samples_.push_back(WatchdogSample{Now(), firmware.WatchdogOpen(), base_ + firmware.Deadline()});
}

void Machine::Expired(const ResetRecord& record) {
    if (resetPending_) {
        return;
    }
    Emit("expiry", "firmware",
         "watchdog expired, last state " + DescribeState(record.LastState) + ": resetting")
        .Number("last_state", record.LastState);
    resetPending_ = true;
    resetKernelTime_ = record.Time;
    stateAtReset_ = record.LastState;
}

void Machine::ResetAndBoot(const std::string& why) {
    bool watchdog = resetPending_;
    uint64_t kernelTime = watchdog ? resetKernelTime_ : hk::Now();
    resetting_ = true;
    size_t mark = events_.size();
    EndAllProcesses(watchdog ? "reset" : "restart");
    resetting_ = false;
    base_ += kernelTime;
    for (size_t i = mark; i < events_.size(); i++) {
        events_[i].Time = base_; // the processes ended with the machine
    }
    pnp_->Discard();
    pnp_.reset();
    // A counted rule holds for its evaluations, whichever boot makes them.
    for (const AcpiDevice::CountedFault& fault : acpi_->CountedFaults()) {
        nextBootRules_.push_back(FirmwareRule{fault.Method, fault.Fault, fault.Status, fault.Delay,
                                              fault.Remaining, fault.Form});
    }
    acpi_->PowerOff();
    samples_.push_back(WatchdogSample{base_, false, 0});
    acpi_.reset();
    device_ = nullptr;
    resetPending_ = false;
    asleep_ = false;
    resetBoot_ = watchdog;
    events_.push_back(
        TraceEvent{base_,
                   watchdog ? "reset" : "restart",
                   "machine",
                   "machine " + std::string(watchdog ? "reset" : "restarted") + ": " + why,
                   {}});
    hk::Reboot();
    lowState_ = PowerSystemWorking;
    PowerOn();
}

void Machine::Reboot() {
    if (!PoweredOn()) {
        PowerOn();
    }
    EndAllProcesses("restart");
    if (device_ != nullptr && lowState_ == PowerSystemWorking) {
        PowerRequest("S6", PowerSystemShutdown, PowerSystemShutdown);
    }
    ResetAndBoot("orderly restart");
}

void Machine::EndAllProcesses(const std::string& why) {
    std::vector<std::string> labels;
    for (auto& [label, process] : processes_) {
        labels.push_back(label);
    }
    for (const std::string& label : labels) {
        if (why == "reset") {
            Emit("process", label, "ended by the reset").String("action", "end");
        } else {
            EndProcess(label);
        }
    }
    processes_.clear();
}

} // namespace sim
