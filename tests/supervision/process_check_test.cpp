// Whether a watched process runs, from the system's process snapshot; and
// the cases in which the answer has to be yes because nobody can tell.
#include "hostkernel/pool_control.h"
#include "supervision/watch_list.h"
#include "tests/supervision/service.h"

namespace {

class ProcessCheckTest : public ServiceTest {
  protected:
    BOOLEAN Running() {
        BOOLEAN running = FALSE;
        hk::RunAs(hk::CreateThread(hk::SystemProcess()), [&] {
            KeEnterCriticalRegion();
            ExAcquireResourceExclusiveLite(&Context()->WatchListLock, TRUE);
            running = IsWatchedProcessRunning(Context());
            ExReleaseResourceLite(&Context()->WatchListLock);
            KeLeaveCriticalRegion();
        });
        return running;
    }
};

TEST_F(ProcessCheckTest, MatchesBareNamesWhateverTheirCase) {
    ASSERT_EQ(SetList(u"agent.exe,vktservice.EXE"), STATUS_SUCCESS);
    EXPECT_TRUE(Running()) << "VKTService.exe runs";
    hk::TerminateProcess(service_);
    EXPECT_FALSE(Running());
    HkProcess* agent = hk::CreateProcess(u"AGENT.EXE");
    EXPECT_TRUE(Running()) << "the watched process is the last entry of the snapshot";
    hk::TerminateProcess(agent);
    hk::CreateProcess(u"agent.exe.bak");
    hk::CreateProcess(u"gent.exe");
    EXPECT_FALSE(Running());
    EXPECT_EQ(hk::LiveBlocksWithTag(VKT_POOL_TAG), 3u) << "the snapshot is freed again";
}

TEST_F(ProcessCheckTest, AnswersYesWheneverItCannotLook) {
    EXPECT_TRUE(Running()) << "empty list";
    ASSERT_EQ(SetList(u"missing.exe"), STATUS_SUCCESS);
    EXPECT_FALSE(Running());

    hk::RemoveExport("ZwQuerySystemInformation");
    EXPECT_TRUE(Running());
    hk::SetExport("ZwQuerySystemInformation", reinterpret_cast<void*>(HkZwQuerySystemInformation));

    hk::FailRoutine("ZwQuerySystemInformation", STATUS_ACCESS_DENIED);
    EXPECT_TRUE(Running());

    hk::FailAllocationsWithTag(VKT_POOL_TAG, 1);
    EXPECT_TRUE(Running());
    EXPECT_EQ(hk::LiveBlocksWithTag(VKT_POOL_TAG), 2u);
}

// 2,000 processes of 6 threads each need about 1.5 MB, more than the first
// snapshot buffer holds: the check asks again in what the query asked for
// and looks, instead of counting the machine as running.
TEST_F(ProcessCheckTest, LooksAtMachinesTooBigForTheFirstSnapshot) {
    ASSERT_EQ(SetList(u"VKTService.exe"), STATUS_SUCCESS);
    uint64_t allocations = hk::AllocationCount();
    EXPECT_TRUE(Running());
    EXPECT_EQ(hk::AllocationCount(), allocations + 1) << "one query where the snapshot fits";

    for (int i = 0; i < 2000; i++) {
        hk::SetSnapshotThreads(hk::CreateProcess(u"filler.exe"), 6);
    }
    ULONG needed = 0;
    hk::RunAs(hk::CreateThread(hk::SystemProcess()), [&] {
        EXPECT_EQ(HkZwQuerySystemInformation(SystemProcessInformation, nullptr, 0, &needed),
                  STATUS_INFO_LENGTH_MISMATCH);
    });
    ASSERT_GT(needed, PROCESS_SNAPSHOT_SIZE);
    size_t held = hk::NonPagedPoolBytes();
    hk::ResetNonPagedPoolPeak();
    allocations = hk::AllocationCount();
    EXPECT_TRUE(Running());
    EXPECT_EQ(hk::AllocationCount(), allocations + 2) << "the first buffer, then one that fits";
    EXPECT_GE(hk::NonPagedPoolPeak() - held, needed);
    EXPECT_LE(hk::NonPagedPoolPeak() - held, needed + needed / 8 + 4096)
        << "the small buffer is freed before the big one is taken";
    EXPECT_EQ(hk::NonPagedPoolBytes(), held);

    hk::TerminateProcess(service_);
    EXPECT_FALSE(Running()) << "a dead service is seen on a big machine";

    // Queries that keep answering that the snapshot does not fit are asked
    // again a bounded number of times, each in what the last one asked for.
    hk::FailRoutine("ZwQuerySystemInformation", STATUS_INFO_LENGTH_MISMATCH, 2);
    EXPECT_FALSE(Running()) << "two failures, then the real answer, then the fourth query";
    hk::FailRoutine("ZwQuerySystemInformation", STATUS_INFO_LENGTH_MISMATCH, 3);
    EXPECT_TRUE(Running()) << "the fourth query is the last, in too small a buffer";
    hk::FailRoutine("ZwQuerySystemInformation", STATUS_INFO_LENGTH_MISMATCH, 4);
    EXPECT_TRUE(Running());

    // No pool for the bigger buffer.
    hk::FailNthAllocation(2);
    EXPECT_TRUE(Running());
    EXPECT_EQ(hk::NonPagedPoolBytes(), held);
    EXPECT_EQ(hk::LiveBlocksWithTag(VKT_POOL_TAG), 2u);
}

} // namespace
