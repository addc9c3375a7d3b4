#include "tests/support/machine_test.h"

#include "driver/routing.h"
#include "hostkernel/cm/registry_control.h"
#include "include/VKTWatchdog.h"

#include <cstring>

void MachineTest::SetUp() {
    KernelTest::SetUp();
    Boot();
}

// The INF matches the hardware ID without regard to case.
void MachineTest::Boot() {
    acpi_ = std::make_unique<sim::AcpiDevice>();
    pnp_ = std::make_unique<sim::PnpManager>(*acpi_);
    pnp_->Install(
        sim::DriverMatch{u"acpi\\vkt0001", u"VKTDrv", DriverEntry, sim::ShippedHardwareSettings()});
    service_ = hk::CreateProcess(u"VKTService.exe");
    serviceThread_ = hk::CreateThread(service_);
}

void MachineTest::Reboot() {
    hk::Reboot();
    pnp_->Discard();
    acpi_->Discard();
    pnp_.reset();
    acpi_.reset();
    Boot();
}

void MachineTest::ReleaseMachine() {
    if (pnp_->FunctionDevice() != nullptr) {
        pnp_->Remove();
    }
    pnp_.reset();
    acpi_.reset();
}

DeviceContext* MachineTest::Context() {
    return ContextOf(pnp_->FunctionDevice());
}

hk::Outcome MachineTest::Command(uint8_t command, uint8_t parameter1, uint8_t parameter2,
                                 const std::u16string& names) {
    CommandRecord record{.Command = command, .Parameter1 = parameter1, .Parameter2 = parameter2};
    if (!names.empty()) {
        record.NamesLength = static_cast<uint32_t>(names.size() * 2);
        record.Names = hk::AllocateUserMemory(service_, record.NamesLength + 2);
        hk::WriteUserMemory(service_, record.Names, names.data(), record.NamesLength);
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(&record);
    const hk::Request request{.major = IRP_MJ_DEVICE_CONTROL,
                              .ioControlCode = IOCTL_WATCHDOG_COMMAND,
                              .input = std::vector<uint8_t>(bytes, bytes + sizeof record),
                              .outputLength = 1};
    hk::Outcome outcome;
    hk::RunAs(serviceThread_, [&] { outcome = hk::Send(pnp_->FunctionDevice(), request); });
    return outcome;
}

std::optional<uint32_t> MachineTest::InstallTimes() {
    auto value = hk::ReadRegistryValue(hk::kServiceKeyPath + u"\\Parameters", u"InstallTimes");
    if (!value || value->Data.size() != 4) {
        return std::nullopt;
    }
    uint32_t count = 0;
    std::memcpy(&count, value->Data.data(), 4);
    return count;
}
