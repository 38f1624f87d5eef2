// The extended-state stand-in refuses what the kernel refuses: a save above
// DISPATCH_LEVEL, a restore out of order, twice, at another IRQL or on
// another thread, and a thread that ends with a save still open.
#include <gtest/gtest.h>

#include <thread>

#include "host/wdk_host.h"
#include "host/kernel/violations.h"

namespace {

class XstateTest : public ::testing::Test {
protected:
    void SetUp() override { hostk::ClearViolations(); }
    void TearDown() override { hostk::ClearViolations(); }
};

TEST_F(XstateTest, NestedSavesRestoreInReverseOrderCleanly) {
    XSTATE_SAVE outer, inner;
    ASSERT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &outer), STATUS_SUCCESS);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    ASSERT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &inner), STATUS_SUCCESS);
    KeRestoreExtendedProcessorState(&inner);
    KeLowerIrql(old);
    KeRestoreExtendedProcessorState(&outer);
    EXPECT_EQ(hostk::ViolationCount(), 0u) << hostk::ViolationText();
}

TEST_F(XstateTest, SaveAboveDispatchLevelIsRefused) {
    XSTATE_SAVE save;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL + 1, &old);
    EXPECT_NE(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &save), STATUS_SUCCESS);
    KeLowerIrql(old);
    EXPECT_EQ(hostk::ViolationCount(), 1u);
}

TEST_F(XstateTest, RestoreOutOfOrderOrTwiceIsAViolation) {
    XSTATE_SAVE outer, inner;
    ASSERT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &outer), STATUS_SUCCESS);
    ASSERT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &inner), STATUS_SUCCESS);
    KeRestoreExtendedProcessorState(&outer);  // inner is still open
    EXPECT_EQ(hostk::ViolationCount(), 1u);
    KeRestoreExtendedProcessorState(&inner);
    KeRestoreExtendedProcessorState(&outer);
    KeRestoreExtendedProcessorState(&outer);  // again
    EXPECT_EQ(hostk::ViolationCount(), 2u) << hostk::ViolationText();
}

TEST_F(XstateTest, RestoreAtAnotherIrqlIsAViolation) {
    XSTATE_SAVE save;
    ASSERT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &save), STATUS_SUCCESS);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeRestoreExtendedProcessorState(&save);
    KeLowerIrql(old);
    EXPECT_EQ(hostk::ViolationCount(), 1u);
}

TEST_F(XstateTest, ThreadEndingWithAnOpenSaveIsAViolation) {
    std::thread([] {
        XSTATE_SAVE save;
        KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &save);
    }).join();
    EXPECT_EQ(hostk::ViolationCount(), 1u);
}

TEST_F(XstateTest, RestoreOnAnotherThreadIsAViolation) {
    XSTATE_SAVE save;
    ASSERT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &save), STATUS_SUCCESS);
    std::thread([&save] { KeRestoreExtendedProcessorState(&save); }).join();
    EXPECT_EQ(hostk::ViolationCount(), 1u);
    KeRestoreExtendedProcessorState(&save);
    EXPECT_EQ(hostk::ViolationCount(), 1u);
}

}  // namespace
