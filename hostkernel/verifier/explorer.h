// The explorer of interleavings: runs a scenario of a few threads under
// every schedule with up to a given number of preemptions (or under seeded
// random schedules), each from a fresh kernel, and checks each outcome.
// Every kernel routine of the scheduling core is a point where it may
// switch threads. A failing schedule is reported as a text that replays it.
#pragma once

#include "hostkernel/ke/thread_control.h"

#include <cstdint>
#include <functional>
#include <string>

namespace hk {

struct Scenario {
    // Builds the machine on a fresh kernel and starts the scenario's threads
    // with StartThread; they run once it returns.
    std::function<void()> Start;
    // Runs after every thread has finished and nothing is left to run at the
    // current time: an empty text when the outcome is consistent, else what
    // is wrong.
    std::function<std::string()> Check;
    // Releases the machine before the leak check.
    std::function<void()> Stop;
};

struct ExploreOptions {
    int MaxPreemptions = 2;          // bound of the systematic search
    uint64_t RandomSchedules = 0;    // non-zero: this many random schedules instead
    uint64_t Seed = 1;               // first seed of the random schedules
    std::string Replay;              // non-empty: only the schedule this text names
    uint64_t ScheduleLimit = 100000; // more schedules than this fail the search
    bool SecondProcessor = false;    // deferred calls run on a second processor (see scheduler.h)
};

struct ExploreResult {
    uint64_t Schedules = 0;   // schedules run
    uint64_t Preemptions = 0; // most preemptions in one schedule
    std::string Failure;      // what the first failing schedule did wrong; empty: none
    std::string Replay;       // the text that replays that schedule (ExploreOptions::Replay)
    bool Passed() const { return Failure.empty(); }
};

// Runs the scenario under the schedules the options ask for, stopping at the
// first that fails. A verifier stop in a schedule ends the process as always,
// after printing the text that replays the schedule.
ExploreResult Explore(const Scenario& scenario, const ExploreOptions& options = {});

// Printed with a verifier stop while the explorer runs: which schedule.
std::string ExplorerStopNote();

} // namespace hk
