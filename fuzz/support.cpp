#include "fuzz/support.h"

#include "driver/routing.h"
#include "hostkernel/kernel_state.h"
#include "hostkernel/nt/security.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

// Allocation stacks are recorded for every block the kernel allocates; eight
// frames name the driver's routine and keep each input cheap. The host
// kernel's own handler turns a touch past a pool block's end, of freed pool
// or of a completed request, of paged pool at raised level and of user
// memory into verifier stops, which libFuzzer keeps as crashes.
extern "C" const char* __asan_default_options() {
    return "malloc_context_size=8:allow_user_segv_handler=1";
}

uint8_t FuzzInput::Byte() {
    return offset_ < size_ ? data_[offset_++] : 0;
}

uint16_t FuzzInput::Word() {
    return static_cast<uint16_t>(Byte() | Byte() << 8);
}

uint32_t FuzzInput::Dword() {
    return Word() | static_cast<uint32_t>(Word()) << 16;
}

std::vector<uint8_t> FuzzInput::Bytes(size_t most) {
    size_t count = most < size_ - offset_ ? most : size_ - offset_;
    if (offset_ >= size_) {
        count = 0;
    }
    std::vector<uint8_t> bytes(data_ + offset_, data_ + offset_ + count);
    offset_ += count;
    return bytes;
}

void Expect(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "FUZZ FINDING: %s\n", what);
        std::abort();
    }
}

void ExpectNoLeaks() {
    std::vector<std::string> leaks = hk::FindLeaks();
    for (const std::string& leak : leaks) {
        std::fprintf(stderr, "leak: %s\n", leak.c_str());
    }
    Expect(leaks.empty(), "the driver left something behind");
    hk::Reset();
}

void ChooseAllocationFailure(FuzzInput& input) {
    uint8_t choice = input.Byte();
    if (choice != 0 && choice <= 0x20) {
        hk::FailNthAllocation(choice % 16 + 1);
    }
}

void SendPnp(PDEVICE_OBJECT device, UCHAR minor) {
    hk::Request request;
    request.major = IRP_MJ_PNP;
    request.minor = minor;
    request.initialStatus = STATUS_NOT_SUPPORTED;
    Expect(hk::Send(device, request).completed, "a Plug and Play request did not complete");
}

void ExpectValidDescriptor(PSECURITY_DESCRIPTOR descriptor) {
    auto block = hk::K().Pool.find(descriptor);
    Expect(block != hk::K().Pool.end(), "the descriptor is no pool block of its own");
    ULONG length = RtlLengthSecurityDescriptor(descriptor);
    Expect(length <= block->second.Size, "the descriptor claims more than its block");
    Expect(
        RtlValidRelativeSecurityDescriptor(descriptor, static_cast<ULONG>(block->second.Size), 0),
        "the descriptor is not valid");
}

FuzzDriver::FuzzDriver(const std::function<void(sim::AcpiDevice&)>& prepare) {
    hk::Reset();
    acpi_ = std::make_unique<sim::AcpiDevice>();
    if (prepare) {
        prepare(*acpi_);
    }
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    driver_ = hk::LoadDriver(DriverEntry, u"VKTDrv", &status);
    Expect(status == STATUS_SUCCESS, "the driver's entry failed");
    hk::RunAs(hk::CurrentThread(), [&] {
        status = driver_->DriverExtension->AddDevice(driver_, acpi_->PhysicalDevice());
    });
    Expect(status == STATUS_SUCCESS, "adding the device failed");
    device_ = driver_->DeviceObject;
    SendPnp(device_, IRP_MN_START_DEVICE);
    service_ = hk::CreateProcess(u"VKTService.exe");
    thread_ = hk::CreateThread(service_);
}

FuzzDriver::~FuzzDriver() {
    SendPnp(device_, IRP_MN_REMOVE_DEVICE);
    hk::UnloadDriver(driver_);
    acpi_.reset();
    ExpectNoLeaks();
}

hk::Outcome FuzzDriver::Send(const hk::Request& request) {
    hk::Outcome outcome;
    hk::RunAs(thread_, [&] { outcome = hk::Send(device_, request); });
    Expect(outcome.completed, "a request did not complete");
    Expect(outcome.returned == outcome.ioStatus.Status, "returned status differs from the block's");
    return outcome;
}
