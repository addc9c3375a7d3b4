// Systematic exploration with bounded preemptions: a schedule is the list of
// choices made at each point where more than one thread could run. Runs are
// deterministic, so a prefix of choices replays exactly; the search runs the
// default schedule, then backtracks depth-first to the last choice that can
// still be changed without exceeding the preemption bound.
#include "hostkernel/verifier/explorer.h"

#include "hostkernel/ke/scheduler.h"

#include <random>
#include <sstream>

namespace hk {

namespace {

// One point where more than one thread could run.
struct Decision {
    size_t Options;  // threads that could run
    size_t Chosen;   // the one that ran
    bool Preemption; // option 0 was the running thread, which could have gone on
};

class Chooser final : public ScheduleChooser {
  public:
    Chooser(std::vector<size_t> prefix, std::mt19937_64* random)
        : prefix_(std::move(prefix)), random_(random) {}

    size_t Choose(size_t options, bool preemption) override {
        size_t index = trail_.size();
        size_t chosen = 0;
        if (index < prefix_.size()) {
            chosen = prefix_[index];
        } else if (random_ != nullptr) {
            chosen = static_cast<size_t>((*random_)() % options);
        }
        if (chosen >= options) {
            diverged_ = true;
            chosen = 0;
        }
        trail_.push_back(Decision{options, chosen, preemption});
        return chosen;
    }

    const std::vector<Decision>& Trail() const { return trail_; }
    bool Diverged() const { return diverged_; }

  private:
    std::vector<size_t> prefix_;  // choices to replay first
    std::mt19937_64* random_;     // picks the choices after the prefix; null: option 0
    std::vector<Decision> trail_; // every decision of this run
    bool diverged_ = false;       // a replayed choice did not exist
};

// The schedule that runs now, for the note printed with a verifier stop.
const Chooser* g_running = nullptr;
uint64_t g_runningNumber = 0;
std::string g_runningSeed;

// "choices:" and the decisions that did not take option 0, as index=choice.
std::string ChoicesText(const std::vector<Decision>& trail) {
    std::ostringstream text;
    text << "choices:";
    const char* separator = "";
    for (size_t index = 0; index < trail.size(); ++index) {
        if (trail[index].Chosen != 0) {
            text << separator << index << '=' << trail[index].Chosen;
            separator = ",";
        }
    }
    return text.str();
}

uint64_t PreemptionsOf(const std::vector<Decision>& trail) {
    uint64_t count = 0;
    for (const Decision& decision : trail) {
        count += decision.Preemption && decision.Chosen != 0 ? 1 : 0;
    }
    return count;
}

// Reads a replay text; false when it is neither form.
bool ParseReplay(const std::string& text, std::vector<size_t>* prefix, uint64_t* seed,
                 bool* seeded) {
    if (text.rfind("seed:", 0) == 0) {
        *seeded = true;
        *seed = std::stoull(text.substr(5));
        return true;
    }
    if (text.rfind("choices:", 0) != 0) {
        return false;
    }
    *seeded = false;
    std::istringstream list(text.substr(8));
    std::string item;
    while (std::getline(list, item, ',')) {
        size_t equals = item.find('=');
        if (equals == std::string::npos) {
            return false;
        }
        size_t index = std::stoul(item.substr(0, equals));
        if (prefix->size() <= index) {
            prefix->resize(index + 1, 0);
        }
        (*prefix)[index] = std::stoul(item.substr(equals + 1));
    }
    return true;
}

// One schedule from a fresh kernel: what went wrong, or nothing.
std::string RunSchedule(const Scenario& scenario, Chooser& chooser, bool secondProcessor) {
    Reset();
    scenario.Start();
    if (secondProcessor) {
        EnableSecondProcessor();
    }
    g_running = &chooser;
    K().Chooser = &chooser;
    WaitForThreads();
    K().Chooser = nullptr;
    std::string problem = scenario.Check ? scenario.Check() : std::string();
    if (chooser.Diverged()) {
        problem += "the schedule does not replay: a choice it names did not exist\n";
    }
    if (scenario.Stop) {
        scenario.Stop();
    }
    for (const std::string& leak : FindLeaks()) {
        problem += "leak: " + leak + "\n";
    }
    g_running = nullptr;
    return problem;
}

// Sets `prefix` to the next schedule of the depth-first search within the
// bound; false when every one has run.
bool NextPrefix(const std::vector<Decision>& trail, int bound, std::vector<size_t>* prefix) {
    std::vector<uint64_t> usedBefore(trail.size());
    uint64_t used = 0;
    for (size_t index = 0; index < trail.size(); ++index) {
        usedBefore[index] = used;
        used += trail[index].Preemption && trail[index].Chosen != 0 ? 1 : 0;
    }
    for (size_t index = trail.size(); index-- > 0;) {
        const Decision& decision = trail[index];
        uint64_t cost = usedBefore[index] + (decision.Preemption ? 1 : 0);
        if (decision.Chosen + 1 >= decision.Options || cost > static_cast<uint64_t>(bound)) {
            continue;
        }
        prefix->clear();
        for (size_t earlier = 0; earlier < index; ++earlier) {
            prefix->push_back(trail[earlier].Chosen);
        }
        prefix->push_back(decision.Chosen + 1);
        return true;
    }
    return false;
}

// Runs one schedule and records it in the result; false when it failed.
bool RunAndRecord(const Scenario& scenario, const ExploreOptions& options, Chooser& chooser,
                  const std::string& seedText, ExploreResult* result) {
    g_runningNumber = ++result->Schedules;
    g_runningSeed = seedText;
    std::string problem = RunSchedule(scenario, chooser, options.SecondProcessor);
    result->Preemptions = std::max(result->Preemptions, PreemptionsOf(chooser.Trail()));
    if (problem.empty()) {
        return true;
    }
    result->Failure = problem;
    result->Replay = seedText.empty() ? ChoicesText(chooser.Trail()) : seedText;
    return false;
}

void ExploreRandomly(const Scenario& scenario, const ExploreOptions& options,
                     ExploreResult* result) {
    for (uint64_t run = 0; run < options.RandomSchedules; ++run) {
        uint64_t seed = options.Seed + run;
        std::mt19937_64 random(seed);
        Chooser chooser({}, &random);
        if (!RunAndRecord(scenario, options, chooser, "seed:" + std::to_string(seed), result)) {
            return;
        }
    }
}

void ExploreSystematically(const Scenario& scenario, const ExploreOptions& options,
                           ExploreResult* result) {
    std::vector<size_t> prefix;
    for (;;) {
        Chooser chooser(prefix, nullptr);
        if (!RunAndRecord(scenario, options, chooser, "", result)) {
            return;
        }
        if (!NextPrefix(chooser.Trail(), options.MaxPreemptions, &prefix)) {
            return;
        }
        if (result->Schedules >= options.ScheduleLimit) {
            result->Failure = "more than " + std::to_string(options.ScheduleLimit) +
                              " schedules: bound the scenario more tightly";
            return;
        }
    }
}

} // namespace

ExploreResult Explore(const Scenario& scenario, const ExploreOptions& options) {
    ExploreResult result;
    if (!options.Replay.empty()) {
        std::vector<size_t> prefix;
        uint64_t seed = 0;
        bool seeded = false;
        if (!ParseReplay(options.Replay, &prefix, &seed, &seeded)) {
            result.Failure = "not a schedule: " + options.Replay;
            return result;
        }
        std::mt19937_64 random(seed);
        Chooser chooser(prefix, seeded ? &random : nullptr);
        RunAndRecord(scenario, options, chooser, seeded ? options.Replay : "", &result);
        return result;
    }
    if (options.RandomSchedules != 0) {
        ExploreRandomly(scenario, options, &result);
    } else {
        ExploreSystematically(scenario, options, &result);
    }
    return result;
}

std::string ExplorerStopNote() {
    if (g_running == nullptr) {
        return "";
    }
    return "explorer: schedule " + std::to_string(g_runningNumber) + " stopped; replay it with \"" +
           (g_runningSeed.empty() ? ChoicesText(g_running->Trail()) : g_runningSeed) + "\"";
}

} // namespace hk
