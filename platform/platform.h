// The one header that driver sources include. It selects the kernel the
// driver is built against: the Windows kernel through the DDK headers, or the
// host kernel that runs the same sources in user space. Everything in which
// the two builds differ is expressed here as a macro:
//
//   VKT_PAGED_ROUTINE      placed before the definition of a pageable routine
//   VKT_INIT_ROUTINE       placed before the definition of the discardable entry
//   VKT_TEXT("...")        a UTF-16 literal (WCHAR is 16-bit on both builds)
//   PAGED_CODE()           first statement of every pageable routine
//   VKT_GUARD_TRY / VKT_GUARD_EXCEPT(status) / VKT_GUARD_END
//                          an exception guard around user-memory access; the
//                          exception's code lands in `status`
//   VKT_DEBUGGER_ENABLED() the kernel's KdDebuggerEnabled flag, read correctly
//   VKT_OBJECT_TYPE(name)  an object type the kernel exports, read correctly
//   VKT_SE_EXPORTS_RECORD() the kernel's SeExports record, as a VKT_SE_EXPORTS
//                          with every SID field the driver names
#pragma once

#if defined(_WIN32)
#include "platform_windows.h"
#else
#include "platform_host.h"
#endif
