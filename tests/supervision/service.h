// The vendor's supervision service as tests drive it: a user process that
// sends command records to the driver's device from its own thread.
#pragma once

#include "include/VKTWatchdog.h"
#include "tests/support/driver_test.h"

#include <string>

class ServiceTest : public DriverTest {
  protected:
    void SetUp() override;

    // A 24-byte command record.
    static std::vector<uint8_t> Record(uint8_t command, uint8_t parameter1 = 0,
                                       uint8_t parameter2 = 0, uint32_t namesLength = 0,
                                       uint64_t names = 0);
    // Sends an input to the device from the service's thread.
    hk::Outcome Send(const std::vector<uint8_t>& input, ULONG outputLength = 0,
                     ULONG code = IOCTL_WATCHDOG_COMMAND);
    // Puts a name list into the service's memory; returns its address and
    // sets `bytes` to its length without a terminator.
    uint64_t PutNames(const std::u16string& text, uint32_t* bytes);
    // Command 4 with a text in the service's memory.
    NTSTATUS SetList(const std::u16string& text, uint8_t run = 60, uint8_t shutdown = 60);
    // The watched names, in list order.
    std::vector<std::u16string> WatchedNames();
    // Threads that run once the test lets them, each with the device as it
    // is when it starts. A control request from a new thread of the
    // service, which it returns.
    HkThread* StartRequest(std::vector<uint8_t> record, NTSTATUS* status);
    // The power manager's entry into S3; its status into `status` if given.
    void StartSleep(NTSTATUS* status = nullptr);
    // What is left of the removed device: its object or link, timer,
    // deferred call or queued run, pool or handles; empty when nothing.
    std::string LeftAfterRemoval();

    HkProcess* service_ = nullptr; // the supervision service's process
    HkThread* thread_ = nullptr;   // its thread that sends commands
};
