// The fixture every kernel-level test derives from: a fresh host kernel per
// test and the leak check at its end.
#pragma once

#include "hostkernel/control.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

class KernelTest : public testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Called before the leak check: tests release the simulated machine here.
    virtual void ReleaseMachine() {}
};

// Input bytes as a vector, for requests and traces.
std::vector<uint8_t> Bytes(std::initializer_list<int> values);

// The text of a verifier stop, for death-test expectations.
#define VERIFIER_STOP(rule) "VERIFIER STOP: " rule
