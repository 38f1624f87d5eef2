#include "sim/scene.h"

#include <png.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {

namespace {

constexpr size_t kPixelCount = static_cast<size_t>(kSensorWidth) * kSensorHeight;

// Colours in the spirit of a photographic colour checker: skin tones,
// foliage, primaries, secondaries and a grey row from white to black.
const Rgb kChartColours[kChartPatches] = {
    {115, 82, 68},   {194, 150, 130}, {98, 122, 157},  {87, 108, 67},   {133, 128, 177}, {103, 189, 170},
    {214, 126, 44},  {80, 91, 166},   {193, 90, 99},   {94, 60, 108},   {157, 188, 64},  {224, 163, 46},
    {56, 61, 150},   {70, 148, 73},   {175, 54, 60},   {231, 199, 31},  {187, 86, 149},  {8, 133, 161},
    {243, 243, 242}, {200, 200, 200}, {160, 160, 160}, {122, 122, 121}, {85, 85, 85},    {52, 52, 52},
};

// Patch grid: 200 x 200 patches spaced 250 apart, the grid centred.
constexpr int kPatchSize = 200;
constexpr int kPatchPitch = 250;
constexpr int kChartLeft = (kSensorWidth - (kChartColumns - 1) * kPatchPitch - kPatchSize) / 2;
constexpr int kChartTop = (kSensorHeight - (kChartRows - 1) * kPatchPitch - kPatchSize) / 2;

// Counter digits: 180 x 300 each, strokes 40 wide, 40 apart, on a white
// panel with a 40-pixel margin, centred on the sensor.
constexpr int kDigitWidth = 180;
constexpr int kDigitHeight = 300;
constexpr int kStroke = 40;
constexpr int kDigitGap = 40;
constexpr int kPanelMargin = 40;
constexpr int kPanelWidth = kCounterDigits * kDigitWidth + (kCounterDigits - 1) * kDigitGap + 2 * kPanelMargin;
constexpr int kPanelHeight = kDigitHeight + 2 * kPanelMargin;
constexpr int kHalfLimb = (kDigitHeight - 3 * kStroke) / 2;  // a vertical segment's length
constexpr uint32_t kCounterModulus = 1000000;

// Segments lit for 0..9, bit s for segment s (a = bit 0 ... g = bit 6).
constexpr uint8_t kSegments[10] = {0x3F, 0x06, 0x5B, 0x4F, 0x66, 0x6D, 0x7D, 0x07, 0x7F, 0x6F};

void Fill(std::vector<Rgb>& px, const PatchRect& r, Rgb colour) {
    for (int y = r.y; y < r.y + r.height; ++y) {
        for (int x = r.x; x < r.x + r.width; ++x) px[static_cast<size_t>(y) * kSensorWidth + x] = colour;
    }
}

bool ParseByte(const char* s, char** end, uint8_t* out) {
    long v = std::strtol(s, end, 10);
    if (*end == s || v < 0 || v > 255) return false;
    *out = static_cast<uint8_t>(v);
    return true;
}

}  // namespace

PatchRect ChartPatchRect(int patch) {
    return PatchRect{kChartLeft + (patch % kChartColumns) * kPatchPitch, kChartTop + (patch / kChartColumns) * kPatchPitch,
                     kPatchSize, kPatchSize};
}

Rgb ChartPatchColor(int patch) { return kChartColours[patch]; }

PatchRect CounterPanelRect() {
    return PatchRect{(kSensorWidth - kPanelWidth) / 2, (kSensorHeight - kPanelHeight) / 2, kPanelWidth, kPanelHeight};
}

PatchRect CounterSegmentRect(int digit, int segment) {
    const PatchRect panel = CounterPanelRect();
    const int x = panel.x + kPanelMargin + digit * (kDigitWidth + kDigitGap);
    const int y = panel.y + kPanelMargin;
    const int across = kDigitWidth - 2 * kStroke;
    const int right = x + kDigitWidth - kStroke;
    const int lower = y + 2 * kStroke + kHalfLimb;
    switch (segment) {
        case 0: return PatchRect{x + kStroke, y, across, kStroke};
        case 1: return PatchRect{right, y + kStroke, kStroke, kHalfLimb};
        case 2: return PatchRect{right, lower, kStroke, kHalfLimb};
        case 3: return PatchRect{x + kStroke, y + kDigitHeight - kStroke, across, kStroke};
        case 4: return PatchRect{x, lower, kStroke, kHalfLimb};
        case 5: return PatchRect{x, y + kStroke, kStroke, kHalfLimb};
        default: return PatchRect{x + kStroke, y + kStroke + kHalfLimb, across, kStroke};
    }
}

long ReadCounter(const std::function<int(int x, int y)>& brightness) {
    long number = 0;
    for (int digit = 0; digit < kCounterDigits; ++digit) {
        uint8_t lit = 0;
        for (int segment = 0; segment < 7; ++segment) {
            // The middle of the segment, clear of its edges, which conversion
            // and compression blur.
            const PatchRect r = CounterSegmentRect(digit, segment);
            int sum = 0, count = 0;
            for (int y = r.y + r.height / 4; y < r.y + r.height * 3 / 4; y += 4) {
                for (int x = r.x + r.width / 4; x < r.x + r.width * 3 / 4; x += 4, ++count) sum += brightness(x, y);
            }
            if (sum < 128 * count) lit = static_cast<uint8_t>(lit | 1u << segment);
        }
        const uint8_t* shape = std::find(kSegments, kSegments + 10, lit);
        if (shape == kSegments + 10) return -1;
        number = number * 10 + (shape - kSegments);
    }
    return number;
}

std::shared_ptr<const Scene> Scene::FromPixels(std::string name, std::vector<Rgb> pixels) {
    if (pixels.size() != kPixelCount) return nullptr;
    return std::shared_ptr<const Scene>(new Scene(std::move(name), std::move(pixels)));
}

std::shared_ptr<const Scene> Scene::Flat(Rgb colour) {
    char name[32];
    if (colour.r == colour.g && colour.g == colour.b) {
        std::snprintf(name, sizeof name, "flat:%u", colour.r);
    } else {
        std::snprintf(name, sizeof name, "flat:%u,%u,%u", colour.r, colour.g, colour.b);
    }
    return FromPixels(name, std::vector<Rgb>(kPixelCount, colour));
}

std::shared_ptr<const Scene> Scene::ColourBars() {
    static const Rgb kBars[8] = {{255, 255, 255}, {255, 255, 0}, {0, 255, 255}, {0, 255, 0},
                                 {255, 0, 255},   {255, 0, 0},   {0, 0, 255},   {0, 0, 0}};
    std::vector<Rgb> px(kPixelCount);
    for (int y = 0; y < kSensorHeight; ++y) {
        for (int x = 0; x < kSensorWidth; ++x) px[static_cast<size_t>(y) * kSensorWidth + x] = kBars[x * 8 / kSensorWidth];
    }
    return FromPixels("bars", std::move(px));
}

std::shared_ptr<const Scene> Scene::Gradient() {
    std::vector<Rgb> px(kPixelCount);
    for (int y = 0; y < kSensorHeight; ++y) {
        for (int x = 0; x < kSensorWidth; ++x) {
            uint8_t v = static_cast<uint8_t>((x * 255 + (kSensorWidth - 1) / 2) / (kSensorWidth - 1));
            px[static_cast<size_t>(y) * kSensorWidth + x] = Rgb{v, v, v};
        }
    }
    return FromPixels("gradient", std::move(px));
}

std::shared_ptr<const Scene> Scene::TestChart() {
    // Every camera starts with the chart and a scene never changes: drawn
    // once, it costs a new camera nothing (fuzz targets make one per input).
    static const std::shared_ptr<const Scene> chart = DrawTestChart();
    return chart;
}

std::shared_ptr<const Scene> Scene::DrawTestChart() {
    std::vector<Rgb> px(kPixelCount, Rgb{kChartBackground, kChartBackground, kChartBackground});
    for (int p = 0; p < kChartPatches; ++p) {
        const PatchRect r = ChartPatchRect(p);
        for (int y = r.y; y < r.y + r.height; ++y) {
            for (int x = r.x; x < r.x + r.width; ++x) px[static_cast<size_t>(y) * kSensorWidth + x] = kChartColours[p];
        }
    }
    return FromPixels("chart", std::move(px));
}

std::shared_ptr<const Scene> Scene::Counter() {
    std::shared_ptr<const Scene> chart = TestChart();
    std::shared_ptr<Scene> counter(new Scene("counter", chart->pixels_));
    Fill(counter->pixels_, CounterPanelRect(), Rgb{255, 255, 255});
    counter->showsFrameNumber_ = true;
    return counter;
}

std::shared_ptr<const Scene> PictureOfFrame(const std::shared_ptr<const Scene>& scene, uint64_t frameNumber) {
    if (!scene || !scene->ShowsFrameNumber()) return scene;
    std::vector<Rgb> px = scene->Pixels();
    uint64_t rest = frameNumber % kCounterModulus;
    for (int digit = kCounterDigits - 1; digit >= 0; --digit, rest /= 10) {
        for (int segment = 0; segment < 7; ++segment) {
            if (kSegments[rest % 10] & (1u << segment)) Fill(px, CounterSegmentRect(digit, segment), Rgb{0, 0, 0});
        }
    }
    return Scene::FromPixels(scene->Name() + ":" + std::to_string(frameNumber), std::move(px));
}

std::shared_ptr<const Scene> Scene::FromPng(const std::string& path, std::string* error) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) {
        if (error) *error = "cannot read PNG file " + path + ": " + image.message;
        return nullptr;
    }
    // libpng's simplified API turns every colour type and depth (palette,
    // grey, 16-bit, alpha composed on black) into 8-bit RGB.
    image.format = PNG_FORMAT_RGB;
    const size_t srcW = image.width;
    const size_t srcH = image.height;
    if (srcW == 0 || srcH == 0 || srcW > 65536 || srcH > 65536) {
        png_image_free(&image);
        if (error) *error = "PNG file " + path + " has an unusable size";
        return nullptr;
    }
    std::vector<uint8_t> src(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, src.data(), 0, nullptr)) {
        if (error) *error = "cannot decode PNG file " + path + ": " + image.message;
        png_image_free(&image);
        return nullptr;
    }

    // Bilinear scaling with pixel centres aligned, in 16.16 fixed point so
    // the result is the same on every machine.
    std::vector<Rgb> px(kPixelCount);
    for (int y = 0; y < kSensorHeight; ++y) {
        int64_t fy = ((2 * y + 1) * static_cast<int64_t>(srcH) * 65536) / (2 * kSensorHeight) - 32768;
        if (fy < 0) fy = 0;
        size_t y0 = static_cast<size_t>(fy >> 16);
        size_t y1 = y0 + 1 < srcH ? y0 + 1 : y0;
        uint32_t wy = static_cast<uint32_t>(fy & 0xFFFF);
        for (int x = 0; x < kSensorWidth; ++x) {
            int64_t fx = ((2 * x + 1) * static_cast<int64_t>(srcW) * 65536) / (2 * kSensorWidth) - 32768;
            if (fx < 0) fx = 0;
            size_t x0 = static_cast<size_t>(fx >> 16);
            size_t x1 = x0 + 1 < srcW ? x0 + 1 : x0;
            uint32_t wx = static_cast<uint32_t>(fx & 0xFFFF);
            uint8_t out[3];
            for (int c = 0; c < 3; ++c) {
                uint64_t a = src[(y0 * srcW + x0) * 3 + c], b = src[(y0 * srcW + x1) * 3 + c];
                uint64_t d = src[(y1 * srcW + x0) * 3 + c], e = src[(y1 * srcW + x1) * 3 + c];
                uint64_t top = a * (65536 - wx) + b * wx;
                uint64_t bottom = d * (65536 - wx) + e * wx;
                uint64_t v = (top * (65536 - wy) + bottom * wy + (1ull << 31)) >> 32;
                out[c] = static_cast<uint8_t>(v > 255 ? 255 : v);
            }
            px[static_cast<size_t>(y) * kSensorWidth + x] = Rgb{out[0], out[1], out[2]};
        }
    }
    return FromPixels(path, std::move(px));
}

std::shared_ptr<const Scene> Scene::Parse(const std::string& spec, std::string* error) {
    if (spec == "bars") return ColourBars();
    if (spec == "gradient") return Gradient();
    if (spec == "chart") return TestChart();
    if (spec == "counter") return Counter();
    if (spec.rfind("flat:", 0) == 0) {
        const char* s = spec.c_str() + 5;
        char* end = nullptr;
        uint8_t r = 0, g = 0, b = 0;
        if (ParseByte(s, &end, &r)) {
            if (*end == '\0') return Flat(Rgb{r, r, r});
            if (*end == ',' && ParseByte(end + 1, &end, &g) && *end == ',' && ParseByte(end + 1, &end, &b) &&
                *end == '\0') {
                return Flat(Rgb{r, g, b});
            }
        }
        if (error) *error = "bad flat scene '" + spec + "' (want flat:N or flat:R,G,B, each 0..255)";
        return nullptr;
    }
    if (spec.size() > 4) {
        std::string ext = spec.substr(spec.size() - 4);
        for (char& ch : ext) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        if (ext == ".png") return FromPng(spec, error);
    }
    if (error) *error = "unknown scene '" + spec + "' (bars, gradient, chart, counter, flat:N, flat:R,G,B or a .png file)";
    return nullptr;
}

}  // namespace sim
