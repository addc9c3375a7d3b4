// Opening the secured device from user processes: the I/O manager checks
// the requested access against the device's DACL with each process's token
// before the driver sees the open, as on the platform.
#include "hostkernel/io/device_open.h"
#include "hostkernel/se/security_control.h"
#include "securedevice/secure_device.h"
#include "tests/securedevice/descriptor_view.h"
#include "tests/support/kernel_test.h"

namespace {

const std::u16string kSddl = u"D:P(A;; GA;;; SY)(A;; GA;;; BA)";
const std::u16string kName = u"\\Device\\VKTDevice";
const std::u16string kLink = u"\\DosDevices\\VKT0001";

// What the stand-in driver saw.
struct Seen {
    std::vector<UCHAR> Majors;           // each request's major function
    std::vector<HkProcess*> Openers;     // the process each request came in
    std::vector<std::u16string> Names;   // the file object's name of each create
    std::vector<PDEVICE_OBJECT> Reached; // the device each create was sent to
} g_seen;

NTSTATUS RecordRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    g_seen.Majors.push_back(location->MajorFunction);
    g_seen.Openers.push_back(PsGetCurrentProcess());
    if (location->MajorFunction == IRP_MJ_CREATE) {
        const UNICODE_STRING& name = location->FileObject->FileName;
        g_seen.Names.emplace_back(name.Buffer, name.Length / 2);
        g_seen.Reached.push_back(DeviceObject);
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

class DeviceOpenTest : public KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        g_seen = {};
        driver_ = hk::CreateStandInDriver(u"VKTDrv");
        for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}) {
            driver_->MajorFunction[major] = RecordRequest;
        }
        UNICODE_STRING sddlText = Counted(kSddl);
        UNICODE_STRING nameText = Counted(kName);
        UNICODE_STRING linkText = Counted(kLink);
        ASSERT_EQ(CreateSecureDevice(driver_, 0, &nameText, FILE_DEVICE_UNKNOWN, 0, FALSE,
                                     &sddlText, nullptr, &device_),
                  STATUS_SUCCESS);
        ASSERT_EQ(IoCreateSymbolicLink(&linkText, &nameText), STATUS_SUCCESS);
    }
    void ReleaseMachine() override {
        UNICODE_STRING linkText = Counted(kLink);
        IoDeleteSymbolicLink(&linkText);
        IoDeleteDevice(device_);
        hk::UnloadDriver(driver_);
    }
    HkThread* ThreadOf(const hk::Token& token) {
        process_ = hk::CreateProcess(u"VKTService.exe");
        hk::SetProcessToken(process_, token);
        return hk::CreateThread(process_);
    }

    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    HkProcess* process_ = nullptr; // the process ThreadOf made last
};

TEST_F(DeviceOpenTest, StandardUserRefusedAdministratorLetThrough) {
    HkThread* user = ThreadOf(hk::StandardUserToken());
    hk::OpenResult refused = hk::OpenDevice(user, u"\\\\.\\VKT0001", GENERIC_READ);
    EXPECT_EQ(refused.Status, STATUS_OBJECT_NAME_NOT_FOUND) << "a user-mode path is no NT name";
    refused = hk::OpenDevice(user, u"\\??\\VKT0001", GENERIC_READ | GENERIC_WRITE);
    EXPECT_EQ(refused.Status, STATUS_ACCESS_DENIED);
    EXPECT_FALSE(refused.DriverCalled);
    EXPECT_EQ(hk::OpenDevice(user, u"\\Device\\VKTDevice", 0x1).Status, STATUS_ACCESS_DENIED);
    EXPECT_TRUE(g_seen.Majors.empty()) << "the driver never saw the refused opens";

    HkThread* admin = ThreadOf(hk::AdministratorToken());
    hk::OpenResult opened = hk::OpenDevice(admin, u"\\??\\vkt0001", GENERIC_READ | GENERIC_WRITE);
    ASSERT_EQ(opened.Status, STATUS_SUCCESS);
    EXPECT_TRUE(opened.DriverCalled);
    EXPECT_EQ(opened.File->Access, 0x12019Fu) << "file generic read and write";
    EXPECT_EQ(hk::CloseDevice(opened.Handle), STATUS_SUCCESS);
    EXPECT_EQ(g_seen.Majors, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    EXPECT_EQ(g_seen.Openers, (std::vector<HkProcess*>(3, process_)))
        << "in the opening process's thread";

    HkThread* system = ThreadOf(hk::LocalSystemToken());
    opened = hk::OpenDevice(system, u"\\DosDevices\\VKT0001", 0);
    ASSERT_EQ(opened.Status, STATUS_SUCCESS);
    EXPECT_EQ(hk::CloseDevice(opened.Handle), STATUS_SUCCESS);
    EXPECT_EQ(hk::CloseDevice(opened.Handle), STATUS_INVALID_HANDLE);
}

TEST_F(DeviceOpenTest, DefaultTokensAndDeniedAces) {
    HkThread* byDefault = hk::CreateThread(hk::CreateProcess(u"Other.exe"));
    hk::OpenResult opened = hk::OpenDevice(byDefault, u"\\??\\VKT0001", GENERIC_ALL);
    ASSERT_EQ(opened.Status, STATUS_SUCCESS) << "processes are administrators unless set";
    hk::CloseDevice(opened.Handle);

    // A denied ACE before the allowed one wins.
    std::vector<uint8_t> denied = hk::SddlDescriptor(u"D:(D;;GA;;;BA)(A;;GA;;;BA)");
    HANDLE handle = nullptr;
    ASSERT_EQ(ObOpenObjectByPointer(device_, OBJ_KERNEL_HANDLE, nullptr, WRITE_DAC,
                                    IoDeviceObjectType, KernelMode, &handle),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwSetSecurityObject(handle, OWNER_SECURITY_INFORMATION, denied.data()),
              STATUS_ACCESS_DENIED)
        << "opened for WRITE_DAC only";
    ASSERT_EQ(ZwSetSecurityObject(handle, DACL_SECURITY_INFORMATION, denied.data()),
              STATUS_SUCCESS);
    ZwClose(handle);
    EXPECT_EQ(hk::OpenDevice(byDefault, u"\\??\\VKT0001", GENERIC_READ).Status,
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(ObOpenObjectByPointer(device_, 0, nullptr, READ_CONTROL, IoDeviceObjectType, UserMode,
                                    &handle),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(ObOpenObjectByPointer(driver_, 0, nullptr, READ_CONTROL, IoDeviceObjectType,
                                    KernelMode, &handle),
              STATUS_OBJECT_TYPE_MISMATCH);
}

// What follows the device's own name reaches the driver in the file object.
// Without FILE_DEVICE_SECURE_OPEN the I/O manager holds only an open of the
// device itself to its DACL; with it, every open.
TEST_F(DeviceOpenTest, NamesInsideTheDeviceAreHeldToItsDaclOnlyWithSecureOpen) {
    HkThread* user = ThreadOf(hk::StandardUserToken());
    for (const char16_t* name : {u"\\??\\VKT0001\\anything", u"\\Device\\VKTDevice\\"}) {
        hk::OpenResult inside = hk::OpenDevice(user, name, GENERIC_READ);
        ASSERT_EQ(inside.Status, STATUS_SUCCESS) << "the stand-in driver admits every open";
        hk::CloseDevice(inside.Handle);
    }
    EXPECT_EQ(g_seen.Names, (std::vector<std::u16string>{u"\\anything", u"\\"}));
    device_->Characteristics |= FILE_DEVICE_SECURE_OPEN;
    EXPECT_EQ(hk::OpenDevice(user, u"\\??\\VKT0001\\anything", GENERIC_READ).Status,
              STATUS_ACCESS_DENIED);
    HkThread* admin = ThreadOf(hk::AdministratorToken());
    hk::OpenResult opened = hk::OpenDevice(admin, u"\\GLOBAL??\\VKT0001\\a\\b", GENERIC_READ);
    ASSERT_EQ(opened.Status, STATUS_SUCCESS);
    EXPECT_EQ(g_seen.Names.back(), u"\\a\\b");
    hk::CloseDevice(opened.Handle);
    EXPECT_EQ(hk::OpenDevice(admin, u"\\??\\VKT0002", GENERIC_READ).Status,
              STATUS_OBJECT_NAME_NOT_FOUND);
}

// An open by the name of a device lower in the stack is checked against
// that device's own descriptor and sent to the top of the stack.
TEST_F(DeviceOpenTest, AnOpenByALowerDevicesNameReachesTheTop) {
    PDRIVER_OBJECT busDriver = hk::CreateStandInDriver(u"Bus");
    const std::u16string busName = u"\\Device\\0000002f";
    UNICODE_STRING busText = Counted(busName);
    PDEVICE_OBJECT bus = nullptr;
    ASSERT_EQ(IoCreateDevice(busDriver, 0, &busText, FILE_DEVICE_UNKNOWN, 0, FALSE, &bus),
              STATUS_SUCCESS);
    hk::SetDeviceSecurity(bus, hk::SddlDescriptor(u"D:P(A;;GA;;;SY)(A;;GR;;;WD)"));
    ASSERT_EQ(IoAttachDeviceToDeviceStack(device_, bus), bus);
    HkThread* user = ThreadOf(hk::StandardUserToken());
    const std::u16string byName = u"\\??\\GLOBALROOT" + busName;
    hk::OpenResult opened = hk::OpenDevice(user, byName, GENERIC_READ);
    ASSERT_EQ(opened.Status, STATUS_SUCCESS) << "the bus's descriptor grants reading";
    EXPECT_EQ(g_seen.Reached, std::vector<PDEVICE_OBJECT>{device_});
    hk::CloseDevice(opened.Handle);
    EXPECT_EQ(hk::OpenDevice(user, byName, GENERIC_WRITE).Status, STATUS_ACCESS_DENIED);
    hk::SetDeviceSecurity(bus, hk::DeviceSecurity(device_));
    EXPECT_EQ(hk::OpenDevice(user, byName, GENERIC_READ).Status, STATUS_ACCESS_DENIED);
    IoDetachDevice(bus);
    IoDeleteDevice(bus);
    hk::UnloadDriver(busDriver);
}

} // namespace
