// The driver's locks under contention: each scenario runs a few threads
// (commands from the service, the timer's cycle, power requests) under every
// schedule with up to two preemptions, on a fresh machine each time, and
// checks the driver's state and what the firmware heard.
#include "sim/power_manager.h"
#include "supervision/cycle.h"
#include "tests/supervision/scenario.h"

#include <string_view>

namespace {

using Outcomes = std::set<std::string>;

// The supervision run with StateLock left out: the deliberately broken
// routine the explorer must catch.
VKT_PAGED_ROUTINE VOID SupervisionWorkWithoutStateLock(PDEVICE_OBJECT DeviceObject,
                                                       PVOID WorkContext) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(DeviceObject);
    auto* context = static_cast<DeviceContext*>(WorkContext);
    context->WorkQueued = 0;
    if (context->State == StateWatchA || context->State == StateWatchB) {
        CheckAndFeed(context);
    }
    ArmSupervisionTimer(context);
}

// A supervision command against a run of the cycle.
struct CommandRace {
    StateCode Before; // the state the run may find before the command
    bool Pending;     // every firmware evaluation pends below
    uint8_t Command;  // command 5 or 6
    StateCode After;  // the state the command sets
    Outcomes Orders;  // what the firmware hears, the run first or last
};

const CommandRace kCommandFive = {
    StateLoaded,
    false,
    COMMAND_ENTER_WATCH_A,
    StateWatchA,
    {"SSXS(2A) SVKT OVKT FVKT(2A)", "SSXS(2A) SVKT OVKT FVKT(2A) FVKT(2A)"}};
const CommandRace kCommandSixPending = {
    StateWatchA,
    true,
    COMMAND_ENTER_WATCH_B,
    StateWatchB,
    {"FVKT(2A) SSXS(2B) SVKT OVKT FVKT(2B)", "SSXS(2B) SVKT OVKT FVKT(2B) FVKT(2B)"}};

class InterleavingTest : public ScenarioTest {
  protected:
    // The command holds StateLock from its state change through the report
    // and the arming, also while it waits for each answer of the firmware:
    // a run feeds either before it with the old code or after it with the
    // new one, never in between, and the command leaves the watchdog armed
    // and the cycle running. `routine` replaces the run.
    hk::Scenario CommandAgainstCycle(const CommandRace& race,
                                     PIO_WORKITEM_ROUTINE routine = nullptr) {
        return Scenario(
            [this, race, routine] {
                BuildMachine(race.Before);
                if (race.Pending) {
                    acpi_->PendAll(hk::kMillisecond);
                }
                StartRequest(Record(race.Command), &status_);
                StartCycle(routine);
            },
            [this, race]() -> std::string {
                std::string heard = Heard();
                if (race.Orders.count(heard) == 0) {
                    return "the firmware heard " + heard;
                }
                bool held = status_ == STATUS_SUCCESS && Context()->State == race.After &&
                            acpi_->Firmware().LastState() == race.After;
                return held && acpi_->Firmware().TimeoutSeconds() == 60 && Context()->Timer.Inserted
                           ? ""
                           : "the command did not hold, or left the watchdog or the cycle wrong";
            });
    }
};

TEST_F(InterleavingTest, SupervisionCommandsAgainstARunningCycle) {
    for (const CommandRace& race : {kCommandFive, kCommandSixPending}) {
        SCOPED_TRACE(int{race.Command});
        hk::ExploreResult result = ExplorePassing(CommandAgainstCycle(race));
        EXPECT_EQ(outcomes_, race.Orders) << "both orders of the run and the command were explored";
        EXPECT_GT(result.Schedules, 100u);
    }
}

// The same with the run's StateLock left out: the explorer finds a schedule
// in which the run feeds in the middle of the command's arming, and the text
// it reports replays that schedule.
TEST_F(InterleavingTest, ExplorerCatchesTheRunWithoutItsLock) {
    hk::Scenario scenario = CommandAgainstCycle(kCommandFive, SupervisionWorkWithoutStateLock);
    hk::ExploreResult result = ExploreAll(scenario);
    ASSERT_FALSE(result.Passed());
    EXPECT_EQ(result.Failure.rfind("the firmware heard SSXS(2A) ", 0), 0u) << result.Failure;

    hk::ExploreOptions replay;
    replay.Replay = result.Replay;
    hk::ExploreResult again = hk::Explore(scenario, replay);
    EXPECT_EQ(again.Failure, result.Failure) << "replayed " << result.Replay;
}

// Two command 4s at once: exactly one list is set, the other command is
// refused, and nothing of the refused one stays in pool.
TEST_F(InterleavingTest, TwoWatchListCommandsAtOnce) {
    static NTSTATUS second;
    Outcomes winners;
    ExplorePassing(Scenario(
        [this] {
            BuildMachine(StateLoaded, false);
            uint32_t firstBytes = 0, secondBytes = 0;
            uint64_t firstNames = PutNames(u"VKTService.exe", &firstBytes);
            uint64_t secondNames = PutNames(u"Other.exe,Third.exe", &secondBytes);
            StartRequest(Record(COMMAND_SET_WATCH_LIST, 60, 90, firstBytes, firstNames), &status_);
            StartRequest(Record(COMMAND_SET_WATCH_LIST, 70, 80, secondBytes, secondNames), &second);
        },
        [this, &winners]() -> std::string {
            std::vector<std::u16string> names = WatchedNames();
            bool firstWon = status_ == STATUS_SUCCESS && second == STATUS_INVALID_PARAMETER &&
                            names == std::vector<std::u16string>{u"VKTService.exe"} &&
                            Context()->RunTimeout == 60 && Context()->ShutdownTimeout == 90;
            bool secondWon = second == STATUS_SUCCESS && status_ == STATUS_INVALID_PARAMETER &&
                             names == std::vector<std::u16string>{u"Other.exe", u"Third.exe"} &&
                             Context()->RunTimeout == 70 && Context()->ShutdownTimeout == 80;
            winners.insert(firstWon ? "first" : secondWon ? "second" : "neither");
            if (!firstWon && !secondWon) {
                return "statuses " + std::to_string(status_) + " and " + std::to_string(second) +
                       ", " + std::to_string(names.size()) + " names";
            }
            size_t blocks = hk::LiveBlocksWithTag(VKT_POOL_TAG);
            return blocks == 1 + names.size() && Context()->WatchEnabled == 1
                       ? ""
                       : std::to_string(blocks) + " pool blocks for one list";
        }));
    EXPECT_EQ(winners, (Outcomes{"first", "second"}));
}

// On two processors, the armed timer expiring at any kernel call, its
// deferred call and the run it queues beside the other threads: command 5
// holds as against a run; command 5 right after command 4 arms the run
// timeout command 4 set, or nothing while no list is in force; and an entry
// into S3 leaves the machine asleep in the entry state with no cycle armed
// and no feed after the entry's.
TEST_F(InterleavingTest, CommandsAndSleepAgainstTheTimerOnASecondProcessor) {
    options_.SecondProcessor = true;
    ExplorePassing(Scenario(
        [this] {
            BuildMachine(StateLoaded, true, true);
            StartRequest(Record(COMMAND_ENTER_WATCH_A), &status_);
        },
        [this]() -> std::string {
            bool held = status_ == STATUS_SUCCESS && Context()->State == StateWatchA &&
                        acpi_->Firmware().TimeoutSeconds() == 60 && Context()->Timer.Inserted;
            return held ? "" : "command 5 did not hold: " + Heard();
        }));
    EXPECT_TRUE(outcomes_.count("SSXS(2A) SVKT OVKT FVKT(2A)"));
    EXPECT_TRUE(outcomes_.count("SSXS(2A) SVKT OVKT FVKT(2A) FVKT(2A)"));

    static NTSTATUS listed;
    ExplorePassing(Scenario(
        [this] {
            BuildMachine(StateLoaded, false, true);
            uint32_t bytes = 0;
            uint64_t names = PutNames(u"VKTService.exe", &bytes);
            StartRequest(Record(COMMAND_SET_WATCH_LIST, 60, 90, bytes, names), &listed);
            StartRequest(Record(COMMAND_ENTER_WATCH_A), &status_);
        },
        [this]() -> std::string {
            std::string heard = Heard();
            bool armed = heard.find("SVKT") != std::string::npos;
            bool right = listed == STATUS_SUCCESS && status_ == STATUS_SUCCESS &&
                         (!armed || acpi_->Firmware().TimeoutSeconds() == 60);
            return right ? "" : "heard " + heard;
        }));
    EXPECT_TRUE(outcomes_.count("SSXS(2A)")) << "the list came after the command";

    ExplorePassing(Scenario(
        [this] {
            BuildMachine(StateWatchA, true, true);
            StartSleep(&status_);
        },
        [this]() -> std::string {
            std::string heard = Heard();
            bool sleeps = status_ == STATUS_SUCCESS && Context()->State == StateEnterS3 &&
                          std::string_view(heard).ends_with("SVKT OVKT FVKT(23)") &&
                          acpi_->Firmware().TimeoutSeconds() == 310 && !Context()->Timer.Inserted;
            return sleeps ? "" : "heard " + heard;
        }));
    EXPECT_GT(outcomes_.size(), 1u);
}

// Command 5 against the entry into S3, alone and with a run at once.
// Whatever the order, the machine sleeps in the entry state, the firmware
// last heard the S3 code and holds 310 seconds, a feed never carries a code
// other than the command's or the entry's, and the wake reports the return
// from S3.
TEST_F(InterleavingTest, SleepAgainstCommandFiveAndARun) {
    auto scenario = [this](bool withRun) {
        return Scenario(
            [this, withRun] {
                BuildMachine(StateLoaded);
                StartRequest(Record(COMMAND_ENTER_WATCH_A), &status_);
                if (withRun) {
                    StartCycle();
                }
                StartSleep();
            },
            [this]() -> std::string {
                std::string heard = Heard();
                for (size_t at = heard.find("FVKT("); at != std::string::npos;
                     at = heard.find("FVKT(", at + 1)) {
                    std::string code = heard.substr(at + 5, 2);
                    if (code != "2A" && code != "23") {
                        return "fed with " + code + ": " + heard;
                    }
                }
                bool sleeps = Context()->State == StateEnterS3 &&
                              acpi_->Firmware().LastState() == StateEnterS3 &&
                              std::string_view(heard).ends_with("SVKT OVKT FVKT(23)") &&
                              acpi_->Firmware().WatchdogOpen() &&
                              acpi_->Firmware().TimeoutSeconds() == 310;
                bool fits = status_ == STATUS_SUCCESS || status_ == STATUS_INVALID_DEVICE_STATE;
                sim::ReturnToWorking(device_, PowerSystemSleeping3);
                bool wakes = acpi_->Firmware().LastState() == StateResumeS3;
                return sleeps && fits && wakes ? "" : "heard " + heard;
            });
    };
    ExplorePassing(scenario(false));
    EXPECT_GT(outcomes_.size(), 1u);

    // Tens of thousands of schedules for all three: the instrumented
    // sanitizer build takes the random ones only.
    hk::Scenario all = scenario(true);
#if defined(__SANITIZE_ADDRESS__) || defined(__has_feature)
#if defined(__SANITIZE_ADDRESS__) || __has_feature(address_sanitizer)
#define VKT_INSTRUMENTED 1
#endif
#endif
#ifndef VKT_INSTRUMENTED
    ExplorePassing(all);
#endif
    hk::ExploreOptions random;
    random.RandomSchedules = 300;
    hk::ExploreResult randomly = hk::Explore(all, random);
    EXPECT_TRUE(randomly.Passed()) << randomly.Failure << "replay: " << randomly.Replay;
}

} // namespace
