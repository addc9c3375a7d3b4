// The I/O manager's buffered control requests and fault injection.
#include "tests/support/kernel_test.h"

#include <cstring>

namespace {

// A lower driver that reads 4 input bytes, answers with 6 output bytes
// reversed, and claims `g_information` bytes.
ULONG_PTR g_information = 6;
uint8_t g_seenInput[4];

NTSTATUS Answer(PDEVICE_OBJECT, PIRP irp) {
    auto* buffer = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    std::memcpy(g_seenInput, buffer, 4);
    for (int i = 0; i < 6; i++) {
        buffer[i] = static_cast<uint8_t>(0xB0 + i);
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = g_information;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

class RequestsTest : public KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        driver_ = hk::CreateStandInDriver(u"Answer");
        driver_->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Answer;
        IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_);
        g_information = 6;
    }
    void ReleaseMachine() override {
        IoDeleteDevice(device_);
        hk::UnloadDriver(driver_);
    }
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
};

// A request sent once its device is deleted reaches no driver: the sender
// finds no device.
TEST_F(RequestsTest, RequestToADeletedDeviceFindsNoDevice) {
    hk::Request request;
    request.major = IRP_MJ_DEVICE_CONTROL;
    request.input = {1, 2, 3, 4};
    g_seenInput[0] = 0;
    EXPECT_EQ(hk::Send(device_, request).returned, STATUS_SUCCESS);
    EXPECT_EQ(g_seenInput[0], 1);
    PDEVICE_OBJECT deleted = device_;
    IoDeleteDevice(deleted);
    IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_);
    request.input = {7, 7, 7, 7};
    hk::Outcome outcome = hk::Send(deleted, request);
    EXPECT_TRUE(outcome.completed);
    EXPECT_EQ(outcome.returned, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(outcome.ioStatus.Status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(g_seenInput[0], 1) << "the driver saw nothing";
}

TEST_F(RequestsTest, BufferedRequestCopiesInputAtBuildAndInformationBytesBack) {
    uint8_t input[4] = {1, 2, 3, 4};
    uint8_t output[8];
    std::memset(output, 0xEE, sizeof output);
    KEVENT event;
    IO_STATUS_BLOCK status{};
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(0x22, 1, METHOD_BUFFERED, 0), device_, input,
                                             4, output, 8, FALSE, &event, &status);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp)->MajorFunction, IRP_MJ_DEVICE_CONTROL);
    input[0] = 99; // the request already holds its own copy
    EXPECT_EQ(IofCallDriver(device_, irp), STATUS_SUCCESS);
    EXPECT_EQ(g_seenInput[0], 1);
    EXPECT_EQ(status.Information, 6u);
    EXPECT_EQ(output[5], 0xB5);
    EXPECT_EQ(output[6], 0xEE) << "only Information bytes come back";
    EXPECT_EQ(KeReadStateEvent(&event), 1);
}

TEST_F(RequestsTest, MoreInformationThanTheOutputHoldsIsCaught) {
    g_information = 12;
    uint8_t input[4] = {};
    uint8_t output[8];
    IO_STATUS_BLOCK status{};
    PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(0x22, 1, METHOD_BUFFERED, 0), device_, input,
                                             4, output, 8, FALSE, nullptr, &status);
    EXPECT_DEATH(
        IofCallDriver(device_, irp),
        VERIFIER_STOP("completes a buffered request with more information than its output holds"));
    g_information = 6;
    IofCallDriver(device_, irp);
}

// Deleting a device without an extension touches no extension (the sanitizer
// build reports the null pointer the poisoning once wrote through).
TEST_F(RequestsTest, DeviceWithoutExtensionIsDeletedCleanly) {
    EXPECT_EQ(device_->DeviceExtension, nullptr);
    PDEVICE_OBJECT second = nullptr;
    ASSERT_EQ(IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &second),
              STATUS_SUCCESS);
    IoDeleteDevice(second);
    EXPECT_EQ(driver_->DeviceObject, device_);
}

TEST_F(RequestsTest, FaultInjectionFailsChosenAllocationsAndRoutines) {
    hk::FailNthAllocation(2);
    PVOID first = ExAllocatePoolWithTag(NonPagedPoolNx, 8, 'AAAA');
    PVOID second = ExAllocatePoolWithTag(NonPagedPoolNx, 8, 'AAAA');
    PVOID third = ExAllocatePoolWithTag(NonPagedPoolNx, 8, 'AAAA');
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    hk::FailAllocationsWithTag('BBBB', 2);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 8, 'BBBB'), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 8, 'BBBB'), nullptr);
    PVOID fourth = ExAllocatePoolWithTag(NonPagedPoolNx, 8, 'BBBB');
    EXPECT_NE(fourth, nullptr);
    EXPECT_EQ(hk::LiveBlocksWithTag('AAAA'), 2u);
    ExFreePoolWithTag(first, 'AAAA');
    ExFreePoolWithTag(third, 'AAAA');
    ExFreePoolWithTag(fourth, 'BBBB');
    hk::FailRoutine("IoBuildDeviceIoControlRequest", 0, 1);
    IO_STATUS_BLOCK status{};
    EXPECT_EQ(
        IoBuildDeviceIoControlRequest(0, device_, nullptr, 0, nullptr, 0, FALSE, nullptr, &status),
        nullptr);
}

} // namespace
