// The components that keep their state apart from Kernel, reset and checked
// for leaks together.
#include "hostkernel/fs/file_systems.h"
#include "hostkernel/ke/components.h"
#include "hostkernel/se/security_internal.h"

namespace hk {

void ResetComponents() {
    ResetHandles();
    ResetRegistry();
    ResetErrorLog();
    ResetPowerRequests();
    ResetUserApi();
    ResetObjects();
    ResetFileSystems();
    ResetSecurity();
}

void FindComponentLeaks(std::vector<std::string>& leaks) {
    FindHandleLeaks(leaks);
    FindErrorLogLeaks(leaks);
    FindObjectLeaks(leaks);
}

} // namespace hk
