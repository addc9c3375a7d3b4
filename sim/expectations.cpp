#include "sim/expectations.h"

#include <sstream>

namespace sim {

namespace {

std::string Squeeze(const std::string& text) {
    std::string squeezed;
    for (char c : text) {
        if (c == ' ' || c == '\t') {
            if (!squeezed.empty() && squeezed.back() != ' ') {
                squeezed += ' ';
            }
        } else {
            squeezed += c;
        }
    }
    while (!squeezed.empty() && squeezed.back() == ' ') {
        squeezed.pop_back();
    }
    return squeezed;
}

} // namespace

std::vector<std::string> CheckExpectations(const std::string& expected,
                                           const std::vector<TraceEvent>& events) {
    std::vector<std::string> trace;
    for (const TraceEvent& event : events) {
        trace.push_back(Squeeze(FormatReadable(event)));
    }
    std::vector<std::string> findings;
    std::istringstream lines(expected);
    std::string line;
    size_t position = 0;
    int number = 0;
    while (std::getline(lines, line)) {
        number++;
        std::string pattern = Squeeze(line);
        if (pattern.empty() || pattern[0] == '#') {
            continue;
        }
        if (pattern[0] == '!') {
            std::string forbidden = Squeeze(pattern.substr(1));
            for (const std::string& traced : trace) {
                if (traced.find(forbidden) != std::string::npos) {
                    findings.push_back("line " + std::to_string(number) + ": \"" + forbidden +
                                       "\" occurs: " + traced);
                    break;
                }
            }
            continue;
        }
        size_t found = position;
        while (found < trace.size() && trace[found].find(pattern) == std::string::npos) {
            found++;
        }
        if (found == trace.size()) {
            findings.push_back("line " + std::to_string(number) + ": \"" + pattern +
                               "\" does not occur after trace line " + std::to_string(position));
            continue;
        }
        position = found + 1;
    }
    return findings;
}

} // namespace sim
