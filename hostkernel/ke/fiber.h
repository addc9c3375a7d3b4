// Execution contexts of the host kernel's threads: each simulated thread
// that runs a body of its own gets a stack of its own, and exactly one
// context runs at a time. The switch tells AddressSanitizer and valgrind
// about every change of stack, so both keep working across switches.
#pragma once

#include <cstddef>

namespace hk {

struct Fiber;

// The context of the host's own stack: the one that runs the test.
Fiber* HostFiber();

// A context that will run `entry(argument)` on a fresh stack when first
// switched to. The entry must never return; it ends by switching away for
// good with SwitchFiber(..., finished = true).
Fiber* CreateFiber(void (*entry)(void*), void* argument);

// Saves the running context in `from` and resumes `to`. A `from` that has
// finished is never resumed again, and its stack may then be released.
void SwitchFiber(Fiber* from, Fiber* to, bool finished = false);

// Called first thing by every entry routine, on the new stack.
void EnterFiber();

// Releases a context that is not running and will never run again.
void DestroyFiber(Fiber* fiber);

} // namespace hk
