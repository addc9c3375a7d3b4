// Fault injection: the n-th allocation or those of one tag fail, and a
// named routine fails with a given status, after calls it lets through.
#include "hostkernel/kernel_state.h"

namespace hk {

void FailNthAllocation(uint64_t n) {
    K().FailAtAllocation = K().Allocations + n;
}

void FailAllocationsWithTag(ULONG tag, uint64_t count) {
    K().FailTags[tag] = count == 0 ? UINT64_MAX : count;
}

void FailRoutine(const std::string& name, NTSTATUS status, uint64_t count, uint64_t skip) {
    K().RoutineFaults[name] = RoutineFault{status, count, skip};
}

void ClearFaults() {
    K().FailAtAllocation = 0;
    K().FailTags.clear();
    K().RoutineFaults.clear();
}

bool TakeRoutineFault(const std::string& name, NTSTATUS* status) {
    auto found = K().RoutineFaults.find(name);
    if (found == K().RoutineFaults.end() || found->second.Remaining == 0) {
        return false;
    }
    if (found->second.Skip != 0) {
        found->second.Skip--;
        return false;
    }
    found->second.Remaining--;
    if (status != nullptr) {
        *status = found->second.Status;
    }
    return true;
}

} // namespace hk
