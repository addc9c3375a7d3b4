// vktsddl: runs the driver's own SDDL parser (the kernel's converter absent)
// on the host kernel and shows what it makes of a text.
//
//   vktsddl [--mark-defaulted=0|1] [--gated=0|1] 'D:P(A;;GA;;;SY)'
//       prints the status, or the descriptor as hex bytes and decoded
//   vktsddl [--mark-defaulted=0|1] [--gated=0|1] --batch
//       reads one SDDL text per line from standard input, each a JSON string
//       literal, and prints one line per input: the failure status as 0x and
//       eight upper-case hex digits, or the descriptor's bytes as lower-case
//       hex without separators
//
// --mark-defaulted (default 0) asks for SE_DACL_DEFAULTED, as secure device
// creation does; --gated (default 1) says whether the version-gated aliases
// (LS, NS, AC, UD) are available. Exit status: 0 when every text converted,
// 1 when one failed, 2 for a usage error or a line that is no JSON string.
#include "hostkernel/se/security_control.h"
#include "securedevice/sddl.h"

#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace {

struct Options {
    ULONG MarkDefaulted = 0; // ask for the defaulted mark
    bool Gated = true;       // the gated aliases exist
    bool Batch = false;      // read texts from standard input
    std::u16string Text;     // the text, outside batch mode
};

// UTF-8 to UTF-16; invalid sequences become U+FFFD.
std::u16string FromUtf8(const std::string& text) {
    std::u16string out;
    for (size_t i = 0; i < text.size();) {
        auto byte = static_cast<unsigned char>(text[i]);
        int extra = byte < 0x80         ? 0
                    : (byte >> 5) == 6  ? 1
                    : (byte >> 4) == 14 ? 2
                    : (byte >> 3) == 30 ? 3
                                        : -1;
        if (extra < 0 || i + extra >= text.size()) {
            out += u'\uFFFD';
            i++;
            continue;
        }
        uint32_t code = extra == 0 ? byte : byte & (0x3F >> extra);
        bool valid = true;
        for (int k = 1; k <= extra; k++) {
            auto next = static_cast<unsigned char>(text[i + k]);
            valid = valid && (next & 0xC0) == 0x80;
            code = code << 6 | (next & 0x3F);
        }
        i += valid ? extra + 1 : 1;
        if (!valid) {
            out += u'\uFFFD';
        } else if (code >= 0x10000) {
            code -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (code >> 10));
            out += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
        } else {
            out += static_cast<char16_t>(code);
        }
    }
    return out;
}

// A JSON string literal, the whole line; nothing when it is none.
std::optional<std::u16string> ParseJsonString(std::string line) {
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    if (line.size() < 2 || line.front() != '"' || line.back() != '"') {
        return std::nullopt;
    }
    std::string content = line.substr(1, line.size() - 2);
    std::u16string out;
    std::string plain;
    for (size_t i = 0; i < content.size(); i++) {
        char c = content[i];
        if (c == '"' || static_cast<unsigned char>(c) < 0x20) {
            return std::nullopt;
        }
        if (c != '\\') {
            plain += c;
            continue;
        }
        out += FromUtf8(plain);
        plain.clear();
        if (++i == content.size()) {
            return std::nullopt;
        }
        const char* escapes = "\"\\/bfnrt";
        const char16_t* meanings = u"\"\\/\b\f\n\r\t";
        const char* found = std::strchr(escapes, content[i]);
        if (found != nullptr && *found != 0) {
            out += meanings[found - escapes];
            continue;
        }
        std::string hex = content[i] == 'u' ? content.substr(i + 1, 4) : "";
        if (hex.size() != 4 ||
            hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
            return std::nullopt;
        }
        out += static_cast<char16_t>(std::stoul(hex, nullptr, 16));
        i += 4;
    }
    return out + FromUtf8(plain);
}

// Converts a text; the status, and the descriptor's bytes on success.
NTSTATUS ConvertText(const std::u16string& text, ULONG markDefaulted, std::vector<uint8_t>* bytes) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    NTSTATUS status;
    if (text.size() * sizeof(char16_t) <= 0xFFFC) {
        UNICODE_STRING counted{static_cast<USHORT>(text.size() * 2),
                               static_cast<USHORT>(text.size() * 2),
                               const_cast<char16_t*>(text.data())};
        status = ConvertSddlString(&counted, markDefaulted, &descriptor);
    } else {
        // Longer than a counted string can say: the terminated form.
        status = ConvertSddlText(text.c_str(), markDefaulted, &descriptor);
    }
    if (NT_SUCCESS(status)) {
        auto* start = static_cast<const uint8_t*>(descriptor);
        bytes->assign(start, start + RtlLengthSecurityDescriptor(descriptor));
        ExFreePoolWithTag(descriptor, 0);
    }
    return status;
}

std::string StatusText(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<uint32_t>(status));
    return text;
}

std::string StatusName(NTSTATUS status) {
    switch (status) {
    case STATUS_INVALID_PARAMETER:
        return "STATUS_INVALID_PARAMETER";
    case STATUS_NONE_MAPPED:
        return "STATUS_NONE_MAPPED";
    case STATUS_INVALID_ACL:
        return "STATUS_INVALID_ACL";
    case STATUS_INSUFFICIENT_RESOURCES:
        return "STATUS_INSUFFICIENT_RESOURCES";
    case STATUS_ALLOTTED_SPACE_EXCEEDED:
        return "STATUS_ALLOTTED_SPACE_EXCEEDED";
    default:
        return "";
    }
}

uint32_t Read32(const std::vector<uint8_t>& bytes, size_t offset) {
    uint32_t value = 0;
    std::memcpy(&value, bytes.data() + offset, 4);
    return value;
}

uint16_t Read16(const std::vector<uint8_t>& bytes, size_t offset) {
    return static_cast<uint16_t>(bytes[offset] | bytes[offset + 1] << 8);
}

std::string MaskNames(uint32_t mask) {
    const std::pair<uint32_t, const char*> names[] = {
        {0x10000, "DELETE"},           {0x20000, "READ_CONTROL"},   {0x40000, "WRITE_DAC"},
        {0x80000, "WRITE_OWNER"},      {0x10000000, "GENERIC_ALL"}, {0x20000000, "GENERIC_EXECUTE"},
        {0x40000000, "GENERIC_WRITE"}, {0x80000000, "GENERIC_READ"}};
    std::string text;
    for (auto& [bit, name] : names) {
        if (mask & bit) {
            text += std::string(text.empty() ? "" : " ") + name;
            mask &= ~bit;
        }
    }
    if (mask != 0) {
        char rest[16];
        std::snprintf(rest, sizeof rest, "0x%X", mask);
        text += std::string(text.empty() ? "" : " ") + rest;
    }
    return text.empty() ? "none" : text;
}

void PrintDecoded(const std::vector<uint8_t>& bytes) {
    std::printf("%zu bytes:\n", bytes.size());
    for (size_t i = 0; i < bytes.size(); i += 16) {
        std::printf("  %04zx ", i);
        for (size_t k = i; k < bytes.size() && k < i + 16; k++) {
            std::printf(" %02x", bytes[k]);
        }
        std::printf("\n");
    }
    uint16_t control = Read16(bytes, 2);
    std::printf("revision %u, control 0x%04X:", bytes[0], control);
    const std::pair<uint16_t, const char*> bits[] = {{0x8000, "SE_SELF_RELATIVE"},
                                                     {0x1000, "SE_DACL_PROTECTED"},
                                                     {0x0400, "SE_DACL_AUTO_INHERITED"},
                                                     {0x0008, "SE_DACL_DEFAULTED"},
                                                     {0x0004, "SE_DACL_PRESENT"}};
    for (auto& [bit, name] : bits) {
        if (control & bit) {
            std::printf(" %s", name);
        }
    }
    std::printf("\n");
    const char* parts[] = {"owner", "group", "SACL"};
    for (int i = 0; i < 3; i++) {
        uint32_t offset = Read32(bytes, 4 + 4 * i);
        std::printf("%s: %s\n", parts[i], offset == 0 ? "none" : "present");
    }
    uint32_t dacl = Read32(bytes, 16);
    if (dacl == 0) {
        std::printf("DACL: none\n");
        return;
    }
    uint16_t count = Read16(bytes, dacl + 4);
    std::printf("DACL at %u: revision %u, %u bytes, %u ACE%s\n", dacl, bytes[dacl],
                Read16(bytes, dacl + 2), count, count == 1 ? "" : "s");
    size_t at = dacl + 8;
    for (uint16_t i = 0; i < count; i++) {
        uint32_t mask = Read32(bytes, at + 4);
        std::printf("  ACE %u: %s, flags 0x%02X, mask 0x%08X (%s), %s\n", i,
                    bytes[at] == 0 ? "allowed" : "type ?", bytes[at + 1], mask,
                    MaskNames(mask).c_str(), hk::SidText(bytes.data() + at + 8).c_str());
        at += Read16(bytes, at + 2);
    }
}

int Usage() {
    std::fprintf(stderr, "usage: vktsddl [--mark-defaulted=0|1] [--gated=0|1] SDDL\n"
                         "       vktsddl [--mark-defaulted=0|1] [--gated=0|1] --batch\n");
    return 2;
}

std::optional<Options> ParseArguments(int argc, char** argv) {
    Options options;
    bool haveText = false;
    for (int i = 1; i < argc; i++) {
        std::string argument = argv[i];
        if (argument == "--mark-defaulted=0" || argument == "--mark-defaulted=1") {
            options.MarkDefaulted = argument.back() == '1';
        } else if (argument == "--gated=0" || argument == "--gated=1") {
            options.Gated = argument.back() == '1';
        } else if (argument == "--batch") {
            options.Batch = true;
        } else if (argument.rfind("--", 0) == 0 || haveText) {
            return std::nullopt;
        } else {
            options.Text = FromUtf8(argument);
            haveText = true;
        }
    }
    if (options.Batch == haveText) {
        return std::nullopt;
    }
    return options;
}

int RunBatch(const Options& options) {
    int result = 0;
    std::string line;
    while (std::getline(std::cin, line)) {
        std::optional<std::u16string> text = ParseJsonString(line);
        if (!text) {
            std::printf("error: not a JSON string literal\n");
            result = 2;
            continue;
        }
        std::vector<uint8_t> bytes;
        NTSTATUS status = ConvertText(*text, options.MarkDefaulted, &bytes);
        if (!NT_SUCCESS(status)) {
            std::printf("%s\n", StatusText(status).c_str());
            result = result == 0 ? 1 : result;
            continue;
        }
        for (uint8_t byte : bytes) {
            std::printf("%02x", byte);
        }
        std::printf("\n");
    }
    return result;
}

} // namespace

int main(int argc, char** argv) {
    std::optional<Options> options = ParseArguments(argc, argv);
    if (!options) {
        return Usage();
    }
    hk::Reset();
    hk::SetWdmVersion(options->Gated ? 6 : 1, options->Gated ? 0x30 : 0x10);
    if (options->Batch) {
        return RunBatch(*options);
    }
    std::vector<uint8_t> bytes;
    NTSTATUS status = ConvertText(options->Text, options->MarkDefaulted, &bytes);
    std::string name = StatusName(status);
    std::printf("status %s%s\n", StatusText(status).c_str(),
                name.empty() ? "" : (" (" + name + ")").c_str());
    if (!NT_SUCCESS(status)) {
        return 1;
    }
    PrintDecoded(bytes);
    return 0;
}
