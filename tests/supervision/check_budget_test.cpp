// The driver's own work per check, held to a budget: callgrind counts the
// instructions of the benchmark program's check (see bench/check_cost.cpp),
// which are exact, so the budget is a plain comparison.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// Instructions of one check on a machine of `processes` processes of ten
// threads with `names` watched names, the watched process absent or last.
unsigned long long CheckInstructions(int processes, int names, const char* watched) {
    std::string command = std::string(VKT_BENCH_CHECK) + " --instructions " +
                          std::to_string(processes) + " " + std::to_string(names) + " " + watched;
    FILE* output = popen(command.c_str(), "r");
    unsigned long long instructions = 0;
    if (output == nullptr || std::fscanf(output, "%llu", &instructions) != 1) {
        instructions = 0;
    }
    if (output != nullptr) {
        EXPECT_EQ(pclose(output), 0) << command;
    }
    return instructions;
}

TEST(CheckBudgetTest, AtMostHundredInstructionsPerProcessWithTwentyNames) {
    if (std::system("valgrind --version >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "valgrind is not installed: callgrind counts the instructions";
    }
    for (const char* watched : {"absent", "last"}) {
        unsigned long long instructions = CheckInstructions(300, 20, watched);
        EXPECT_GT(instructions, 300u * 20) << "a count was made";
        EXPECT_LE(instructions, 300u * 100) << "watched process " << watched;
    }
}

} // namespace
