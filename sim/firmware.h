// The platform firmware of the simulated machine: the six control methods of
// the driver's ACPI device and a watchdog that counts down in virtual time
// and resets the machine when it runs out.
#pragma once

#include "hostkernel/control.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// What a method evaluation gave back to the ACPI driver.
struct MethodResult {
    NTSTATUS Status = STATUS_SUCCESS; // failure status, or success with a value
    uint32_t Value = 0;               // the integer the method returned
};

// One expiry of the watchdog.
struct ResetRecord {
    uint64_t Time;     // virtual time of the reset
    uint8_t LastState; // state code last recorded by "SSXS"
};

class Firmware {
  public:
    // Seconds the watchdog runs when opened before any "SVKT".
    static constexpr uint32_t kDefaultTimeoutSeconds = 300;

    ~Firmware();

    // Evaluates a method with its integer argument, if the input carried one.
    MethodResult Evaluate(const std::string& method, std::optional<uint32_t> argument);

    // The value "GSXS" returns; its low byte is the status byte.
    void SetStatusValue(uint32_t value) { statusValue_ = value; }

    // Called at every expiry, after it is recorded (a scenario reboots here).
    void OnReset(std::function<void(const ResetRecord&)> callback) {
        onReset_ = std::move(callback);
    }

    // The machine lost power with the kernel that held the countdown: the
    // watchdog is closed and forgets its countdown without touching the
    // kernel, and its timeout returns to the default.
    void PowerOff();

    // The platform slept with the watchdog counting and it ran out then: it
    // expires now, with no kernel running to time it.
    void ExpireNow();
    // The platform woke with the watchdog counting through its sleep: the
    // countdown goes on from `left`, in the time of the kernel that runs again.
    void CountDownFrom(uint64_t left);

    bool WatchdogOpen() const { return open_; }
    uint32_t TimeoutSeconds() const { return timeoutSeconds_; }
    // Virtual time at which an open watchdog expires.
    uint64_t Deadline() const { return deadline_; }
    uint8_t LastState() const { return lastState_; }
    const std::vector<ResetRecord>& Resets() const { return resets_; }

  private:
    void Restart();
    void Expire();
    void CancelCountdown();

    uint32_t timeoutSeconds_ = kDefaultTimeoutSeconds; // set by "SVKT"
    bool open_ = false;                                // opened by "OVKT", closed by "CVKT"
    uint64_t deadline_ = 0;                            // expiry time while open
    uint64_t expiryEvent_ = 0;                         // scheduled expiry, 0 when none
    uint32_t statusValue_ = 0;                         // returned by "GSXS"
    uint8_t lastState_ = 0;                            // recorded by "SSXS"
    std::vector<ResetRecord> resets_;                  // every expiry, in order
    std::function<void(const ResetRecord&)> onReset_;  // machine reset hook
};

} // namespace sim
