// Threads that run side by side, for tests and the simulated machine: each
// runs a body on a context of its own, and they take turns as the platform's
// threads would on one processor. Nothing here is visible to driver code.
#pragma once

#include "hostkernel/control.h"

namespace hk {

// Starts `body` as `thread` (at PASSIVE_LEVEL) on its own context. It first
// runs when the running thread waits (or when the explorer switches to it);
// the verifier checks that it leaves no lock held. The thread must not be
// running another body.
void StartThread(HkThread* thread, std::function<void()> body);

// Waits until every thread started with StartThread or RunAs has finished
// and nothing is left to run at the current time.
void WaitForThreads();

// Alerts a thread as the platform does when, for example, its process is
// ending: an alertable wait it is in ends at once, with STATUS_USER_APC for
// a user-mode wait and STATUS_ALERTED for a kernel-mode one; without such a
// wait, its next alertable wait ends so before it blocks.
void AlertThread(HkThread* thread);

// Whether a thread is running a body (started and not yet finished).
bool ThreadBusy(HkThread* thread);

} // namespace hk
