#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "sim/frame_renderer.h"
#include "sim/scene.h"
#include "sim/simulated_camera.h"
#include "tests/sim/sim_test_util.h"

using namespace simtest;

namespace {

std::string WritePng(const std::string& name, int w, int h, const std::vector<uint8_t>& rgb) {
    std::string path = std::string(::testing::TempDir()) + name;
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(w);
    image.height = static_cast<png_uint_32>(h);
    image.format = PNG_FORMAT_RGB;
    EXPECT_TRUE(png_image_write_to_file(&image, path.c_str(), 0, rgb.data(), 0, nullptr)) << image.message;
    return path;
}

TEST(SimScene, BuiltInPatterns) {
    auto bars = sim::Scene::ColourBars();
    EXPECT_EQ(bars->At(0, 0).r, 255);
    EXPECT_EQ(bars->At(0, 0).b, 255);      // white
    EXPECT_EQ(bars->At(250, 600).b, 0);    // yellow
    EXPECT_EQ(bars->At(1599, 1199).g, 0);  // black
    auto grad = sim::Scene::Gradient();
    EXPECT_EQ(grad->At(0, 5).r, 0);
    EXPECT_EQ(grad->At(1599, 5).r, 255);
    EXPECT_EQ(grad->At(800, 5).g, 128);
    auto chart = sim::Scene::TestChart();
    for (int p = 0; p < sim::kChartPatches; ++p) {
        sim::PatchRect r = sim::ChartPatchRect(p);
        sim::Rgb c = sim::ChartPatchColor(p);
        sim::Rgb inside = chart->At(r.x + r.width / 2, r.y + r.height / 2);
        EXPECT_EQ(inside.r, c.r) << p;
        EXPECT_EQ(inside.g, c.g) << p;
        EXPECT_EQ(inside.b, c.b) << p;
        EXPECT_EQ(chart->At(r.x - 1, r.y).r, sim::kChartBackground);
    }
}

TEST(SimScene, ParseNames) {
    std::string err;
    EXPECT_EQ(sim::Scene::Parse("bars", &err)->Name(), "bars");
    EXPECT_EQ(sim::Scene::Parse("flat:77", &err)->At(3, 3).g, 77);
    auto c = sim::Scene::Parse("flat:1,2,3", &err);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->At(0, 0).b, 3);
    EXPECT_FALSE(sim::Scene::Parse("flat:300", &err));
    EXPECT_NE(err.find("flat"), std::string::npos);
    EXPECT_FALSE(sim::Scene::Parse("stripes", &err));
    EXPECT_FALSE(sim::Scene::Parse("/nonexistent/x.png", &err));
    EXPECT_NE(err.find("/nonexistent/x.png"), std::string::npos);
}

TEST(SimScene, PngAtSensorSizeIsTakenAsIs) {
    std::vector<uint8_t> rgb(1600 * 1200 * 3);
    for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<uint8_t>((i * 7) >> 3);
    const std::string path = WritePng("sim_scene_full.png", 1600, 1200, rgb);
    std::string err;
    auto s = sim::Scene::FromPng(path, &err);
    ASSERT_TRUE(s) << err;
    for (int y : {0, 1, 599, 1199}) {
        for (int x : {0, 1, 800, 1599}) {
            const size_t i = (static_cast<size_t>(y) * 1600 + x) * 3;
            EXPECT_EQ(s->At(x, y).r, rgb[i]);
            EXPECT_EQ(s->At(x, y).g, rgb[i + 1]);
            EXPECT_EQ(s->At(x, y).b, rgb[i + 2]);
        }
    }
    std::remove(path.c_str());
}

TEST(SimScene, SmallPngIsScaledAndMosaiced) {
    // 2 x 2: red, green / blue, white.
    const std::string path =
        WritePng("sim_scene_small.png", 2, 2, {255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255});
    sim::SimulatedCamera cam;
    std::string err;
    ASSERT_TRUE(cam.SetScene(path, &err)) << err;
    auto s = cam.CurrentScene();
    EXPECT_EQ(s->At(0, 0).r, 255);
    EXPECT_EQ(s->At(0, 0).g, 0);
    EXPECT_EQ(s->At(1599, 0).g, 255);
    EXPECT_EQ(s->At(1599, 0).r, 0);
    EXPECT_EQ(s->At(0, 1199).b, 255);
    EXPECT_EQ(s->At(1599, 1199).r, 255);
    // Half way across the top row red fades into green.
    EXPECT_GT(s->At(800, 0).g, 100);
    EXPECT_GT(s->At(800, 0).r, 100);

    Configure(cam);
    FreshCameraSettings(cam);
    std::vector<uint8_t> img = cam.ExpectedImage();
    // Top-left corner, GRBG: G then R on row 0, B then G on row 1.
    EXPECT_EQ(img[0], 0);      // green filter over red
    EXPECT_EQ(img[1], 255);    // red filter over red
    EXPECT_EQ(img[1600], 0);   // blue filter over red
    // Bottom-right corner (white): every filter sees 255.
    EXPECT_EQ(img[1199 * 1600 + 1598], 255);
    EXPECT_EQ(img[1199 * 1600 + 1599], 255);
    std::remove(path.c_str());
}

TEST(SimScene, SummaryNamesWhatTheCameraReceived) {
    sim::SimulatedCamera cam;
    Configure(cam);
    SendCommand(cam, Packet({0x06}));
    SendCommand(cam, RegisterPacket(391, 1252));
    std::string s = cam.Summary();
    EXPECT_NE(s.find("F055:5100"), std::string::npos);
    EXPECT_NE(s.find("pipe 2: endpoint 0x82, bulk IN, 512-byte packets"), std::string::npos);
    EXPECT_NE(s.find("391=1252"), std::string::npos);
    EXPECT_NE(s.find("DeviceStartup yes"), std::string::npos);
}

TEST(SimTrace, WritesOneLinePerRequest) {
    sim::SimulatedCamera cam;
    uint32_t bits;
    cam.GetPortStatus(&bits);
    Vendor(cam, 0xA0, 0x7F92, {1});
    const std::string path = std::string(::testing::TempDir()) + "sim_trace.txt";
    ASSERT_TRUE(cam.WriteTrace(path));
    FILE* f = std::fopen(path.c_str(), "r");
    ASSERT_NE(f, nullptr);
    char buf[256] = {};
    size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    EXPECT_EQ(std::string(buf, n), "GET_PORT_STATUS\nVENDOR A0 7F92 1 01\n");
    std::remove(path.c_str());
    cam.ClearTrace();
    EXPECT_TRUE(cam.TraceLines().empty());
}

}  // namespace
