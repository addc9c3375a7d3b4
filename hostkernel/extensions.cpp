// The components kept apart from Kernel, reset and checked for leaks
// together.
#include "hostkernel/files_internal.h"
#include "hostkernel/kernel_extensions.h"
#include "hostkernel/security_internal.h"

namespace hk {

void ResetExtensions() {
    ResetHandles();
    ResetRegistry();
    ResetErrorLog();
    ResetPowerRequests();
    ResetUserApi();
    ResetObjects();
    ResetSecurity();
}

void FindExtensionLeaks(std::vector<std::string>& leaks) {
    FindHandleLeaks(leaks);
    FindErrorLogLeaks(leaks);
    FindObjectLeaks(leaks);
}

} // namespace hk
