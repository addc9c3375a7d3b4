// The driver's own work per check, held to a budget: callgrind counts the
// instructions of the benchmark program's check (see bench/check_cost.cpp),
// which are exact, so the budget is a plain comparison.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// Instructions of one check on a machine of 300 processes of ten threads:
// with 20 watched names, the watched process absent and last; with one
// name, absent.
std::vector<unsigned long long> CheckInstructions() {
    std::string command =
        std::string(VKT_BENCH_CHECK) + " --instructions 300 20 absent 300 20 last 300 1 absent";
    FILE* output = popen(command.c_str(), "r");
    std::vector<unsigned long long> counts;
    unsigned long long instructions = 0;
    while (output != nullptr && std::fscanf(output, "%llu", &instructions) == 1) {
        counts.push_back(instructions);
    }
    if (output != nullptr) {
        EXPECT_EQ(pclose(output), 0) << command;
    }
    return counts;
}

TEST(CheckBudgetTest, AtMostHundredInstructionsPerProcessAlmostWhateverTheNames) {
    if (std::system("valgrind --version >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "valgrind is not installed: callgrind counts the instructions";
    }
#if defined(__SANITIZE_ADDRESS__) || defined(__has_feature)
#if defined(__SANITIZE_ADDRESS__) || __has_feature(address_sanitizer)
    GTEST_SKIP() << "the sanitizers' instrumentation is no part of the driver's budget";
#endif
#endif
    std::vector<unsigned long long> counts = CheckInstructions();
    ASSERT_EQ(counts.size(), 3u);
    for (unsigned long long instructions : counts) {
        EXPECT_GT(instructions, 300u * 20) << "a count was made";
        EXPECT_LE(instructions, 300u * 100);
    }
    EXPECT_LE(counts[0], counts[2] + 300u * 10)
        << "nineteen more names cost less than ten instructions per process";
}

} // namespace
