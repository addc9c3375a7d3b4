// Removal against everything else the driver does at once: a supervision run
// (queued, running, or waiting for the firmware), commands 5 and 4, an entry
// into S3, and the timer expiring with its deferred call. Each scenario runs
// under every schedule with up to two preemptions, on a fresh machine each
// time; after each, the device is gone with nothing of it left, and the
// firmware last heard the removal.
#include "hostkernel/kernel_state.h"
#include "tests/supervision/scenario.h"

namespace {

using Outcomes = std::set<std::string>;

// How a request that races removal may end: carried out, refused while
// removal waits, or sent once the device is gone.
bool RacedRemoval(NTSTATUS status) {
    return status == STATUS_DELETE_PENDING || status == STATUS_NO_SUCH_DEVICE;
}

class RemovalInterleavingTest : public ScenarioTest {
  protected:
    // A fresh started device, in `state`.
    void BuildMachine(StateCode state, bool withList = true) {
        ScenarioTest::BuildMachine(state, withList, true);
        removed_ = hk::Outcome{};
    }

    // The scenario's threads besides those of every scenario.
    void StartRemoval() {
        PDEVICE_OBJECT device = device_;
        hk::StartThread(hk::CreateThread(hk::SystemProcess()), [this, device] {
            removed_ = hk::Send(device, {.major = IRP_MJ_PNP,
                                         .minor = IRP_MN_REMOVE_DEVICE,
                                         .initialStatus = STATUS_NOT_SUPPORTED});
        });
    }
    // The clock: the timer expires now, whatever removal has done so far,
    // and its deferred call runs at the next point where the kernel may.
    void StartClock() {
        hk::StartThread(hk::CreateThread(hk::SystemProcess()),
                        [] { hk::FireNextAlarm(hk::Now() + 10 * hk::kSecond); });
    }

    // Every scenario's check begins with what must hold after removal.
    hk::Scenario Scenario(std::function<void()> start, std::function<std::string()> check = {}) {
        return ScenarioTest::Scenario(std::move(start), [this, check = std::move(check)] {
            std::string problem = CheckRemoved();
            device_ = nullptr;
            return problem + (check ? check() : std::string());
        });
    }

    // What must hold after removal whatever raced it: removal succeeded,
    // nothing of the device is left, and the firmware's last words were the
    // removal's, heard once.
    std::string CheckRemoved() {
        std::string problem;
        if (!removed_.completed || removed_.returned != STATUS_SUCCESS) {
            problem += "removal did not complete; ";
        }
        problem += LeftAfterRemoval();
        std::string heard = Heard();
        size_t removal = heard.find("SSXS(22)");
        if (!heard.ends_with("CVKT SSXS(22)") || removal + 8 != heard.size()) {
            problem += "the firmware heard " + heard + "; ";
        }
        return problem;
    }
    // A request that raced removal was carried out whole, the firmware
    // hearing `whole` before removal, or refused and heard nothing.
    std::string CarriedOutWholeOrRefused(const std::string& whole) {
        std::string heard = Heard();
        if (status_ == STATUS_SUCCESS) {
            return heard == whole + " CVKT SSXS(22)" ? "" : "cut short: " + heard;
        }
        return RacedRemoval(status_) && heard == "CVKT SSXS(22)"
                   ? ""
                   : "ended with " + std::to_string(status_);
    }

    hk::Outcome removed_; // the removal request's outcome
};

// A run against removal, its evaluations answered at once or pending in the
// firmware, or the timer expiring at any point of removal with its deferred
// call running between threads wherever the kernel lets it. The deferred call
// comes before removal began (the run then feeds, or finds the lock closed
// and does nothing) or after (it queues nothing), or never since removal
// cancelled the timer first; a pending run holds StateLock while removal
// arrives, and removal waits for it. Either way no feed follows the
// removal's report.
TEST_F(RemovalInterleavingTest, RemovalAgainstARunOrTheTimerExpiring) {
    enum class Run { AnsweredAtOnce, Pending, FromTheClock };
    for (Run run : {Run::AnsweredAtOnce, Run::Pending, Run::FromTheClock}) {
        SCOPED_TRACE(static_cast<int>(run));
        ExplorePassing(Scenario([this, run] {
            BuildMachine(StateWatchA);
            if (run == Run::Pending) {
                acpi_->PendAll(hk::kMillisecond);
            }
            if (run == Run::FromTheClock) {
                StartClock();
            } else {
                StartCycle();
            }
            StartRemoval();
        }));
        EXPECT_EQ(outcomes_, (Outcomes{"CVKT SSXS(22)", "FVKT(2A) CVKT SSXS(22)"}));
    }
}

// On two processors: the armed timer may expire at any kernel call of
// removal (or of the run it starts), its deferred call running on the other
// processor while removal cancels the timer and flushes the deferred calls.
// Runs feed before removal's report (once or twice as the timer expires
// again) or not at all, and nothing of the device is left.
TEST_F(RemovalInterleavingTest, RemovalAgainstTheTimerOnASecondProcessor) {
    options_.SecondProcessor = true;
    hk::ExploreResult result = ExplorePassing(Scenario([this] {
        BuildMachine(StateWatchA);
        StartRemoval();
    }));
    EXPECT_EQ(outcomes_, (Outcomes{"CVKT SSXS(22)", "FVKT(2A) CVKT SSXS(22)",
                                   "FVKT(2A) FVKT(2A) CVKT SSXS(22)"}));
    EXPECT_GT(result.Schedules, 50u);
}

// Command 5 with its state report pending while it holds StateLock, and an
// entry into S3: each is carried out whole before removal goes on (the entry
// with its report and the sleep timeout), or refused and heard nothing.
TEST_F(RemovalInterleavingTest, RemovalAgainstCommandFiveOrAnEntryIntoS3) {
    ExplorePassing(Scenario(
        [this] {
            BuildMachine(StateLoaded);
            acpi_->InjectFault("SSXS", sim::AcpiFault::Pend, 1);
            StartRequest(Record(COMMAND_ENTER_WATCH_A), &status_);
            StartRemoval();
        },
        [this] { return CarriedOutWholeOrRefused("SSXS(2A) SVKT OVKT FVKT(2A)"); }));
    EXPECT_EQ(outcomes_.size(), 2u);

    ExplorePassing(Scenario(
        [this] {
            BuildMachine(StateWatchA);
            StartSleep(&status_);
            StartRemoval();
        },
        [this] { return CarriedOutWholeOrRefused("SSXS(23) CVKT SVKT OVKT FVKT(23)"); }));
    EXPECT_EQ(outcomes_.size(), 2u);
}

// Command 4 against removal: the list it sets is freed by removal, or it is
// refused and sets none; no pool is left either way.
TEST_F(RemovalInterleavingTest, RemovalAgainstCommandFour) {
    std::set<NTSTATUS> statuses;
    ExplorePassing(Scenario(
        [this] {
            BuildMachine(StateLoaded, false);
            uint32_t bytes = 0;
            uint64_t names = PutNames(u"VKTService.exe,Other.exe", &bytes);
            StartRequest(Record(COMMAND_SET_WATCH_LIST, 60, 90, bytes, names), &status_);
            StartRemoval();
        },
        [this, &statuses]() -> std::string {
            statuses.insert(status_);
            return status_ == STATUS_SUCCESS || RacedRemoval(status_)
                       ? ""
                       : "command 4 ended with " + std::to_string(status_);
        }));
    EXPECT_EQ(statuses,
              (std::set<NTSTATUS>{STATUS_SUCCESS, STATUS_DELETE_PENDING, STATUS_NO_SUCH_DEVICE}))
        << "carried out, refused while removal waits, and sent once the device is gone";
}

// Three at once: a run, command 5 and removal. The run feeds with the code
// in force when it holds StateLock, the command is carried out whole or
// refused, and nothing follows the removal's report.
TEST_F(RemovalInterleavingTest, RemovalAgainstARunAndCommandFive) {
    ExplorePassing(Scenario(
        [this] {
            BuildMachine(StateWatchB);
            StartRequest(Record(COMMAND_ENTER_WATCH_A), &status_);
            StartCycle();
            StartRemoval();
        },
        [this]() -> std::string {
            std::string heard = Heard();
            bool carried = status_ == STATUS_SUCCESS &&
                           heard.find("SSXS(2A) SVKT OVKT FVKT(2A)") != std::string::npos;
            bool refused = RacedRemoval(status_) && heard.find("SSXS(2A)") == std::string::npos;
            return carried || refused ? "" : "command 5 ended with " + std::to_string(status_);
        }));
    EXPECT_GT(outcomes_.size(), 3u);
}

} // namespace
