// A user-mode routine called from kernel code: the image imports from
// KERNEL32.dll, which the kernel's loader cannot resolve.
#include "platform/platform.h"

extern "C" __declspec(dllimport) ULONG GetTickCount();

ULONG ElapsedMilliseconds() {
    return GetTickCount();
}
