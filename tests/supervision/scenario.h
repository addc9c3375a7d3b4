// Scenarios for the explorer of interleavings: each schedule builds a fresh
// machine, starts a few threads against the driver's device, and then checks
// what the driver holds and what the firmware heard.
#pragma once

#include "hostkernel/verifier/explorer.h"
#include "tests/supervision/service.h"

#include <set>

class ScenarioTest : public ServiceTest {
  protected:
    // Each schedule builds its own machine; the test itself starts with none.
    void SetUp() override { KernelTest::SetUp(); }

    // A fresh machine in `state` with the trace clear; a watch list of the
    // service's own name is in force unless `withList` is false, and the
    // device is started if `started`.
    void BuildMachine(StateCode state, bool withList = true, bool started = false);

    // The timer's expiry at DISPATCH_LEVEL, from a thread of its own: the
    // deferred call queues the run on a system worker, or `routine` is
    // queued in place of the run.
    void StartCycle(PIO_WORKITEM_ROUTINE routine = nullptr);

    // A scenario whose schedules each release their machine; the firmware's
    // trace goes to `outcomes_` before `check` runs (none: nothing to check).
    hk::Scenario Scenario(std::function<void()> start, std::function<std::string()> check = {});
    // Every schedule up to two preemptions (as `options_` say); the count
    // goes to the test's record.
    hk::ExploreResult ExploreAll(const hk::Scenario& scenario);
    // The same, expecting every schedule to pass.
    hk::ExploreResult ExplorePassing(const hk::Scenario& scenario);

    // The firmware's trace as method names, each state report and feed with
    // the code it carried, e.g. "SSXS(2A) SVKT OVKT FVKT(2A)".
    std::string Heard();

    hk::ExploreOptions options_;     // how ExploreAll explores
    std::set<std::string> outcomes_; // what the firmware heard, per distinct schedule
    NTSTATUS status_ = 0;            // the status of the scenario's request
};
