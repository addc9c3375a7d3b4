// The expected outcome of a scenario, kept beside it as NAME.expect: one
// pattern per line, "#" for comments. A plain pattern must occur in a line
// of the readable trace, the patterns in order (each after the line the
// previous one matched); a pattern after "!" must occur in no line at all.
// Runs of spaces count as one in both.
#pragma once

#include "sim/trace.h"

#include <string>
#include <vector>

namespace sim {

// What is not as expected, one message per finding; empty when all is.
std::vector<std::string> CheckExpectations(const std::string& expected,
                                           const std::vector<TraceEvent>& events);

} // namespace sim
