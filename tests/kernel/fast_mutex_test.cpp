// The fast mutex keeps wdm.h's protocol, because a driver image initialises
// it with its own inline code: free means Count's lock bit is set and the
// event is not signalled. Many threads contending must neither lose a
// wake-up nor let two in at once.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "host/wdk_host.h"
#include "host/kernel/violations.h"

namespace {

class FastMutexTest : public ::testing::Test {
protected:
    void SetUp() override { hostk::ClearViolations(); }
    void TearDown() override { hostk::ClearViolations(); }
};

// What wdm.h's inline ExInitializeFastMutex writes.
void InitialiseAsWindowsDoes(FAST_MUTEX* mutex) {
    mutex->Count = 1;
    mutex->Owner = nullptr;
    mutex->Contention = 0;
    KeInitializeEvent(&mutex->Event, SynchronizationEvent, FALSE);
}

TEST_F(FastMutexTest, AMutexInitialisedAsWindowsDoesIsFreeAndRaisesToApcLevel) {
    FAST_MUTEX mutex;
    InitialiseAsWindowsDoes(&mutex);
    ExAcquireFastMutex(&mutex);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    EXPECT_EQ(mutex.Count & FM_LOCK_BIT, 0);
    ExReleaseFastMutex(&mutex);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(mutex.Count, FM_LOCK_BIT);
    EXPECT_EQ(hostk::ViolationCount(), 0u) << hostk::ViolationText();
}

TEST_F(FastMutexTest, ContendingThreadsAreAdmittedOneAtATimeAndAllFinish) {
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    constexpr int kThreads = 6;
    constexpr int kRounds = 3000;
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    long long total = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                ExAcquireFastMutex(&mutex);
                if (inside.fetch_add(1) != 0) ++overlaps;
                ++total;
                if (i % 64 == 0) std::this_thread::yield();
                inside.fetch_sub(1);
                ExReleaseFastMutex(&mutex);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(total, static_cast<long long>(kThreads) * kRounds);
    EXPECT_EQ(mutex.Count, FM_LOCK_BIT) << "free, with no waiter left counted";
    EXPECT_EQ(hostk::ViolationCount(), 0u) << hostk::ViolationText();
}

TEST_F(FastMutexTest, ReleasingAFreeMutexIsAViolation) {
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    mutex.OldIrql = old;
    ExReleaseFastMutex(&mutex);
    KeLowerIrql(old);
    EXPECT_EQ(hostk::ViolationCount(), 1u);
    EXPECT_EQ(mutex.Count, FM_LOCK_BIT);
}

}  // namespace
