#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "sim/frame_renderer.h"
#include "sim/simulated_camera.h"
#include "tests/sim/sim_test_util.h"

using namespace simtest;
using sim::SimulatedCamera;

namespace {

// Posts the reads for one frame and, unless told not to, waits for all of them.
Transfers ReadFrame(SimulatedCamera& cam, uint32_t size, bool wait = true) {
    Transfers ts = PostFrameReads(cam, size);
    if (wait) {
        for (auto& t : ts) EXPECT_TRUE(t->WaitDone());
    }
    return ts;
}

std::vector<uint8_t> Joined(const Transfers& ts) {
    std::vector<uint8_t> all;
    for (const auto& t : ts) all.insert(all.end(), t->data.begin(), t->data.begin() + t->Transferred());
    return all;
}

class SimStreaming : public ::testing::Test {
protected:
    void SetUp() override {
        Configure(cam);
        FreshCameraSettings(cam);
    }
    SimulatedCamera cam;
};

TEST(SimFrameGeometry, SizesAndLines) {
    EXPECT_EQ(sim::RawFrameSizeForLines(1200), 2315264u);
    EXPECT_EQ(sim::RawFrameSizeForLines(480), 932864u);
    EXPECT_EQ(sim::LinesInRawFrame(2315264), 1200u);
    EXPECT_EQ(sim::LinesInRawFrame(932864), 480u);
    EXPECT_EQ(sim::LinesInRawFrame(5000000), 1200u);
    EXPECT_EQ(sim::LinesInRawFrame(9913), 0u);
    EXPECT_EQ(sim::LinesInRawFrame(100), 0u);
}

TEST_F(SimStreaming, FullFrameIn36Transfers) {
    Transfers ts = ReadFrame(cam, 2315264);
    ASSERT_EQ(ts.size(), 36u);
    for (size_t i = 0; i < 35; ++i) {
        EXPECT_EQ(ts[i]->Status(), hostusb::kUsbdSuccess);
        EXPECT_EQ(ts[i]->Transferred(), 65536u) << i;
    }
    EXPECT_EQ(ts[35]->Transferred(), 21504u);
    ASSERT_TRUE(cam.WaitForFramesSent(1, std::chrono::seconds(5)));

    const std::vector<uint8_t> frame = Joined(ts);
    ASSERT_EQ(frame.size(), 2315264u);
    EXPECT_EQ(frame, cam.ExpectedRawFrame());
    EXPECT_EQ(frame, *cam.LastFrame());

    // Layout: padding before line 0 and after each line's 1600 samples.
    EXPECT_EQ(frame[0], sim::kRawPadByte);
    EXPECT_EQ(frame[9920], sim::kRawPadByte);
    EXPECT_EQ(frame[9921 + 1600], sim::kRawPadByte);
    EXPECT_EQ(frame[9921 + 1920], sim::kRawPadByte);
    EXPECT_EQ(frame.back(), sim::kRawPadByte);

    // GRBG from the first sample, at the fresh camera's brightness (1.0) the
    // samples are the chart's own channel values.
    const sim::PatchRect r = sim::ChartPatchRect(14);  // red-ish patch
    const sim::Rgb c = sim::ChartPatchColor(14);
    const int x = r.x + 11, y = r.y + 11;  // even, even (the grid starts at odd 75, 125)
    ASSERT_EQ(x % 2, 0);
    ASSERT_EQ(y % 2, 0);
    auto at = [&](int px, int py) { return frame[9921 + static_cast<size_t>(py) * 1921 + px]; };
    EXPECT_EQ(at(x, y), c.g);
    EXPECT_EQ(at(x + 1, y), c.r);
    EXPECT_EQ(at(x, y + 1), c.b);
    EXPECT_EQ(at(x + 1, y + 1), c.g);
    // Background, line 1199.
    EXPECT_EQ(at(0, 1199), sim::kChartBackground);

    EXPECT_EQ(cam.Counters().framesSent, 1u);
    EXPECT_EQ(cam.Counters().frameBytesSent, 2315264u);
    std::vector<std::string> t = cam.TraceLines();
    EXPECT_EQ(t.back(), "BULK_IN 2 21504 21504");
}

TEST_F(SimStreaming, FrameOf480Lines) {
    SendCommand(cam, Packet({0x09, 0x00, 0x3C, 0x0E, 0x00}));
    cam.SetScene(sim::Scene::Gradient());
    Transfers ts = ReadFrame(cam, 932864);
    ASSERT_EQ(ts.size(), 15u);
    EXPECT_EQ(ts[14]->Transferred(), 932864u - 14 * 65536u);
    const std::vector<uint8_t> frame = Joined(ts);
    ASSERT_EQ(frame.size(), 932864u);
    EXPECT_EQ(frame, cam.ExpectedRawFrame());
    // Gradient: left edge 0, right edge 255 on every line, line 479 the last.
    const size_t line479 = 9921 + 479 * 1921;
    EXPECT_EQ(frame[line479], 0);
    EXPECT_EQ(frame[line479 + 1599], 255);
    EXPECT_EQ(frame[line479 + 1600], sim::kRawPadByte);
    EXPECT_EQ(cam.ExpectedImage().size(), 480u * 1600u);
}

TEST_F(SimStreaming, NoFrameWithoutCommand03) {
    SendCommand(cam, Packet({0x02}));
    TestTransfer t(0x82, 65536);
    cam.SubmitBulk(&t);
    EXPECT_FALSE(t.WaitDone(std::chrono::milliseconds(100)));
    // Command03 asks for the frame: the pending read gets its start.
    SendCommand(cam, Packet({0x03}));
    ASSERT_TRUE(t.WaitDone());
    EXPECT_EQ(t.Transferred(), 65536u);
    EXPECT_EQ(t.data[0], sim::kRawPadByte);
    // The rest of the frame goes into reads that come later.
    TestTransfer u(0x82, 65536);
    cam.SubmitBulk(&u);
    ASSERT_TRUE(u.WaitDone());
    std::vector<uint8_t> expected = cam.ExpectedRawFrame();
    EXPECT_TRUE(std::equal(u.data.begin(), u.data.end(), expected.begin() + 65536));
    // A new Command02 drops what is left; the next frame begins at byte 0.
    SendCommand(cam, Packet({0x02}));
    EXPECT_EQ(cam.Counters().framesAbandoned, 1u);
    TestTransfer v(0x82, 65536);
    cam.SubmitBulk(&v);
    SendCommand(cam, Packet({0x03}));
    ASSERT_TRUE(v.WaitDone());
    EXPECT_TRUE(std::equal(v.data.begin(), v.data.end(), expected.begin()));
}

TEST_F(SimStreaming, ExposureAndGainBrightenMonotonically) {
    cam.SetScene(sim::Scene::Flat(sim::Rgb{60, 60, 60}));
    EXPECT_EQ(cam.ExpectedImage()[0], 60);  // fresh camera: the scene's own level
    int previous = 0;
    for (uint32_t e : {2u, 3u, 10u, 40u, 100u, 1252u}) {
        SendCommand(cam, RegisterPacket(158, e & 0x3F));
        SendCommand(cam, RegisterPacket(159, (e >> 6) & 0x3F));
        ASSERT_EQ(cam.Exposure(), e);
        const int v = cam.ExpectedImage()[0];
        EXPECT_GT(v, previous) << "exposure " << e;
        previous = v;
    }
    EXPECT_EQ(previous, 255);
    FreshCameraSettings(cam);
    previous = 0;
    for (uint32_t g : {0u, 50u, 100u, 300u, 1023u}) {
        SendCommand(cam, RegisterPacket(6, g & 0x3F));
        SendCommand(cam, RegisterPacket(7, (g >> 6) & 0x0F));
        ASSERT_EQ(cam.GlobalGain(), g);
        const int v = cam.ExpectedImage()[0];
        EXPECT_GT(v, previous) << "gain " << g;
        previous = v;
    }
    // The delivered frame follows the registers too.
    Transfers ts = ReadFrame(cam, 2315264);
    EXPECT_EQ(Joined(ts)[9921], cam.ExpectedImage()[0]);
    EXPECT_EQ(Joined(ts)[9921], 255);
}

TEST(SimBrightness, ModelValues) {
    EXPECT_EQ(sim::BrightnessFactorQ16(2, 100), 65536u);
    EXPECT_EQ(sim::BrightnessFactorQ16(34, 100), 131072u);  // (34 + 30) / 32 = 2
    EXPECT_EQ(sim::BrightnessFactorQ16(2, 356), 131072u);   // (356 + 156) / 256 = 2
    EXPECT_LT(sim::BrightnessFactorQ16(2, 0), 65536u);
}

TEST_F(SimStreaming, NoiseIsDeterministicAndOffByDefault) {
    cam.SetScene(sim::Scene::Flat(sim::Rgb{100, 100, 100}));
    std::vector<uint8_t> clean = cam.ExpectedImage();
    for (uint8_t v : clean) ASSERT_EQ(v, 100);
    cam.SetNoise(4);
    std::vector<uint8_t> noisy = cam.ExpectedImage();
    EXPECT_EQ(noisy, cam.ExpectedImage());
    int differing = 0;
    for (size_t i = 0; i < noisy.size(); ++i) {
        ASSERT_GE(noisy[i], 96);
        ASSERT_LE(noisy[i], 104);
        differing += noisy[i] != 100;
    }
    EXPECT_GT(differing, static_cast<int>(noisy.size() / 2));
}

// Reads the frame number the camera stamped into line 0.
uint64_t StampedNumber(const std::vector<uint8_t>& frame) {
    uint64_t number = 0;
    for (int k = 0; k < sim::kFrameStampSamples; ++k) {
        uint8_t sample = frame[sim::kRawDataOffset + k];
        EXPECT_TRUE(sample == sim::kFrameStampOne || sample == sim::kFrameStampZero) << k;
        if (sample == sim::kFrameStampOne) number |= uint64_t{1} << k;
    }
    return number;
}

TEST_F(SimStreaming, StampedFramesCarryTheirNumberAndNothingElseChanges) {
    SendCommand(cam, Packet({0x09, 0x00, 0x00, 0x02, 0x00}));  // 131072 bytes
    cam.SetFrameStamp(true);
    const std::vector<uint8_t> expected = cam.ExpectedRawFrame();
    for (uint64_t n = 1; n <= 3; ++n) {
        // Transfers of 9930 bytes split the stamp between the first two.
        Transfers ts = PostFrameReads(cam, 131072, 9930);
        for (auto& t : ts) ASSERT_TRUE(t->WaitDone());
        std::vector<uint8_t> frame = Joined(ts);
        ASSERT_EQ(frame.size(), expected.size());
        EXPECT_EQ(StampedNumber(frame), n);
        std::copy_n(expected.begin() + sim::kRawDataOffset, sim::kFrameStampSamples,
                    frame.begin() + sim::kRawDataOffset);
        EXPECT_EQ(frame, expected) << "frame " << n;
    }
    cam.SetFrameStamp(false);
    EXPECT_EQ(Joined(ReadFrame(cam, 131072)), expected);
}

TEST_F(SimStreaming, FramesArePacedAtTheFrameRate) {
    cam.SetFrameRate(20);  // 50 ms apart
    SendCommand(cam, Packet({0x09, 0x00, 0x00, 0x02, 0x00}));  // 131072 bytes, 63 lines
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 3; ++i) ReadFrame(cam, 65536 * 2);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    // Three frames: the second and third each wait 50 ms after the one before.
    EXPECT_GE(elapsed, std::chrono::milliseconds(95));
    EXPECT_TRUE(cam.WaitForFramesSent(3, std::chrono::seconds(5)));
}

TEST_F(SimStreaming, TraceCanLeaveOutFramePipeAndCap) {
    sim::TraceOptions o;
    o.recordFramePipe = false;
    cam.SetTraceOptions(o);
    cam.ClearTrace();
    ReadFrame(cam, 2315264);
    std::vector<std::string> t = cam.TraceLines();
    ASSERT_EQ(t.size(), 3u);  // 02, 02, 03
    for (const std::string& line : t) EXPECT_EQ(line.rfind("BULK_OUT 0 64 0", 0), 0u) << line;
    o.recordFramePipe = true;
    o.maxLines = 10;
    cam.SetTraceOptions(o);
    cam.ClearTrace();
    ReadFrame(cam, 2315264);
    EXPECT_EQ(cam.TraceLines().size(), 10u);
    EXPECT_EQ(cam.TraceDroppedLines(), 39u - 10u);
}

}  // namespace
