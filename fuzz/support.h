// What every fuzz target shares: reading an input as a sequence of choices,
// stopping the run on a broken expectation, and the loaded driver with its
// device over the simulated ACPI device, torn down with the leak check.
#pragma once

#include "driver/device_context.h"
#include "hostkernel/control.h"
#include "sim/acpi_device.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// The fuzzer's bytes, taken front to back; past the end every read is zero.
class FuzzInput {
  public:
    FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Empty() const { return offset_ >= size_; }
    uint8_t Byte();
    uint16_t Word();
    uint32_t Dword();
    // Up to `most` bytes, fewer when the input runs out.
    std::vector<uint8_t> Bytes(size_t most);
    // Everything left.
    std::vector<uint8_t> Rest() { return Bytes(size_ - offset_); }

  private:
    const uint8_t* data_; // the input
    size_t size_;         // its length
    size_t offset_ = 0;   // bytes taken so far
};

// Stops the run as a finding when `condition` does not hold.
void Expect(bool condition, const char* what);
// Stops the run as a finding when the kernel holds anything the driver left,
// then resets the kernel so that nothing of this input outlives it.
void ExpectNoLeaks();
// Lets the input fail one of the next sixteen pool allocations (about one
// input in eight; a zero byte fails none), so that every failure path meets
// hostile input too.
void ChooseAllocationFailure(FuzzInput& input);
// Sends a Plug and Play request of this minor code to `device` as the Plug
// and Play manager does (completed with STATUS_NOT_SUPPORTED unless a driver
// handles it); stops the run as a finding when it does not complete.
void SendPnp(PDEVICE_OBJECT device, UCHAR minor);
// Stops the run as a finding unless `descriptor` is a valid self-relative
// descriptor that lies wholly inside the pool block handed out for it.
void ExpectValidDescriptor(PSECURITY_DESCRIPTOR descriptor);

// The driver loaded, its device added over the simulated ACPI device by its
// own add-device routine and started, with the vendor's service as a user
// process.
class FuzzDriver {
  public:
    // Resets the kernel and brings the driver up; `prepare` runs on the fresh
    // kernel and ACPI device before the driver is loaded.
    explicit FuzzDriver(const std::function<void(sim::AcpiDevice&)>& prepare = {});
    // Removes the device, unloads the driver and checks for leaks.
    ~FuzzDriver();

    DeviceContext* Context() { return ContextOf(device_); }
    // Sends a request from the service's thread.
    hk::Outcome Send(const hk::Request& request);

    std::unique_ptr<sim::AcpiDevice> acpi_; // the ACPI driver and firmware below
    PDRIVER_OBJECT driver_ = nullptr;       // the loaded driver
    PDEVICE_OBJECT device_ = nullptr;       // the driver's device
    HkProcess* service_ = nullptr;          // the vendor's service
    HkThread* thread_ = nullptr;            // its thread that sends requests
};
