// The whole machine: resets that keep the registry and end every process,
// the firmware's memory of its reset, and the trace. The scenarios show
// hung shutdowns, orderly restarts, why cycles did not feed, and firmware
// rules kept across reboots until cleared.
#include "hostkernel/cm/registry_control.h"
#include "sim/machine.h"
#include "tests/sim/test_text.h"

#include <gtest/gtest.h>

namespace {

using sim::ClientCommand;

const std::u16string kParameters = hk::kServiceKeyPath + u"\\Parameters";

class MachineTest : public testing::Test {
  protected:
    void SetUp() override {
        machine_.SetRegistryValue(
            u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\CorvynHostService",
            u"ImagePath", REG_SZ, Utf16z(u"C:\\VKT\\CorvynService.exe"));
        machine_.MakeFile("C:\\VKT\\CorvynService.exe");
        machine_.MakeFile("C:\\Tools\\Other.exe");
    }
    // A service that supervises itself with a run timeout of 60 seconds.
    void Supervise(const std::string& label, const std::u16string& watched = u"CorvynService.exe") {
        machine_.StartProcess(label, "C:\\VKT\\CorvynService.exe", true);
        machine_.OpenDevice(label);
        ASSERT_EQ(machine_.Send(label, {ClientCommand::Kind::Watch, 0, 60, 90, watched}),
                  ERROR_SUCCESS);
        ASSERT_EQ(machine_.Send(label, {ClientCommand::Kind::EnterA}), ERROR_SUCCESS);
    }
    std::vector<const sim::TraceEvent*> EventsOf(const std::string& kind) {
        std::vector<const sim::TraceEvent*> found;
        for (const sim::TraceEvent& event : machine_.Events()) {
            if (event.Kind == kind) {
                found.push_back(&event);
            }
        }
        return found;
    }
    // Reports state 0x40 from `label`; the error code.
    uint32_t Report(const std::string& label) {
        return machine_.Send(label, {ClientCommand::Kind::Report, 0x40});
    }
    // Nothing the dead machine did after an expiry is in the trace.
    void ExpectTraceInTimeOrder() {
        uint64_t previous = 0;
        for (const sim::TraceEvent& event : machine_.Events()) {
            EXPECT_GE(event.Time, previous) << event.Text;
            previous = event.Time;
        }
    }

    sim::Machine machine_;
};

TEST_F(MachineTest, ExpiryResetsTheMachineWhichBootsAgainKeepingTheRegistry) {
    machine_.SetFirmwareStatus(0x05);
    machine_.PowerOn();
    Supervise("svc");
    machine_.RunUntil(35 * hk::kSecond);
    machine_.EndProcess("svc");
    machine_.StartProcess("bystander", "C:\\Tools\\Other.exe", false);
    machine_.StartProcess("ghost", "C:\\Tools\\Missing.exe", false);
    EXPECT_FALSE(machine_.HasProcess("ghost")) << "no executable, no process";
    machine_.RunUntil(10 * hk::kMinute);

    // The expiry's time and state, the boot after it, the status byte with
    // the firmware's reset flag over the scenario's bits, and the trace in
    // time order: the default scenario and its JSON check.
    EXPECT_FALSE(machine_.HasProcess("bystander")) << "every process ended";

    // The registry survived: this boot is a later one.
    auto count = hk::ReadRegistryValue(kParameters, u"InstallTimes");
    ASSERT_TRUE(count.has_value());
    EXPECT_EQ(count->Data[0], 2);
    // The whole value names the state the firmware held at the reset.
    EXPECT_EQ(machine_.Firmware().Evaluate("GSXS", std::nullopt).Value, 0x2A85u);
    EXPECT_FALSE(machine_.Firmware().WatchdogOpen()) << "the new boot stopped it";
}

// The watchdog can run out while a request waits for the firmware: the
// machine resets at the expiry, and nothing the dead machine did after it
// is traced.
TEST_F(MachineTest, ExpiryWhileARequestWaitsResetsAtTheExpiry) {
    machine_.PowerOn();
    Supervise("svc", u"CorvynMonitor.exe"); // not running: nothing feeds
    machine_.AddFirmwareRule({"SSXS", sim::AcpiFault::Pend, 0, 5 * hk::kMinute, 1});
    Report("svc");
    machine_.FinishStep();
    auto resets = EventsOf("reset");
    ASSERT_EQ(resets.size(), 1u);
    EXPECT_LT(resets[0]->Time, 5 * hk::kMinute) << "before the report was answered";
    EXPECT_TRUE(EventsOf("request").size() == 3u) << "open, watch, enter; not the report";
    EXPECT_FALSE(machine_.HasProcess("svc"));
    ExpectTraceInTimeOrder();
}

// The trace says when each thing happened: a run whose feed waits for the
// firmware is traced once, when its feed is answered, with the time the feed
// was sent; an event-log entry is traced when the driver wrote it, even when
// the request that wrote it then waited for the firmware.
TEST_F(MachineTest, TraceShowsWhenEachThingHappened) {
    machine_.PowerOn();
    Supervise("svc");
    machine_.AddFirmwareRule({"FVKT", sim::AcpiFault::Pend, 0, 3 * hk::kSecond, 1});
    machine_.RunUntil(35 * hk::kSecond);
    auto runs = EventsOf("cycle");
    ASSERT_EQ(runs.size(), 3u) << "runs at 10 s (pending until 13 s), 23 s and 33 s";
    EXPECT_EQ(runs[0]->Time, 13 * hk::kSecond);
    for (const sim::TraceEvent* run : runs) {
        EXPECT_EQ(run->Field("fed"), "true") << run->Text;
    }
    const sim::TraceEvent* pended = nullptr;
    for (const sim::TraceEvent* event : EventsOf("eval")) {
        if (event->Field("sent")) {
            pended = event;
        }
    }
    ASSERT_NE(pended, nullptr);
    EXPECT_EQ(pended->Field("sent"), std::to_string(10 * hk::kSecond));
    EXPECT_EQ(pended->Field("answered"), std::to_string(13 * hk::kSecond));
    EXPECT_NE(pended->Text.find("(sent at 00:00:10.000)"), std::string::npos) << pended->Text;

    machine_.AddFirmwareRule({"SSXS", sim::AcpiFault::Pend, 0, 5 * hk::kSecond, 1});
    machine_.RunUntil(40 * hk::kSecond);
    machine_.Sleep();
    auto logs = EventsOf("log");
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0]->Time, 40 * hk::kSecond) << "written before the report waited";
    EXPECT_GE(machine_.Now(), 45 * hk::kSecond);
    ExpectTraceInTimeOrder();
}

} // namespace
