#include "sim/inf_hardware.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace sim {

namespace {

using Sections = std::map<std::string, std::vector<std::string>>; // lower-case name -> lines

std::string Lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string Trim(const std::string& text) {
    size_t start = text.find_first_not_of(" \t\r");
    size_t end = text.find_last_not_of(" \t\r");
    return start == std::string::npos ? "" : text.substr(start, end - start + 1);
}

// A line without its comment: a ";" outside double quotes starts one.
std::string Uncommented(const std::string& line) {
    bool quoted = false;
    for (size_t i = 0; i < line.size(); i++) {
        if (line[i] == '"') {
            quoted = !quoted;
        } else if (line[i] == ';' && !quoted) {
            return line.substr(0, i);
        }
    }
    return line;
}

// The fields of a line, split at commas outside quotes, trimmed, unquoted.
std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
        } else if (c == ',' && !quoted) {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    for (std::string& field : fields) {
        field = Trim(field);
    }
    return fields;
}

Sections ReadSections(const std::string& inf) {
    Sections sections;
    std::vector<std::string>* current = nullptr;
    std::istringstream lines(inf);
    std::string line;
    while (std::getline(lines, line)) {
        line = Trim(Uncommented(line));
        if (line.size() > 2 && line.front() == '[' && line.back() == ']') {
            current = &sections[Lower(Trim(line.substr(1, line.size() - 2)))];
        } else if (!line.empty() && current != nullptr) {
            current->push_back(line);
        }
    }
    return sections;
}

// The values of "KEY = a, b" lines of a section.
std::vector<std::string> Directive(const std::vector<std::string>& lines, const std::string& key) {
    std::vector<std::string> values;
    for (const std::string& line : lines) {
        size_t equals = line.find('=');
        if (equals != std::string::npos && Lower(Trim(line.substr(0, equals))) == key) {
            for (const std::string& value : Fields(line.substr(equals + 1))) {
                values.push_back(Lower(value));
            }
        }
    }
    return values;
}

void ReadAddReg(const std::vector<std::string>& lines, HardwareSettings* settings) {
    for (const std::string& line : lines) {
        std::vector<std::string> fields = Fields(line);
        if (fields.size() != 5 || Lower(fields[0]) != "hkr" || !fields[1].empty()) {
            continue;
        }
        std::string name = Lower(fields[2]);
        if (name == "security" && fields[3].empty()) {
            settings->Security = std::u16string(fields[4].begin(), fields[4].end());
        } else if (name == "devicecharacteristics" && Lower(fields[3]) == "0x10001") {
            settings->Characteristics = static_cast<uint32_t>(std::stoul(fields[4], nullptr, 0));
        }
    }
}

} // namespace

HardwareSettings ParseHardwareSettings(const std::string& inf) {
    HardwareSettings settings;
    Sections sections = ReadSections(inf);
    for (const auto& [name, lines] : sections) {
        if (name.size() <= 3 || name.compare(name.size() - 3, 3, ".hw") != 0 ||
            sections.count(name.substr(0, name.size() - 3)) == 0) {
            continue;
        }
        for (const std::string& addReg : Directive(lines, "addreg")) {
            auto found = sections.find(addReg);
            if (found != sections.end()) {
                ReadAddReg(found->second, &settings);
            }
        }
        break;
    }
    return settings;
}

const HardwareSettings& ShippedHardwareSettings() {
    static const HardwareSettings settings = [] {
        std::ifstream file(VKT_SOURCE_DIR "/windows/VKTDrv.inf", std::ios::binary);
        if (!file) {
            throw std::runtime_error("cannot read " VKT_SOURCE_DIR "/windows/VKTDrv.inf");
        }
        std::ostringstream text;
        text << file.rdbuf();
        return ParseHardwareSettings(text.str());
    }();
    return settings;
}

} // namespace sim
