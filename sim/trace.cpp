#include "sim/trace.h"

#include <cstdio>

namespace sim {

namespace {

std::string Quote(const std::string& text) {
    std::string quoted = "\"";
    for (char c : text) {
        switch (c) {
        case '"':
            quoted += "\\\"";
            break;
        case '\\':
            quoted += "\\\\";
            break;
        case '\n':
            quoted += "\\n";
            break;
        case '\r':
            quoted += "\\r";
            break;
        case '\t':
            quoted += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04x", c);
                quoted += escape;
            } else {
                quoted += c;
            }
        }
    }
    return quoted + "\"";
}

struct StatusName {
    uint32_t Status;  // the value
    const char* Name; // the platform's name for it
};

constexpr StatusName kStatusNames[] = {
    {0x00000000, "STATUS_SUCCESS"},
    {0x00000103, "STATUS_PENDING"},
    {0x80000005, "STATUS_BUFFER_OVERFLOW"},
    {0xC0000001, "STATUS_UNSUCCESSFUL"},
    {0xC0000005, "STATUS_ACCESS_VIOLATION"},
    {0xC000000D, "STATUS_INVALID_PARAMETER"},
    {0xC0000010, "STATUS_INVALID_DEVICE_REQUEST"},
    {0xC0000022, "STATUS_ACCESS_DENIED"},
    {0xC0000034, "STATUS_OBJECT_NAME_NOT_FOUND"},
    {0xC0000056, "STATUS_DELETE_PENDING"},
    {0xC0000058, "STATUS_UNKNOWN_REVISION"},
    {0xC000009A, "STATUS_INSUFFICIENT_RESOURCES"},
    {0xC000009D, "STATUS_DEVICE_NOT_CONNECTED"},
    {0xC00000B5, "STATUS_IO_TIMEOUT"},
    {0xC00000BB, "STATUS_NOT_SUPPORTED"},
    {0xC0000185, "STATUS_IO_DEVICE_ERROR"},
    {0xC014000F, "STATUS_ACPI_INVALID_DATA"},
};

} // namespace

TraceEvent& TraceEvent::Number(const std::string& name, int64_t value) {
    Fields.push_back({name, std::to_string(value)});
    return *this;
}

TraceEvent& TraceEvent::String(const std::string& name, const std::string& value) {
    Fields.push_back({name, Quote(value)});
    return *this;
}

TraceEvent& TraceEvent::Bool(const std::string& name, bool value) {
    Fields.push_back({name, value ? "true" : "false"});
    return *this;
}

TraceEvent& TraceEvent::Null(const std::string& name) {
    Fields.push_back({name, "null"});
    return *this;
}

std::optional<std::string> TraceEvent::Field(const std::string& name) const {
    for (const TraceField& field : Fields) {
        if (field.Name == name) {
            return field.Value;
        }
    }
    return std::nullopt;
}

std::string FormatTime(uint64_t time) {
    uint64_t milliseconds = time / 10'000;
    uint64_t seconds = milliseconds / 1000;
    char text[48];
    uint64_t days = seconds / 86400;
    int length = 0;
    if (days != 0) {
        length = std::snprintf(text, sizeof text, "%llud ", static_cast<unsigned long long>(days));
    }
    std::snprintf(text + length, sizeof text - length, "%02llu:%02llu:%02llu.%03llu",
                  static_cast<unsigned long long>(seconds / 3600 % 24),
                  static_cast<unsigned long long>(seconds / 60 % 60),
                  static_cast<unsigned long long>(seconds % 60),
                  static_cast<unsigned long long>(milliseconds % 1000));
    return text;
}

std::string FormatReadable(const TraceEvent& event) {
    char prefix[96];
    std::snprintf(prefix, sizeof prefix, "%15s  %-9s ", FormatTime(event.Time).c_str(),
                  event.Kind.c_str());
    // The column is counted in characters: a UTF-8 sequence is one.
    size_t characters = 0;
    for (char c : event.Who) {
        characters += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
    }
    return prefix + event.Who + std::string(characters < 15 ? 15 - characters : 1, ' ') +
           event.Text;
}

std::string FormatJson(const TraceEvent& event) {
    std::string line = "{\"t\":" + std::to_string(event.Time) + ",\"kind\":" + Quote(event.Kind) +
                       ",\"who\":" + Quote(event.Who) + ",\"text\":" + Quote(event.Text);
    for (const TraceField& field : event.Fields) {
        line += "," + Quote(field.Name) + ":" + field.Value;
    }
    return line + "}";
}

std::string FormatStatus(int32_t status) {
    char text[64];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<uint32_t>(status));
    for (const StatusName& name : kStatusNames) {
        if (name.Status == static_cast<uint32_t>(status)) {
            return std::string(text) + " " + name.Name;
        }
    }
    return text;
}

std::string FormatByte(uint8_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

namespace {

const char* StateName(uint8_t code) {
    static const char* const kNames[] = {
        "StateLoaded",  nullptr,        "StateRemoved",  "StateEnterS3",  "StateEnterS4",
        "StateEnterS5", "StateEnterS6", "StateResumeS3", "StateResumeS4", "StateResumeS6",
        "StateWatchA",  "StateWatchB",  "StateResumeS5"};
    return code >= 0x20 && code <= 0x2C ? kNames[code - 0x20] : nullptr;
}

} // namespace

std::string DescribeState(uint8_t code) {
    const char* name = StateName(code);
    return FormatByte(code) + (name ? std::string(" ") + name : "");
}

namespace {

// The code point of the UTF-8 sequence at `text[*at]`, moving `*at` past it;
// nullopt for an invalid sequence (a stray or missing continuation byte, an
// overlong form, a surrogate, anything beyond U+10FFFF).
std::optional<char32_t> DecodeUtf8(const std::string& text, size_t* at) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(*at);
    size_t length = lead < 0x80                   ? 1
                    : lead >= 0xC2 && lead < 0xE0 ? 2
                    : lead >= 0xE0 && lead < 0xF0 ? 3
                    : lead >= 0xF0 && lead < 0xF5 ? 4
                                                  : 0;
    if (length == 0 || *at + length > text.size()) {
        return std::nullopt;
    }
    char32_t c = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t i = 1; i < length; i++) {
        if ((byte(*at + i) & 0xC0) != 0x80) {
            return std::nullopt;
        }
        c = (c << 6) | (byte(*at + i) & 0x3F);
    }
    static const char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < kSmallest[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        return std::nullopt;
    }
    *at += length;
    return c;
}

} // namespace

size_t FindInvalidUtf8(const std::string& text) {
    for (size_t at = 0; at < text.size();) {
        size_t start = at;
        if (!DecodeUtf8(text, &at)) {
            return start;
        }
    }
    return std::string::npos;
}

std::u16string Widen(const std::string& text) {
    std::u16string wide;
    for (size_t at = 0; at < text.size();) {
        std::optional<char32_t> c = DecodeUtf8(text, &at);
        if (!c) {
            wide += u'\uFFFD';
            at++;
        } else if (*c >= 0x10000) {
            wide += static_cast<char16_t>(0xD800 + ((*c - 0x10000) >> 10));
            wide += static_cast<char16_t>(0xDC00 + ((*c - 0x10000) & 0x3FF));
        } else {
            wide += static_cast<char16_t>(*c);
        }
    }
    return wide;
}

std::string Narrow(const std::u16string& text) {
    std::string narrow;
    for (size_t i = 0; i < text.size(); i++) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD; // half of a pair
        }
        if (c < 0x80) {
            narrow += static_cast<char>(c);
        } else if (c < 0x800) {
            narrow += static_cast<char>(0xC0 | (c >> 6));
            narrow += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            narrow += static_cast<char>(0xE0 | (c >> 12));
            narrow += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            narrow += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            narrow += static_cast<char>(0xF0 | (c >> 18));
            narrow += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            narrow += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            narrow += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return narrow;
}

} // namespace sim
