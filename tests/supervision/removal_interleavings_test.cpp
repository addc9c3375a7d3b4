// Removal against everything else the driver does at once: a supervision run
// (queued, running, or waiting for the firmware), commands 5 and 4, an entry
// into S3, and the timer expiring with its deferred call. Each scenario runs
// under every schedule with up to two preemptions, on a fresh machine each
// time; after each, the device is gone with nothing of it left, and the
// firmware last heard the removal.
#include "hostkernel/explorer.h"
#include "hostkernel/kernel_state.h"
#include "hostkernel/registry_control.h"
#include "sim/power_manager.h"
#include "supervision/cycle.h"
#include "tests/supervision/service.h"

#include <set>

namespace {

// How a request that races removal may end: carried out, refused while
// removal waits, or sent once the device is gone.
bool RacedRemoval(NTSTATUS status) {
    return status == STATUS_DELETE_PENDING || status == STATUS_NO_SUCH_DEVICE;
}

class RemovalInterleavingTest : public ServiceTest {
  protected:
    // Each schedule builds its own machine; the test itself starts with none.
    void SetUp() override { KernelTest::SetUp(); }

    // A fresh started device in `state`, with a watch list whose process
    // runs unless `withList` is false, the trace clear.
    void BuildMachine(StateCode state, bool withList = true) {
        ServiceTest::SetUp();
        device_->Flags |= DO_POWER_PAGABLE;
        if (withList) {
            EXPECT_EQ(SetList(u"VKTService.exe", 60, 90), STATUS_SUCCESS);
        }
        hk::Request start;
        start.major = IRP_MJ_PNP;
        start.minor = IRP_MN_START_DEVICE;
        hk::Send(device_, start);
        Context()->State = state;
        acpi_->ClearTrace();
        removed_ = hk::Outcome{};
    }

    // The scenario's threads.
    void StartRemoval() {
        PDEVICE_OBJECT device = device_;
        hk::StartThread(hk::CreateThread(hk::SystemProcess()), [this, device] {
            hk::Request remove;
            remove.major = IRP_MJ_PNP;
            remove.minor = IRP_MN_REMOVE_DEVICE;
            remove.initialStatus = STATUS_NOT_SUPPORTED;
            removed_ = hk::Send(device, remove);
        });
    }
    void StartRequest(std::vector<uint8_t> record, NTSTATUS* status) {
        PDEVICE_OBJECT device = device_;
        hk::StartThread(hk::CreateThread(service_), [device, record, status] {
            hk::Request request;
            request.major = IRP_MJ_DEVICE_CONTROL;
            request.ioControlCode = IOCTL_WATCHDOG_COMMAND;
            request.input = record;
            *status = hk::Send(device, request).returned;
        });
    }
    // What the deferred call does when the timer expires, from a thread of
    // its own at DISPATCH_LEVEL: the run it queues goes to a system worker.
    void StartCycle() {
        DeviceContext* context = Context();
        hk::StartThread(hk::CreateThread(hk::SystemProcess()), [context] {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            SupervisionDpc(&context->TimerDpc, context, nullptr, nullptr);
            KeLowerIrql(old);
        });
    }
    // The clock: the timer expires now, whatever removal has done so far,
    // and its deferred call runs at the next point where the kernel may.
    void StartClock() {
        hk::StartThread(hk::CreateThread(hk::SystemProcess()),
                        [] { hk::FireNextAlarm(hk::Now() + 10 * hk::kSecond); });
    }
    void StartSleep(NTSTATUS* status) {
        PDEVICE_OBJECT device = device_;
        hk::StartThread(hk::CreateThread(hk::SystemProcess()), [device, status] {
            *status = sim::EnterSystemState(device, PowerSystemSleeping3).returned;
        });
    }

    hk::Scenario Scenario(std::function<void()> start, std::function<std::string()> check) {
        hk::Scenario scenario;
        scenario.Start = std::move(start);
        scenario.Check = [this, check = std::move(check)] {
            std::string problem = CheckRemoved();
            outcomes_.insert(Heard());
            device_ = nullptr;
            return problem + check();
        };
        scenario.Stop = [this] { ReleaseMachine(); };
        return scenario;
    }

    // Every schedule up to two preemptions; the count goes to the test's record.
    hk::ExploreResult ExploreAll(const hk::Scenario& scenario) {
        ReleaseMachine();
        outcomes_.clear();
        hk::ExploreResult result = hk::Explore(scenario);
        RecordProperty("schedules", std::to_string(result.Schedules));
        std::printf("%llu schedules, %zu outcomes\n",
                    static_cast<unsigned long long>(result.Schedules), outcomes_.size());
        return result;
    }

    // The firmware's trace as method names, each state report and feed with
    // the code it carried.
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

    // What must hold after removal whatever raced it: removal succeeded, the
    // device, its link, timer, deferred call, work and pool are gone, and the
    // firmware's last words were the removal's, heard once.
    std::string CheckRemoved() {
        std::string problem;
        if (!removed_.completed || removed_.returned != STATUS_SUCCESS) {
            problem += "removal did not complete; ";
        }
        if (driver_->DeviceObject != nullptr ||
            hk::FindSymbolicLink(u"\\DosDevices\\VKT0001", nullptr)) {
            problem += "the device or its link is left; ";
        }
        if (!hk::K().Timers.empty() || !hk::K().Dpcs.empty() || hk::QueuedWorkItems() != 0) {
            problem += "a timer, deferred call or run is left; ";
        }
        if (hk::LiveBlocksWithTag(VKT_POOL_TAG) != 0 || hk::OpenHandleCount() != 0) {
            problem += "pool or a handle is left; ";
        }
        std::string heard = Heard();
        size_t removal = heard.find("SSXS(22)");
        if (!heard.ends_with("CVKT SSXS(22)") || removal + 8 != heard.size()) {
            problem += "the firmware heard " + heard + "; ";
        }
        return problem;
    }

    hk::Outcome removed_;            // the removal request's outcome
    std::set<std::string> outcomes_; // what the firmware heard, per distinct schedule
};

// A run against removal: the run's deferred call comes before removal
// began (the run then feeds, or finds the lock closed and does nothing) or
// after (it queues nothing). Either way no feed follows the removal's
// report.
TEST_F(RemovalInterleavingTest, RemovalAgainstARun) {
    hk::ExploreResult result = ExploreAll(Scenario(
        [this] {
            BuildMachine(StateWatchA);
            StartCycle();
            StartRemoval();
        },
        [] { return std::string(); }));
    EXPECT_TRUE(result.Passed()) << result.Failure << "replay: " << result.Replay;
    EXPECT_EQ(outcomes_, (std::set<std::string>{"CVKT SSXS(22)", "FVKT(2A) CVKT SSXS(22)"}));
}

// The same with every evaluation pending below: the run waits for its feed
// inside the firmware while removal arrives, and removal waits for the run.
TEST_F(RemovalInterleavingTest, RemovalAgainstARunPendingInTheFirmware) {
    hk::ExploreResult result = ExploreAll(Scenario(
        [this] {
            BuildMachine(StateWatchA);
            acpi_->PendAll(hk::kMillisecond);
            StartCycle();
            StartRemoval();
        },
        [] { return std::string(); }));
    EXPECT_TRUE(result.Passed()) << result.Failure << "replay: " << result.Replay;
    EXPECT_EQ(outcomes_, (std::set<std::string>{"CVKT SSXS(22)", "FVKT(2A) CVKT SSXS(22)"}));
}

// Command 5 with its state report pending while it holds StateLock: it is
// carried out whole before removal goes on, or refused and heard nothing.
TEST_F(RemovalInterleavingTest, RemovalAgainstCommandFiveWithItsReportPending) {
    static NTSTATUS status;
    const std::string arming = "SSXS(2A) SVKT OVKT FVKT(2A)";
    hk::ExploreResult result = ExploreAll(Scenario(
        [this] {
            BuildMachine(StateLoaded);
            acpi_->InjectFault("SSXS", sim::AcpiFault::Pend, 1);
            StartRequest(Record(COMMAND_ENTER_WATCH_A), &status);
            StartRemoval();
        },
        [this, arming]() -> std::string {
            std::string heard = Heard();
            if (status == STATUS_SUCCESS) {
                return heard == arming + " CVKT SSXS(22)" ? "" : "command 5 was cut short";
            }
            return RacedRemoval(status) && heard == "CVKT SSXS(22)"
                       ? ""
                       : "command 5 ended with " + std::to_string(status);
        }));
    EXPECT_TRUE(result.Passed()) << result.Failure << "replay: " << result.Replay;
    EXPECT_EQ(outcomes_.size(), 2u);
}

// Command 4 against removal: the list it sets is freed by removal, or it is
// refused and sets none; no pool is left either way.
TEST_F(RemovalInterleavingTest, RemovalAgainstCommandFour) {
    static NTSTATUS status;
    static std::set<NTSTATUS> statuses;
    statuses.clear();
    hk::ExploreResult result = ExploreAll(Scenario(
        [this] {
            BuildMachine(StateLoaded, false);
            uint32_t bytes = 0;
            uint64_t names = PutNames(u"VKTService.exe,Other.exe", &bytes);
            StartRequest(Record(COMMAND_SET_WATCH_LIST, 60, 90, bytes, names), &status);
            StartRemoval();
        },
        []() -> std::string {
            statuses.insert(status);
            return status == STATUS_SUCCESS || RacedRemoval(status)
                       ? ""
                       : "command 4 ended with " + std::to_string(status);
        }));
    EXPECT_TRUE(result.Passed()) << result.Failure << "replay: " << result.Replay;
    EXPECT_EQ(statuses,
              (std::set<NTSTATUS>{STATUS_SUCCESS, STATUS_DELETE_PENDING, STATUS_NO_SUCH_DEVICE}))
        << "carried out, refused while removal waits, and sent once the device is gone";
}

// Entry into S3 against removal: the entry is recorded whole (its report
// and the sleep timeout) before removal closes the watchdog, or refused.
TEST_F(RemovalInterleavingTest, RemovalAgainstAnEntryIntoS3) {
    static NTSTATUS status;
    const std::string entry = "SSXS(23) CVKT SVKT OVKT FVKT(23)";
    hk::ExploreResult result = ExploreAll(Scenario(
        [this] {
            BuildMachine(StateWatchA);
            StartSleep(&status);
            StartRemoval();
        },
        [this, entry]() -> std::string {
            std::string heard = Heard();
            if (status == STATUS_SUCCESS) {
                return heard == entry + " CVKT SSXS(22)" ? "" : "the entry was cut short";
            }
            return RacedRemoval(status) && heard == "CVKT SSXS(22)"
                       ? ""
                       : "the entry ended with " + std::to_string(status);
        }));
    EXPECT_TRUE(result.Passed()) << result.Failure << "replay: " << result.Replay;
    EXPECT_EQ(outcomes_.size(), 2u);
}

// The timer expires at any point of removal: before removal cancels it,
// while removal begins, or not at all since removal cancelled it first. Its
// deferred call runs between threads wherever the kernel lets it.
TEST_F(RemovalInterleavingTest, RemovalAgainstTheTimerExpiring) {
    hk::ExploreResult result = ExploreAll(Scenario(
        [this] {
            BuildMachine(StateWatchA);
            StartClock();
            StartRemoval();
        },
        [] { return std::string(); }));
    EXPECT_TRUE(result.Passed()) << result.Failure << "replay: " << result.Replay;
    EXPECT_TRUE(outcomes_.count("CVKT SSXS(22)") == 1);
}

// Three at once: a run, command 5 and removal. The run feeds with the code
// in force when it holds StateLock, the command is carried out whole or
// refused, and nothing follows the removal's report.
TEST_F(RemovalInterleavingTest, RemovalAgainstARunAndCommandFive) {
    static NTSTATUS status;
    hk::ExploreResult result = ExploreAll(Scenario(
        [this] {
            BuildMachine(StateWatchB);
            StartRequest(Record(COMMAND_ENTER_WATCH_A), &status);
            StartCycle();
            StartRemoval();
        },
        [this]() -> std::string {
            std::string heard = Heard();
            bool carried = status == STATUS_SUCCESS &&
                           heard.find("SSXS(2A) SVKT OVKT FVKT(2A)") != std::string::npos;
            bool refused = RacedRemoval(status) && heard.find("SSXS(2A)") == std::string::npos;
            return carried || refused ? "" : "command 5 ended with " + std::to_string(status);
        }));
    EXPECT_TRUE(result.Passed()) << result.Failure << "replay: " << result.Replay;
    EXPECT_GT(outcomes_.size(), 3u);
}

} // namespace
