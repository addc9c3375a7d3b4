#include "tests/access/installation.h"

namespace {

int* g_lowerCreates = nullptr;

// The device below the driver's counts the creates that reach it.
NTSTATUS CountCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    ++*g_lowerCreates;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

} // namespace

const std::u16string InstallationTest::kServiceKey =
    u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\CorvynHostService";
const std::u16string InstallationTest::kDirectory = u"C:\\Program Files\\Corvyn Host";
const std::u16string InstallationTest::kServiceImage =
    u"C:\\Program Files\\Corvyn Host\\CorvynService.exe";
const std::u16string InstallationTest::kPermitted[5] = {u"CorvynService.exe", u"CorvynNotifier.exe",
                                                        u"CorvynMonitor.exe", u"CorvynManager.exe",
                                                        u"CorvynLogAgent.exe"};

void InstallationTest::SetUp() {
    DriverTest::SetUp();
    g_lowerCreates = &lowerCreates_;
    lowerDriver_ = hk::CreateStandInDriver(u"Below");
    lowerDriver_->MajorFunction[IRP_MJ_CREATE] = CountCreate;
    ASSERT_EQ(IoCreateDevice(lowerDriver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower_),
              STATUS_SUCCESS);
    CreateDeviceOver(lower_);
    for (const std::u16string& name : kPermitted) {
        ASSERT_EQ(hk::MakeFile(kDirectory + u"\\" + name), STATUS_SUCCESS);
    }
    SetImagePath(kServiceImage);
}

void InstallationTest::ReleaseMachine() {
    DriverTest::ReleaseMachine();
    IoDeleteDevice(lower_);
    hk::UnloadDriver(lowerDriver_);
}

void InstallationTest::SetImagePathBytes(const std::vector<uint8_t>& data) {
    hk::SetRegistryValue(kServiceKey, u"ImagePath", REG_EXPAND_SZ, data);
}

HkProcess* InstallationTest::Start(const std::u16string& path) {
    if (hk::DevicePath(path).empty()) {
        EXPECT_EQ(hk::MakeFile(path), STATUS_SUCCESS) << Ascii(path);
    }
    HkProcess* process = hk::CreateProcessFromImage(path);
    EXPECT_NE(process, nullptr) << Ascii(path);
    return process;
}

hk::Outcome InstallationTest::Open(HkProcess* process) {
    hk::Outcome outcome;
    hk::RunAs(hk::CreateThread(process),
              [&] { outcome = hk::Send(device_, {.major = IRP_MJ_CREATE}); });
    EXPECT_TRUE(outcome.completed);
    EXPECT_EQ(outcome.returned, outcome.ioStatus.Status);
    EXPECT_EQ(outcome.ioStatus.Information, 0u);
    EXPECT_EQ(lowerCreates_, 0) << "a create reached the device below";
    return outcome;
}

NTSTATUS InstallationTest::OpenFrom(const std::u16string& path) {
    return Open(Start(path)).returned;
}

NTSTATUS InstallationTest::Verify(const std::u16string& path) {
    return Verify(Start(path));
}

NTSTATUS InstallationTest::Verify(HkProcess* process) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    hk::RunAs(hk::CreateThread(process), [&] { status = VerifyCallerImage(process); });
    return status;
}
