#include "sim/pnp_manager.h"

#include "hostkernel/se/security_control.h"

namespace sim {

namespace {

// Hardware IDs are compared as the platform compares them: without regard
// to case.
bool SameId(const std::u16string& a, const std::u16string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); i++) {
        auto upper = [](char16_t c) { return c >= u'a' && c <= u'z' ? c - u'a' + u'A' : c; };
        if (upper(a[i]) != upper(b[i])) {
            return false;
        }
    }
    return true;
}

} // namespace

PnpManager::PnpManager(AcpiDevice& acpi) : acpi_(acpi) {
    thread_ = hk::CreateThread(hk::SystemProcess());
}

// A driver whose devices are all gone is unloaded, as the platform unloads
// it after the last removal.
PnpManager::~PnpManager() {
    if (driver_ != nullptr && driver_->DeviceObject == nullptr) {
        hk::UnloadDriver(driver_);
    }
}

void PnpManager::Install(const DriverMatch& match) {
    matches_.push_back(match);
}

const DriverMatch* PnpManager::FindMatch() const {
    for (const DriverMatch& match : matches_) {
        if (SameId(match.HardwareId, acpi_.HardwareId())) {
            return &match;
        }
    }
    return nullptr;
}

PDEVICE_OBJECT PnpManager::FunctionDevice() const {
    return acpi_.PhysicalDevice()->AttachedDevice;
}

NTSTATUS PnpManager::AddDevice() {
    const DriverMatch* match = FindMatch();
    if (match == nullptr) {
        return STATUS_NO_SUCH_DEVICE;
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (driver_ == nullptr) {
        hk::RunAs(thread_,
                  [&] { driver_ = hk::LoadDriver(match->Entry, match->Service, &status); });
        if (!NT_SUCCESS(status)) {
            hk::UnloadDriver(driver_);
            driver_ = nullptr;
            return status;
        }
    }
    PDRIVER_ADD_DEVICE add = driver_->DriverExtension->AddDevice;
    hk::RunAs(thread_, [&] { status = add(driver_, acpi_.PhysicalDevice()); });
    if (NT_SUCCESS(status)) {
        ApplyStackSettings(match->Hardware);
    }
    return status;
}

// A descriptor or characteristic given to one device object alone would
// leave the others of the stack open to whoever names them.
void PnpManager::ApplyStackSettings(const HardwareSettings& settings) {
    ULONG secureOpen = 0;
    for (PDEVICE_OBJECT device = acpi_.PhysicalDevice(); device != nullptr;
         device = device->AttachedDevice) {
        secureOpen |= device->Characteristics & FILE_DEVICE_SECURE_OPEN;
    }
    std::vector<uint8_t> descriptor;
    if (settings.Security) {
        descriptor = hk::SddlDescriptor(*settings.Security);
    }
    for (PDEVICE_OBJECT device = acpi_.PhysicalDevice(); device != nullptr;
         device = device->AttachedDevice) {
        device->Characteristics |= secureOpen | settings.Characteristics.value_or(0);
        if (settings.Security) {
            hk::SetDeviceSecurity(device, descriptor);
        }
    }
}

hk::Outcome PnpManager::Send(UCHAR minor) {
    hk::Request request;
    request.major = IRP_MJ_PNP;
    request.minor = minor;
    request.initialStatus = STATUS_NOT_SUPPORTED;
    hk::Outcome outcome;
    hk::RunAs(thread_, [&] { outcome = hk::Send(acpi_.PhysicalDevice(), request); });
    return outcome;
}

hk::Outcome PnpManager::Start() {
    return Send(IRP_MN_START_DEVICE);
}

NTSTATUS PnpManager::Enumerate() {
    NTSTATUS status = AddDevice();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return Start().ioStatus.Status;
}

bool PnpManager::Stop() {
    if (!NT_SUCCESS(Send(IRP_MN_QUERY_STOP_DEVICE).ioStatus.Status)) {
        Send(IRP_MN_CANCEL_STOP_DEVICE);
        return false;
    }
    Send(IRP_MN_STOP_DEVICE);
    return true;
}

void PnpManager::SendRemove() {
    Send(IRP_MN_REMOVE_DEVICE);
    if (driver_ != nullptr && driver_->DeviceObject == nullptr) {
        hk::UnloadDriver(driver_);
        driver_ = nullptr;
    }
}

bool PnpManager::Remove() {
    if (!NT_SUCCESS(Send(IRP_MN_QUERY_REMOVE_DEVICE).ioStatus.Status)) {
        Send(IRP_MN_CANCEL_REMOVE_DEVICE);
        return false;
    }
    SendRemove();
    return true;
}

void PnpManager::SurpriseRemove() {
    Send(IRP_MN_SURPRISE_REMOVAL);
    SendRemove();
}

void PnpManager::Discard() {
    driver_ = nullptr;
}

} // namespace sim
