// What the simulated sensor looks at: an RGB picture of the sensor's full
// size (1600 x 1200), 8 bits a channel, row 0 at the top. Built-in patterns
// or a PNG file scaled to the sensor.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sim {

constexpr int kSensorWidth = 1600;
constexpr int kSensorHeight = 1200;

struct Rgb {
    uint8_t r, g, b;
};

// The test chart: a 6 x 4 grid of uniform colour patches on a grey
// background, so a picture converted from it has known colours at known
// places. Patch i is column i % 6, row i / 6.
constexpr int kChartColumns = 6;
constexpr int kChartRows = 4;
constexpr int kChartPatches = kChartColumns * kChartRows;
constexpr uint8_t kChartBackground = 128;

struct PatchRect {
    int x, y, width, height;
};

PatchRect ChartPatchRect(int patch);
Rgb ChartPatchColor(int patch);

class Scene {
public:
    // Every pixel the same colour.
    static std::shared_ptr<const Scene> Flat(Rgb colour);
    // Eight vertical bars, full intensity: white, yellow, cyan, green,
    // magenta, red, blue, black.
    static std::shared_ptr<const Scene> ColourBars();
    // Grey ramp from 0 at the left edge to 255 at the right edge.
    static std::shared_ptr<const Scene> Gradient();
    static std::shared_ptr<const Scene> TestChart();
    // A PNG file of any size and colour type, scaled (bilinear, aspect not
    // kept) to the sensor. Null and a message in *error when unreadable.
    static std::shared_ptr<const Scene> FromPng(const std::string& path, std::string* error);
    // From an RGB picture already of the sensor's size.
    static std::shared_ptr<const Scene> FromPixels(std::string name, std::vector<Rgb> pixels);

    // "bars", "gradient", "chart", "flat:N" (grey N, 0..255), "flat:R,G,B",
    // or a path to a PNG file. Null and *error when the name is not one of
    // these.
    static std::shared_ptr<const Scene> Parse(const std::string& spec, std::string* error);

    const std::string& Name() const { return name_; }
    Rgb At(int x, int y) const { return pixels_[static_cast<size_t>(y) * kSensorWidth + x]; }
    const std::vector<Rgb>& Pixels() const { return pixels_; }

private:
    Scene(std::string name, std::vector<Rgb> pixels) : name_(std::move(name)), pixels_(std::move(pixels)) {}

    std::string name_;
    std::vector<Rgb> pixels_;
};

}  // namespace sim
