// The Plug and Play manager of the simulated machine: it finds the driver
// for the ACPI device by the device's hardware ID, as the match of an INF
// would, loads it, has it add its device over the ACPI device, and sends it
// the state changes of a device's life: start, stop, query-remove and
// remove, surprise removal. Requests go to the top of the device's stack
// at passive level in the manager's own thread, carrying "not supported"
// until a driver sets another status, and the manager waits for each.
#pragma once

#include "sim/acpi_device.h"
#include "sim/inf_hardware.h"

#include <string>
#include <vector>

namespace sim {

// What an installed driver package tells the manager: the hardware ID its
// INF matches, the driver's service with its entry, and what its INF's
// hardware section gives every device of the stack.
struct DriverMatch {
    std::u16string HardwareId;   // compared without regard to case
    std::u16string Service;      // the driver's service name
    PDRIVER_INITIALIZE Entry;    // the driver's entry routine
    HardwareSettings Hardware{}; // security and characteristics of the whole stack
};

class PnpManager {
  public:
    explicit PnpManager(AcpiDevice& acpi);
    ~PnpManager();
    PnpManager(const PnpManager&) = delete;
    PnpManager& operator=(const PnpManager&) = delete;

    // Installs a driver package.
    void Install(const DriverMatch& match);

    // Loads the driver that matches the device's hardware ID unless it is
    // loaded, and calls its add-device routine; when that succeeds, every
    // device of the stack gets the package's hardware settings, and the
    // secure-open characteristic of any of them. STATUS_NO_SUCH_DEVICE when
    // no installed driver matches.
    NTSTATUS AddDevice();
    // The device's start request.
    hk::Outcome Start();
    // AddDevice and, when it succeeds, Start: what happens when the device
    // is found.
    NTSTATUS Enumerate();
    // Query-stop and stop, as for a rebalance; a refused query is cancelled.
    // True when the device stopped.
    bool Stop();
    // Query-remove and remove, as on disable or uninstall; a refused query is
    // cancelled. True when the device was removed.
    bool Remove();
    // The device disappeared: surprise removal, then remove.
    void SurpriseRemove();
    // The remove request, after which a driver without devices is unloaded.
    void SendRemove();
    // Any Plug and Play request, sent to the top of the device's stack.
    hk::Outcome Send(UCHAR minor);

    PDRIVER_OBJECT Driver() const { return driver_; }
    // The device the driver added over the ACPI device, or null.
    PDEVICE_OBJECT FunctionDevice() const;

    // Forgets the driver without unloading it: a reboot has discarded every
    // kernel object.
    void Discard();

  private:
    const DriverMatch* FindMatch() const;
    void ApplyStackSettings(const HardwareSettings& settings);

    AcpiDevice& acpi_;                 // the device the manager enumerates
    std::vector<DriverMatch> matches_; // installed driver packages
    PDRIVER_OBJECT driver_ = nullptr;  // the loaded driver, or null
    HkThread* thread_ = nullptr;       // the manager's worker thread
};

} // namespace sim
