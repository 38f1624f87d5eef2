#include "sim/frame_renderer.h"

#include <algorithm>
#include <cstring>

namespace sim {

uint32_t RawFrameSizeForLines(uint32_t lines) {
    uint64_t size = static_cast<uint64_t>(lines) * kRawLinePitch + kRawFrameOverhead;
    size = (size + 1023) / 1024 * 1024;
    return static_cast<uint32_t>(size);
}

uint32_t LinesInRawFrame(uint32_t rawFrameSize) {
    if (rawFrameSize < kRawFrameOverhead) return 0;
    uint32_t lines = (rawFrameSize - kRawFrameOverhead) / kRawLinePitch;
    return std::min<uint32_t>(lines, kSensorHeight);
}

uint32_t BrightnessFactorQ16(uint32_t exposure, uint32_t gain) {
    // (e + 30) / 32 * (g + 156) / 256 * 65536 = (e + 30) * (g + 156) * 8;
    // at most 4125 * 1179 * 8 for the registers' 12 and 10 bits.
    const uint64_t f = (static_cast<uint64_t>(exposure) + 30) * (static_cast<uint64_t>(gain) + 156) * 8;
    return static_cast<uint32_t>(std::min<uint64_t>(f, 0xFFFFFFFFu));
}

BayerColour BayerColourAt(int x, int y) {
    if ((y & 1) == 0) return (x & 1) == 0 ? BayerColour::kGreen : BayerColour::kRed;
    return (x & 1) == 0 ? BayerColour::kBlue : BayerColour::kGreen;
}

namespace {

// A small integer hash (splitmix64 finaliser) for repeatable noise.
uint64_t Mix(uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

}  // namespace

std::vector<uint8_t> RenderMosaic(const Scene& scene, const RenderParams& params) {
    const uint32_t lines = LinesInRawFrame(params.rawFrameSize);
    std::vector<uint8_t> out(static_cast<size_t>(lines) * kSensorWidth);

    // One table per frame: the brightness model applied to every level.
    const uint64_t factor = BrightnessFactorQ16(params.exposure, params.gain);
    uint8_t table[256];
    for (uint32_t v = 0; v < 256; ++v) {
        uint64_t s = (v * factor + 32768) >> 16;
        table[v] = static_cast<uint8_t>(std::min<uint64_t>(s, 255));
    }

    const int amp = static_cast<int>(std::min<uint32_t>(params.noiseAmplitude, 255));
    for (uint32_t y = 0; y < lines; ++y) {
        const Rgb* row = &scene.Pixels()[static_cast<size_t>(y) * kSensorWidth];
        uint8_t* dst = &out[static_cast<size_t>(y) * kSensorWidth];
        // GRBG: even rows alternate green and red, odd rows blue and green;
        // the arrangement is fixed per row, never chosen per pixel.
        if ((y & 1) == 0) {
            for (int x = 0; x < kSensorWidth; x += 2) {
                dst[x] = table[row[x].g];
                dst[x + 1] = table[row[x + 1].r];
            }
        } else {
            for (int x = 0; x < kSensorWidth; x += 2) {
                dst[x] = table[row[x].b];
                dst[x + 1] = table[row[x + 1].g];
            }
        }
        if (amp > 0) {
            for (int x = 0; x < kSensorWidth; ++x) {
                uint64_t h = Mix(params.frameNumber * 0x9E3779B97F4A7C15ull + y * 2048ull + static_cast<uint64_t>(x));
                int n = static_cast<int>(h % static_cast<uint64_t>(2 * amp + 1)) - amp;
                int v = dst[x] + n;
                dst[x] = static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
            }
        }
    }
    return out;
}

std::vector<uint8_t> RenderRawFrame(const Scene& scene, const RenderParams& params) {
    std::vector<uint8_t> frame(params.rawFrameSize, kRawPadByte);
    const std::vector<uint8_t> mosaic = RenderMosaic(scene, params);
    const uint32_t lines = LinesInRawFrame(params.rawFrameSize);
    for (uint32_t y = 0; y < lines; ++y) {
        std::memcpy(&frame[kRawDataOffset + static_cast<size_t>(y) * kRawLinePitch], &mosaic[static_cast<size_t>(y) * kSensorWidth],
                    kSensorWidth);
    }
    return frame;
}

}  // namespace sim
