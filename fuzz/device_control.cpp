// Device control from a hostile caller: any sequence of requests on one
// started device, of any control code, input and output length and bytes,
// with the command record's name list anywhere in (or outside) the caller's
// memory, between them virtual time in which the cycle compares the watched
// names with the processes that run, processes that start and end, and pool
// allocations that fail.
// After each request: the status block agrees with the output, and a refused
// request that reached no firmware changed nothing the driver keeps.
#include "fuzz/support.h"

#include <cstring>

namespace {

// What a refused request must leave as it was.
struct Kept {
    StateCode State;
    ULONGLONG RunTimeout;
    ULONG ShutdownTimeout;
    PWCHAR WatchListText;
    UCHAR WatchEnabled;
    UCHAR FirmwareStatus;
    bool operator==(const Kept&) const = default;
};

Kept KeptOf(const DeviceContext* context) {
    return Kept{context->State,         context->RunTimeout,   context->ShutdownTimeout,
                context->WatchListText, context->WatchEnabled, context->FirmwareStatus};
}

// A name list in the service's memory: its characters come from the input,
// one byte each (so that text is easy to find) or two.
uint64_t PlaceNames(FuzzDriver& driver, FuzzInput& input, uint32_t* length, bool tailUnmapped) {
    uint8_t shape = input.Byte();
    std::vector<uint8_t> bytes = input.Bytes(input.Byte() * 2u);
    if ((shape & 1) == 0) {
        std::vector<uint8_t> wide;
        for (uint8_t byte : bytes) {
            wide.push_back(byte);
            wide.push_back(0);
        }
        bytes = wide;
    }
    *length = static_cast<uint32_t>(bytes.size());
    if (shape & 2) {
        *length += input.Byte() % 8; // a length that disagrees with the text
    }
    if (shape & 4) {
        *length -= *length > 0 ? input.Byte() % (*length + 1) : 0;
    }
    if (!tailUnmapped) {
        uint64_t address = hk::AllocateUserMemory(driver.service_, bytes.size() + 2);
        hk::WriteUserMemory(driver.service_, address, bytes.data(), bytes.size());
        return address;
    }
    // The text ends where the mapping does: one page more is mapped and then
    // taken away.
    size_t pages = bytes.size() / hk::kUserPageSize + 1;
    uint64_t base = hk::AllocateUserMemory(driver.service_, (pages + 1) * hk::kUserPageSize);
    uint64_t end = base + pages * hk::kUserPageSize;
    hk::UnmapUserPage(driver.service_, end);
    uint64_t address = end - bytes.size();
    hk::WriteUserMemory(driver.service_, address, bytes.data(), bytes.size());
    return address;
}

// A command record, its name list placed as the input chooses.
std::vector<uint8_t> CommandInput(FuzzDriver& driver, FuzzInput& input) {
    CommandRecord record{};
    record.Command = input.Byte() % 8;
    record.Parameter1 = input.Byte();
    record.Parameter2 = input.Byte();
    switch (input.Byte() % 6) {
    case 0: // any numbers
        record.NamesLength = input.Dword();
        record.Names = input.Dword() | static_cast<uint64_t>(input.Dword()) << 32;
        break;
    case 1:
        record.Names = PlaceNames(driver, input, &record.NamesLength, false);
        break;
    case 2:
        record.Names = PlaceNames(driver, input, &record.NamesLength, true);
        break;
    case 3: // user memory never mapped
        record.NamesLength = input.Word();
        record.Names = hk::kUserWindowEnd - hk::kUserPageSize * (1 + input.Byte());
        break;
    case 4: // kernel memory
        record.NamesLength = input.Word();
        record.Names = 0xFFFF'8000'0000'0000ULL + input.Dword();
        break;
    default: // an address near the end of the user window, a length that wraps
        record.NamesLength = 0xFFFF'FF00u | input.Byte();
        record.Names = hk::kUserWindowEnd - input.Byte();
        break;
    }
    std::vector<uint8_t> bytes(sizeof record);
    std::memcpy(bytes.data(), &record, sizeof record);
    size_t keep = input.Byte() % 4 == 0 ? input.Byte() % (sizeof record + 8) : sizeof record;
    bytes.resize(keep);
    return bytes;
}

// Names a started process may have: the service's, the same in another
// case, another of the vendor's, and a stranger's.
const char16_t* const kProcessNames[] = {u"VKTService.exe", u"vktservice.EXE", u"CorvynMonitor.exe",
                                         u"x"};

// A process starts, or the one started last ends.
void StartOrEndProcess(std::vector<HkProcess*>& started, FuzzInput& input) {
    uint8_t choice = input.Byte();
    if ((choice & 0x80) != 0 && !started.empty()) {
        hk::TerminateProcess(started.back());
        started.pop_back();
        return;
    }
    started.push_back(hk::CreateProcess(kProcessNames[choice % 4]));
}

void Step(FuzzDriver& driver, std::vector<HkProcess*>& started, FuzzInput& input) {
    uint8_t kind = input.Byte() % 8;
    if (kind == 4) { // one of the next few allocations fails
        hk::FailNthAllocation(input.Byte() % 8 + 1);
        return;
    }
    if (kind == 5) {
        StartOrEndProcess(started, input);
        return;
    }
    if (kind == 7) {
        hk::RunFor((input.Byte() % 32) * hk::kSecond);
        return;
    }
    hk::Request request;
    request.major = IRP_MJ_DEVICE_CONTROL;
    request.ioControlCode = IOCTL_WATCHDOG_COMMAND;
    if (kind == 6) { // any code, any bytes
        request.ioControlCode = input.Byte() & 1 ? IOCTL_WATCHDOG_COMMAND : input.Dword();
        request.input = input.Bytes(input.Byte() % 48);
    } else {
        request.input = CommandInput(driver, input);
    }
    request.outputLength = input.Byte() % 4 == 0 ? input.Byte() : 1;

    Kept before = KeptOf(driver.Context());
    size_t evaluations = driver.acpi_->Trace().size();
    hk::Outcome outcome = driver.Send(request);
    Expect(outcome.ioStatus.Information <= request.outputLength,
           "Information beyond the output buffer");
    Expect(outcome.output.size() == outcome.ioStatus.Information,
           "output copied back differs from Information");
    if (!NT_SUCCESS(outcome.returned)) {
        Expect(outcome.ioStatus.Information == 0, "a failed request reports output");
        if (driver.acpi_->Trace().size() == evaluations) {
            Expect(KeptOf(driver.Context()) == before, "a refused request changed the device");
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    {
        FuzzDriver driver;
        std::vector<HkProcess*> started;
        for (int step = 0; step < 16 && !input.Empty(); step++) {
            Step(driver, started, input);
        }
    }
    return 0;
}
