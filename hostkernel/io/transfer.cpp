// The transfer methods of control requests. METHOD_BUFFERED copies the
// caller's input into a system buffer and the output back; METHOD_NEITHER
// hands the driver the caller's own addresses, Type3InputBuffer and
// UserBuffer, with no system buffer; METHOD_IN_DIRECT and METHOD_OUT_DIRECT
// buffer the input and lock the caller's output buffer, which the driver
// reaches through the MDL's system-space address. The simulated caller's
// buffers live in its process's user memory, so the system-space address of
// a locked user buffer is a kernel copy of it, written back at completion.
#include "hostkernel/io/transfer.h"

#include "hostkernel/mm/address_space.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace hk {

namespace {

// The caller's buffers in its user memory.
struct CallerBuffers {
    uint64_t Input = 0;     // input buffer, 0 for none
    ULONG InputLength = 0;  // its length
    uint64_t Output = 0;    // output buffer, 0 for none
    ULONG OutputLength = 0; // its length
};

// The caller's buffers: at the addresses the request gives, or placed in
// the caller's memory. A buffered request needs no place for bytes the I/O
// manager copies anyway.
CallerBuffers PlaceCallerBuffers(HkProcess* sender, const Request& request, bool buffered) {
    CallerBuffers buffers;
    buffers.Input = request.inputAddress;
    buffers.InputLength = request.inputLength;
    if (buffers.Input == 0) {
        buffers.InputLength = static_cast<ULONG>(request.input.size());
    }
    if (buffers.Input == 0 && !request.input.empty() && !buffered) {
        buffers.InputLength = static_cast<ULONG>(request.input.size());
        buffers.Input = AllocateUserMemory(sender, buffers.InputLength);
        WriteUserMemory(sender, buffers.Input, request.input.data(), buffers.InputLength);
    }
    buffers.Output = request.outputAddress;
    buffers.OutputLength = request.outputLength;
    if (buffers.Output == 0 && buffers.OutputLength != 0 && !buffered) {
        buffers.Output = AllocateUserMemory(sender, buffers.OutputLength);
    }
    return buffers;
}

// An MDL for `length` bytes at `address`, mapped in system space at `mapped`.
PMDL DescribeBuffer(uint64_t address, ULONG length, PVOID mapped, HkProcess* process) {
    auto* mdl = static_cast<PMDL>(AllocateKernelMemory(sizeof(MDL)));
    mdl->Size = static_cast<CSHORT>(sizeof(MDL));
    mdl->MdlFlags = MDL_MAPPED_TO_SYSTEM_VA | MDL_PAGES_LOCKED;
    mdl->Process = process;
    mdl->MappedSystemVa = mapped;
    mdl->StartVa = reinterpret_cast<PVOID>(address / kUserPageSize * kUserPageSize);
    mdl->ByteOffset = static_cast<ULONG>(address % kUserPageSize);
    mdl->ByteCount = length;
    return mdl;
}

void* BufferOf(const std::vector<uint8_t>& input, ULONG outputLength) {
    size_t size = std::max<size_t>(input.size(), outputLength);
    if (size == 0) {
        return nullptr;
    }
    void* buffer = AllocateKernelMemory(size);
    if (!input.empty()) {
        std::memcpy(buffer, input.data(), input.size());
    }
    return buffer;
}

} // namespace

NTSTATUS PrepareCallerBuffers(PIRP irp, IrpRecord& record, const Request& request) {
    PIO_STACK_LOCATION first = IoGetNextIrpStackLocation(irp);
    ULONG method = request.ioControlCode & 3;
    HkProcess* sender = K().Current->Process;
    CallerBuffers buffers = PlaceCallerBuffers(sender, request, method == METHOD_BUFFERED);
    record.Method = method;
    first->Parameters.DeviceIoControl.InputBufferLength = buffers.InputLength;
    first->Parameters.DeviceIoControl.OutputBufferLength = buffers.OutputLength;
    record.Sender = sender;
    record.UserOutput = buffers.Output;
    record.OutputLength = buffers.OutputLength;
    irp->UserBuffer = reinterpret_cast<PVOID>(buffers.Output);
    if (method == METHOD_NEITHER) {
        first->Parameters.DeviceIoControl.Type3InputBuffer = reinterpret_cast<PVOID>(buffers.Input);
        return STATUS_SUCCESS;
    }
    std::vector<uint8_t> input = request.input;
    if (buffers.Input != 0) {
        input.resize(buffers.InputLength);
        if (!ReadUserMemory(sender, buffers.Input, input.data(), input.size())) {
            return STATUS_ACCESS_VIOLATION;
        }
    }
    if (method == METHOD_BUFFERED) {
        irp->AssociatedIrp.SystemBuffer = BufferOf(input, buffers.OutputLength);
        record.Buffered = true;
        return STATUS_SUCCESS;
    }
    // Direct I/O: the output buffer is locked (so it must be mapped) and
    // mapped in system space; the input is buffered.
    std::vector<uint8_t> output(buffers.OutputLength);
    if (!ReadUserMemory(sender, buffers.Output, output.data(), output.size())) {
        return STATUS_ACCESS_VIOLATION;
    }
    irp->AssociatedIrp.SystemBuffer = BufferOf(input, 0);
    record.Buffered = true;
    if (buffers.OutputLength != 0) {
        void* mapped = BufferOf(output, 0);
        irp->MdlAddress = DescribeBuffer(buffers.Output, buffers.OutputLength, mapped, sender);
        record.MirroredOutput = true;
    }
    return STATUS_SUCCESS;
}

void PrepareKernelBuffers(PIRP irp, IrpRecord& record, ULONG method, PVOID input, ULONG inputLength,
                          PVOID output, ULONG outputLength) {
    PIO_STACK_LOCATION first = IoGetNextIrpStackLocation(irp);
    record.Method = method;
    irp->UserBuffer = output;
    auto* bytes = static_cast<uint8_t*>(input);
    std::vector<uint8_t> copy(bytes, bytes + (bytes != nullptr ? inputLength : 0));
    if (method == METHOD_NEITHER) {
        first->Parameters.DeviceIoControl.Type3InputBuffer = input;
        return;
    }
    irp->AssociatedIrp.SystemBuffer = BufferOf(copy, method == METHOD_BUFFERED ? outputLength : 0);
    record.Buffered = true;
    record.OutputLength = outputLength;
    if (method != METHOD_BUFFERED && output != nullptr && outputLength != 0) {
        irp->MdlAddress =
            DescribeBuffer(reinterpret_cast<uint64_t>(output), outputLength, output, nullptr);
    }
}

void DeliverBufferedOutput(PIRP irp, const IrpRecord& record, const uint8_t* data, size_t size) {
    if (irp->UserBuffer == nullptr || size == 0) {
        return;
    }
    if (record.UserOutput != 0) {
        // The caller's pages may have gone meanwhile; what is mapped gets it.
        std::vector<uint8_t> probe(size);
        if (ReadUserMemory(record.Sender, record.UserOutput, probe.data(), size)) {
            WriteUserMemory(record.Sender, record.UserOutput, data, size);
        }
        return;
    }
    std::memcpy(irp->UserBuffer, data, size);
}

void FinishUnbufferedOutput(PIRP irp, IrpRecord& record) {
    size_t size = std::min<size_t>(irp->IoStatus.Information, record.OutputLength);
    PMDL mdl = irp->MdlAddress;
    if (record.MirroredOutput) {
        const auto* mapped = static_cast<const uint8_t*>(mdl->MappedSystemVa);
        WriteUserMemory(record.Sender, record.UserOutput, mapped, mdl->ByteCount);
        record.Output.assign(mapped, mapped + size);
    } else if (record.Method == METHOD_NEITHER && record.UserOutput != 0) {
        record.Output.resize(size);
        if (!ReadUserMemory(record.Sender, record.UserOutput, record.Output.data(), size)) {
            record.Output.clear();
        }
    }
    ReleaseRequestBuffers(irp, record);
}

void ReleaseRequestBuffers(PIRP irp, IrpRecord& record) {
    if (irp->MdlAddress != nullptr) {
        if (record.MirroredOutput) {
            FreeKernelMemory(irp->MdlAddress->MappedSystemVa);
        }
        FreeKernelMemory(irp->MdlAddress);
        irp->MdlAddress = nullptr;
        record.MirroredOutput = false;
    }
}

} // namespace hk
