// SwitchAutoWhiteBalance with and without an image pipeline.
#include "driver/camera/white_balance.h"
#include "tests/camera/camera_test_support.h"

#include "driver/pipeline/image_pipeline.h"

using cameratest::StartedCamera;

namespace {

class WhiteBalanceTest : public StartedCamera {
protected:
    void TearDown() override {
        if (context && context->pipeline) {
            FreePipeline(context->pipeline);
            context->pipeline = nullptr;
        }
        StartedCamera::TearDown();
    }
};

TEST_F(WhiteBalanceTest, WithoutAPipelineOnlyTheSettingChanges) {
    context->settings.redGain = 140;
    SwitchAutoWhiteBalance(context, 1);
    EXPECT_EQ(context->settings.whiteBalance, 1);
    SwitchAutoWhiteBalance(context, 0);
    EXPECT_EQ(context->settings.whiteBalance, 0);
    EXPECT_EQ(context->settings.redGain, 140);
    EXPECT_EQ(context->settings.greenGain, 128);
    EXPECT_TRUE(Commands().empty());  // nothing goes to the camera
}

TEST_F(WhiteBalanceTest, SwitchingOffAdoptsTheGainsTheBalanceLastFound) {
    context->pipeline = CreatePipeline();
    ASSERT_NE(context->pipeline, nullptr);
    ImagePipeline* pipeline = context->pipeline;
    context->settings.redGain = 100;
    context->settings.greenGain = 110;
    context->settings.blueGain = 120;

    SwitchAutoWhiteBalance(context, 1);
    EXPECT_EQ(context->settings.whiteBalance, 1);
    EXPECT_EQ(GetWhiteBalance(pipeline), 1);
    // Switching on leaves the manual gains as they were.
    EXPECT_EQ(context->settings.redGain, 100);

    // What the conversion publishes after measuring a frame.
    SetRedGain(pipeline, 256);
    SetGreenGain(pipeline, 128);
    SetBlueGain(pipeline, 64);

    SwitchAutoWhiteBalance(context, 0);
    EXPECT_EQ(context->settings.whiteBalance, 0);
    EXPECT_EQ(GetWhiteBalance(pipeline), 0);
    EXPECT_EQ(context->settings.redGain, 256);
    EXPECT_EQ(context->settings.greenGain, 128);
    EXPECT_EQ(context->settings.blueGain, 64);
    // The pipeline keeps them: the picture does not jump.
    EXPECT_EQ(GetRedGain(pipeline), 256);
    EXPECT_TRUE(Commands().empty());
}

}  // namespace
