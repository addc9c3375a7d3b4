#include "tests/supervision/scenario.h"

#include "supervision/cycle.h"

#include <cstdio>

void ScenarioTest::BuildMachine(StateCode state, bool withList, bool started) {
    ServiceTest::SetUp();
    device_->Flags |= DO_POWER_PAGABLE;
    if (withList) {
        EXPECT_EQ(SetList(u"VKTService.exe", 60, 90), STATUS_SUCCESS);
    }
    if (started) {
        hk::Send(device_, {.major = IRP_MJ_PNP, .minor = IRP_MN_START_DEVICE});
    }
    Context()->State = state;
    acpi_->ClearTrace();
}

void ScenarioTest::StartCycle(PIO_WORKITEM_ROUTINE routine) {
    DeviceContext* context = Context();
    hk::StartThread(hk::CreateThread(hk::SystemProcess()), [context, routine] {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        if (routine == nullptr) {
            SupervisionDpc(&context->TimerDpc, context, nullptr, nullptr);
        } else {
            context->WorkQueued = 1;
            IoQueueWorkItem(context->WorkItem, routine, DelayedWorkQueue, context);
        }
        KeLowerIrql(old);
    });
}

hk::Scenario ScenarioTest::Scenario(std::function<void()> start,
                                    std::function<std::string()> check) {
    hk::Scenario scenario;
    scenario.Start = std::move(start);
    scenario.Check = [this, check = std::move(check)] {
        outcomes_.insert(Heard());
        return check ? check() : std::string();
    };
    scenario.Stop = [this] { ReleaseMachine(); };
    return scenario;
}

hk::ExploreResult ScenarioTest::ExploreAll(const hk::Scenario& scenario) {
    ReleaseMachine();
    outcomes_.clear();
    hk::ExploreResult result = hk::Explore(scenario, options_);
    RecordProperty("schedules", std::to_string(result.Schedules));
    std::printf("%llu schedules, %zu outcomes\n", static_cast<unsigned long long>(result.Schedules),
                outcomes_.size());
    return result;
}

hk::ExploreResult ScenarioTest::ExplorePassing(const hk::Scenario& scenario) {
    hk::ExploreResult result = ExploreAll(scenario);
    EXPECT_TRUE(result.Passed()) << result.Failure << " replay: " << result.Replay;
    return result;
}

std::string ScenarioTest::Heard() {
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
