// The driver's own work per check, held to a budget: callgrind counts the
// instructions of the benchmark program's check (see bench/check_cost.cpp),
// which are exact, so the budget is a plain comparison. The counts leave
// out the host's check behind PAGED_CODE(), which the platform's release
// build does not have.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// One measured machine: "NAMES PROCESSES THREADS WATCHED absent|last".
struct Count {
    std::string Machine;
    unsigned long long Instructions = 0;
    unsigned long long Queries = 0;
};

std::vector<Count> Measure(const std::vector<std::string>& machines) {
    std::string command = std::string(VKT_BENCH_CHECK) + " --instructions";
    for (const std::string& machine : machines) {
        command += " '" + machine + "'";
    }
    FILE* output = popen(command.c_str(), "r");
    std::vector<Count> counts;
    Count count;
    while (output != nullptr &&
           std::fscanf(output, "%llu %llu", &count.Instructions, &count.Queries) == 2) {
        count.Machine = machines.at(counts.size());
        counts.push_back(count);
    }
    if (output != nullptr) {
        EXPECT_EQ(pclose(output), 0) << command;
    }
    return counts;
}

// 300 processes of ten threads, names of 1 to 32 characters and 20 watched
// names (15 of 32 characters fill the list): at most 20 instructions per
// process; Cyrillic names, with ASCII digits or with Cyrillic letters, at
// most twice that. One name or 20 cost alike; the
// watched process found last adds its one comparison. On a machine too big
// for the first buffer, a check that follows another makes one query.
TEST(CheckBudgetTest, TwentyInstructionsPerProcessWhateverTheNamesAndOneQuery) {
#ifndef __OPTIMIZE__
    GTEST_SKIP() << "the budget is an optimised build's: this build is not optimised";
#endif
    if (std::system("valgrind --version >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "valgrind is not installed: callgrind counts the instructions";
    }
#if defined(__SANITIZE_ADDRESS__) || defined(__has_feature)
#if defined(__SANITIZE_ADDRESS__) || __has_feature(address_sanitizer)
    GTEST_SKIP() << "the sanitizers' instrumentation is no part of the driver's budget";
#endif
#endif
    const std::vector<std::string> machines = {
        "8 300 10 20 absent",  "12 300 10 20 absent", "13 300 10 20 absent",
        "16 300 10 20 absent", "32 300 10 15 absent", "cyrillic 300 10 20 absent",
        "1 300 10 20 absent",  "5 300 10 20 absent",  "12 300 10 1 absent",
        "12 300 10 20 last",   "12 3000 10 1 absent", "cyrillic-letters 300 10 20 absent"};
    std::vector<Count> counts = Measure(machines);
    ASSERT_EQ(counts.size(), machines.size());
    for (const Count& count : counts) {
        EXPECT_GT(count.Instructions, 300u * 10) << count.Machine << ": a count was made";
        EXPECT_EQ(count.Queries, 1u) << count.Machine;
    }
    for (size_t i : {0, 1, 2, 3, 4, 6, 7}) {
        EXPECT_LE(counts[i].Instructions, 300u * 20) << counts[i].Machine;
    }
    EXPECT_LE(counts[5].Instructions, 300u * 40) << counts[5].Machine;
    EXPECT_LE(counts[1].Instructions, counts[8].Instructions + 300)
        << "nineteen more names cost less than one instruction per process";
    EXPECT_LE(counts[9].Instructions, counts[1].Instructions + 1000)
        << "the watched process found costs one lookup and one comparison";
    EXPECT_LE(counts[10].Instructions, 3000u * 20) << counts[10].Machine;
    EXPECT_LE(counts[11].Instructions, 300u * 40) << counts[11].Machine;
}

} // namespace
