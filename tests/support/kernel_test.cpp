#include "tests/support/kernel_test.h"

void KernelTest::SetUp() {
    hk::Reset();
}

void KernelTest::TearDown() {
    ReleaseMachine();
    for (const std::string& leak : hk::FindLeaks()) {
        ADD_FAILURE() << "leak: " << leak;
    }
}

std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
    std::vector<uint8_t> bytes;
    for (int value : values) {
        bytes.push_back(static_cast<uint8_t>(value));
    }
    return bytes;
}
