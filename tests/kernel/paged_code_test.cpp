// PAGED_CODE() on the host: pageable routines may run at PASSIVE_LEVEL and
// APC_LEVEL (a fast mutex holder) but never at DISPATCH_LEVEL.
#include <gtest/gtest.h>

#include "host/wdk_host.h"
#include "host/kernel/violations.h"

namespace {

VOID PageableRoutine() { PAGED_CODE(); }

class PagedCodeTest : public ::testing::Test {
protected:
    void SetUp() override { hostk::ClearViolations(); }
    void TearDown() override { hostk::ClearViolations(); }
};

TEST_F(PagedCodeTest, PassiveAndApcLevelAreAllowed) {
    PageableRoutine();
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    PageableRoutine();
    KeLowerIrql(old);
    EXPECT_EQ(hostk::ViolationCount(), 0u) << hostk::ViolationText();
}

TEST_F(PagedCodeTest, DispatchLevelIsAViolationNamingTheRoutine) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
    PageableRoutine();
    KeReleaseSpinLock(&lock, old);
    ASSERT_EQ(hostk::ViolationCount(), 1u);
    EXPECT_NE(hostk::ViolationText().find("pageable routine PageableRoutine called at IRQL 2"), std::string::npos)
        << hostk::ViolationText();
}

}  // namespace
