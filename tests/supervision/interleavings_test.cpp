// The driver's locks under contention: each scenario runs a few threads
// (commands from the service, the timer's cycle, power requests) under every
// schedule with up to two preemptions, on a fresh machine each time, and
// checks the driver's state and what the firmware heard.
#include "hostkernel/explorer.h"
#include "sim/power_manager.h"
#include "supervision/cycle.h"
#include "supervision/watch_list.h"
#include "tests/supervision/service.h"

#include <set>
#include <string_view>

namespace {

using Strings = std::vector<std::string>;

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

class InterleavingTest : public ServiceTest {
  protected:
    // Each schedule builds its own machine; the test itself starts with none.
    void SetUp() override { KernelTest::SetUp(); }

    // A fresh machine with a watch list in force, in `state`, the trace clear.
    void BuildMachine(StateCode state, bool withList = true) {
        ServiceTest::SetUp();
        device_->Flags |= DO_POWER_PAGABLE;
        if (withList) {
            EXPECT_EQ(SetList(u"VKTService.exe", 60, 90), STATUS_SUCCESS);
        }
        Context()->State = state;
        acpi_->ClearTrace();
    }

    // The scenario's threads.
    void StartCommand(uint8_t command, NTSTATUS* status) {
        std::vector<uint8_t> record = Record(command);
        StartRequest(hk::CreateThread(service_), record, status);
    }
    void StartRequest(HkThread* thread, std::vector<uint8_t> record, NTSTATUS* status) {
        hk::StartThread(thread, [this, record, status] {
            hk::Request request;
            request.major = IRP_MJ_DEVICE_CONTROL;
            request.ioControlCode = IOCTL_WATCHDOG_COMMAND;
            request.input = record;
            *status = hk::Send(device_, request).returned;
        });
    }
    // The timer's expiry: the deferred call queues the run on a system worker.
    void StartCycle(PIO_WORKITEM_ROUTINE routine = nullptr) {
        hk::StartThread(hk::CreateThread(hk::SystemProcess()), [this, routine] {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            if (routine == nullptr) {
                SupervisionDpc(&Context()->TimerDpc, Context(), nullptr, nullptr);
            } else {
                Context()->WorkQueued = 1;
                IoQueueWorkItem(Context()->WorkItem, routine, DelayedWorkQueue, Context());
            }
            KeLowerIrql(old);
        });
    }
    void StartSleep() {
        hk::StartThread(hk::CreateThread(hk::SystemProcess()),
                        [this] { sim::EnterSystemState(device_, PowerSystemSleeping3); });
    }

    hk::Scenario Scenario(std::function<void()> start, std::function<std::string()> check) {
        hk::Scenario scenario;
        scenario.Start = std::move(start);
        scenario.Check = std::move(check);
        scenario.Stop = [this] { ReleaseMachine(); };
        return scenario;
    }

    // Every schedule up to two preemptions; the count goes to the test's record.
    hk::ExploreResult ExploreAll(const hk::Scenario& scenario) {
        ReleaseMachine();
        hk::ExploreResult result = hk::Explore(scenario);
        RecordProperty("schedules", std::to_string(result.Schedules));
        std::printf("%llu schedules\n", static_cast<unsigned long long>(result.Schedules));
        return result;
    }

    // The firmware's trace as method names, each with the code it carried.
    std::string Heard() {
        std::string text;
        for (const sim::Evaluation& evaluation : acpi_->Trace()) {
            text += text.empty() ? "" : " ";
            text += evaluation.Method;
            if (evaluation.Method == "SSXS" || evaluation.Method == "FVKT") {
                char code[8];
                std::snprintf(code, sizeof code, "(%02X)", evaluation.Input.at(20));
                text += code;
            }
        }
        return text;
    }
};

// Command 5 holds StateLock from its state change through the report and
// the arming; a run either finds the state before the command and feeds
// nothing, or after it and feeds with the code the command decided.
TEST_F(InterleavingTest, CommandFiveAgainstARunningCycle) {
    static NTSTATUS status;
    static std::set<std::string> outcomes;
    const std::string arming = "SSXS(2A) SVKT OVKT FVKT(2A)";
    hk::ExploreResult result = ExploreAll(Scenario(
        [this] {
            BuildMachine(StateLoaded);
            StartCommand(COMMAND_ENTER_WATCH_A, &status);
            StartCycle();
        },
        [this, arming]() -> std::string {
            std::string heard = Heard();
            outcomes.insert(heard);
            if (status != STATUS_SUCCESS || Context()->State != StateWatchA) {
                return "command 5 failed or did not hold";
            }
            if (heard != arming && heard != arming + " FVKT(2A)") {
                return "the firmware heard " + heard;
            }
            return acpi_->Firmware().TimeoutSeconds() == 60 && Context()->Timer.Inserted
                       ? ""
                       : "the watchdog or the cycle was left wrong";
        }));
    EXPECT_TRUE(result.Passed()) << result.Failure << "replay: " << result.Replay;
    EXPECT_EQ(outcomes, (std::set<std::string>{arming, arming + " FVKT(2A)"}))
        << "both orders of the run and the command were explored";
    EXPECT_GT(result.Schedules, 100u);
}

// The same scenario with the run's StateLock left out: the explorer finds a
// schedule in which the run feeds in the middle of the command's arming, and
// the text it reports replays that schedule.
TEST_F(InterleavingTest, ExplorerCatchesTheRunWithoutItsLock) {
    static NTSTATUS status;
    hk::Scenario scenario = Scenario(
        [this] {
            BuildMachine(StateLoaded);
            StartCommand(COMMAND_ENTER_WATCH_A, &status);
            StartCycle(SupervisionWorkWithoutStateLock);
        },
        [this]() -> std::string {
            std::string heard = Heard();
            const std::string arming = "SSXS(2A) SVKT OVKT FVKT(2A)";
            return heard == arming || heard == arming + " FVKT(2A)" ? "" : "heard " + heard;
        });
    hk::ExploreResult result = ExploreAll(scenario);
    ASSERT_FALSE(result.Passed());
    EXPECT_EQ(result.Failure.rfind("heard SSXS(2A) ", 0), 0u) << result.Failure;

    hk::ExploreOptions replay;
    replay.Replay = result.Replay;
    hk::ExploreResult again = hk::Explore(scenario, replay);
    EXPECT_EQ(again.Failure, result.Failure) << "replayed " << result.Replay;
}

// Power entry into S3 against command 5: the state that sleeps is the entry
// code, the firmware last hears the S3 code and holds 310 seconds, and the
// wake reports the return from S3.
TEST_F(InterleavingTest, PowerEntryAgainstCommandFive) {
    static NTSTATUS status;
    static std::set<std::string> outcomes;
    hk::ExploreResult result = ExploreAll(Scenario(
        [this] {
            BuildMachine(StateLoaded);
            StartCommand(COMMAND_ENTER_WATCH_A, &status);
            StartSleep();
        },
        [this]() -> std::string {
            std::string heard = Heard();
            outcomes.insert(heard);
            std::string problem;
            if (Context()->State != StateEnterS3) {
                problem += "sleeps in state " + std::to_string(Context()->State) + "; ";
            }
            if (acpi_->Firmware().LastState() != StateEnterS3 ||
                !std::string_view(heard).ends_with("FVKT(23)")) {
                problem += "the firmware last heard " + heard + "; ";
            }
            if (!acpi_->Firmware().WatchdogOpen() || acpi_->Firmware().TimeoutSeconds() != 310) {
                problem += "the watchdog is not armed for sleep; ";
            }
            sim::ReturnToWorking(device_, PowerSystemSleeping3);
            if (acpi_->Firmware().LastState() != StateResumeS3) {
                problem += "the wake reported " + std::to_string(acpi_->Firmware().LastState());
            }
            return problem;
        }));
    EXPECT_TRUE(result.Passed()) << result.Failure << "replay: " << result.Replay;
    EXPECT_GT(outcomes.size(), 1u);
}

// Two command 4s at once: exactly one list is set, the other command is
// refused, and nothing of the refused one stays in pool.
TEST_F(InterleavingTest, TwoWatchListCommandsAtOnce) {
    static NTSTATUS first, second;
    static std::set<std::string> winners;
    hk::ExploreResult result = ExploreAll(Scenario(
        [this] {
            BuildMachine(StateLoaded, false);
            uint32_t firstBytes = 0, secondBytes = 0;
            uint64_t firstNames = PutNames(u"VKTService.exe", &firstBytes);
            uint64_t secondNames = PutNames(u"Other.exe,Third.exe", &secondBytes);
            StartRequest(hk::CreateThread(service_),
                         Record(COMMAND_SET_WATCH_LIST, 60, 90, firstBytes, firstNames), &first);
            StartRequest(hk::CreateThread(service_),
                         Record(COMMAND_SET_WATCH_LIST, 70, 80, secondBytes, secondNames), &second);
        },
        [this]() -> std::string {
            std::vector<std::u16string> names = WatchedNames();
            bool firstWon = first == STATUS_SUCCESS && second == STATUS_INVALID_PARAMETER &&
                            names == std::vector<std::u16string>{u"VKTService.exe"} &&
                            Context()->RunTimeout == 60 && Context()->ShutdownTimeout == 90;
            bool secondWon = second == STATUS_SUCCESS && first == STATUS_INVALID_PARAMETER &&
                             names == std::vector<std::u16string>{u"Other.exe", u"Third.exe"} &&
                             Context()->RunTimeout == 70 && Context()->ShutdownTimeout == 80;
            winners.insert(firstWon ? "first" : secondWon ? "second" : "neither");
            if (!firstWon && !secondWon) {
                return "statuses " + std::to_string(first) + " and " + std::to_string(second) +
                       ", " + std::to_string(names.size()) + " names";
            }
            size_t blocks = hk::LiveBlocksWithTag(VKT_POOL_TAG);
            return blocks == 1 + names.size() && Context()->WatchEnabled == 1
                       ? ""
                       : std::to_string(blocks) + " pool blocks for one list";
        }));
    EXPECT_TRUE(result.Passed()) << result.Failure << "replay: " << result.Replay;
    EXPECT_EQ(winners, (std::set<std::string>{"first", "second"}));
}

// A run against command 6 while every firmware evaluation pends below: the
// command holds StateLock while it waits for each answer, so the run feeds
// either before the command with the old code or after it with the new one.
TEST_F(InterleavingTest, CycleAgainstAPendingFirmwareEvaluation) {
    static NTSTATUS status;
    static std::set<std::string> outcomes;
    const std::string arming = "SSXS(2B) SVKT OVKT FVKT(2B)";
    hk::ExploreResult result = ExploreAll(Scenario(
        [this] {
            BuildMachine(StateWatchA);
            acpi_->PendAll(hk::kMillisecond);
            StartCommand(COMMAND_ENTER_WATCH_B, &status);
            StartCycle();
        },
        [this, arming]() -> std::string {
            std::string heard = Heard();
            outcomes.insert(heard);
            if (heard != "FVKT(2A) " + arming && heard != arming + " FVKT(2B)") {
                return "the firmware heard " + heard;
            }
            return status == STATUS_SUCCESS && Context()->State == StateWatchB &&
                           acpi_->Firmware().LastState() == StateWatchB
                       ? ""
                       : "command 6 did not hold";
        }));
    EXPECT_TRUE(result.Passed()) << result.Failure << "replay: " << result.Replay;
    EXPECT_EQ(outcomes, (std::set<std::string>{"FVKT(2A) " + arming, arming + " FVKT(2B)"}));
}

// All three at once: a run, command 5 and the entry into S3. Whatever the
// order, the machine sleeps in the entry state with the sleep timeout, and
// a feed never carries a code other than the command's.
TEST_F(InterleavingTest, CycleCommandFiveAndSleepAtOnce) {
    static NTSTATUS status;
    hk::Scenario scenario = Scenario(
        [this] {
            BuildMachine(StateLoaded);
            StartCommand(COMMAND_ENTER_WATCH_A, &status);
            StartCycle();
            StartSleep();
        },
        [this]() -> std::string {
            std::string heard = Heard();
            bool sleeps = Context()->State == StateEnterS3 &&
                          acpi_->Firmware().LastState() == StateEnterS3 &&
                          std::string_view(heard).ends_with("SVKT OVKT FVKT(23)") &&
                          acpi_->Firmware().TimeoutSeconds() == 310;
            bool statusFits = status == STATUS_SUCCESS || status == STATUS_INVALID_DEVICE_STATE;
            for (size_t at = heard.find("FVKT("); at != std::string::npos;
                 at = heard.find("FVKT(", at + 1)) {
                std::string code = heard.substr(at + 5, 2);
                if (code != "2A" && code != "23") {
                    return "fed with " + code + ": " + heard;
                }
            }
            return sleeps && statusFits ? "" : "heard " + heard;
        });
    // Tens of thousands of schedules: the instrumented sanitizer build takes
    // the random ones only.
#if defined(__SANITIZE_ADDRESS__) || defined(__has_feature)
#if defined(__SANITIZE_ADDRESS__) || __has_feature(address_sanitizer)
#define VKT_INSTRUMENTED 1
#endif
#endif
#ifndef VKT_INSTRUMENTED
    hk::ExploreResult result = ExploreAll(scenario);
    EXPECT_TRUE(result.Passed()) << result.Failure << "replay: " << result.Replay;
#endif
    hk::ExploreOptions random;
    random.RandomSchedules = 300;
    hk::ExploreResult randomly = hk::Explore(scenario, random);
    EXPECT_TRUE(randomly.Passed()) << randomly.Failure << "replay: " << randomly.Replay;
}

} // namespace
