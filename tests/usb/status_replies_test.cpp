// The status query after a reply that came short or failed: the next query
// must read its own reply pair, not what is left of the last one.
#include <gtest/gtest.h>

#include "driver/camera/trigger_mode.h"
#include "tests/support/plugged_camera.h"

using testrig::DriverTest;

namespace {

class StatusRepliesTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        rig.Plug();
        context = rig.Context();
        rig::SetUsbRequestTimeout(300);
    }
    // Switches the camera to trigger mode, where the second reply packet
    // has bit 0x10 set and the first never has.
    void EnterTriggerMode() {
        ASSERT_TRUE(SetTriggerMode(context, 1));
        ASSERT_TRUE(rig.Camera().TriggerMode());
        context->settings.externalTrigger = 0;
    }

    DeviceContext* context = nullptr;
};

TEST_F(StatusRepliesTest, AShortFirstReplyDoesNotPutTheNextQueryOutOfStep) {
    rig.Camera().SetReplyFault(sim::ReplyFault::kShorten, 1, 10, 0);
    EXPECT_FALSE(QueryTriggerMode(context));
    EnterTriggerMode();
    for (int query = 0; query < 3; ++query) {
        EXPECT_TRUE(QueryTriggerMode(context)) << "query " << query;
        EXPECT_EQ(context->settings.externalTrigger, 1) << "query " << query;
    }
}

TEST_F(StatusRepliesTest, AShortSecondReplyLeavesTheNextQueryInStep) {
    rig.Camera().SetReplyFault(sim::ReplyFault::kShorten, 1, 10, 1);
    EXPECT_FALSE(QueryTriggerMode(context));
    EnterTriggerMode();
    EXPECT_TRUE(QueryTriggerMode(context));
}

TEST_F(StatusRepliesTest, AFailedReplyClearsTheReplyPipesHaltForTheNextQuery) {
    rig.Camera().StallPipe(0x81);
    EXPECT_FALSE(QueryTriggerMode(context));
    EnterTriggerMode();
    EXPECT_TRUE(QueryTriggerMode(context));
    EXPECT_EQ(context->settings.externalTrigger, 1);
}

TEST_F(StatusRepliesTest, AMissingSecondReplyCostsOnlyThatQuery) {
    rig.Camera().SetReplyFault(sim::ReplyFault::kDropSecond, 1);
    EXPECT_FALSE(QueryTriggerMode(context));
    EnterTriggerMode();
    EXPECT_TRUE(QueryTriggerMode(context));
}

}  // namespace
