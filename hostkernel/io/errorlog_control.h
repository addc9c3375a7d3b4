// What tests and the scenario trace read of the error log: every entry
// written, byte for byte.
#pragma once

#include "hostkernel/control.h"
#include "hostkernel/nt/errorlog.h"

namespace hk {

// One entry as IoWriteErrorLogEntry received it.
struct ErrorLogEntry {
    uint64_t Time = 0;                   // virtual time it was written
    PVOID IoObject = nullptr;            // device or driver object it was allocated for
    std::vector<uint8_t> Bytes;          // the whole entry, as large as allocated
    std::vector<std::u16string> Strings; // its insertion strings, without terminators
};

// Every entry written since the kernel was reset, in order.
const std::vector<ErrorLogEntry>& ErrorLog();

} // namespace hk
