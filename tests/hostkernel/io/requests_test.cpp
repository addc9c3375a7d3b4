// Control requests reach the driver by their transfer method, as the I/O
// manager delivers them: buffered through a system buffer, METHOD_NEITHER
// with the caller's own addresses, the direct methods with the output
// locked in an MDL; what comes back, requests to deleted devices, and fault
// injection.
#include "platform/platform.h"
#include "tests/hostkernel/host_test.h"

#include <cstring>

namespace {

// What the lower driver saw of the last request.
struct Seen {
    bool called = false;          // the dispatch routine ran
    PVOID systemBuffer = nullptr; // AssociatedIrp.SystemBuffer
    PVOID type3Input = nullptr;   // Parameters.DeviceIoControl.Type3InputBuffer
    PVOID userBuffer = nullptr;   // UserBuffer
    PMDL mdl = nullptr;           // MdlAddress
    uint8_t input[4] = {};        // the first input bytes, however they came
};
Seen g_seen;
ULONG_PTR g_information = 4; // the bytes the driver claims to answer

// Reads four input bytes and answers with them reversed, reaching the
// caller's memory as the transfer method allows: after probing, for
// METHOD_NEITHER; through the system buffer or the MDL's system-space
// address otherwise; always under a guard.
NTSTATUS Reverse(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    ULONG method = location->Parameters.DeviceIoControl.IoControlCode & 3;
    g_seen = Seen{true, irp->AssociatedIrp.SystemBuffer,
                  location->Parameters.DeviceIoControl.Type3InputBuffer, irp->UserBuffer,
                  irp->MdlAddress};
    void* input = method == METHOD_NEITHER ? g_seen.type3Input : g_seen.systemBuffer;
    void* output = method == METHOD_NEITHER ? irp->UserBuffer
                   : method == METHOD_BUFFERED
                       ? g_seen.systemBuffer
                       : MmGetSystemAddressForMdlSafe(g_seen.mdl, NormalPagePriority);
    NTSTATUS status = STATUS_SUCCESS;
    VKT_GUARD_TRY
    if (method == METHOD_NEITHER) {
        ProbeForRead(input, 4, 1);
        ProbeForWrite(output, 4, 1);
    }
    memcpy_s(g_seen.input, 4, input, 4);
    uint8_t answer[4] = {g_seen.input[3], g_seen.input[2], g_seen.input[1], g_seen.input[0]};
    memcpy_s(output, 4, answer, 4);
    VKT_GUARD_EXCEPT(status)
    VKT_GUARD_END
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = NT_SUCCESS(status) ? g_information : 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

class RequestsTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        driver_->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Reverse;
        caller_ = hk::CreateProcess(u"caller.exe");
        thread_ = hk::CreateThread(caller_);
        g_seen = Seen{};
        g_information = 4;
    }

    hk::Outcome Send(ULONG method, hk::Request request) {
        request.major = IRP_MJ_DEVICE_CONTROL;
        request.ioControlCode = CTL_CODE(0x22, 0x801, method, 0);
        hk::Outcome outcome;
        hk::RunAs(thread_, [&] { outcome = hk::Send(device_, request); });
        return outcome;
    }

    // The caller's buffers: four input bytes and eight bytes of output room.
    hk::Request CallerBuffers(uint64_t* input, uint64_t* output) {
        *input = hk::AllocateUserMemory(caller_, 4);
        hk::WriteUserMemory(caller_, *input, "\1\2\3\4", 4);
        *output = hk::AllocateUserMemory(caller_, 8);
        hk::WriteUserMemory(caller_, *output, "\xEE\xEE\xEE\xEE\xEE\xEE\xEE\xEE", 8);
        return {
            .outputLength = 8, .inputAddress = *input, .inputLength = 4, .outputAddress = *output};
    }

    // A request the kernel builds over its own buffers.
    PIRP Build(ULONG method, uint8_t* input, uint8_t* output, PKEVENT event,
               IO_STATUS_BLOCK* status) {
        return IoBuildDeviceIoControlRequest(CTL_CODE(0x22, 1, method, 0), device_, input, 4,
                                             output, 8, FALSE, event, status);
    }

    HkProcess* caller_ = nullptr;
    HkThread* thread_ = nullptr;
};

// METHOD_NEITHER hands the driver the caller's own addresses and no system
// buffer; the buffered method copies from and to the caller's memory; the
// direct methods buffer the input and lock the output in an MDL. An address
// the caller did not map reaches the driver untouched with METHOD_NEITHER,
// where its guarded copy faults; the other methods fail the call before
// the driver sees it, input that cannot be read or an output that cannot
// be locked.
TEST_F(RequestsTest, EachTransferMethodReachesTheCallersBuffersItsOwnWay) {
    for (ULONG method : {METHOD_NEITHER, METHOD_BUFFERED, METHOD_IN_DIRECT, METHOD_OUT_DIRECT}) {
        SCOPED_TRACE(method);
        uint64_t input = 0;
        uint64_t output = 0;
        hk::Request request = CallerBuffers(&input, &output);
        hk::Outcome outcome = Send(method, request);
        EXPECT_EQ(outcome.returned, STATUS_SUCCESS);
        EXPECT_EQ(std::vector<uint8_t>(g_seen.input, g_seen.input + 4), Bytes({1, 2, 3, 4}));
        if (method == METHOD_NEITHER) {
            EXPECT_EQ(g_seen.systemBuffer, nullptr);
            EXPECT_EQ(g_seen.mdl, nullptr);
            EXPECT_EQ(reinterpret_cast<uint64_t>(g_seen.type3Input), input);
        } else {
            EXPECT_GE(reinterpret_cast<ULONG_PTR>(g_seen.systemBuffer), MmUserProbeAddress);
        }
        if (method == METHOD_NEITHER || method == METHOD_BUFFERED) {
            EXPECT_EQ(reinterpret_cast<uint64_t>(g_seen.userBuffer), output);
        } else {
            ASSERT_NE(g_seen.mdl, nullptr);
            EXPECT_EQ(reinterpret_cast<uint64_t>(MmGetMdlVirtualAddress(g_seen.mdl)), output);
            EXPECT_EQ(MmGetMdlByteCount(g_seen.mdl), 8u);
        }
        std::vector<uint8_t> answered(8);
        EXPECT_TRUE(hk::ReadUserMemory(caller_, output, answered.data(), 8));
        EXPECT_EQ(answered, Bytes({4, 3, 2, 1, 0xEE, 0xEE, 0xEE, 0xEE}));
        EXPECT_EQ(outcome.output, Bytes({4, 3, 2, 1}));

        bool direct = method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT;
        hk::UnmapUserPage(caller_, direct ? output : input);
        g_seen = Seen{};
        EXPECT_EQ(Send(method, request).returned, STATUS_ACCESS_VIOLATION);
        EXPECT_EQ(g_seen.called, method == METHOD_NEITHER);
        if (method == METHOD_NEITHER) {
            EXPECT_EQ(reinterpret_cast<uint64_t>(g_seen.type3Input), input);
        }
    }
    // Bytes given to Send land in the caller's memory, not in a system buffer.
    const hk::Request placed{.input = Bytes({5, 6, 7, 8}), .outputLength = 4};
    EXPECT_EQ(Send(METHOD_NEITHER, placed).output, Bytes({8, 7, 6, 5}));
    EXPECT_EQ(g_seen.systemBuffer, nullptr);
    EXPECT_LT(reinterpret_cast<ULONG_PTR>(g_seen.type3Input), MmUserProbeAddress);
}

// A request the kernel builds holds its own copy of the input; a direct one
// maps the kernel's output buffer itself; only Information bytes come back,
// and more than the output holds is caught. It completes to its issuer as
// the platform's special kernel APC does: nothing is copied back or
// signalled while the issuing thread is at APC_LEVEL or inside a guarded
// region, and coming down to PASSIVE_LEVEL or leaving the region delivers
// it. Waiting for it at APC_LEVEL waits for ever.
TEST_F(RequestsTest, KernelBuiltRequestCompletesToItsIssuerOnlyWhenItCanTakeTheApc) {
    enum Hold { kNone, kApcLevel, kGuardedRegion };
    const std::pair<ULONG, Hold> cases[] = {{METHOD_BUFFERED, kNone},
                                            {METHOD_OUT_DIRECT, kNone},
                                            {METHOD_BUFFERED, kApcLevel},
                                            {METHOD_BUFFERED, kGuardedRegion}};
    for (auto [method, hold] : cases) {
        SCOPED_TRACE(testing::Message() << method << " " << hold);
        uint8_t input[4] = {1, 2, 3, 4};
        uint8_t output[8];
        std::memset(output, 0xEE, sizeof output);
        Event event(SynchronizationEvent);
        IO_STATUS_BLOCK status{};
        status.Status = STATUS_PENDING;
        PIRP irp = Build(method, input, output, &event, &status);
        ASSERT_NE(irp, nullptr);
        input[0] = 99; // the request holds its own copy
        KIRQL old = PASSIVE_LEVEL;
        hold == kGuardedRegion ? KeEnterGuardedRegion()
                               : KeRaiseIrql(hold == kApcLevel ? APC_LEVEL : PASSIVE_LEVEL, &old);
        EXPECT_EQ(IofCallDriver(device_, irp), STATUS_SUCCESS);
        EXPECT_EQ(g_seen.input[0], 1);
        if (method == METHOD_OUT_DIRECT) {
            EXPECT_EQ(MmGetMdlByteCount(g_seen.mdl), 8u);
        }
        if (hold != kNone) {
            EXPECT_EQ(output[0], 0xEE);
            EXPECT_EQ(status.Status, STATUS_PENDING);
            EXPECT_EQ(KeReadStateEvent(&event), 0);
        }
        hold == kGuardedRegion ? KeLeaveGuardedRegion() : KeLowerIrql(old);
        EXPECT_EQ(std::vector<uint8_t>(output, output + 5), Bytes({4, 3, 2, 1, 0xEE}));
        EXPECT_EQ(status.Status, STATUS_SUCCESS);
        EXPECT_EQ(status.Information, 4u);
        EXPECT_EQ(KeReadStateEvent(&event), 1);
    }
    uint8_t input[4] = {};
    uint8_t output[8];
    Event event(SynchronizationEvent);
    IO_STATUS_BLOCK status{};
    PIRP irp = Build(METHOD_BUFFERED, input, output, &event, &status);
    EXPECT_DEATH(
        {
            KIRQL old = PASSIVE_LEVEL;
            KeRaiseIrql(APC_LEVEL, &old);
            IofCallDriver(device_, irp);
            Wait(&event);
        },
        VERIFIER_STOP("deadlock: waits for an object that nothing will signal"));
    g_information = 12;
    EXPECT_DEATH(
        IofCallDriver(device_, irp),
        VERIFIER_STOP("completes a buffered request with more information than its output holds"));
    g_information = 4;
    IofCallDriver(device_, irp);
}

// A request sent once its device is deleted reaches no driver: the sender
// finds no device. Deleting a device without an extension touches no
// extension (the sanitizer build reports the null pointer the poisoning
// once wrote through).
TEST_F(RequestsTest, RequestToADeletedDeviceFindsNoDevice) {
    EXPECT_EQ(device_->DeviceExtension, nullptr);
    PDEVICE_OBJECT deleted = device_;
    IoDeleteDevice(deleted);
    ASSERT_EQ(IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_),
              STATUS_SUCCESS);
    EXPECT_EQ(driver_->DeviceObject, device_);
    EXPECT_EQ(device_->NextDevice, nullptr);
    const hk::Request request{.major = IRP_MJ_DEVICE_CONTROL, .input = {7, 7, 7, 7}};
    hk::Outcome outcome = hk::Send(deleted, request);
    EXPECT_TRUE(outcome.completed);
    EXPECT_EQ(outcome.returned, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(outcome.ioStatus.Status, STATUS_NO_SUCH_DEVICE);
    EXPECT_FALSE(g_seen.called) << "the driver saw nothing";
    EXPECT_EQ(hk::Send(device_, request).returned, STATUS_SUCCESS);
    EXPECT_TRUE(g_seen.called);
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
    EXPECT_EQ(Build(METHOD_BUFFERED, nullptr, nullptr, nullptr, &status), nullptr);
}

} // namespace
