// The client library and vktctl, run by processes of the simulated machine
// against the driver: the same sources as vktctl.exe. Each command's way to
// the driver, and vktctl's status line: the scenarios; bad input and a
// permitted name elsewhere: the bad-commands scenario.
#include "client/vkt_client.h"
#include "sim/machine.h"
#include "tests/sim/test_text.h"

#include <gtest/gtest.h>

namespace {

using sim::ClientCommand;

const char* kService = "C:\\Program Files\\Corvyn\\CorvynService.exe";

const std::u16string kServiceKey =
    u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\CorvynHostService";

class ClientTest : public testing::Test {
  protected:
    void SetUp() override {
        machine_.SetRegistryValue(kServiceKey, u"ImagePath", REG_SZ, Utf16z(sim::Widen(kService)));
        machine_.MakeFile(kService);
        machine_.PowerOn();
        machine_.StartProcess("svc", kService, true);
        machine_.OpenDevice("svc");
    }
    // vktctl's exit code and the lines it printed.
    std::pair<int, std::vector<std::string>> Vktctl(std::vector<std::string> arguments) {
        std::vector<std::string> lines;
        int exit = machine_.RunVktctl("svc", arguments, &lines);
        return {exit, lines};
    }

    sim::Machine machine_;
};

// A handle is its process's own until closed. (A standard user's open
// refused by the device's DACL: the attack-vendor-name scenario; no handle
// survives the device's removal: device-requests; a device added again
// opens anew: first-install.) A command of no kind is a nop.
TEST_F(ClientTest, HandlesBelongToTheProcessUntilClosed) {
    machine_.StartProcess("other", kService, false);
    EXPECT_EQ(machine_.Send("other", ClientCommand{}), ERROR_INVALID_HANDLE)
        << "a process without a handle of its own";
    EXPECT_EQ(machine_.Send("svc", ClientCommand{}), ERROR_SUCCESS);
    machine_.CloseDevice("svc");
    EXPECT_EQ(machine_.Send("svc", ClientCommand{}), ERROR_INVALID_HANDLE);
}

using Printed = std::pair<int, std::vector<std::string>>;

TEST_F(ClientTest, VktctlPrintsTheOutcomeAndThePlatformsMessage) {
    EXPECT_EQ(Vktctl({"report", "0x41"}), (Printed{0, {"stdout: reported state 0x41"}}));
    EXPECT_EQ(machine_.Firmware().LastState(), 0x41);
    EXPECT_EQ(Vktctl({"watch", "--shutdown", "120", "--run", "61", "CorvynService.exe"}),
              (Printed{0,
                       {"stdout: watching CorvynService.exe, run timeout 61 s, shutdown timeout "
                        "120 s"}}));
    EXPECT_EQ(
        Vktctl({"watch", "--run", "61", "--shutdown", "61", "X.exe"}),
        (Printed{1, {"stderr: vktctl: watch failed: error 87: The parameter is incorrect."}}));
    EXPECT_EQ(Vktctl({"enter", "b"}), (Printed{0, {"stdout: entered supervised state B (0x2B)"}}));
    EXPECT_EQ(machine_.Firmware().TimeoutSeconds(), 61u);
    machine_.RemoveDevice();
    EXPECT_EQ(Vktctl({"nop"}), (Printed{1,
                                        {"stderr: vktctl: opening \\\\.\\VKT0001 failed: error "
                                         "2: The system cannot find the file specified."}}));
}

// vktctl's own requests are not traced; any that reached the driver would
// allocate pool for its request, so the pool's count shows none did.
TEST_F(ClientTest, VktctlSendsNothingForArgumentsItDoesNotUnderstand) {
    uint64_t allocations = hk::AllocationCount();
    EXPECT_EQ(Vktctl({"nop"}).first, 0);
    EXPECT_NE(hk::AllocationCount(), allocations) << "a request that reaches the driver is seen";
    allocations = hk::AllocationCount();
    for (std::vector<std::string> arguments : std::vector<std::vector<std::string>>{
             {},
             {"report", "256"},
             {"report"},
             {"report", "0x"},
             {"enter", "c"},
             {"status", "now"},
             {"watch", "--run", "60", "A.exe"},
             {"watch", "--run", "60", "--shutdown", "x", "A.exe"},
             {"watch", "--run", "60", "--shutdown", "60", "A", "B"},
             {"frobnicate"}}) {
        Printed printed = Vktctl(arguments);
        EXPECT_EQ(printed.first, 2) << testing::PrintToString(arguments);
        ASSERT_GE(printed.second.size(), 2u);
        EXPECT_EQ(printed.second[1], "stderr: usage: vktctl status");
    }
    EXPECT_EQ(hk::AllocationCount(), allocations);
}

TEST(UserApiTest, StatusesMapToTheirSystemErrorCodesAndTexts) {
    // The common statuses' codes, and a customer's status passed through
    // unchanged: the scenarios' requests and vktctl's messages.
    EXPECT_EQ(RtlNtStatusToDosError(STATUS_DEVICE_NOT_CONNECTED), ERROR_DEVICE_NOT_CONNECTED);
    // Every code a status of the system's ranges maps to has its text.
    for (uint32_t base : {0x00000000u, 0x40000000u, 0x80000000u, 0xC0000000u}) {
        for (uint32_t status = base; status < base + 0x430; status++) {
            ULONG error = RtlNtStatusToDosError(static_cast<NTSTATUS>(status));
            WCHAR message[128];
            EXPECT_TRUE(error == ERROR_MR_MID_NOT_FOUND ||
                        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, error, 0, message, 128,
                                       nullptr) != 0)
                << std::hex << status << " maps to " << std::dec << error;
        }
    }
    // A customer's status passes through unchanged, as a firmware's status
    // passed up by command 3 does on the platform; a Win32 error wrapped in
    // a status comes out unwrapped; an unknown one has no code.
    EXPECT_EQ(RtlNtStatusToDosError(static_cast<NTSTATUS>(0xA0000001)), 0xA0000001u);
    EXPECT_EQ(RtlNtStatusToDosError(static_cast<NTSTATUS>(0xC0070020)), 32u);
    EXPECT_EQ(RtlNtStatusToDosError(static_cast<NTSTATUS>(0xC0001234)), ERROR_MR_MID_NOT_FOUND);
    WCHAR text[64];
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 5, 0, text, 64, nullptr), 19u);
    EXPECT_EQ(std::u16string(text), u"Access is denied.\r\n");
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 5, 0, text, 19, nullptr), 0u)
        << "no room for the terminator";
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 4242, 0, text, 64, nullptr), 0u);
}

} // namespace
