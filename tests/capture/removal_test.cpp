// The camera leaving while an application holds its filter and a running
// pin: the driver's Stop runs under the open pin, the pin keeps its state
// and queued frames until the application stops and closes it, the removal
// follows the last close, and the camera plugged in again streams anew.
#include "host/kernel/pool.h"
#include "host/kernel/threads.h"
#include "tests/capture/streaming_support.h"

namespace streaming_test {
namespace {

class RemovalTest : public StreamingTest {};

TEST_F(RemovalTest, UnpluggedMidStreamWithThePinHeldThenClosedThenReplugged) {
    CreatePin();
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ClientBuffer first;
    ASSERT_EQ(pin->SubmitFrame(first.data(), first.size), STATUS_PENDING);
    EXPECT_EQ(NextFrame().dataUsed, kImageBytes);

    // Pulled out: the USB device is gone, then Plug and Play learns of it.
    rig.Camera().Unplug();
    hostks::Unplug(rig.Pnp());
    EXPECT_TRUE(rig.Pnp().RemovalPending());
    EXPECT_EQ(rig.Pnp().OpenFilters(), 1u);
    ASSERT_NE(rig.Context(), nullptr);  // the device's records outlive the handles
    EXPECT_EQ(pin->State(), KSSTATE_RUN);
    std::unique_ptr<hostks::KsFilter> another;
    EXPECT_EQ(hostks::KsFilter::Open(rig.Pnp(), &another), STATUS_OBJECT_NAME_NOT_FOUND);

    // The application's frame waits in the queue (no frame can come) and is
    // handed back unused when it stops the pin; nothing hangs.
    ClientBuffer waiting;
    ASSERT_EQ(pin->SubmitFrame(waiting.data(), waiting.size), STATUS_PENDING);
    ASSERT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    hostks::CompletedFrame frame;
    bool back = false;
    while (pin->WaitForFrame(&frame, 100ms)) {
        if (frame.data != waiting.data()) continue;
        back = true;
        // Either the last image converted before the camera went, or unused.
        if (frame.status == STATUS_SUCCESS) EXPECT_EQ(frame.dataUsed, kImageBytes);
        else EXPECT_EQ(frame.status, STATUS_CANCELLED);
    }
    EXPECT_TRUE(back);
    EXPECT_EQ(hostk::LiveSystemThreads(), 0u);
    EXPECT_EQ(pin->Close(), STATUS_SUCCESS);
    EXPECT_TRUE(rig.Pnp().Added());  // a handle is still open
    EXPECT_EQ(filter->Close(), STATUS_SUCCESS);
    filter.reset();

    // The last close let the removal happen: everything the driver had is gone.
    EXPECT_FALSE(rig.Pnp().Added());
    EXPECT_EQ(hostk::PoolTotals().liveBlocks, 0u) << hostk::PoolLeakReport();

    // Plugged in again, the camera is a new device and streams.
    rig.Camera().Replug();
    rig.Plug();
    ASSERT_EQ(hostks::KsFilter::Open(rig.Pnp(), &filter), STATUS_SUCCESS);
    CreatePin();
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ClientBuffer again;
    ASSERT_EQ(pin->SubmitFrame(again.data(), again.size), STATUS_PENDING);
    frame = NextFrame();
    EXPECT_EQ(frame.dataUsed, kImageBytes);
    EXPECT_TRUE(HoldsBottomUp(frame.data, ExpectedImage(rig.Camera().ExpectedRawFrame())));
}

TEST_F(RemovalTest, ARemovalWithNoHandleOpenHappensAtOnceAndOneWithHandlesWaitsForTheLast) {
    // The fixture's filter is open: the remove waits for it.
    rig.Remove();
    EXPECT_TRUE(rig.Pnp().Added());
    EXPECT_TRUE(rig.Pnp().RemovalPending());
    EXPECT_EQ(filter->Close(), STATUS_SUCCESS);
    filter.reset();
    EXPECT_FALSE(rig.Pnp().Added());
    EXPECT_EQ(hostk::PoolTotals().liveBlocks, 0u) << hostk::PoolLeakReport();
}

TEST_F(RemovalTest, AStopForRebalanceUnderARunningPinThenAStartStreamsAgain) {
    CreatePin();
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ClientBuffer first;
    ASSERT_EQ(pin->SubmitFrame(first.data(), first.size), STATUS_PENDING);
    EXPECT_EQ(NextFrame().dataUsed, kImageBytes);
    // The driver has no QueryStop: the class lets the stop go ahead.
    EXPECT_EQ(rig.Pnp().QueryStop(), STATUS_SUCCESS);
    rig.Stop();
    EXPECT_EQ(pin->State(), KSSTATE_RUN);
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    // The application stops and starts its pin again, as after any error.
    ASSERT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ClientBuffer again;
    ASSERT_EQ(pin->SubmitFrame(again.data(), again.size), STATUS_PENDING);
    hostks::CompletedFrame frame;
    do {
        frame = NextFrame();
    } while (frame.data != again.data());
    EXPECT_EQ(frame.dataUsed, kImageBytes);
    EXPECT_TRUE(HoldsBottomUp(frame.data, ExpectedImage(rig.Camera().ExpectedRawFrame())));
}

}  // namespace
}  // namespace streaming_test
