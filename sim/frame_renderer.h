// Turns the scene into what the camera sends on the frame pipe: a raw frame
// of rawFrameSize bytes, line i of the picture at byte 9921 + i * 1921, one
// 8-bit sample per pixel in the GRBG colour-filter arrangement (row 0: G R G
// R ..., row 1: B G B G ...).
//
// Brightness model. The sensor's response is linear in light, exposure time
// and gain, but a response that doubles with every exposure step would leave
// the slider useless after the first few steps; so each control gets an
// offset that keeps small values gentle and the product is normalised to the
// values a freshly started camera holds (exposure 2, global gain 100):
//
//     factor = (exposure + 30) / 32  x  (gain + 156) / 256
//     sample = min(255, round(scene channel x factor))
//
// exposure = register 158 bits 0..5 | register 159 bits 0..5 << 6
// gain     = register 6 bits 0..5   | register 7 bits 0..3 << 6
//
// so a fresh camera shows the scene at its own brightness (factor 1.0), both
// controls brighten strictly monotonically, gain 0 darkens to 0.61 and the
// start-up script's own values (exposure 100, gain 192) give about 5.5.
// Optional noise adds a deterministic value in [-a, +a] per sample, from a
// hash of the frame number and the position; it is off by default so tests
// can compare exact bytes.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/scene.h"

namespace sim {

constexpr uint32_t kRawDataOffset = 9921;
constexpr uint32_t kRawLinePitch = 1921;
constexpr uint32_t kRawFrameOverhead = 9913;
// The frame size before any SetFrameSize: 1200 lines.
constexpr uint32_t kDefaultRawFrameSize = 2315264;
// Every byte of a raw frame that carries no sample (header, the end of each
// line's pitch, the rounding at the end). Not a value a scene at factor 1
// makes often, so a reader that strays into it stands out.
constexpr uint8_t kRawPadByte = 0xA5;

// rawFrameSize for a frame of `lines` lines: lines x 1921 + 9913 rounded up
// to a multiple of 1024.
uint32_t RawFrameSizeForLines(uint32_t lines);
// Lines a raw frame of that size carries: (size - 9913) / 1921 rounded down,
// at most the sensor's 1200.
uint32_t LinesInRawFrame(uint32_t rawFrameSize);

// Brightness factor in 16.16 fixed point (65536 = 1.0).
uint32_t BrightnessFactorQ16(uint32_t exposure, uint32_t gain);

enum class BayerColour { kRed, kGreen, kBlue };
// Colour of the filter over sensor pixel (x, y): GRBG.
BayerColour BayerColourAt(int x, int y);

struct RenderParams {
    uint32_t rawFrameSize = kDefaultRawFrameSize;
    uint32_t exposure = 2;
    uint32_t gain = 100;
    uint32_t noiseAmplitude = 0;  // 0: no noise
    uint64_t frameNumber = 0;     // seeds the noise only
};

// The samples of the top `lines` sensor rows, 1600 per row, no padding.
std::vector<uint8_t> RenderMosaic(const Scene& scene, const RenderParams& params);
// The whole raw frame of params.rawFrameSize bytes.
std::vector<uint8_t> RenderRawFrame(const Scene& scene, const RenderParams& params);

}  // namespace sim
