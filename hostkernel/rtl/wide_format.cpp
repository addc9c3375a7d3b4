// Run-time routines on 16-bit wide text used by the security path: the
// bounded formatter and the release of a counted string's buffer.
#include "hostkernel/kernel_state.h"
#include "hostkernel/verifier/levels.h"

#include <cstdarg>
#include <string>

namespace {

// One conversion of the formatter: %[-0][width][l|h|ll]{d,i,u,x,X,c,s,%}.
// Wide text for %s and %c, as in the kernel's wide formatter.
std::u16string FormatOne(const WCHAR*& format, va_list& arguments) {
    bool left = false;
    bool zero = false;
    for (;; format++) {
        if (*format == u'-') {
            left = true;
        } else if (*format == u'0') {
            zero = true;
        } else {
            break;
        }
    }
    size_t width = 0;
    while (*format >= u'0' && *format <= u'9') {
        width = width * 10 + (*format++ - u'0');
    }
    int longs = 0;
    while (*format == u'l' || *format == u'h') {
        longs += *format++ == u'l' ? 1 : 0;
    }
    std::u16string text;
    WCHAR kind = *format ? *format++ : u'%';
    auto number = [&](unsigned long long value, unsigned base, bool upper) {
        const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
        do {
            text.insert(text.begin(), static_cast<char16_t>(digits[value % base]));
            value /= base;
        } while (value != 0);
    };
    switch (kind) {
    case u'd':
    case u'i': {
        long long value = longs >= 2 ? va_arg(arguments, long long) : va_arg(arguments, int);
        number(value < 0 ? 0ULL - value : value, 10, false);
        if (value < 0) {
            text.insert(text.begin(), u'-');
        }
        break;
    }
    case u'u':
    case u'x':
    case u'X': {
        unsigned long long value =
            longs >= 2 ? va_arg(arguments, unsigned long long) : va_arg(arguments, unsigned);
        number(value, kind == u'u' ? 10 : 16, kind == u'X');
        break;
    }
    case u'c':
        text = static_cast<char16_t>(va_arg(arguments, int));
        break;
    case u's': {
        const WCHAR* string = va_arg(arguments, const WCHAR*);
        text = string == nullptr ? u"(null)" : string;
        break;
    }
    default:
        text = kind;
        return text;
    }
    if (text.size() < width) {
        size_t pad = width - text.size();
        if (left) {
            text.append(pad, u' ');
        } else {
            text.insert(0, pad, zero ? u'0' : u' ');
        }
    }
    return text;
}

} // namespace

int _snwprintf(WCHAR* Buffer, size_t Count, const WCHAR* Format, ...) {
    va_list arguments;
    va_start(arguments, Format);
    std::u16string text;
    while (*Format != 0) {
        if (*Format == u'%') {
            Format++;
            text += FormatOne(Format, arguments);
        } else {
            text += *Format++;
        }
    }
    va_end(arguments);
    size_t written = text.size() < Count ? text.size() : Count;
    text.copy(Buffer, written);
    if (written < Count) {
        Buffer[written] = 0;
    }
    return text.size() <= Count ? static_cast<int>(text.size()) : -1;
}

VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    HK_CHECK_LEVEL(RtlFreeUnicodeString);
    if (UnicodeString->Buffer != nullptr) {
        ExFreePoolWithTag(UnicodeString->Buffer, 0);
    }
    *UnicodeString = UNICODE_STRING{0, 0, nullptr};
}
