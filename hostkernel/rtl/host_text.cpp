// The host kernel's own text helpers for messages and names: hexadecimal
// numbers, narrowed and upcased wide text, and the text of a counted string.
#include "hostkernel/kernel_state.h"

#include <cstdio>

namespace hk {

std::string Hex(uint64_t value) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

std::string Narrow(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) {
        out += (c < 0x80) ? static_cast<char>(c) : '?';
    }
    return out;
}

std::u16string Upcase(const std::u16string& text) {
    std::u16string out = text;
    for (char16_t& c : out) {
        c = RtlUpcaseUnicodeChar(c);
    }
    return out;
}

std::u16string FromCounted(PCUNICODE_STRING string) {
    if (string == nullptr || string->Buffer == nullptr) {
        return u"";
    }
    return std::u16string(string->Buffer, string->Length / sizeof(WCHAR));
}

} // namespace hk
