// SetTriggerMode and QueryTriggerMode against the simulated camera, whose
// trigger mode needs both the controller switch and the two sensor registers.
#include "driver/camera/trigger_mode.h"
#include "tests/camera/camera_test_support.h"

using cameratest::RegisterLine;
using cameratest::StartedCamera;
using testrig::CommandLine;

namespace {

class TriggerModeTest : public StartedCamera {
protected:
    void SetUp() override {
        StartedCamera::SetUp();
        // A reply the camera never sends must not hold a test for seconds.
        rig::SetUsbRequestTimeout(200);
    }
};

TEST_F(TriggerModeTest, SwitchingOnAndOffRewritesRegisters32And33FromTheShadow) {
    // The known starting point the start-up script leaves.
    ASSERT_EQ(context->sensorRegisters[32], 11);
    ASSERT_EQ(context->sensorRegisters[33], 0);

    ASSERT_TRUE(SetTriggerMode(context, 1));
    EXPECT_EQ(Commands(), (std::vector<std::string>{CommandLine({0x28, 0x01}),
                                                    RegisterLine(0x10, 0x20, 0x2C, 0x00, 0x00),    // 32 = 11
                                                    RegisterLine(0x10, 0x21, 0x30, 0x00, 0x00)}));  // 33 = 12
    EXPECT_EQ(context->settings.externalTrigger, 1);
    EXPECT_TRUE(rig.Camera().TriggerMode());

    rig.Camera().ClearTrace();
    ASSERT_TRUE(SetTriggerMode(context, 0));
    EXPECT_EQ(Commands(), (std::vector<std::string>{CommandLine({0x28, 0x00}),
                                                    RegisterLine(0x10, 0x20, 0x6C, 0x00, 0x00),    // 32 = 27
                                                    RegisterLine(0x10, 0x21, 0x04, 0x00, 0x00)}));  // 33 = 1
    EXPECT_EQ(context->sensorRegisters[32], 27);
    EXPECT_EQ(context->sensorRegisters[33], 1);
    EXPECT_EQ(context->settings.externalTrigger, 0);
    EXPECT_FALSE(rig.Camera().TriggerMode());
}

TEST_F(TriggerModeTest, OtherBitsOfBothRegistersKeepTheirShadowValues) {
    context->sensorRegisters[32] = 0x3F;
    context->sensorRegisters[33] = 0x25;  // high bits 0x20, nibble 5
    ASSERT_TRUE(SetTriggerMode(context, 7));  // any non-zero flag means on
    EXPECT_EQ(Commands().front(), CommandLine({0x28, 0x01}));
    EXPECT_EQ(context->sensorRegisters[32], 0x2F);
    EXPECT_EQ(context->sensorRegisters[33], 0x2C);
    EXPECT_EQ(context->settings.externalTrigger, 1);
}

TEST_F(TriggerModeTest, RefusedSwitchChangesNothingElse) {
    rig.Camera().RejectCommands(true);
    EXPECT_FALSE(SetTriggerMode(context, 1));
    EXPECT_EQ(Commands(), std::vector<std::string>{CommandLine({0x28, 0x01})});
    EXPECT_EQ(context->sensorRegisters[32], 11);
    EXPECT_EQ(context->sensorRegisters[33], 0);
    EXPECT_EQ(context->settings.externalTrigger, 0);
}

TEST_F(TriggerModeTest, RefusedRegisterWritesAreIgnoredAndTheModeStillFollowsTheController) {
    // The controller takes 0x28; the camera is pulled before the registers.
    rig.Camera().UnplugAfterRequests(1);
    EXPECT_TRUE(SetTriggerMode(context, 1));
    EXPECT_EQ(context->settings.externalTrigger, 1);
    EXPECT_EQ(context->sensorRegisters[32], 11);
    EXPECT_EQ(context->sensorRegisters[33], 12);
}

TEST_F(TriggerModeTest, QueryReadsTheModeFromTheSecondReplyPacket) {
    EXPECT_FALSE(QueryTriggerMode(context));
    EXPECT_EQ(context->settings.externalTrigger, 0);
    const std::vector<std::string> lines = rig.Camera().TraceLines();
    EXPECT_EQ(lines, (std::vector<std::string>{CommandLine({0x29}), "BULK_IN 1 64 64", "BULK_IN 1 64 64"}));

    ASSERT_TRUE(SetTriggerMode(context, 1));
    context->settings.externalTrigger = 0;
    EXPECT_TRUE(QueryTriggerMode(context));
    EXPECT_EQ(context->settings.externalTrigger, 1);

    // The controller switched on but the sensor set free running: the
    // camera runs free and says so.
    ASSERT_TRUE(WriteSensorRegister(context, 32, 27));
    EXPECT_FALSE(QueryTriggerMode(context));
    EXPECT_EQ(context->settings.externalTrigger, 0);
}

TEST_F(TriggerModeTest, IncompleteAnswerReturnsFalseAndLeavesTheFieldAlone) {
    ASSERT_TRUE(SetTriggerMode(context, 1));
    ASSERT_EQ(context->settings.externalTrigger, 1);
    struct Case {
        const char* name;
        sim::ReplyFault fault;
        uint32_t bytes;
        int packet;
    };
    const Case cases[] = {
        {"second packet missing", sim::ReplyFault::kDropSecond, 0, 1},
        {"second packet short", sim::ReplyFault::kShorten, 63, 1},
        {"first packet short", sim::ReplyFault::kShorten, 10, 0},
        {"no answer", sim::ReplyFault::kDropBoth, 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        rig.Camera().SetReplyFault(c.fault, 1, c.bytes, c.packet);
        EXPECT_FALSE(QueryTriggerMode(context));
        EXPECT_EQ(context->settings.externalTrigger, 1);
        // Nothing stays pending on the reply pipe once the call returned.
        EXPECT_EQ(rig.Camera().PendingTransfers(0x81), 0u);
    }

    rig.Camera().RejectCommands(true);
    EXPECT_FALSE(QueryTriggerMode(context));
    EXPECT_EQ(context->settings.externalTrigger, 1);
}

}  // namespace
