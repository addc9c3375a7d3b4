// The ACPI device's answers under each firmware operation: the device below
// the driver's answers every evaluation with a status, output bytes and
// Information the input chooses, at once or later in virtual time. The
// driver adds its device over it (its start-up evaluations answered the same
// way) and runs a sequence of arm, feed, stop, status and report operations,
// some of them finding that the kernel cannot build a request. Every
// operation ends with a status; what it hands out is only ever read from the
// output the device really gave; nothing is left behind.
#include "fuzz/support.h"

#include "driver/routing.h"
#include "firmware/acpi_buffers.h"
#include "firmware/watchdog.h"

#include <cstring>

namespace {

FuzzInput* g_answers = nullptr; // where the answers come from

// Statuses an ACPI driver gives, and any other a driver may complete with
// (never STATUS_PENDING, which no request is completed with).
NTSTATUS AnswerStatus(FuzzInput& input) {
    static const NTSTATUS kStatuses[] = {
        STATUS_SUCCESS,           static_cast<NTSTATUS>(0x80000005L), STATUS_UNSUCCESSFUL,
        STATUS_INVALID_PARAMETER, static_cast<NTSTATUS>(0xC0000023L), STATUS_NOT_SUPPORTED,
        STATUS_IO_DEVICE_ERROR,   static_cast<NTSTATUS>(0x40000000L),
    };
    uint8_t choice = input.Byte();
    if (choice < 0xF0) {
        return kStatuses[choice % 8];
    }
    NTSTATUS status = static_cast<NTSTATUS>(input.Dword());
    return status == STATUS_PENDING ? STATUS_SUCCESS : status;
}

// Fills the output as the input chooses: a well-formed answer with one
// value, or any bytes; Information stays within the buffer, as the I/O
// manager copies that much back.
void Answer(PIRP irp, FuzzInput& input) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    ULONG capacity = location->Parameters.DeviceIoControl.OutputBufferLength;
    auto* output = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    uint8_t shape = input.Byte();
    std::vector<uint8_t> bytes;
    if (shape & 1) {
        AcpiOutput value{ACPI_EVAL_OUTPUT_BUFFER_SIGNATURE, sizeof(AcpiOutput), 1, 0, 4, 0};
        if (shape & 2) {
            value.Count = input.Byte();
            value.Type = input.Byte();
            value.DataLength = input.Word();
            value.Length = input.Dword();
        }
        value.Argument = input.Dword();
        bytes.resize(sizeof value);
        std::memcpy(bytes.data(), &value, sizeof value);
    } else {
        bytes = input.Bytes(input.Byte() % 32);
    }
    size_t written = std::min<size_t>(bytes.size(), capacity);
    if (output != nullptr && written != 0) {
        std::memcpy(output, bytes.data(), written);
    }
    irp->IoStatus.Status = AnswerStatus(input);
    irp->IoStatus.Information = shape & 4 ? input.Byte() % (capacity + 1) : written;
}

NTSTATUS AnswerDispatch(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    if (location->MajorFunction != IRP_MJ_DEVICE_CONTROL) {
        NTSTATUS status =
            location->MajorFunction == IRP_MJ_PNP ? STATUS_SUCCESS : irp->IoStatus.Status;
        irp->IoStatus.Status = status;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    FuzzInput& input = *g_answers;
    uint8_t delay = input.Byte();
    if (delay < 0xE0) {
        Answer(irp, input);
        NTSTATUS status = irp->IoStatus.Status;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    IoMarkIrpPending(irp);
    Answer(irp, input);
    hk::ScheduleAt(hk::Now() + (delay & 0xF) * hk::kMillisecond,
                   [irp] { IofCompleteRequest(irp, IO_NO_INCREMENT); });
    return STATUS_PENDING;
}

// One firmware operation, as the driver's threads call it; in one of sixteen
// the kernel cannot build the request for the evaluation.
void Operate(DeviceContext* context, FuzzInput& input) {
    uint8_t choice = input.Byte();
    if (choice >= 0xF0) {
        hk::FailRoutine("IoBuildDeviceIoControlRequest", STATUS_INSUFFICIENT_RESOURCES);
    }
    uint8_t operation = choice % 5;
    StateCode code = input.Byte();
    NTSTATUS status = STATUS_PENDING;
    switch (operation) {
    case 0:
        status = ArmWatchdog(context, code, input.Byte());
        break;
    case 1:
        status = FeedWatchdog(context, code);
        break;
    case 2:
        status = StopWatchdog(context);
        break;
    case 3: {
        UCHAR statusByte = 0xA5;
        status = QueryFirmwareStatus(context, &statusByte);
        break;
    }
    default:
        status = ReportState(context, code);
        break;
    }
    Expect(status != STATUS_PENDING, "an operation ended pending");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    g_answers = &input;
    hk::Reset();
    PDRIVER_OBJECT below = hk::CreateStandInDriver(u"AcpiAnswers");
    for (auto& routine : below->MajorFunction) {
        routine = AnswerDispatch;
    }
    PDEVICE_OBJECT lower = nullptr;
    Expect(IoCreateDevice(below, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower) ==
               STATUS_SUCCESS,
           "no device below");
    lower->Flags &= ~DO_DEVICE_INITIALIZING;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PDRIVER_OBJECT driver = hk::LoadDriver(DriverEntry, u"VKTDrv", &status);
    Expect(status == STATUS_SUCCESS, "the driver's entry failed");
    hk::RunAs(hk::CurrentThread(),
              [&] { status = driver->DriverExtension->AddDevice(driver, lower); });
    if (NT_SUCCESS(status)) {
        PDEVICE_OBJECT device = driver->DeviceObject;
        HkThread* thread = hk::CreateThread(hk::SystemProcess());
        for (int step = 0; step < 8 && !input.Empty(); step++) {
            hk::RunAs(thread, [&] { Operate(ContextOf(device), input); });
        }
        SendPnp(device, IRP_MN_REMOVE_DEVICE);
    }
    hk::UnloadDriver(driver);
    IoDeleteDevice(lower);
    hk::UnloadDriver(below);
    ExpectNoLeaks();
    g_answers = nullptr;
    return 0;
}
