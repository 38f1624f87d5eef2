// The wire that rewrites what the camera sends: each IN transfer gets the
// answer its script chose, OUT traffic passes, and nothing a transfer is
// given ever lies past its length.
#include <gtest/gtest.h>

#include <deque>

#include "sim/rewriting_wire.h"
#include "sim/simulated_camera.h"
#include "tests/sim/sim_test_util.h"

using namespace simtest;
using sim::InAnswer;

namespace {

InAnswer Answer(InAnswer::Kind kind, uint32_t status, uint32_t length, std::vector<uint8_t> bytes = {}) {
    InAnswer a;
    a.kind = kind;
    a.status = status;
    a.length = length;
    a.bytes = std::move(bytes);
    return a;
}

class RewritingWireTest : public ::testing::Test {
protected:
    void SetUp() override { Configure(camera); }

    // The answers for the next IN transfers, in order; then the camera's own.
    std::deque<InAnswer> script;
    std::vector<uint8_t> endpointsAsked;
    sim::SimulatedCamera camera;
    sim::RewritingWire wire{&camera, [this](uint8_t endpoint, uint32_t) {
                                endpointsAsked.push_back(endpoint);
                                if (script.empty()) return InAnswer{};
                                InAnswer next = script.front();
                                script.pop_front();
                                return next;
                            }};

    void QueryStatus() { ASSERT_EQ(SendCommand(camera, Packet({0x29})), hostusb::kUsbdSuccess); }
};

TEST_F(RewritingWireTest, ARewrittenReplyCarriesTheScriptsStatusLengthAndBytesAndTheNextPasses) {
    script.push_back(Answer(InAnswer::Kind::kRewrite, hostusb::kUsbdSuccess, 10, {0xAB, 0xCD}));
    QueryStatus();
    TestTransfer first(0x81, 64), second(0x81, 64);
    wire.SubmitBulk(&first);
    wire.SubmitBulk(&second);
    ASSERT_TRUE(first.WaitDone());
    ASSERT_TRUE(second.WaitDone());
    EXPECT_EQ(first.Status(), hostusb::kUsbdSuccess);
    EXPECT_EQ(first.Transferred(), 10u);
    EXPECT_EQ(first.data[0], 0xAB);
    EXPECT_EQ(first.data[9], 0xCD);
    // The camera's second packet, untouched: byte 3 is the 0x28 switch (off).
    EXPECT_EQ(second.Transferred(), 64u);
    EXPECT_EQ(second.data[3], 0);
    // OUT transfers are not offered to the script.
    EXPECT_EQ(endpointsAsked, (std::vector<uint8_t>{0x81, 0x81}));
}

TEST_F(RewritingWireTest, AnAnswerOnTheWireComesAtOnceAndLeavesTheCamerasReplyForTheNextRead) {
    script.push_back(Answer(InAnswer::Kind::kAnswerNow, hostusb::kUsbdSuccess, 64, {0x77}));
    TestTransfer early(0x81, 64);
    wire.SubmitBulk(&early);  // no query sent: the camera has nothing to say
    EXPECT_EQ(early.Completions(), 1);
    EXPECT_EQ(early.Transferred(), 64u);
    EXPECT_EQ(early.data[63], 0x77);

    QueryStatus();
    TestTransfer next(0x81, 64);
    wire.SubmitBulk(&next);
    ASSERT_TRUE(next.WaitDone());
    EXPECT_EQ(next.data[0], 0x29);  // the camera's own first packet
}

TEST_F(RewritingWireTest, AnswersLongerThanTheTransferAreCutToItAndReportBabble) {
    script.push_back(Answer(InAnswer::Kind::kAnswerNow, hostusb::kUsbdSuccess, 100, {0x11}));
    TestTransfer t(0x81, 80);
    t.length = 64;  // the last 16 bytes are not the transfer's
    wire.SubmitBulk(&t);
    EXPECT_EQ(t.Status(), sim::kUsbdBabbleDetected);
    EXPECT_EQ(t.Transferred(), 64u);
    EXPECT_EQ(t.data[63], 0x11);
    EXPECT_EQ(std::vector<uint8_t>(t.data.begin() + 64, t.data.end()), std::vector<uint8_t>(16, 0xCC));
}

TEST_F(RewritingWireTest, ANeverAnsweredTransferEndsOnlyWhenCancelledOrWhenTheWireGoes) {
    script.push_back(Answer(InAnswer::Kind::kNever, 0, 0));
    QueryStatus();  // the camera has a reply, but the wire never delivers it
    TestTransfer cancelled(0x81, 64);
    wire.SubmitBulk(&cancelled);
    EXPECT_FALSE(cancelled.WaitDone(std::chrono::milliseconds(50)));
    wire.CancelBulk(&cancelled);
    EXPECT_EQ(cancelled.Completions(), 1);
    EXPECT_EQ(cancelled.Status(), hostusb::kUsbdCanceled);
    EXPECT_EQ(cancelled.Transferred(), 0u);

    TestTransfer held(0x82, 512);
    {
        sim::RewritingWire shortLived(&camera, [](uint8_t, uint32_t) { return Answer(InAnswer::Kind::kNever, 0, 0); });
        shortLived.SubmitBulk(&held);
        EXPECT_EQ(held.Completions(), 0);
    }
    EXPECT_EQ(held.Completions(), 1);
    EXPECT_EQ(held.Status(), hostusb::kUsbdCanceled);
}

TEST_F(RewritingWireTest, AShortFrameChunkKeepsTheCamerasBytesUpToItsLength) {
    FreshCameraSettings(camera);
    const std::vector<uint8_t> expected = camera.ExpectedRawFrame();
    script.push_back(Answer(InAnswer::Kind::kRewrite, hostusb::kUsbdSuccess, 100));
    SendCommand(camera, Packet({0x02}));
    TestTransfer chunk(0x82, 65536), rest(0x82, 65536);
    wire.SubmitBulk(&chunk);
    wire.SubmitBulk(&rest);
    SendCommand(camera, Packet({0x03}));
    ASSERT_TRUE(chunk.WaitDone());
    ASSERT_TRUE(rest.WaitDone());
    EXPECT_EQ(chunk.Transferred(), 100u);
    EXPECT_TRUE(std::equal(chunk.data.begin(), chunk.data.begin() + 100, expected.begin()));
    // The camera sent the whole first chunk; the next one carries what follows.
    EXPECT_EQ(rest.Transferred(), 65536u);
    EXPECT_TRUE(std::equal(rest.data.begin(), rest.data.end(), expected.begin() + 65536));
    wire.CancelBulk(&chunk);  // long done: nothing happens
    EXPECT_EQ(chunk.Completions(), 1);
}

TEST_F(RewritingWireTest, ACancelledTransferStaysCancelledWhateverItsScript) {
    script.push_back(Answer(InAnswer::Kind::kRewrite, hostusb::kUsbdSuccess, 64, {0x55}));
    TestTransfer t(0x81, 64);
    wire.SubmitBulk(&t);  // no reply queued: the camera holds it
    EXPECT_EQ(camera.PendingTransfers(0x81), 1u);
    wire.CancelBulk(&t);
    ASSERT_TRUE(t.WaitDone());
    EXPECT_EQ(t.Status(), hostusb::kUsbdCanceled);
    EXPECT_EQ(t.Transferred(), 0u);
    EXPECT_EQ(t.data[0], 0xCC);
}

}  // namespace
