// What tests and benchmarks read of the pool's bookkeeping: the non-paged
// pool a driver holds, and the most it held at once.
#pragma once

#include "hostkernel/control.h"

namespace hk {

// Bytes now allocated from non-paged pool, by every caller.
size_t NonPagedPoolBytes();

// The most bytes of non-paged pool allocated at once since the kernel was
// reset or the peak was last reset.
size_t NonPagedPoolPeak();

// Starts a new peak from what is allocated now.
void ResetNonPagedPoolPeak();

} // namespace hk
