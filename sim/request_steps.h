// The scenario steps that send the driver's device power and Plug and Play
// requests: sleep and hibernation (and their ways in that hang), wake,
// device set-power and query-power requests, and each Plug and Play request
// of a device's life.
#pragma once

#include "sim/scenario.h"

namespace sim {

// Reads a step of power or Plug and Play requests into `step`; false when
// `words` is no such step. `error` tells what is wrong, or is left empty.
bool ReadRequestStep(const std::vector<std::string>& words, ScenarioStep* step, std::string* error);

} // namespace sim
