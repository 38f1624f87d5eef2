#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "sim/simulated_camera.h"
#include "tests/sim/sim_test_util.h"

using namespace simtest;
using sim::SimulatedCamera;
using namespace std::chrono_literals;

namespace {

class SimTiming : public ::testing::Test {
protected:
    void SetUp() override {
        Configure(cam);
        FreshCameraSettings(cam);
    }
    void EnterTriggerMode() {
        SendCommand(cam, Packet({0x28, 0x01}));
        SendCommand(cam, RegisterPacket(32, 11));
        SendCommand(cam, RegisterPacket(33, 12));
        ASSERT_TRUE(cam.TriggerMode());
    }
    SimulatedCamera cam;
};

TEST_F(SimTiming, TriggerModeWaitsForFireTrigger) {
    EnterTriggerMode();
    Transfers ts = PostFrameReads(cam, 2315264);
    ASSERT_TRUE(cam.WaitForFrameRequest(1s));
    EXPECT_FALSE(ts[0]->WaitDone(150ms));
    EXPECT_EQ(cam.Counters().framesStarted, 0u);
    cam.FireTrigger();
    for (auto& t : ts) ASSERT_TRUE(t->WaitDone());
    EXPECT_EQ(ts.back()->Transferred(), 21504u);
    EXPECT_TRUE(cam.WaitForFramesSent(1, 2s));

    // A trigger fired before the host asks is kept for the next frame.
    cam.FireTrigger();
    Transfers next = PostFrameReads(cam, 2315264);
    EXPECT_TRUE(next.back()->WaitDone());
}

TEST_F(SimTiming, TriggerWhileFreeRunningIsIgnored) {
    cam.FireTrigger();  // free running: no effect
    EnterTriggerMode();
    Transfers ts = PostFrameReads(cam, 2315264);
    EXPECT_FALSE(ts[0]->WaitDone(100ms));
    // Leaving trigger mode lets the waiting frame go.
    SendCommand(cam, Packet({0x28, 0x00}));
    EXPECT_TRUE(ts.back()->WaitDone());
}

TEST_F(SimTiming, HoldAndStepFrames) {
    cam.HoldFrames();
    Transfers a = PostFrameReads(cam, 2315264);
    ASSERT_TRUE(cam.WaitForFrameRequest(1s));
    EXPECT_FALSE(a[0]->WaitDone(100ms));
    cam.StepFrames(1);
    ASSERT_TRUE(a.back()->WaitDone());
    ASSERT_TRUE(cam.WaitForFramesSent(1, 2s));
    // Still held: the next frame waits for its own step.
    Transfers b = PostFrameReads(cam, 2315264);
    ASSERT_TRUE(cam.WaitForFrameRequest(1s));
    EXPECT_FALSE(b[0]->WaitDone(100ms));
    cam.ReleaseFrames();
    ASSERT_TRUE(b.back()->WaitDone());
    EXPECT_TRUE(cam.WaitForFramesSent(2, 2s));
}

TEST_F(SimTiming, SceneChangeBetweenHeldFramesIsDelivered) {
    cam.HoldFrames();
    cam.SetScene(sim::Scene::Flat(sim::Rgb{10, 10, 10}));
    Transfers a = PostFrameReads(cam, 2315264);
    cam.StepFrames(1);
    ASSERT_TRUE(a.back()->WaitDone());
    cam.SetScene(sim::Scene::Flat(sim::Rgb{200, 200, 200}));
    Transfers b = PostFrameReads(cam, 2315264);
    cam.StepFrames(1);
    ASSERT_TRUE(b.back()->WaitDone());
    EXPECT_EQ(a[0]->data[9921], 10);
    EXPECT_EQ(b[0]->data[9921], 200);
}

// Cancels race with delivery from the camera's thread: every transfer must
// complete exactly once, either whole or cancelled with nothing moved.
TEST_F(SimTiming, CancelRacingDeliveryCompletesEachTransferOnce) {
    for (int round = 0; round < 20; ++round) {
        Transfers ts = PostFrameReads(cam, 2315264);
        std::thread canceller([&] {
            for (size_t i = ts.size(); i-- > 0;) cam.CancelBulk(ts[i].get());
        });
        canceller.join();
        for (auto& t : ts) {
            ASSERT_TRUE(t->WaitDone());
            // A late cancel on a completed transfer changes nothing.
            cam.CancelBulk(t.get());
        }
        for (auto& t : ts) {
            EXPECT_EQ(t->Completions(), 1);
            if (t->Status() == hostusb::kUsbdSuccess) {
                EXPECT_EQ(t->Transferred(), t->length);
            } else {
                EXPECT_EQ(t->Status(), hostusb::kUsbdCanceled);
                EXPECT_EQ(t->Transferred(), 0u);
            }
        }
        EXPECT_EQ(cam.PendingTransfers(0x82), 0u);
    }
}

// A completion routine that submits and cancels from inside Complete, as
// the host's routines may: the camera must not hold its lock there.
class ReentrantTransfer : public hostusb::BulkTransfer {
public:
    ReentrantTransfer(SimulatedCamera& cam, TestTransfer* next) : cam_(cam), next_(next), data_(65536) {
        endpoint = 0x82;
        length = 65536;
        buffer = data_.data();
    }
    void Complete(uint32_t status, uint32_t actual) override {
        completions.fetch_add(1);
        cam_.SubmitBulk(next_);
        cam_.CancelBulk(next_);
    }
    std::atomic<int> completions{0};

private:
    SimulatedCamera& cam_;
    TestTransfer* next_;
    std::vector<uint8_t> data_;
};

TEST_F(SimTiming, CompletionMayCallBackIntoTheCamera) {
    TestTransfer follow(0x82, 65536);
    ReentrantTransfer first(cam, &follow);
    SendCommand(cam, Packet({0x02}));
    cam.SubmitBulk(&first);
    SendCommand(cam, Packet({0x03}));
    ASSERT_TRUE(follow.WaitDone());
    EXPECT_EQ(first.completions.load(), 1);
    EXPECT_EQ(follow.Completions(), 1);
}

TEST_F(SimTiming, DestroyingTheCameraReturnsPendingTransfers) {
    TestTransfer chunk(0x82, 64), reply(0x81, 64);
    {
        SimulatedCamera local;
        local.SetConfiguration(1);
        local.SubmitBulk(&chunk);
        local.SubmitBulk(&reply);
    }
    EXPECT_EQ(chunk.Status(), hostusb::kUsbdCanceled);
    EXPECT_EQ(reply.Status(), hostusb::kUsbdCanceled);
}

}  // namespace
