// What the simulated sensor looks at: an RGB picture of the sensor's full
// size (1600 x 1200), 8 bits a channel, row 0 at the top. Built-in patterns
// or a PNG file scaled to the sensor.
#pragma once

#include <cstdint>
#include <functional>
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

// The frame-number scene ("counter"): the test chart with the number of the
// frame (the camera's count since power-on, 1 for the first frame, as the
// frame stamp carries it) in six large seven-segment digits, black on a
// white panel across the middle, modulo 1000000 with leading zeros. A
// downstream tool tells frames apart by eye, or reads the number by sampling
// the middle of each segment (ReadCounter). Segments 0..6 are a (top), b
// (top right), c (bottom right), d (bottom), e (bottom left), f (top left),
// g (middle); digit 0 is the leftmost.
constexpr int kCounterDigits = 6;
PatchRect CounterPanelRect();
PatchRect CounterSegmentRect(int digit, int segment);
// The number a picture of the counter scene shows, from `brightness` (0..255)
// at a point of the picture (top row first); -1 when a digit is none of the
// ten shapes.
long ReadCounter(const std::function<int(int x, int y)>& brightness);

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
    // The chart with each frame's number on it (see CounterPanelRect).
    static std::shared_ptr<const Scene> Counter();
    // A PNG file of any size and colour type, scaled (bilinear, aspect not
    // kept) to the sensor. Null and a message in *error when unreadable.
    static std::shared_ptr<const Scene> FromPng(const std::string& path, std::string* error);
    // From an RGB picture already of the sensor's size.
    static std::shared_ptr<const Scene> FromPixels(std::string name, std::vector<Rgb> pixels);

    // "bars", "gradient", "chart", "counter", "flat:N" (grey N, 0..255), "flat:R,G,B",
    // or a path to a PNG file. Null and *error when the name is not one of
    // these.
    static std::shared_ptr<const Scene> Parse(const std::string& spec, std::string* error);

    const std::string& Name() const { return name_; }
    Rgb At(int x, int y) const { return pixels_[static_cast<size_t>(y) * kSensorWidth + x]; }
    const std::vector<Rgb>& Pixels() const { return pixels_; }
    // True for a scene whose picture changes from frame to frame.
    bool ShowsFrameNumber() const { return showsFrameNumber_; }

private:
    Scene(std::string name, std::vector<Rgb> pixels) : name_(std::move(name)), pixels_(std::move(pixels)) {}
    static std::shared_ptr<const Scene> DrawTestChart();

    std::string name_;
    std::vector<Rgb> pixels_;
    bool showsFrameNumber_ = false;
};

// What the camera sees for frame `frameNumber`: the scene itself, or for the
// counter scene the chart with that number drawn on it.
std::shared_ptr<const Scene> PictureOfFrame(const std::shared_ptr<const Scene>& scene, uint64_t frameNumber);

}  // namespace sim
