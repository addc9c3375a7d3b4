// Whether a watched process runs, from the system's process snapshot; and
// the cases in which the answer has to be yes because nobody can tell.
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

    // 2,000 processes of 6 threads each need far more than a snapshot holds.
    for (int i = 0; i < 2000; i++) {
        hk::SetSnapshotThreads(hk::CreateProcess(u"filler.exe"), 6);
    }
    EXPECT_TRUE(Running());
    EXPECT_EQ(hk::LiveBlocksWithTag(VKT_POOL_TAG), 2u);
}

} // namespace
