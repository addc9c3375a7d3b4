// The run-time routine lookup: the routines the kernel "exports" by name,
// which tests may add and take away, and MmGetSystemRoutineAddress over them.
#include "hostkernel/kernel_state.h"
#include "hostkernel/verifier/levels.h"

namespace hk {

void SetExport(const std::string& name, void* routine) {
    K().Exports[name] = routine;
}
void RemoveExport(const std::string& name) {
    K().Exports.erase(name);
}

} // namespace hk

using hk::K;

PVOID MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName) {
    HK_CHECK_LEVEL(MmGetSystemRoutineAddress);
    auto found = K().Exports.find(hk::Narrow(hk::FromCounted(SystemRoutineName)));
    return found == K().Exports.end() ? nullptr : found->second;
}
