#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "sim/simulated_camera.h"
#include "tests/sim/sim_test_util.h"

using namespace simtest;
using sim::SimulatedCamera;
using namespace std::chrono_literals;

namespace {

class SimFaults : public ::testing::Test {
protected:
    void SetUp() override {
        Configure(cam);
        FreshCameraSettings(cam);
        cam.ClearTrace();
    }
    SimulatedCamera cam;
};

TEST_F(SimFaults, UnplugFailsEverythingAndCompletesPending) {
    TestTransfer reply(0x81, 64);
    cam.SubmitBulk(&reply);
    TestTransfer chunk(0x82, 65536);
    cam.SubmitBulk(&chunk);
    cam.Unplug();
    EXPECT_EQ(reply.Completions(), 1);
    EXPECT_EQ(reply.Status(), hostusb::kUsbdDeviceGone);
    EXPECT_EQ(chunk.Status(), hostusb::kUsbdDeviceGone);
    EXPECT_EQ(chunk.Transferred(), 0u);

    EXPECT_EQ(SendCommand(cam, Packet({0x06})), hostusb::kUsbdDeviceGone);
    uint8_t buf[18];
    uint32_t moved = 7;
    hostusb::SetupPacket s{0x80, 6, 0x0100, 0, 18};
    EXPECT_EQ(cam.ControlTransfer(s, buf, &moved), hostusb::kUsbdDeviceGone);
    EXPECT_EQ(moved, 0u);
    EXPECT_EQ(cam.SetConfiguration(0), hostusb::kUsbdDeviceGone);
    EXPECT_EQ(cam.ResetPipe(0x82), hostusb::kUsbdDeviceGone);
    uint32_t bits = 0xFF;
    EXPECT_EQ(cam.GetPortStatus(&bits), hostusb::kUsbdDeviceGone);
    EXPECT_EQ(bits & hostusb::kPortConnected, 0u);
    // A device that is gone sees nothing: the trace stays as it was.
    EXPECT_TRUE(cam.TraceLines().empty());

    cam.Replug();
    EXPECT_TRUE(cam.Plugged());
    EXPECT_FALSE(cam.Configured());
    EXPECT_EQ(cam.SensorRegister(6), 0u);  // powered up afresh
    EXPECT_EQ(cam.ControlTransfer(s, buf, &moved), hostusb::kUsbdSuccess);
}

TEST_F(SimFaults, UnplugAfterRequests) {
    cam.UnplugAfterRequests(2);
    EXPECT_EQ(SendCommand(cam, Packet({0x06})), hostusb::kUsbdSuccess);
    EXPECT_EQ(SendCommand(cam, RegisterPacket(35, 63)), hostusb::kUsbdSuccess);
    EXPECT_TRUE(cam.Plugged());
    EXPECT_EQ(SendCommand(cam, RegisterPacket(36, 7)), hostusb::kUsbdDeviceGone);
    EXPECT_FALSE(cam.Plugged());
    EXPECT_EQ(cam.SensorRegister(35), 63u);
    EXPECT_EQ(cam.SensorRegister(36), 0u);
    EXPECT_EQ(cam.TraceLines().size(), 2u);
}

TEST_F(SimFaults, StalledPipeUntilReset) {
    TestTransfer pending(0x82, 64);
    cam.SubmitBulk(&pending);
    cam.StallPipe(0x82);
    EXPECT_EQ(pending.Status(), hostusb::kUsbdStallPid);
    TestTransfer again(0x82, 64);
    cam.SubmitBulk(&again);
    EXPECT_EQ(again.Status(), hostusb::kUsbdStallPid);
    // Other pipes are unaffected.
    EXPECT_EQ(SendCommand(cam, Packet({0x06})), hostusb::kUsbdSuccess);
    EXPECT_EQ(cam.ResetPipe(0x82), hostusb::kUsbdSuccess);
    TestTransfer after(0x82, 64);
    cam.SubmitBulk(&after);
    EXPECT_EQ(after.Completions(), 0);  // pending as usual
    cam.CancelBulk(&after);
    EXPECT_EQ(after.Status(), hostusb::kUsbdCanceled);

    cam.StallPipe(0x01);
    EXPECT_EQ(SendCommand(cam, Packet({0x06})), hostusb::kUsbdStallPid);
    cam.ResetPipe(0x01);
    EXPECT_EQ(SendCommand(cam, Packet({0x06})), hostusb::kUsbdSuccess);

    std::vector<std::string> t = cam.TraceLines();
    EXPECT_EQ(t[0], "BULK_IN 2 64 0");
    EXPECT_EQ(t[1], "BULK_IN 2 64 0");
    EXPECT_EQ(t[3], "RESET_PIPE 2");
    EXPECT_EQ(t[4], "BULK_IN 2 64 0");
    EXPECT_EQ(t[6], "RESET_PIPE 0");
}

TEST_F(SimFaults, DroppedAndShortenedReplies) {
    cam.SetReplyFault(sim::ReplyFault::kDropBoth);
    SendCommand(cam, Packet({0x29}));
    TestTransfer a(0x81, 64);
    cam.SubmitBulk(&a);
    EXPECT_EQ(a.Completions(), 0);
    cam.CancelBulk(&a);

    cam.SetReplyFault(sim::ReplyFault::kDropSecond);
    SendCommand(cam, Packet({0x29}));
    TestTransfer b(0x81, 64), c(0x81, 64);
    cam.SubmitBulk(&b);
    cam.SubmitBulk(&c);
    EXPECT_EQ(b.Transferred(), 64u);
    EXPECT_EQ(c.Completions(), 0);
    cam.CancelBulk(&c);

    cam.SetReplyFault(sim::ReplyFault::kShorten, 1, 10, 1);
    SendCommand(cam, Packet({0x29}));
    TestTransfer d(0x81, 64), e(0x81, 64);
    cam.SubmitBulk(&d);
    cam.SubmitBulk(&e);
    EXPECT_EQ(d.Transferred(), 64u);
    EXPECT_EQ(e.Status(), hostusb::kUsbdSuccess);
    EXPECT_EQ(e.Transferred(), 10u);

    // One-shot: the next query is whole again.
    SendCommand(cam, Packet({0x29}));
    TestTransfer f(0x81, 64), g(0x81, 64);
    cam.SubmitBulk(&f);
    cam.SubmitBulk(&g);
    EXPECT_EQ(g.Transferred(), 64u);
}

TEST_F(SimFaults, FailedChunkMovesNothingAndKeepsTheRestInPlace) {
    cam.FailFrameChunk(3);
    Transfers ts = PostFrameReads(cam, 2315264);
    for (auto& t : ts) ASSERT_TRUE(t->WaitDone());
    EXPECT_EQ(ts[3]->Status(), hostusb::kUsbdDevNotResponding);
    EXPECT_EQ(ts[3]->Transferred(), 0u);
    EXPECT_EQ(ts[3]->data[0], 0xCC);  // untouched
    const std::vector<uint8_t> expected = cam.ExpectedRawFrame();
    EXPECT_EQ(ts[4]->Transferred(), 65536u);
    EXPECT_TRUE(std::equal(ts[4]->data.begin(), ts[4]->data.end(), expected.begin() + 4 * 65536));
    ASSERT_TRUE(cam.WaitForFramesSent(1, 5s));
    EXPECT_EQ(cam.Counters().frameChunksFailed, 1u);
    EXPECT_EQ(cam.Counters().frameBytesSent, 2315264u - 65536u);

    // Only the next frame was affected.
    Transfers next = PostFrameReads(cam, 2315264);
    for (auto& t : next) {
        ASSERT_TRUE(t->WaitDone());
        EXPECT_EQ(t->Status(), hostusb::kUsbdSuccess);
    }
}

TEST_F(SimFaults, SendNothing) {
    cam.SetSendNothing(true);
    Transfers ts = PostFrameReads(cam, 2315264);
    EXPECT_FALSE(ts[0]->WaitDone(150ms));
    for (auto& t : ts) cam.CancelBulk(t.get());
    for (auto& t : ts) {
        EXPECT_EQ(t->Completions(), 1);
        EXPECT_EQ(t->Status(), hostusb::kUsbdCanceled);
    }
    EXPECT_EQ(cam.Counters().framesStarted, 0u);
    cam.SetSendNothing(false);
    Transfers again = PostFrameReads(cam, 2315264);
    EXPECT_TRUE(again.back()->WaitDone());
}

TEST_F(SimFaults, RejectedCommands) {
    cam.RejectCommands(true);
    uint32_t moved = 99;
    EXPECT_EQ(SendCommand(cam, RegisterPacket(158, 5), &moved), hostusb::kUsbdStallPid);
    EXPECT_EQ(moved, 0u);
    EXPECT_EQ(cam.SensorRegister(158), 2u);
    cam.RejectCommands(true, 0, 32);
    EXPECT_EQ(SendCommand(cam, RegisterPacket(158, 5), &moved), hostusb::kUsbdSuccess);
    EXPECT_EQ(moved, 32u);
    EXPECT_EQ(cam.SensorRegister(158), 2u);
    cam.RejectCommands(false);
    EXPECT_EQ(SendCommand(cam, RegisterPacket(158, 5), &moved), hostusb::kUsbdSuccess);
    EXPECT_EQ(cam.SensorRegister(158), 5u);
    // Every attempt reached the device and is traced.
    EXPECT_EQ(cam.TraceLines().size(), 3u);
}

TEST_F(SimFaults, HungRequestsCompleteOnlyOnCancel) {
    cam.HangNextRequests(2);
    TestTransfer out(0x01, 64);
    out.data.assign(64, 0);
    out.data[0] = 0x06;
    cam.SubmitBulk(&out);
    TestTransfer in(0x81, 64);
    cam.SubmitBulk(&in);
    EXPECT_FALSE(out.WaitDone(100ms));
    EXPECT_EQ(in.Completions(), 0);
    EXPECT_FALSE(cam.StartupReceived());  // a hung command is not carried out
    EXPECT_EQ(cam.PendingTransfers(0x81), 1u);
    cam.CancelBulk(&out);
    cam.CancelBulk(&in);
    EXPECT_EQ(out.Status(), hostusb::kUsbdCanceled);
    EXPECT_EQ(out.Completions(), 1);
    EXPECT_EQ(in.Status(), hostusb::kUsbdCanceled);
    // The third request is answered as usual.
    EXPECT_EQ(SendCommand(cam, Packet({0x29})), hostusb::kUsbdSuccess);
    TestTransfer r(0x81, 64);
    cam.SubmitBulk(&r);
    EXPECT_EQ(r.Transferred(), 64u);
    EXPECT_EQ(r.data[0], 0x29);
    std::vector<std::string> t = cam.TraceLines();
    ASSERT_EQ(t.size(), 4u);
    EXPECT_EQ(t[0].substr(0, 17), "BULK_OUT 0 64 060");
    EXPECT_EQ(t[1], "BULK_IN 1 64 0");  // the cancelled read
}

TEST_F(SimFaults, DeconfigureCancelsPending) {
    TestTransfer chunk(0x82, 65536);
    cam.SubmitBulk(&chunk);
    cam.SetConfiguration(0);
    EXPECT_EQ(chunk.Status(), hostusb::kUsbdCanceled);
    TestTransfer late(0x82, 65536);
    cam.SubmitBulk(&late);
    EXPECT_EQ(late.Status(), hostusb::kUsbdRequestFailed);
}

TEST_F(SimFaults, ClearFaults) {
    cam.SetSendNothing(true);
    cam.RejectCommands(true);
    cam.StallPipe(0x81);
    cam.ClearFaults();
    EXPECT_EQ(SendCommand(cam, Packet({0x29})), hostusb::kUsbdSuccess);
    TestTransfer r(0x81, 64);
    cam.SubmitBulk(&r);
    EXPECT_EQ(r.Transferred(), 64u);
    EXPECT_FALSE(cam.Faults().sendNothing);
}

}  // namespace

namespace {

TEST_F(SimFaults, UnplugAfterFramesSendsThemWholeThenGoes) {
    cam.SetFrameRate(0);
    cam.UnplugAfterFrames(2);
    const uint32_t size = cam.RawFrameSize();
    for (int frame = 0; frame < 2; ++frame) {
        Transfers reads = PostFrameReads(cam, size);
        ASSERT_TRUE(cam.WaitForFramesSent(frame + 1, 5s));
        for (const auto& t : reads) EXPECT_EQ(t->Status(), hostusb::kUsbdSuccess);
    }
    EXPECT_FALSE(cam.Plugged());
    EXPECT_EQ(cam.Counters().framesSent, 2u);
    EXPECT_EQ(SendCommand(cam, Packet({0x02})), hostusb::kUsbdDeviceGone);
    EXPECT_EQ(cam.Faults().unplugAfterFrames, -1);
}

}  // namespace
