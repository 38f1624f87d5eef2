// White balance over a stream of frames. Once a frame has measured the
// gains it started with, the next is converted with them while it is being
// measured, and converted again when it measures others. Each frame of a
// stream must come out exactly as a fresh pipeline's conversion of that
// frame alone (measuring first, then converting) with the gains the stream
// held before it, through every kernel.
#include <random>

#include "driver/pipeline/processor_features.h"
#include "tests/pipeline/pipeline_test_support.h"

namespace {

using pipeline_test::PipelineFrame;

enum Scene { Warm, Cool, DimRed, Black, SceneCount };

// GRBG-relative samples for one scene: a warm cast, a cool one, a frame with
// almost no red (its measured red gain reaches 16384 and more) and a black
// frame (a channel summing to zero measures nothing).
std::vector<uint8_t> SceneFrame(Scene scene, int width, int height, int phase, std::mt19937& rng) {
    std::vector<uint8_t> raw(static_cast<size_t>(width) * height);
    for (int r = 0; r < height; ++r) {
        for (int c = 0; c < width; ++c) {
            // Sites as phase 0 sees them, shifted by the phase's offsets.
            const int rr = r + (phase == 1 || phase == 3 ? 1 : 0);
            const int cc = c + (phase == 2 || phase == 3 ? 1 : 0);
            const bool green = (rr + cc) % 2 == 0;
            const bool red = rr % 2 == 0 && !green;
            const int noise = static_cast<int>(rng() % 256);
            int v = 0;
            switch (scene) {
                case Warm: v = green ? noise : red ? noise : noise * 6 / 10; break;
                case Cool: v = green ? noise : red ? noise * 7 / 10 : noise; break;
                case DimRed: v = green ? 200 : red ? (rng() % 40 == 0 ? 1 : 0) : 120; break;
                default: v = 0; break;
            }
            raw[static_cast<size_t>(r) * width + c] = static_cast<uint8_t>(v);
        }
    }
    return raw;
}

struct Settings {
    int width;
    int height;
    int phase;
    bool colour;
    LONG coefficients[16];
};

void Apply(ImagePipeline* p, const Settings& s) {
    SetColorPhase(p, s.phase);
    SetColorEnable(p, s.colour ? 1 : 0);
    SetWhiteBalance(p, 1);
    for (int i = 0; i < 16; ++i) p->coefficients[i] = s.coefficients[i];
}

// One frame converted by a fresh pipeline, starting from `gains`, with the
// scalar reference (which measures in a pass of its own).
std::vector<uint8_t> FreshConversion(const Settings& s, const std::vector<uint8_t>& raw, const LONG gains[3],
                                     LONG measured[3]) {
    PipelineFrame f(s.width, s.height);
    ImagePipeline* p = f.pipeline();
    Apply(p, s);
    SetRedGain(p, gains[0]);
    SetGreenGain(p, gains[1]);
    SetBlueGain(p, gains[2]);
    f.raw() = raw;
    f.Convert(ConversionKernelScalar);
    measured[0] = GetRedGain(p);
    measured[1] = GetGreenGain(p);
    measured[2] = GetBlueGain(p);
    return f.output();
}

// Converts `raw` twice with white balance on: the second conversion measures
// the gains the first left, so the next one guesses them.
void ConvertUntilSteady(PipelineFrame* f, const Settings& s, const std::vector<uint8_t>& raw,
                        ConversionKernel kernel) {
    Apply(f->pipeline(), s);
    f->raw() = raw;
    f->Convert(kernel);
    f->Convert(kernel);
    ASSERT_TRUE(f->pipeline()->whiteBalanceSteady) << "the second frame measured the first one's gains";
}

const char* Name(ConversionKernel kernel) {
    return kernel == ConversionKernelScalar ? "scalar" : kernel == ConversionKernelAvx2 ? "AVX2" : "SSE2";
}

std::vector<ConversionKernel> AllKernels() {
    std::vector<ConversionKernel> kernels = {ConversionKernelScalar, ConversionKernelSse2};
    if (ProcessorHasAvx2()) kernels.push_back(ConversionKernelAvx2);
    return kernels;
}

// Steady runs, changes after a steady run (the guess misses), changes
// back to back, black frames inside a steady run and after a change, and
// the dim scene's large gains both guessed and measured first.
const Scene kStream[] = {Warm,   Warm,   Warm, Cool, Cool, Cool, Black, Cool, Warm, DimRed,
                         DimRed, DimRed, Warm, Cool, Warm, Warm, Black, Black, Warm};

TEST(WhiteBalanceStream, EveryFrameMatchesAFreshConversionOfItAlone) {
    std::mt19937 rng(2026);
    auto uniform = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    for (ConversionKernel kernel : AllKernels()) {
        int guessedRight = 0, guessedWrong = 0, guessedLarge = 0, measuredFirst = 0;
        for (int trial = 0; trial < 24; ++trial) {
            Settings s;
            // Widths around the vector steps (16 and 32 pixels), odd heights.
            s.width = trial % 4 == 0 ? 32 * uniform(1, 3) : uniform(2, 90);
            s.height = uniform(2, 21);
            s.phase = uniform(0, 3);
            s.colour = trial % 3 != 2;
            for (int i = 0; i < 16; ++i) s.coefficients[i] = uniform(-80, 140);
            s.coefficients[15] = 64;
            std::vector<uint8_t> scenes[SceneCount];
            for (int k = 0; k < SceneCount; ++k)
                scenes[k] = SceneFrame(static_cast<Scene>(k), s.width, s.height, s.phase, rng);

            PipelineFrame stream(s.width, s.height);
            ImagePipeline* p = stream.pipeline();
            Apply(p, s);
            int index = 0;
            for (Scene scene : kStream) {
                const LONG before[3] = {GetRedGain(p), GetGreenGain(p), GetBlueGain(p)};
                const bool guessing = p->whiteBalanceSteady != FALSE;
                stream.raw() = scenes[scene];
                stream.Convert(kernel);
                LONG expectedGains[3];
                const std::vector<uint8_t> expected = FreshConversion(s, scenes[scene], before, expectedGains);
                ASSERT_EQ(stream.output(), expected)
                    << Name(kernel) << " trial " << trial << " frame " << index << " scene " << scene
                    << (guessing ? " (guessed)" : " (measured first)");
                const LONG after[3] = {GetRedGain(p), GetGreenGain(p), GetBlueGain(p)};
                for (int c = 0; c < 3; ++c) ASSERT_EQ(after[c], expectedGains[c]) << "trial " << trial;
                const bool same = after[0] == before[0] && after[1] == before[1] && after[2] == before[2];
                if (guessing) {
                    ++(same ? guessedRight : guessedWrong);
                    if (after[0] >= 16384) ++guessedLarge;
                } else {
                    ++measuredFirst;
                }
                ++index;
            }
        }
        // Both routes ran, and the guess both held and failed.
        EXPECT_GT(guessedRight, 100) << Name(kernel);
        EXPECT_GT(guessedWrong, 50) << Name(kernel);
        EXPECT_GT(guessedLarge, 10) << Name(kernel);
        EXPECT_GT(measuredFirst, 100) << Name(kernel);
    }
}

// A bright frame wider than 64 steps of either kernel (2048 pixels of AVX2,
// 1024 of SSE2), whose samples reach 255: the sums taken while converting
// pass through 16-bit lanes, which would overflow at that width without
// being emptied in time.
TEST(WhiteBalanceStream, WideBrightFramesSumExactlyWhileConverting) {
    const Settings s{64 * 32 + 72, 4, 0, true, {87, -16, -6, 0, -14, 90, -20, 0, -9, -10, 91, 0, 0, 0, 0, 64}};
    std::vector<uint8_t> raw(static_cast<size_t>(s.width) * s.height);
    for (int r = 0; r < s.height; ++r) {
        for (int c = 0; c < s.width; ++c) {
            const bool green = (r + c) % 2 == 0;
            const bool red = r % 2 == 0 && !green;
            raw[static_cast<size_t>(r) * s.width + c] = green ? 250 : red ? 255 : 200;
        }
    }
    for (ConversionKernel kernel : AllKernels()) {
        PipelineFrame f(s.width, s.height);
        ImagePipeline* p = f.pipeline();
        ConvertUntilSteady(&f, s, raw, kernel);
        if (HasFatalFailure()) return;
        ASSERT_NE(GetRedGain(p), PIPELINE_UNITY_GAIN) << "red and blue gains other than unity";
        const LONG before[3] = {GetRedGain(p), GetGreenGain(p), GetBlueGain(p)};
        f.Convert(kernel);  // guessed
        LONG expectedGains[3];
        const std::vector<uint8_t> expected = FreshConversion(s, raw, before, expectedGains);
        EXPECT_EQ(f.output(), expected) << Name(kernel);
        EXPECT_EQ(GetRedGain(p), expectedGains[0]) << Name(kernel);
        EXPECT_EQ(GetBlueGain(p), expectedGains[2]) << Name(kernel);
        EXPECT_TRUE(p->whiteBalanceSteady) << Name(kernel);
    }
}

// A frame converted again after a guessed conversion, or after one that
// guessed wrong and converted again, repeats that frame's bytes.
TEST(WhiteBalanceStream, RepeatAfterAGuessGivesTheSameBytes) {
    std::mt19937 rng(8);
    const Settings s{48, 10, 0, true, {87, -16, -6, 0, -14, 90, -20, 0, -9, -10, 91, 0, 0, 0, 0, 64}};
    const std::vector<uint8_t> warm = SceneFrame(Warm, s.width, s.height, s.phase, rng);
    const std::vector<uint8_t> cool = SceneFrame(Cool, s.width, s.height, s.phase, rng);
    for (ConversionKernel kernel : AllKernels()) {
        PipelineFrame f(s.width, s.height);
        ImagePipeline* p = f.pipeline();
        ConvertUntilSteady(&f, s, warm, kernel);
        if (HasFatalFailure()) return;
        for (const std::vector<uint8_t>* scene : {&warm, &cool}) {
            f.raw() = *scene;
            f.Convert(kernel);  // guessed right, then guessed wrong
            const std::vector<uint8_t> converted = f.output();
            SetRedGain(p, 300);
            SetBlueGain(p, 5);
            ConvertFrameAgain(p, f.output().data(), s.width * 4, kernel);
            EXPECT_EQ(f.output(), converted) << Name(kernel);
        }
    }
}

}  // namespace
