// How the I/O manager hands a control request's buffers to a driver, by
// the control code's transfer method, and what it does with them when the
// request completes.
#pragma once

#include "hostkernel/kernel_state.h"

namespace hk {

// Fills the first stack location's buffer parameters, the system buffer,
// UserBuffer and MdlAddress of a control request sent by a caller. Fails
// with STATUS_ACCESS_VIOLATION, before any driver sees the request, when a
// buffer the I/O manager must read or lock is not mapped in the caller.
NTSTATUS PrepareCallerBuffers(PIRP irp, IrpRecord& record, const Request& request);

// The same for a request built in the kernel: METHOD_NEITHER passes the
// buffers as they are, the direct methods describe the output with an MDL.
void PrepareKernelBuffers(PIRP irp, IrpRecord& record, ULONG method, PVOID input, ULONG inputLength,
                          PVOID output, ULONG outputLength);

// At completion: gives the caller the output of a request that is not
// buffered, and releases its MDL.
void FinishUnbufferedOutput(PIRP irp, IrpRecord& record);

// Copies buffered output to the caller's output buffer, through the
// caller's pages when it is user memory.
void DeliverBufferedOutput(PIRP irp, const IrpRecord& record, const uint8_t* data, size_t size);

// Frees what a request still holds when the kernel is reset.
void ReleaseRequestBuffers(PIRP irp, IrpRecord& record);

} // namespace hk
