// Run-time library routines: counted strings, 16-bit wide-string routines,
// bounded copies and the corrupt-list fast fail.
#include "hostkernel/kernel_state.h"
#include "hostkernel/verifier/levels.h"

#include <cstring>

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    HK_CHECK_LEVEL(RtlInitUnicodeString);
    if (SourceString == nullptr) {
        *DestinationString = UNICODE_STRING{0, 0, nullptr};
        return;
    }
    size_t bytes = wcslen(SourceString) * sizeof(WCHAR);
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                             BOOLEAN CaseInSensitive) {
    HK_CHECK_LEVEL(RtlCompareUnicodeString);
    size_t length1 = String1->Length / sizeof(WCHAR);
    size_t length2 = String2->Length / sizeof(WCHAR);
    size_t common = length1 < length2 ? length1 : length2;
    for (size_t i = 0; i < common; i++) {
        WCHAR a = String1->Buffer[i];
        WCHAR b = String2->Buffer[i];
        if (CaseInSensitive) {
            a = RtlUpcaseUnicodeChar(a);
            b = RtlUpcaseUnicodeChar(b);
        }
        if (a != b) {
            return static_cast<LONG>(a) - static_cast<LONG>(b);
        }
    }
    return static_cast<LONG>(length1) - static_cast<LONG>(length2);
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                              BOOLEAN CaseInSensitive) {
    return String1->Length == String2->Length &&
           RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

// The kernel's bounded copy: a null pointer fails without copying (and
// clears the destination, as the platform does). A copy larger than its
// destination stops the test: the kernel's run-time library may treat it as
// a fatal invalid parameter, so a driver must never rely on its error.
// A copy from or to user memory goes through the current process's pages.
errno_t memcpy_s(void* Destination, size_t DestinationSize, const void* Source, size_t Count) {
    constexpr errno_t kInvalid = 22;
    if (Count == 0) {
        return 0;
    }
    if (Destination == nullptr) {
        return kInvalid;
    }
    if (Source == nullptr) {
        std::memset(Destination, 0, DestinationSize);
        return kInvalid;
    }
    if (DestinationSize < Count) {
        hk::VerifierStop("memcpy_s copies more than its destination holds",
                         hk::RoutineName(__builtin_return_address(0)),
                         std::to_string(Count) + " bytes into " + std::to_string(DestinationSize));
    }
    if (hk::TouchesUserMemory(Source, Count) || hk::TouchesUserMemory(Destination, Count)) {
        hk::CopyThroughUserPages(Destination, Source, Count);
        return 0;
    }
    std::memmove(Destination, Source, Count);
    return 0;
}

const WCHAR* wcschr(const WCHAR* String, WCHAR Character) {
    for (;; String++) {
        if (*String == Character) {
            return String;
        }
        if (*String == 0) {
            return nullptr;
        }
    }
}

WCHAR* wcschr(WCHAR* String, WCHAR Character) {
    return const_cast<WCHAR*>(wcschr(static_cast<const WCHAR*>(String), Character));
}

size_t wcsnlen(const WCHAR* String, size_t MaximumCount) {
    size_t length = 0;
    while (length < MaximumCount && String[length] != 0) {
        length++;
    }
    return length;
}

size_t wcslen(const WCHAR* String) {
    size_t length = 0;
    while (String[length] != 0) {
        length++;
    }
    return length;
}

VOID HkFastFailCorruptList(PLIST_ENTRY Entry) {
    hk::VerifierStop("fast fail 3: corrupt list entry",
                     hk::RoutineName(__builtin_return_address(0)),
                     "entry " + hk::Hex(reinterpret_cast<uintptr_t>(Entry)));
}
