// The frame-number scene: each frame's number drawn on the chart, and read
// back from a picture by sampling the segments.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "sim/scene.h"
#include "sim/simulated_camera.h"

namespace {

long ReadScene(const sim::Scene& scene) {
    return sim::ReadCounter([&](int x, int y) {
        const sim::Rgb c = scene.At(x, y);
        return (c.r + c.g + c.b) / 3;
    });
}

TEST(CounterScene, EachFrameShowsItsNumberOnTheChart) {
    std::string error;
    std::shared_ptr<const sim::Scene> counter = sim::Scene::Parse("counter", &error);
    ASSERT_TRUE(counter) << error;
    EXPECT_TRUE(counter->ShowsFrameNumber());
    for (uint64_t number : {0ull, 1ull, 7ull, 42ull, 123456ull, 987650ull}) {
        auto picture = sim::PictureOfFrame(counter, number);
        EXPECT_EQ(ReadScene(*picture), static_cast<long>(number)) << number;
    }
    // Six digits: the count goes round after 999999.
    EXPECT_EQ(ReadScene(*sim::PictureOfFrame(counter, 1000042)), 42);

    // Around the panel the chart is untouched: its corner patches and the
    // background between them.
    auto picture = sim::PictureOfFrame(counter, 888888);
    const std::shared_ptr<const sim::Scene> chartScene = sim::Scene::TestChart();
    const sim::Scene& chart = *chartScene;
    for (int patch : {0, 5, 18, 23}) {
        const sim::PatchRect r = sim::ChartPatchRect(patch);
        EXPECT_EQ(picture->At(r.x + 10, r.y + 10).r, chart.At(r.x + 10, r.y + 10).r) << patch;
    }
    const sim::PatchRect panel = sim::CounterPanelRect();
    EXPECT_EQ(picture->At(panel.x - 1, panel.y - 1).g, chart.At(panel.x - 1, panel.y - 1).g);
    EXPECT_EQ(picture->At(panel.x + 5, panel.y + 5).g, 255);  // the panel's margin
}

TEST(CounterScene, StillScenesAreTheirOwnPictureAndAPanelWithoutDigitsReadsAsNothing) {
    auto chart = sim::Scene::TestChart();
    EXPECT_FALSE(chart->ShowsFrameNumber());
    EXPECT_EQ(sim::PictureOfFrame(chart, 5).get(), chart.get());
    // A blank panel lights no segment, which is no digit; the bare chart
    // likewise.
    EXPECT_EQ(ReadScene(*sim::Scene::Counter()), -1);
    EXPECT_EQ(ReadScene(*chart), -1);
}

TEST(CounterScene, TheCameraRendersTheNumberOfTheFrameItWillSendNext) {
    sim::SimulatedCamera camera;
    camera.SetScene(sim::Scene::Counter());
    // The mosaic of frame 1 (nothing sent yet): the panel's green samples are
    // black where frame 1's segments are and white elsewhere.
    const std::vector<uint8_t> mosaic = camera.ExpectedImage();
    const long shown = sim::ReadCounter([&](int x, int y) {
        // Green sites of GRBG: (even, even) and (odd, odd).
        const int gx = ((x ^ y) & 1) ? x + 1 : x;
        return mosaic[static_cast<size_t>(y) * sim::kSensorWidth + gx];
    });
    EXPECT_EQ(shown, 1);
}

}  // namespace
