// The leak check run at the end of every test and at unload: what drivers
// allocated, opened, queued or created and never gave back.
#include "hostkernel/ke/components.h"
#include "hostkernel/ke/scheduler.h"

namespace hk {

namespace {

std::string TagText(ULONG tag) {
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        char c = static_cast<char>((tag >> shift) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return text;
}

} // namespace

std::vector<std::string> FindLeaks() {
    Kernel& kernel = K();
    std::vector<std::string> leaks;
    for (auto& [address, block] : kernel.Pool) {
        leaks.push_back("pool block " + Hex(reinterpret_cast<uintptr_t>(address)) + " of " +
                        std::to_string(block.Size) + " bytes, tag '" + TagText(block.Tag) +
                        "', allocated by " + RoutineName(block.Caller));
    }
    for (auto& item : kernel.WorkItems) {
        if (!item->Freed) {
            leaks.push_back("work item " + Hex(reinterpret_cast<uintptr_t>(item.get())) +
                            " allocated by " + RoutineName(item->AllocatedBy) + " not freed");
        }
    }
    for (auto& [irp, record] : kernel.Irps) {
        if (!record.Completed) {
            leaks.push_back("request " + Hex(reinterpret_cast<uintptr_t>(irp)) +
                            " never completed");
        }
    }
    for (PDEVICE_OBJECT device : kernel.Devices) {
        leaks.push_back("device object " + Hex(reinterpret_cast<uintptr_t>(device)) + " of " +
                        Narrow(FromCounted(&device->DriverObject->DriverName)) + " not deleted");
    }
    for (auto& [link, target] : kernel.Links) {
        leaks.push_back("symbolic link " + Narrow(link) + " not deleted");
    }
    for (auto& thread : kernel.Threads) {
        for (PERESOURCE resource : thread->Held) {
            leaks.push_back("resource " + Hex(reinterpret_cast<uintptr_t>(resource)) +
                            " still held by thread " + Hex(thread->Id));
        }
    }
    FindThreadLeaks(leaks);
    FindComponentLeaks(leaks);
    return leaks;
}

} // namespace hk
