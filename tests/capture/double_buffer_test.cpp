// The raw double buffer: the tie-breaks of the thread's choice and Process's
// pick, as a table, and end to end with the camera stepped frame by frame
// and processing held back, so each state is reached on purpose.
#include "tests/capture/streaming_support.h"

namespace streaming_test {
namespace {

TEST(DoubleBufferRules, ThreadChoiceAndProcessPickFollowTheTieBreaks) {
    struct Case {
        LONG state0, state1;
        ULONG fill;  // what the thread fills next
        LONG pick;   // what Process converts
    };
    const Case cases[] = {
        {BufferFree, BufferFree, 0, -1},
        {BufferFree, BufferReady, 0, 1},          // buffer 0 free, 1 ready: fill 0, convert 1
        {BufferReady, BufferFree, 1, 0},
        {BufferReady, BufferReady, 0, 0},         // both ready: refill 0 (its frame is lost)
        {BufferConverting, BufferReady, 1, 1},    // 0 being converted, 1 ready: refill 1
        {BufferReady, BufferConverting, 0, 0},
        {BufferConverting, BufferFree, 1, -1},
    };
    CaptureWorker worker{};
    for (const Case& c : cases) {
        worker.bufferState[0] = c.state0;
        worker.bufferState[1] = c.state1;
        EXPECT_EQ(ChooseBufferToFill(&worker), c.fill) << c.state0 << "," << c.state1;
        EXPECT_EQ(PickReadyBuffer(&worker), c.pick) << c.state0 << "," << c.state1;
    }
}

class DoubleBufferTest : public StreamingTest {
protected:
    // Lets one frame of `scene` start and waits until the thread has it.
    std::vector<uint8_t> StepFrame(const char* scene) {
        rig.Camera().SetScene(scene, nullptr);
        std::vector<uint8_t> image = ExpectedImage(rig.Camera().ExpectedRawFrame());
        LONG before = FramesRead();
        EXPECT_TRUE(rig.Camera().WaitForFrameRequest(5s));
        rig.Camera().StepFrames(1);
        EXPECT_TRUE(Eventually([&] { return FramesRead() == before + 1; }));
        // ... and has gone on to its next read.
        EXPECT_TRUE(rig.Camera().WaitForFrameRequest(5s));
        return image;
    }
    LONG State(int i) { return BufferState(i); }
};

TEST_F(DoubleBufferTest, NewestFrameWinsAndTheConverterTakesWhatIsReady) {
    HoldCamera();
    CreatePin();
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    pin->HoldProcessing(true);

    // Frame A into buffer 0, frame B into buffer 1; with both ready the
    // thread refills buffer 0, so A is lost.
    StepFrame("flat:40");
    EXPECT_EQ(State(0), BufferReady);
    EXPECT_EQ(State(1), BufferFilling);
    std::vector<uint8_t> b = StepFrame("flat:80");
    EXPECT_EQ(State(0), BufferFilling);
    EXPECT_EQ(State(1), BufferReady);

    // While buffer 0 fills, the converter takes buffer 1.
    ClientBuffer first;
    ASSERT_EQ(pin->SubmitFrame(first.data(), first.size), STATUS_PENDING);
    pin->HoldProcessing(false);
    hostks::CompletedFrame frame = NextFrame();
    EXPECT_TRUE(HoldsBottomUp(frame.data, b));
    ASSERT_TRUE(Eventually([&] { return State(1) == BufferFree; }));
    EXPECT_EQ(State(0), BufferFilling);

    // Buffer 0 ready again (frame C): the thread goes to the free buffer 1,
    // and the converter takes buffer 0.
    pin->HoldProcessing(true);
    std::vector<uint8_t> c = StepFrame("flat:120");
    EXPECT_EQ(State(0), BufferReady);
    EXPECT_EQ(State(1), BufferFilling);
    ClientBuffer second;
    ASSERT_EQ(pin->SubmitFrame(second.data(), second.size), STATUS_PENDING);
    pin->HoldProcessing(false);
    frame = NextFrame();
    EXPECT_TRUE(HoldsBottomUp(frame.data, c));
    ASSERT_TRUE(Eventually([&] { return State(0) == BufferFree; }));
    EXPECT_EQ(State(1), BufferFilling);
}

}  // namespace
}  // namespace streaming_test
