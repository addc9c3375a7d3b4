// The stops of the level table, and pageable code told by its address.
#include "hostkernel/verifier/levels.h"

// The bounds of the section that holds the driver's pageable routines in the
// host build; absent (null) from a program that links no driver.
extern "C" {
extern const char __start_vkt_paged_code[] __attribute__((weak));
extern const char __stop_vkt_paged_code[] __attribute__((weak));
}

namespace hk {

namespace {

constexpr const char* kRoutineNames[] = {
#define HK_ROUTINE_TEXT(routine, level) #routine,
    HK_ROUTINE_LEVELS(HK_ROUTINE_TEXT)
#undef HK_ROUTINE_TEXT
};

std::string LevelName(KIRQL level) {
    switch (level) {
    case PASSIVE_LEVEL:
        return "PASSIVE_LEVEL";
    case APC_LEVEL:
        return "APC_LEVEL";
    case DISPATCH_LEVEL:
        return "DISPATCH_LEVEL";
    default:
        return "level " + std::to_string(level);
    }
}

} // namespace

bool IsPageableCode(const void* code) {
    auto* address = static_cast<const char*>(code);
    return __start_vkt_paged_code != nullptr && address >= __start_vkt_paged_code &&
           address < __stop_vkt_paged_code;
}

void StopAboveHighestLevel(KernelRoutine routine, const void* caller) {
    auto index = static_cast<size_t>(routine);
    VerifierStop(std::string("calls ") + kRoutineNames[index] + " above " +
                     LevelName(kHighestLevel[index]),
                 RoutineName(caller), "at " + LevelName(K().Current->Irql));
}

void StopPageableCaller(KernelRoutine routine, const void* caller) {
    VerifierStop("pageable code runs above APC_LEVEL", RoutineName(caller),
                 std::string("calls ") + kRoutineNames[static_cast<size_t>(routine)] + " at " +
                     LevelName(K().Current->Irql));
}

} // namespace hk
