// Components of the host kernel that keep their state apart from Kernel:
// the handle tables, the registry, the error log, the power requests, the
// user-mode API, objects, file systems and security.
// Reset starts each afresh (the registry keeps its tree across a reboot),
// and the leak check asks each what is left over.
#pragma once

#include "hostkernel/kernel_state.h"
#include "hostkernel/ob/handles.h"

namespace hk {

// Called by Reset, after the new Kernel exists.
void ResetComponents();
// Called by FindLeaks: one line per finding.
void FindComponentLeaks(std::vector<std::string>& leaks);
// Whether the Reset under way is part of a reboot, which keeps what lies on
// disk: the registry's non-volatile keys and the volumes' files.
bool Rebooting();

// The parts, one per component.
void ResetHandles();
void ResetRegistry();
void ResetErrorLog();
void ResetPowerRequests();
void ResetUserApi();
void FindHandleLeaks(std::vector<std::string>& leaks);
void FindErrorLogLeaks(std::vector<std::string>& leaks);

} // namespace hk
