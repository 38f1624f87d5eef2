// The SSE2 kernel against the scalar reference on random frames, sizes,
// phases, gains and coefficient sets: every output byte and every measured
// gain must agree.
#include <random>

#include "pipeline_test_support.h"

namespace {

using pipeline_test::PipelineFrame;

struct Trial {
    int width;
    int height;
    int phase;
    bool colour;
    bool whiteBalance;
    LONG gains[3];
    LONG coefficients[16];
};

Trial RandomTrial(std::mt19937& rng, int index) {
    auto uniform = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    Trial t;
    // Mostly widths that are not multiples of 16, odd heights, tiny images.
    t.width = index % 7 == 0 ? 16 * uniform(1, 5) : uniform(1, 90);
    t.height = uniform(1, 41);
    t.phase = uniform(0, 3);
    t.colour = uniform(0, 3) != 0;
    t.whiteBalance = uniform(0, 4) == 0;
    // Unity, at most 256 and larger gains take different routes in SSE2.
    for (LONG& g : t.gains) g = index % 5 == 0 ? 128 : index % 5 == 1 ? uniform(0, 256) : uniform(0, 300);
    switch (uniform(0, 2)) {
        case 0:  // magnitudes whose sums wrap the 16-bit accumulators
            for (int i = 0; i < 16; ++i) t.coefficients[i] = uniform(-400, 400);
            for (int c = 0; c < 3; ++c) t.coefficients[12 + c] = uniform(-30000, 30000);
            break;
        case 1:  // anything a 32-bit entry can hold; only the low 16 bits count
            for (int i = 0; i < 16; ++i) t.coefficients[i] = static_cast<LONG>(rng());
            break;
        default:  // ordinary colour work
            for (int i = 0; i < 16; ++i) t.coefficients[i] = uniform(-80, 140);
            break;
    }
    t.coefficients[15] = 64;
    return t;
}

struct Result {
    std::vector<uint8_t> output;
    LONG gains[3];
};

Result ConvertTrial(const Trial& t, const std::vector<uint8_t>& raw, ConversionKernel kernel) {
    PipelineFrame f(t.width, t.height);
    ImagePipeline* p = f.pipeline();
    f.raw() = raw;
    SetColorPhase(p, t.phase);
    SetColorEnable(p, t.colour ? 1 : 0);
    SetWhiteBalance(p, t.whiteBalance ? 1 : 0);
    SetRedGain(p, t.gains[0]);
    SetGreenGain(p, t.gains[1]);
    SetBlueGain(p, t.gains[2]);
    // The conversion takes whatever is published; no build makes these sets.
    for (int i = 0; i < 16; ++i) p->coefficients[i] = t.coefficients[i];
    f.Convert(kernel);
    EXPECT_TRUE(f.GuardIntact());
    Result r;
    r.output = f.output();
    r.gains[0] = GetRedGain(p);
    r.gains[1] = GetGreenGain(p);
    r.gains[2] = GetBlueGain(p);
    return r;
}

TEST(ConvertDifferential, Sse2MatchesScalarOnRandomFrames) {
    std::mt19937 rng(20240611);
    const int kTrials = 600;
    int wrappingTrials = 0;
    for (int i = 0; i < kTrials; ++i) {
        Trial t = RandomTrial(rng, i);
        std::vector<uint8_t> raw(static_cast<size_t>(t.width) * t.height);
        // Random noise, and sometimes smooth areas and saturated ones.
        const int style = i % 3;
        for (size_t k = 0; k < raw.size(); ++k) {
            raw[k] = style == 0   ? static_cast<uint8_t>(rng())
                     : style == 1 ? static_cast<uint8_t>(128 + 100 * ((k / 7) % 2) - 50)
                                  : static_cast<uint8_t>((rng() & 1) ? 255 : 0);
        }
        Result sse2 = ConvertTrial(t, raw, ConversionKernelSse2);
        Result scalar = ConvertTrial(t, raw, ConversionKernelScalar);
        ASSERT_EQ(sse2.output, scalar.output) << "trial " << i << ": " << t.width << "x" << t.height << " phase "
                                              << t.phase << (t.colour ? " colour" : " mono")
                                              << (t.whiteBalance ? " white balance" : "");
        ASSERT_EQ(sse2.gains[0], scalar.gains[0]) << "trial " << i;
        ASSERT_EQ(sse2.gains[1], scalar.gains[1]) << "trial " << i;
        ASSERT_EQ(sse2.gains[2], scalar.gains[2]) << "trial " << i;
        for (int c = 0; c < 3; ++c)
            if (std::abs(t.coefficients[12 + c]) > 10000) ++wrappingTrials;
    }
    EXPECT_GT(wrappingTrials, kTrials / 10);  // the wrapping sets were exercised
}

// Coefficient sets shaped like the colour correction (each channel's own
// input positive, the other two zero or negative) take their own SSE2 route;
// these include constants of either sign and magnitudes that wrap.
TEST(ConvertDifferential, Sse2MatchesScalarOnCorrectionShapedMatrices) {
    std::mt19937 rng(31337);
    auto uniform = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    for (int i = 0; i < 300; ++i) {
        Trial t = RandomTrial(rng, i);
        t.colour = true;
        const bool wrapping = i % 3 == 0;
        for (int k = 0; k < 3; ++k) {
            for (int c = 0; c < 3; ++c) {
                t.coefficients[4 * k + c] = k == c ? uniform(1, wrapping ? 400 : 140) : uniform(wrapping ? -400 : -40, 0);
            }
            t.coefficients[12 + k] = wrapping ? uniform(-30000, 30000) : uniform(-255, 255);
        }
        std::vector<uint8_t> raw(static_cast<size_t>(t.width) * t.height);
        for (auto& v : raw) v = static_cast<uint8_t>(rng());
        Result sse2 = ConvertTrial(t, raw, ConversionKernelSse2);
        Result scalar = ConvertTrial(t, raw, ConversionKernelScalar);
        ASSERT_EQ(sse2.output, scalar.output) << "trial " << i << ": " << t.width << "x" << t.height << " phase "
                                              << t.phase << (t.whiteBalance ? " white balance" : "");
        ASSERT_EQ(sse2.gains[0], scalar.gains[0]) << "trial " << i;
        ASSERT_EQ(sse2.gains[2], scalar.gains[2]) << "trial " << i;
    }
}

TEST(ConvertDifferential, Sse2MatchesScalarAtSensorSize) {
    std::mt19937 rng(7);
    Trial t{};
    t.width = 1600;
    t.height = 1200;
    t.colour = true;
    t.whiteBalance = true;
    t.gains[0] = t.gains[1] = t.gains[2] = 128;
    const LONG factory[16] = {87, -16, -6, 0, -14, 90, -20, 0, -9, -10, 91, 0, 0, 0, 0, 64};
    for (int i = 0; i < 16; ++i) t.coefficients[i] = factory[i];
    std::vector<uint8_t> raw(1600 * 1200);
    for (auto& v : raw) v = static_cast<uint8_t>(rng());
    for (int phase = 0; phase < 4; ++phase) {
        t.phase = phase;
        Result sse2 = ConvertTrial(t, raw, ConversionKernelSse2);
        Result scalar = ConvertTrial(t, raw, ConversionKernelScalar);
        ASSERT_TRUE(sse2.output == scalar.output) << "phase " << phase;
        EXPECT_EQ(sse2.gains[0], scalar.gains[0]);
        EXPECT_EQ(sse2.gains[2], scalar.gains[2]);
    }
}

}  // namespace
