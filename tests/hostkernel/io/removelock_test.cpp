// The remove lock: references given and refused, a removal that blocks on
// the kernel's event until the last holder gives back, and the verifier's
// rules on references it does not know.
#include "hostkernel/kernel_state.h"
#include "tests/hostkernel/host_test.h"

namespace {

// The device's extension holds the lock.
class RemoveLockTest : public DeviceTest {
  protected:
    RemoveLockTest() : DeviceTest(sizeof(IO_REMOVE_LOCK)) {}
    void SetUp() override {
        DeviceTest::SetUp();
        lock_ = Extension<IO_REMOVE_LOCK>();
        IoInitializeRemoveLock(lock_, 'TseT', 0, 0);
    }
    PIO_REMOVE_LOCK lock_ = nullptr;
    int request_ = 0; // tags: addresses of these
    int run_ = 0;
    int removal_ = 0;
};

TEST_F(RemoveLockTest, RemovalWaitsInVirtualTimeForTheLastHolder) {
    ASSERT_EQ(IoAcquireRemoveLock(lock_, &request_), STATUS_SUCCESS);
    ASSERT_EQ(IoAcquireRemoveLock(lock_, &run_), STATUS_SUCCESS);
    ASSERT_EQ(IoAcquireRemoveLock(lock_, &removal_), STATUS_SUCCESS);
    IoReleaseRemoveLock(lock_, &request_);
    // The last holder gives back from a deferred context five seconds on.
    hk::ScheduleAt(5 * hk::kSecond, [this] {
        EXPECT_EQ(IoAcquireRemoveLock(lock_, &request_), STATUS_DELETE_PENDING)
            << "removal has begun";
        IoReleaseRemoveLock(lock_, &run_);
    });
    IoReleaseRemoveLockAndWait(lock_, &removal_);
    EXPECT_EQ(hk::Now(), 5 * hk::kSecond);
    EXPECT_EQ(lock_->Common.IoCount, 0);
    EXPECT_EQ(IoAcquireRemoveLock(lock_, &request_), STATUS_DELETE_PENDING);
}

TEST_F(RemoveLockTest, FlushRunsTheDeferredCallsStillQueued) {
    static int runs;
    runs = 0;
    KDPC dpc;
    KeInitializeDpc(
        &dpc, [](PKDPC, PVOID, PVOID, PVOID) { runs++; }, nullptr);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    KeFlushQueuedDpcs();
    EXPECT_EQ(runs, 1);
    EXPECT_TRUE(hk::K().Dpcs.empty());
    AtDispatch raised;
    EXPECT_DEATH(KeFlushQueuedDpcs(), VERIFIER_STOP("calls KeFlushQueuedDpcs above PASSIVE_LEVEL"));
}

TEST_F(RemoveLockTest, VerifierStopsReferencesItDoesNotKnow) {
    ASSERT_EQ(IoAcquireRemoveLock(lock_, &request_), STATUS_SUCCESS);
    EXPECT_DEATH(IoReleaseRemoveLock(lock_, &run_),
                 VERIFIER_STOP("releases a remove lock reference it does not hold"));
    EXPECT_DEATH(IoReleaseRemoveLockAndWait(lock_, &run_),
                 VERIFIER_STOP("waits for a remove lock without holding a reference"));
    IO_REMOVE_LOCK never{};
    EXPECT_DEATH(IoAcquireRemoveLock(&never, &request_),
                 VERIFIER_STOP("uses a remove lock that is not initialised or is freed"));
    EXPECT_DEATH(IoDeleteDevice(device_),
                 VERIFIER_STOP("frees a device extension holding a remove lock still held"));
    IoReleaseRemoveLock(lock_, &request_);
    // Without other holders a removal returns at once.
    ASSERT_EQ(IoAcquireRemoveLock(lock_, &removal_), STATUS_SUCCESS);
    IoReleaseRemoveLockAndWait(lock_, &removal_);
    EXPECT_EQ(hk::Now(), 0u);
    EXPECT_TRUE(lock_->Common.Removed);
    EXPECT_DEATH(IoReleaseRemoveLockAndWait(lock_, &removal_),
                 VERIFIER_STOP("waits for a remove lock a second time"));
}

} // namespace
