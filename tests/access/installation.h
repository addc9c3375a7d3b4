// The vendor's software installed on the simulated machine, as the tests of
// caller verification need it: the main service's registry key, its
// executables on a volume, and processes that open the driver's device.
#pragma once

#include "access/caller_verification.h"
#include "hostkernel/fs/files_control.h"
#include "hostkernel/cm/registry_control.h"
#include "tests/sim/test_text.h"
#include "tests/support/driver_test.h"

#include <string>

class InstallationTest : public DriverTest {
  protected:
    void SetUp() override;
    void ReleaseMachine() override;

    // The main service's registry key.
    static const std::u16string kServiceKey;
    // Where the vendor's software is installed, and its main executable.
    static const std::u16string kDirectory;
    static const std::u16string kServiceImage;
    // The five permitted names, in the order they are tried.
    static const std::u16string kPermitted[5];

    // Stores "ImagePath" as these very bytes.
    void SetImagePathBytes(const std::vector<uint8_t>& data);
    // Stores "ImagePath" as text with its terminator.
    void SetImagePath(const std::u16string& text) { SetImagePathBytes(Utf16z(text)); }

    // A process running the executable at `path`, which is created when
    // missing.
    HkProcess* Start(const std::u16string& path);

    // Sends IRP_MJ_CREATE to the device from a thread of `process`.
    hk::Outcome Open(HkProcess* process);
    // Opens from a process running `path`; the status the open ended with.
    NTSTATUS OpenFrom(const std::u16string& path);
    // Runs the check itself for a process running `path`.
    NTSTATUS Verify(const std::u16string& path);
    NTSTATUS Verify(HkProcess* process);

    int lowerCreates_ = 0;                 // creates that reached the device below
    PDRIVER_OBJECT lowerDriver_ = nullptr; // the driver of the device below
    PDEVICE_OBJECT lower_ = nullptr;       // the device below the driver's
};
