#include <gtest/gtest.h>

#include "host/wdk_host.h"
#include "host/kernel/violations.h"

namespace {

constexpr ULONG kTag = 'tEST';

class PoolTest : public ::testing::Test {
protected:
    void SetUp() override {
        hostk::PoolResetFaults();
        hostk::ClearViolations();
        before_ = hostk::PoolTotals().liveBlocks;
    }
    void TearDown() override {
        hostk::PoolResetFaults();
        EXPECT_EQ(hostk::PoolTotals().liveBlocks, before_);
        hostk::ClearViolations();
    }
    size_t before_ = 0;
};

TEST_F(PoolTest, CountsLiveBlocksPerTagAndReportsLeaks) {
    void* a = ExAllocatePoolWithTag(NonPagedPoolNx, 100, kTag);
    void* b = ExAllocatePoolWithTag(NonPagedPoolNx, 28, kTag);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(hostk::PoolTagStats(kTag).liveBlocks, 2u);
    EXPECT_EQ(hostk::PoolTagStats(kTag).liveBytes, 128u);
    EXPECT_NE(std::string(hostk::PoolLeakReport()).find("tag 'tEST' 100 bytes"), std::string::npos);
    void* c = ExAllocatePoolWithTag(NonPagedPoolNx, 4, 'QLNC');
    std::vector<hostk::TagStats> live = hostk::PoolLiveTags();
    ASSERT_EQ(live.size(), 2u);
    EXPECT_EQ(live[0].tag, static_cast<ULONG>('QLNC'));  // in the order of the tags' text
    EXPECT_EQ(live[0].stats.liveBytes, 4u);
    EXPECT_EQ(live[1].tag, kTag);
    EXPECT_EQ(live[1].stats.liveBlocks, 2u);
    ExFreePoolWithTag(c, 'QLNC');
    ExFreePoolWithTag(a, kTag);
    ExFreePoolWithTag(b, kTag);
    EXPECT_TRUE(hostk::PoolLiveTags().empty());
    EXPECT_EQ(hostk::PoolTagStats(kTag).liveBlocks, 0u);
    EXPECT_EQ(hostk::ViolationCount(), 0u);
}

TEST_F(PoolTest, FreeUnderAnotherTagOrTwiceIsAViolation) {
    void* a = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag);
    ExFreePoolWithTag(a, 'oTHR');
    EXPECT_EQ(hostk::ViolationCount(), 1u);
    ExFreePoolWithTag(a, kTag);
    EXPECT_EQ(hostk::ViolationCount(), 2u);
}

TEST_F(PoolTest, ExecutablePoolIsAViolationNamingTheTag) {
    void* nx = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag);
    void* paged = ExAllocatePoolWithTag(PagedPool, 8, kTag);
    EXPECT_EQ(hostk::ViolationCount(), 0u);
    void* executable = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    EXPECT_EQ(hostk::ViolationCount(), 1u);
    EXPECT_NE(hostk::ViolationText().find("NonPagedPool) allocated under tag 'tEST'"), std::string::npos)
        << hostk::ViolationText();
    // The block is still handed out, as Windows without the verifier would.
    EXPECT_NE(executable, nullptr);
    for (void* block : {nx, paged, executable}) ExFreePoolWithTag(block, kTag);
}

TEST_F(PoolTest, FailsTheNthAllocationOfOneTagOnly) {
    hostk::PoolFailNthAllocation(2, kTag);
    void* other = ExAllocatePoolWithTag(NonPagedPoolNx, 8, 'oTHR');
    void* first = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag);
    void* second = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag);
    void* third = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag);
    EXPECT_NE(other, nullptr);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    ExFreePoolWithTag(other, 'oTHR');
    ExFreePoolWithTag(first, kTag);
    ExFreePoolWithTag(third, kTag);
}

}  // namespace
