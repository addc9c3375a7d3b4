// Run-time library routines on wide text that build and compare paths:
// the kernel C runtime's case-blind comparison and bounded copy, and the
// append of one counted string to another.
#include "hostkernel/kernel_state.h"
#include "hostkernel/verifier/levels.h"

#include <cstring>

namespace {

// The kernel's C runtime works in the "C" locale: only ASCII letters fold.
WCHAR LowerAscii(WCHAR c) {
    return (c >= u'A' && c <= u'Z') ? static_cast<WCHAR>(c + 0x20) : c;
}

} // namespace

int _wcsnicmp(const WCHAR* String1, const WCHAR* String2, size_t Count) {
    for (size_t i = 0; i < Count; i++) {
        WCHAR a = LowerAscii(String1[i]);
        WCHAR b = LowerAscii(String2[i]);
        if (a != b) {
            return static_cast<int>(a) - static_cast<int>(b);
        }
        if (a == 0) {
            return 0;
        }
    }
    return 0;
}

// Copies the text with its terminator; a null pointer or a zero size gives
// EINVAL. A destination too small stops the test: the kernel's run-time
// library may treat it as a fatal invalid parameter, so a driver must never
// rely on its error.
errno_t wcscpy_s(WCHAR* Destination, size_t DestinationCount, const WCHAR* Source) {
    constexpr errno_t kInvalid = 22;
    if (Destination == nullptr || DestinationCount == 0) {
        return kInvalid;
    }
    if (Source == nullptr) {
        Destination[0] = 0;
        return kInvalid;
    }
    size_t length = wcsnlen(Source, DestinationCount);
    if (length == DestinationCount) {
        hk::VerifierStop("wcscpy_s copies more than its destination holds",
                         hk::RoutineName(__builtin_return_address(0)),
                         "text of at least " + std::to_string(length + 1) + " characters into " +
                             std::to_string(DestinationCount));
    }
    std::memmove(Destination, Source, (length + 1) * sizeof(WCHAR));
    return 0;
}

// Appends when the whole source fits; a terminator follows when there is
// room for one.
NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
    HK_CHECK_LEVEL(RtlAppendUnicodeStringToString);
    USHORT length = Source->Length;
    if (length == 0) {
        return STATUS_SUCCESS;
    }
    if (Destination->Length + length > Destination->MaximumLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    auto* end = reinterpret_cast<uint8_t*>(Destination->Buffer) + Destination->Length;
    std::memmove(end, Source->Buffer, length);
    Destination->Length = static_cast<USHORT>(Destination->Length + length);
    if (Destination->Length + sizeof(WCHAR) <= Destination->MaximumLength) {
        Destination->Buffer[Destination->Length / sizeof(WCHAR)] = 0;
    }
    return STATUS_SUCCESS;
}
