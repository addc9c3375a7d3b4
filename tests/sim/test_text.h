// Texts in tests: UTF-16 registry data, and ASCII for messages.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A text as UTF-16 registry data with its terminator.
inline std::vector<uint8_t> Utf16z(const std::u16string& text) {
    std::vector<uint8_t> bytes;
    for (char16_t c : text) {
        bytes.push_back(static_cast<uint8_t>(c));
        bytes.push_back(static_cast<uint8_t>(c >> 8));
    }
    bytes.insert(bytes.end(), 2, 0);
    return bytes;
}

// A text for messages; characters beyond ASCII as '?'.
inline std::string Ascii(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) {
        out += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return out;
}
