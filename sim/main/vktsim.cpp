// vktsim: boots the simulated machine, loads the driver over the ACPI
// device and runs a scenario file in virtual time.
//
//   vktsim [--json] [--svg FILE] [--expect FILE] SCENARIO
//
// Prints the trace (or JSON lines) on standard output. Exit status: 0 when
// the run went through (and met its expectations), 1 when expectations
// were not met, 2 for bad usage or a bad scenario file, in which case
// nothing runs.
#include "sim/expectations.h"
#include "sim/scenario.h"
#include "sim/timeline_svg.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

namespace {

bool ReadFile(const std::string& path, std::string* text) {
    std::ifstream file(path);
    if (!file) {
        return false;
    }
    std::ostringstream buffer;
    buffer << file.rdbuf();
    *text = buffer.str();
    return true;
}

int Usage() {
    std::cerr << "usage: vktsim [--json] [--svg FILE] [--expect FILE] SCENARIO\n";
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    bool json = false;
    std::string svgPath;
    std::string expectPath;
    std::string scenarioPath;
    for (int i = 1; i < argc; i++) {
        std::string argument = argv[i];
        if (argument == "--json") {
            json = true;
        } else if ((argument == "--svg" || argument == "--expect") && i + 1 < argc) {
            (argument == "--svg" ? svgPath : expectPath) = argv[++i];
        } else if (scenarioPath.empty() && argument[0] != '-') {
            scenarioPath = argument;
        } else {
            return Usage();
        }
    }
    if (scenarioPath.empty()) {
        return Usage();
    }
    std::string text;
    if (!ReadFile(scenarioPath, &text)) {
        std::cerr << "vktsim: cannot read " << scenarioPath << "\n";
        return 2;
    }
    std::string expected;
    if (!expectPath.empty() && !ReadFile(expectPath, &expected)) {
        std::cerr << "vktsim: cannot read " << expectPath << "\n";
        return 2;
    }
    sim::Scenario scenario = sim::ParseScenario(text);
    if (!scenario.Errors.empty()) {
        for (const sim::ScenarioError& error : scenario.Errors) {
            std::cerr << scenarioPath << ":" << error.Line << ": " << error.Message << "\n";
        }
        std::cerr << "vktsim: nothing was run\n";
        return 2;
    }
    sim::Machine machine;
    sim::RunScenario(scenario, machine);
    for (const sim::TraceEvent& event : machine.Events()) {
        std::cout << (json ? sim::FormatJson(event) : sim::FormatReadable(event)) << "\n";
    }
    std::cout.flush();
    if (!svgPath.empty()) {
        std::ofstream svg(svgPath);
        svg << sim::DrawTimeline(machine.Events(), machine.WatchdogSamples(), scenarioPath);
        if (!svg) {
            std::cerr << "vktsim: cannot write " << svgPath << "\n";
            return 2;
        }
    }
    if (!expectPath.empty()) {
        std::vector<std::string> findings = sim::CheckExpectations(expected, machine.Events());
        for (const std::string& finding : findings) {
            std::cerr << expectPath << ":" << finding << "\n";
        }
        if (!findings.empty()) {
            return 1;
        }
    }
    return 0;
}
