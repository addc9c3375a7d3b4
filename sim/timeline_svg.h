// The timeline picture of a run: a standalone SVG with the firmware's
// watchdog counting down and being fed, the state code the firmware holds,
// power states, the processes alive, requests, expiry and reset. Time is
// drawn to a scale that is linear between two things happening and
// compressed logarithmically across the stretches where nothing but the
// ten-second cycle happens, so a day-long run reads like a minute-long one.
#pragma once

#include "sim/machine.h"

#include <string>

namespace sim {

std::string DrawTimeline(const std::vector<TraceEvent>& events,
                         const std::vector<WatchdogSample>& samples, const std::string& title);

} // namespace sim
