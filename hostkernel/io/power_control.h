// What tests read of the power manager's bookkeeping.
#pragma once

#include "hostkernel/control.h"
#include "hostkernel/nt/power.h"

namespace hk {

// Calls of PoStartNextPowerIrp since the kernel was reset.
uint64_t PowerIrpStarts();

} // namespace hk
