// Where a delivered picture comes from. A new frame with a client frame
// waiting is converted straight into it; with none waiting (or one too
// small) it goes into the RGB image. A delivery with no new frame repeats
// the picture: copied from the RGB image, or converted again from the
// working buffer with the frame's own gains and coefficients. Either way the
// client gets the bytes of the picture's first delivery, whatever the
// settings have become since. The camera is held and stepped, so which path
// runs is chosen by the test.
#include "driver/capture/capture_filter.h"
#include "tests/capture/streaming_support.h"

namespace streaming_test {
namespace {

class RepeatDeliveryTest : public StreamingTest {
protected:
    void SetUp() override {
        StreamingTest::SetUp();
        HoldCamera();
    }

    // Runs the pin, hands it `buffer` and lets one camera frame through.
    void RunAndStepOneFrame(ClientBuffer& buffer) {
        ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
        ASSERT_EQ(pin->SubmitFrame(buffer.data(), buffer.size), STATUS_PENDING);
        ASSERT_TRUE(rig.Camera().WaitForFrameRequest(5s));
        rig.Camera().StepFrames(1);
    }

    // Hands `buffer` to the pin and waits for it to come back.
    hostks::CompletedFrame Deliver(ClientBuffer& buffer) {
        EXPECT_EQ(pin->SubmitFrame(buffer.data(), buffer.size), STATUS_PENDING);
        hostks::CompletedFrame frame = NextFrame();
        EXPECT_EQ(frame.data, buffer.data());
        return frame;
    }

    // Where the worker says the run's newest picture is, read under its lock.
    LONG Picture() {
        KIRQL irql;
        KeAcquireSpinLock(&Worker()->bufferLock, &irql);
        LONG picture = Worker()->picture;
        KeReleaseSpinLock(&Worker()->bufferLock, irql);
        return picture;
    }

    ImagePipeline* Pipeline() { return rig.Context()->pipeline; }

    // Settings that would change every byte of a new conversion.
    void ChangeEverySetting() {
        SetWhiteBalance(Pipeline(), 0);
        SetRedGain(Pipeline(), 40);
        SetGreenGain(Pipeline(), 300);
        SetBlueGain(Pipeline(), 200);
        UpdateBrightness(Pipeline(), 100);
        SetColorPhase(Pipeline(), 2);
        SetColorEnable(Pipeline(), 0);
    }
};

// The image a fresh camera's settings make of `raw` with white balance on,
// as an independent pipeline with the scalar kernel converts it.
std::vector<uint8_t> WhiteBalancedImage(const std::vector<uint8_t>& raw) {
    ImagePipeline* pipeline = CreatePipeline();
    SetPipelineGeometry(pipeline, 1600, 1200);
    AllocateWorkingBuffer(pipeline);
    SetWhiteBalance(pipeline, 1);
    std::vector<uint8_t> image(kImageBytes);
    pipeline->outputBuffer = image.data();
    ConvertFrameWithKernel(pipeline, raw.data(), RawDataOffset, RawLinePitch, ConversionKernelScalar);
    FreePipeline(pipeline);
    return image;
}

TEST_F(RepeatDeliveryTest, APictureConvertedIntoTheClientsFrameIsRepeatedByteForByteAfterTheSettingsChange) {
    rig.Camera().SetScene("bars", nullptr);
    std::vector<uint8_t> expected = ExpectedImage(rig.Camera().ExpectedRawFrame());
    CreatePin();
    hostks::ReferenceClock clock(true);
    pin->SetClock(&clock);
    clock.Set(1000);
    ClientBuffer first;
    RunAndStepOneFrame(first);
    hostks::CompletedFrame frame = NextFrame();
    ASSERT_EQ(frame.dataUsed, kImageBytes);
    EXPECT_TRUE(HoldsBottomUp(frame.data, expected));
    EXPECT_EQ(frame.presentationTime, 1000);
    EXPECT_EQ(Picture(), PictureInWorkingBuffer);  // no RGB image was made

    ChangeEverySetting();
    clock.Set(2000);
    for (int i = 0; i < 2; ++i) {
        ClientBuffer again;
        frame = Deliver(again);
        EXPECT_EQ(frame.status, STATUS_SUCCESS);
        EXPECT_EQ(frame.dataUsed, kImageBytes);
        EXPECT_EQ(frame.presentationTime, 2000);
        EXPECT_EQ(frame.optionsFlags, KSSTREAM_HEADER_OPTIONSF_TIMEVALID | KSSTREAM_HEADER_OPTIONSF_DURATIONVALID);
        EXPECT_EQ(frame.duration, 333333);
        EXPECT_EQ(std::memcmp(again.data(), first.data(), kImageBytes), 0) << "repeat " << i;
        EXPECT_TRUE(again.GuardIntact());
    }
    EXPECT_EQ(FramesRead(), 1);

    // The next frame, with no client frame waiting, is converted into the
    // RGB image with the new settings.
    ASSERT_TRUE(rig.Camera().WaitForFrameRequest(5s));
    rig.Camera().StepFrames(1);
    ASSERT_TRUE(Eventually([&] { return FramesRead() == 2 && Picture() == PictureInImage; }));
    ClientBuffer fresh;
    frame = Deliver(fresh);
    EXPECT_EQ(frame.dataUsed, kImageBytes);
    EXPECT_NE(std::memcmp(fresh.data(), first.data(), kImageBytes), 0);
    pin->Close();  // before the clock goes
}

TEST_F(RepeatDeliveryTest, AWhiteBalancedPictureIsRepeatedWithTheGainsItWasMeasuredWith) {
    rig.Camera().SetScene("flat:180,120,60", nullptr);
    std::vector<uint8_t> expected = WhiteBalancedImage(rig.Camera().ExpectedRawFrame());
    CreatePin();
    ASSERT_EQ(pin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    SetWhiteBalance(Pipeline(), 1);
    ClientBuffer first;
    RunAndStepOneFrame(first);
    hostks::CompletedFrame frame = NextFrame();
    ASSERT_EQ(frame.dataUsed, kImageBytes);
    // The measuring pass used the client's frame as its scratch; what is
    // left there is the converted picture.
    EXPECT_TRUE(HoldsBottomUp(frame.data, expected));
    EXPECT_TRUE(first.GuardIntact());
    EXPECT_NE(GetRedGain(Pipeline()), 128);  // measured, not the factory gain

    ChangeEverySetting();
    ClientBuffer again;
    frame = Deliver(again);
    EXPECT_EQ(frame.dataUsed, kImageBytes);
    EXPECT_TRUE(HoldsBottomUp(again.data(), expected));
}

TEST_F(RepeatDeliveryTest, AFrameTooSmallIsRefusedForARepeatAndANewPictureAndTheImageServesTheNext) {
    std::vector<uint8_t> expected = ExpectedImage(rig.Camera().ExpectedRawFrame());
    CreatePin();
    ClientBuffer first;
    RunAndStepOneFrame(first);
    ASSERT_EQ(NextFrame().dataUsed, kImageBytes);
    ASSERT_EQ(Picture(), PictureInWorkingBuffer);

    // A repeat into a frame one byte short: nothing written.
    ClientBuffer small(kImageBytes - 1);
    hostks::CompletedFrame frame = Deliver(small);
    EXPECT_EQ(frame.status, STATUS_SUCCESS);
    EXPECT_EQ(frame.dataUsed, 0u);
    EXPECT_TRUE(small.Untouched());

    // A new frame while only a short frame waits: converted into the RGB
    // image, the short frame left unwritten ...
    rig.Camera().SetScene("flat:90", nullptr);
    std::vector<uint8_t> flat = ExpectedImage(rig.Camera().ExpectedRawFrame());
    ClientBuffer shortAgain(kImageBytes - 4);
    pin->HoldProcessing(true);
    ASSERT_EQ(pin->SubmitFrame(shortAgain.data(), shortAgain.size), STATUS_PENDING);
    ASSERT_TRUE(rig.Camera().WaitForFrameRequest(5s));
    rig.Camera().StepFrames(1);
    ASSERT_TRUE(Eventually([&] { return FramesRead() == 2; }));
    pin->HoldProcessing(false);
    frame = NextFrame();
    EXPECT_EQ(frame.data, shortAgain.data());
    EXPECT_EQ(frame.dataUsed, 0u);
    EXPECT_TRUE(shortAgain.Untouched());
    EXPECT_EQ(Picture(), PictureInImage);

    // ... from which the next whole frames are copied.
    for (int i = 0; i < 2; ++i) {
        ClientBuffer whole;
        frame = Deliver(whole);
        EXPECT_EQ(frame.dataUsed, kImageBytes);
        EXPECT_TRUE(HoldsBottomUp(whole.data(), flat)) << "delivery " << i;
        EXPECT_TRUE(whole.GuardIntact());
    }
    EXPECT_FALSE(HoldsBottomUp(first.data(), flat));
    EXPECT_TRUE(HoldsBottomUp(first.data(), expected));
}

// A frame width that is not a multiple of 8 is delivered cut to one: rows of
// the frame's width do not fit the client's, so the conversion goes through
// the RGB image and the copy takes each row's first 1600 pixels.
TEST_F(RepeatDeliveryTest, ACutWidthIsConvertedIntoTheImageAndCopiedRowByRow) {
    KsFilterAcquireControl(filter->Object());
    SetFrameGeometry(rig.Context(), 1604, 1200);
    OfferDeliveredGeometry(filter->Object());
    KsFilterReleaseControl(filter->Object());
    ASSERT_EQ(rig.Context()->outputWidth, 1600);

    std::vector<uint8_t> raw = rig.Camera().ExpectedRawFrame();
    ImagePipeline* reference = CreatePipeline();
    SetPipelineGeometry(reference, 1604, 1200);
    AllocateWorkingBuffer(reference);
    std::vector<uint8_t> wide(1604u * 1200 * 4);
    reference->outputBuffer = wide.data();
    ConvertFrameWithKernel(reference, raw.data(), RawDataOffset, RawLinePitch, ConversionKernelScalar);
    FreePipeline(reference);
    std::vector<uint8_t> expected(kImageBytes);
    for (size_t r = 0; r < 1200; ++r) std::memcpy(&expected[r * 1600 * 4], &wide[r * 1604 * 4], 1600 * 4);

    CreatePin();
    ClientBuffer buffer;
    RunAndStepOneFrame(buffer);
    hostks::CompletedFrame frame = NextFrame();
    EXPECT_EQ(frame.dataUsed, kImageBytes);
    EXPECT_TRUE(HoldsBottomUp(frame.data, expected));
    EXPECT_TRUE(buffer.GuardIntact());
    EXPECT_EQ(Picture(), PictureInImage);
    pin->Close();
    pin.reset();
    KsFilterAcquireControl(filter->Object());
    SetFrameGeometry(rig.Context(), 1600, 1200);
    KsFilterReleaseControl(filter->Object());
}

}  // namespace
}  // namespace streaming_test
