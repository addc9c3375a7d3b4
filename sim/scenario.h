// Scenario files: plain text, one step per line, "#" starts a comment. A
// step may begin with its virtual time, "@DURATION" from the start of the
// scenario or "+DURATION" after the previous step; without one it runs when
// the previous step ended. The whole file is checked before anything runs:
// a bad line is reported with its number and nothing runs. The steps are
// listed in the README.
#pragma once

#include "sim/machine.h"

#include <functional>
#include <string>
#include <vector>

namespace sim {

// One step, ready to run.
struct ScenarioStep {
    int Line = 0;                         // line number in the file
    uint64_t Time = 0;                    // scenario time at which it starts
    bool NeedsMachine = true;             // false for set-up that can precede the boot
    std::function<void(Machine&)> Action; // what it does
};

// A line that could not be read.
struct ScenarioError {
    int Line;            // line number
    std::string Message; // what is wrong
};

struct Scenario {
    std::vector<ScenarioStep> Steps;   // in order
    std::vector<ScenarioError> Errors; // empty when the file is good
};

// "10s", "1h30m", "250ms", "2d"; false when it is not a duration.
bool ParseDuration(const std::string& text, uint64_t* duration);

Scenario ParseScenario(const std::string& text);

// Runs every step on the machine, in order, advancing virtual time to each.
void RunScenario(const Scenario& scenario, Machine& machine);

} // namespace sim
