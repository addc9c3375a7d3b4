// The host side of the seam: the driver runs on the simulated kernel.
#pragma once

#include "hostkernel/nt.h"

// Pageable routines lie in a section of their own, as in the image, so that
// the host kernel can tell pageable code by its address.
#define VKT_PAGED_ROUTINE __attribute__((section("vkt_paged_code")))
#define VKT_INIT_ROUTINE
#define VKT_TEXT(literal) u"" literal

// Pageable code must never run above APC_LEVEL; the host kernel's verifier
// stops the test naming the routine that did.
#define PAGED_CODE() HkCheckPagedCode(__func__)

// The host kernel raises user-memory faults as C++ exceptions carrying the
// platform's exception code; the guard turns them back into a status.
#define VKT_GUARD_TRY try {
#define VKT_GUARD_EXCEPT(status)                                                                   \
    }                                                                                              \
    catch (const HkRaisedException& raised) {                                                      \
        (status) = raised.Code;
#define VKT_GUARD_END }

#define VKT_DEBUGGER_ENABLED() (KdDebuggerEnabled != FALSE)

// The object types the kernel exports (IoFileObjectType, PsProcessType,
// IoDeviceObjectType).
#define VKT_OBJECT_TYPE(exported) (exported)

// The kernel's record of well-known SIDs.
typedef SE_EXPORTS VKT_SE_EXPORTS;
#define VKT_SE_EXPORTS_RECORD() (SeExports)
