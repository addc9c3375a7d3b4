// The user-mode platform of the client: the platform's own <windows.h> on
// Windows, the host kernel's stand-ins for the same routines in the
// simulated machine. Nothing else differs between the two builds.
#pragma once

#ifdef _WIN32
#include <windows.h>
#define VKT_USER_TEXT(literal) L"" literal
// The program's own memory is the caller memory the kernel reads.
inline const void* VktCallerMemory(const void* data, size_t) {
    return data;
}
#else
#include "hostkernel/user/user_api.h"
#define VKT_USER_TEXT(literal) u"" literal
#endif
