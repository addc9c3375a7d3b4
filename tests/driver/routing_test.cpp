// Entry and routing: what entry leaves, what passes down
// unchanged, and what the driver finishes itself.
#include "driver/add_device.h"
#include "driver/routing.h"
#include "tests/support/driver_test.h"

#include <tuple>

namespace {

// A lower driver that records what reaches it and completes with a chosen
// status, synchronously or later in virtual time.
struct Recorder {
    PIRP Irp = nullptr;                    // the last request received
    PIO_STACK_LOCATION Location = nullptr; // the location the lower driver was given
    PIO_STACK_LOCATION First = nullptr;    // the request's first location
    IO_STACK_LOCATION Contents{};          // its contents on arrival
    int Calls = 0;                         // requests received
    NTSTATUS Status = STATUS_SUCCESS;      // status to complete with
    uint64_t Delay = 0;                    // 0: complete at once
};
Recorder g_recorder;

NTSTATUS RecordingDispatch(PDEVICE_OBJECT, PIRP irp) {
    g_recorder.Calls++;
    g_recorder.Irp = irp;
    g_recorder.Location = IoGetCurrentIrpStackLocation(irp);
    g_recorder.First = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + irp->StackCount - 1;
    g_recorder.Contents = *g_recorder.Location;
    irp->IoStatus.Status = g_recorder.Status;
    if (g_recorder.Delay == 0) {
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return g_recorder.Status;
    }
    IoMarkIrpPending(irp);
    hk::ScheduleAt(hk::Now() + g_recorder.Delay,
                   [irp] { IofCompleteRequest(irp, IO_NO_INCREMENT); });
    return STATUS_PENDING;
}

class RoutingTest : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        g_recorder = Recorder{};
        lowerDriver_ = hk::CreateStandInDriver(u"Recorder");
        for (auto& routine : lowerDriver_->MajorFunction) {
            routine = RecordingDispatch;
        }
        IoCreateDevice(lowerDriver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower_);
    }
    void ReleaseMachine() override {
        DriverTest::ReleaseMachine();
        IoDeleteDevice(lower_);
        hk::UnloadDriver(lowerDriver_);
    }

    // Adds the device over the recorder and forgets the firmware requests
    // that start-up sent it.
    void AddOverRecorder() {
        CreateDeviceOver(lower_);
        g_recorder = Recorder{};
    }

    PDRIVER_OBJECT lowerDriver_ = nullptr;
    PDEVICE_OBJECT lower_ = nullptr;
};

// Entry allocates nothing. Each dispatch routine is reached through the
// table by the tests of its requests.
TEST_F(RoutingTest, EntryAllocatesNothing) {
    EXPECT_EQ(hk::AllocationCount(), 0u);
    EXPECT_EQ(driver_->DriverUnload, UnloadDriver);
}

TEST_F(RoutingTest, CloseCleanupAndUnhandledCodesReachTheLowerDeviceOnTheVeryLocation) {
    AddOverRecorder();
    for (UCHAR major :
         {IRP_MJ_CLOSE, IRP_MJ_CLEANUP, IRP_MJ_FLUSH_BUFFERS, IRP_MJ_SYSTEM_CONTROL}) {
        g_recorder.Status = static_cast<NTSTATUS>(0xC0000120L + major);
        hk::Request request{.major = major, .minor = 0x07, .useParameters = true};
        request.parameters.Parameters.Others.Argument1 = reinterpret_cast<PVOID>(0x1111);
        request.parameters.Parameters.Others.Argument4 = reinterpret_cast<PVOID>(0x4444);
        request.parameters.FileObject = reinterpret_cast<PFILE_OBJECT>(0xF11E);
        hk::Outcome outcome = hk::Send(device_, request);
        ASSERT_NE(g_recorder.Irp, nullptr);
        EXPECT_EQ(g_recorder.Location, g_recorder.First) << "the very location";
        EXPECT_EQ(g_recorder.Contents.DeviceObject, lower_);
        EXPECT_EQ(g_recorder.Contents.MajorFunction, major);
        EXPECT_EQ(g_recorder.Contents.MinorFunction, 0x07);
        EXPECT_EQ(g_recorder.Contents.Parameters.Others.Argument1, reinterpret_cast<PVOID>(0x1111));
        EXPECT_EQ(g_recorder.Contents.Parameters.Others.Argument4, reinterpret_cast<PVOID>(0x4444));
        EXPECT_EQ(g_recorder.Contents.FileObject, reinterpret_cast<PFILE_OBJECT>(0xF11E));
        EXPECT_EQ(outcome.returned, g_recorder.Status);
        EXPECT_EQ(outcome.ioStatus.Status, g_recorder.Status);
    }
    EXPECT_EQ(g_recorder.Calls, 4);

    // A lower device that pends completes the passed request later.
    g_recorder.Status = STATUS_SUCCESS;
    g_recorder.Delay = 3 * hk::kMillisecond;
    hk::Outcome outcome = hk::Send(device_, {.major = IRP_MJ_CLEANUP});
    EXPECT_EQ(outcome.returned, STATUS_PENDING);
    EXPECT_TRUE(outcome.completed);
    EXPECT_EQ(outcome.ioStatus.Status, STATUS_SUCCESS);
    EXPECT_EQ(hk::Now(), 3 * hk::kMillisecond);
}

TEST_F(RoutingTest, ReadAndWriteCompleteAtOnceWithNoData) {
    AddOverRecorder();
    for (UCHAR major : {IRP_MJ_READ, IRP_MJ_WRITE}) {
        for (ULONG length : {0u, 1u, 4096u}) {
            hk::Outcome outcome = hk::Send(
                device_, {.major = major, .length = length, .initialStatus = STATUS_UNSUCCESSFUL});
            EXPECT_EQ(std::tuple(outcome.completed, outcome.returned, outcome.ioStatus.Status,
                                 outcome.ioStatus.Information, outcome.output.size()),
                      std::tuple(true, STATUS_SUCCESS, STATUS_SUCCESS, 0u, 0u));
        }
    }
    EXPECT_EQ(g_recorder.Calls, 0);
}

TEST_F(RoutingTest, PassDownRefusesMissingArgumentsWithoutTouchingTheRequest) {
    AddOverRecorder();
    EXPECT_EQ(PassDownRequest(Context(), nullptr), STATUS_INVALID_PARAMETER);
    static NTSTATUS fromNullContext = 0;
    driver_->MajorFunction[IRP_MJ_CLOSE] = [](PDEVICE_OBJECT device, PIRP irp) {
        fromNullContext = PassDownRequest(nullptr, irp);
        return PassDownRequest(ContextOf(device), irp);
    };
    hk::Outcome outcome = hk::Send(device_, {.major = IRP_MJ_CLOSE});
    EXPECT_EQ(fromNullContext, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(g_recorder.Calls, 1);
    EXPECT_EQ(outcome.returned, STATUS_SUCCESS);
}

// Without a device below, a request is finished as the bottom of a stack
// finishes one it does not handle: with the status it carries.
TEST_F(RoutingTest, WithoutLowerDeviceRequestsCompleteWithTheirOwnStatus) {
    CreateDeviceOver(nullptr);
    // The request, the status it carries, and the status it completes with.
    for (auto [major, carried, expected] :
         {std::tuple{UCHAR{IRP_MJ_CLOSE}, STATUS_SUCCESS, STATUS_SUCCESS},
          {UCHAR{IRP_MJ_PNP}, STATUS_NOT_SUPPORTED, STATUS_NOT_SUPPORTED},
          {UCHAR{IRP_MJ_FLUSH_BUFFERS}, STATUS_PENDING, STATUS_DEVICE_NOT_CONNECTED}}) {
        hk::Outcome outcome = hk::Send(
            device_, {.major = major, .minor = IRP_MN_QUERY_STOP_DEVICE, .initialStatus = carried});
        EXPECT_TRUE(outcome.completed);
        EXPECT_EQ(outcome.returned, expected);
        EXPECT_EQ(outcome.ioStatus.Status, expected);
    }
    EXPECT_EQ(g_recorder.Calls, 0);
}

} // namespace
