#include "tests/supervision/service.h"

#include "hostkernel/kernel_state.h"
#include "hostkernel/cm/registry_control.h"
#include "hostkernel/ke/thread_control.h"
#include "sim/power_manager.h"
#include "supervision/watch_list.h"

#include <cstring>

void ServiceTest::SetUp() {
    DriverTest::SetUp();
    CreateDevice();
    service_ = hk::CreateProcess(u"VKTService.exe");
    thread_ = hk::CreateThread(service_);
}

std::vector<uint8_t> ServiceTest::Record(uint8_t command, uint8_t parameter1, uint8_t parameter2,
                                         uint32_t namesLength, uint64_t names) {
    CommandRecord record{.Command = command,
                         .Parameter1 = parameter1,
                         .Parameter2 = parameter2,
                         .NamesLength = namesLength,
                         .Names = names};
    std::vector<uint8_t> bytes(sizeof record);
    std::memcpy(bytes.data(), &record, sizeof record);
    return bytes;
}

hk::Outcome ServiceTest::Send(const std::vector<uint8_t>& input, ULONG outputLength, ULONG code) {
    hk::Request request{.major = IRP_MJ_DEVICE_CONTROL,
                        .ioControlCode = code,
                        .input = input,
                        .outputLength = outputLength};
    hk::Outcome outcome;
    hk::RunAs(thread_, [&] { outcome = hk::Send(device_, request); });
    EXPECT_TRUE(outcome.completed);
    EXPECT_EQ(outcome.returned, outcome.ioStatus.Status);
    return outcome;
}

uint64_t ServiceTest::PutNames(const std::u16string& text, uint32_t* bytes) {
    *bytes = static_cast<uint32_t>(text.size() * 2);
    uint64_t address = hk::AllocateUserMemory(service_, *bytes + 2);
    hk::WriteUserMemory(service_, address, text.data(), *bytes);
    return address;
}

NTSTATUS ServiceTest::SetList(const std::u16string& text, uint8_t run, uint8_t shutdown) {
    uint32_t bytes = 0;
    uint64_t names = PutNames(text, &bytes);
    return Send(Record(COMMAND_SET_WATCH_LIST, run, shutdown, bytes, names)).returned;
}

std::vector<std::u16string> ServiceTest::WatchedNames() {
    std::vector<std::u16string> names;
    LIST_ENTRY* head = &Context()->WatchList;
    for (LIST_ENTRY* link = head->Flink; link != head; link = link->Flink) {
        WatchEntry* entry = CONTAINING_RECORD(link, WatchEntry, Links);
        EXPECT_EQ(entry->ImageName.MaximumLength, entry->ImageName.Length + 2);
        names.emplace_back(entry->ImageName.Buffer, entry->ImageName.Length / 2);
    }
    return names;
}

HkThread* ServiceTest::StartRequest(std::vector<uint8_t> record, NTSTATUS* status) {
    PDEVICE_OBJECT device = device_;
    HkThread* thread = hk::CreateThread(service_);
    hk::StartThread(thread, [device, record, status] {
        *status = hk::Send(device, {.major = IRP_MJ_DEVICE_CONTROL,
                                    .ioControlCode = IOCTL_WATCHDOG_COMMAND,
                                    .input = record})
                      .returned;
    });
    return thread;
}

void ServiceTest::StartSleep(NTSTATUS* status) {
    PDEVICE_OBJECT device = device_;
    hk::StartThread(hk::CreateThread(hk::SystemProcess()), [device, status] {
        NTSTATUS entered = sim::EnterSystemState(device, PowerSystemSleeping3).returned;
        if (status != nullptr) {
            *status = entered;
        }
    });
}

std::string ServiceTest::LeftAfterRemoval() {
    std::string left;
    if (driver_->DeviceObject != nullptr ||
        hk::FindSymbolicLink(u"\\DosDevices\\VKT0001", nullptr)) {
        left += "the device or its link is left; ";
    }
    if (!hk::K().Timers.empty() || !hk::K().Dpcs.empty() || hk::QueuedWorkItems() != 0) {
        left += "a timer, deferred call or run is left; ";
    }
    if (hk::LiveBlocksWithTag(VKT_POOL_TAG) != 0 || hk::OpenHandleCount() != 0) {
        left += "pool or a handle is left; ";
    }
    return left;
}
