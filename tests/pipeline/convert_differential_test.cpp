// The SSE2 and AVX2 kernels against the scalar reference on random frames,
// sizes, phases, gains and coefficient sets, with white balance (whose
// measuring pass hands its demosaiced channels to the conversion in the
// vector kernels, and demosaics twice in the reference), with gains of 16384
// and more (their own route), and with output buffers on and off 16-byte
// boundaries: every output byte and every measured gain must agree.
#include <algorithm>
#include <random>

#include "host/kernel/xstate.h"
#include "driver/pipeline/processor_features.h"
#include "tests/pipeline/pipeline_test_support.h"

namespace {

using pipeline_test::PipelineFrame;

// The vector kernels this processor runs (AVX2 falls back to SSE2 where the
// processor lacks it, which would only repeat the SSE2 comparison).
std::vector<ConversionKernel> VectorKernels() {
    std::vector<ConversionKernel> kernels = {ConversionKernelSse2};
    if (ProcessorHasAvx2()) kernels.push_back(ConversionKernelAvx2);
    return kernels;
}

const char* Name(ConversionKernel kernel) { return kernel == ConversionKernelAvx2 ? "AVX2" : "SSE2"; }

struct Trial {
    int width;
    int height;
    int phase;
    bool colour;
    bool whiteBalance;
    LONG gains[3];
    LONG coefficients[16];
    size_t outputOffset;  // bytes past a 16-byte boundary
};

Trial RandomTrial(std::mt19937& rng, int index) {
    auto uniform = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    Trial t;
    // Mostly widths that are not multiples of 16, odd heights, tiny images;
    // the AVX2 kernel's 32-pixel steps end with none, one whole or one
    // partial 16-pixel step, or one whole and one partial.
    t.width = index % 7 == 0 ? 16 * uniform(1, 5) : uniform(1, 90);
    t.height = uniform(1, 41);
    t.phase = uniform(0, 3);
    t.colour = uniform(0, 3) != 0;
    t.whiteBalance = uniform(0, 4) == 0;
    // Unity, below 16384, green unity and any 16-bit gain take different
    // vector routes.
    // Only the low 16 bits of a gain count: some of the large ones wrap.
    for (LONG& g : t.gains) g = index % 5 == 0 ? 128 : index % 5 == 1 ? uniform(0, 256) : uniform(0, 300);
    if (index % 5 == 4) t.gains[uniform(0, 2)] = uniform(0, 1) ? uniform(16384, 65535) : uniform(65536, 200000);
    // Green at unity with red and blue scaled, as white balance leaves them.
    if (index % 5 == 2 && uniform(0, 1) == 0) t.gains[1] = 128;
    // Output buffers off a 16-byte boundary.
    t.outputOffset = uniform(0, 3) == 0 ? 4 * static_cast<size_t>(uniform(1, 3)) : 0;
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
    // The conversion into a buffer `outputOffset` bytes past a 16-byte
    // boundary, with a guard after it.
    std::vector<uint8_t> shifted;
    if (t.outputOffset != 0) {
        const size_t size = static_cast<size_t>(t.width) * t.height * 4;
        shifted.assign(size + 32 + PipelineFrame::kGuard, PipelineFrame::kUnwritten);
        uint8_t* aligned = shifted.data() + ((16 - reinterpret_cast<uintptr_t>(shifted.data()) % 16) % 16);
        p->outputBuffer = aligned + t.outputOffset;
        f.Convert(kernel);
        for (size_t i = size; i < size + PipelineFrame::kGuard; ++i)
            EXPECT_EQ(aligned[t.outputOffset + i], PipelineFrame::kUnwritten);
        std::copy(aligned + t.outputOffset, aligned + t.outputOffset + size, f.output().begin());
        p->outputBuffer = f.output().data();
    } else {
        f.Convert(kernel);
    }
    EXPECT_TRUE(f.GuardIntact());
    Result r;
    r.output = f.output();
    r.gains[0] = GetRedGain(p);
    r.gains[1] = GetGreenGain(p);
    r.gains[2] = GetBlueGain(p);
    return r;
}

// Every random trial through each vector kernel and the reference.
TEST(ConvertDifferential, VectorKernelsMatchScalarOnRandomFrames) {
    std::mt19937 rng(20240611);
    const int kTrials = 600;
    int wrappingTrials = 0;
    int largeGainTrials = 0;
    int shiftedTrials = 0;
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
        Result scalar = ConvertTrial(t, raw, ConversionKernelScalar);
        for (ConversionKernel kernel : VectorKernels()) {
            Result vector = ConvertTrial(t, raw, kernel);
            ASSERT_EQ(vector.output, scalar.output)
                << Name(kernel) << " trial " << i << ": " << t.width << "x" << t.height << " phase " << t.phase
                << (t.colour ? " colour" : " mono") << (t.whiteBalance ? " white balance" : "") << " gains "
                << t.gains[0] << "/" << t.gains[1] << "/" << t.gains[2] << " offset " << t.outputOffset;
            for (int c = 0; c < 3; ++c) ASSERT_EQ(vector.gains[c], scalar.gains[c]) << Name(kernel) << " trial " << i;
        }
        for (int c = 0; c < 3; ++c)
            if (std::abs(t.coefficients[12 + c]) > 10000) ++wrappingTrials;
        for (int c = 0; c < 3; ++c)
            if (!t.whiteBalance && (t.gains[c] & 0xFFFF) >= 16384) ++largeGainTrials;
        if (t.outputOffset != 0) ++shiftedTrials;
    }
    // The wrapping sets, the large gains and the unaligned buffers were
    // exercised.
    EXPECT_GT(wrappingTrials, kTrials / 10);
    EXPECT_GT(largeGainTrials, kTrials / 20);
    EXPECT_GT(shiftedTrials, kTrials / 10);
}

// Coefficient sets shaped like the colour correction (each channel's own
// input positive, the other two zero or negative) take their own vector
// route; these include constants of either sign and magnitudes that wrap.
TEST(ConvertDifferential, VectorKernelsMatchScalarOnCorrectionShapedMatrices) {
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
        Result scalar = ConvertTrial(t, raw, ConversionKernelScalar);
        for (ConversionKernel kernel : VectorKernels()) {
            Result vector = ConvertTrial(t, raw, kernel);
            ASSERT_EQ(vector.output, scalar.output) << Name(kernel) << " trial " << i << ": " << t.width << "x"
                                                    << t.height << " phase " << t.phase
                                                    << (t.whiteBalance ? " white balance" : "");
            ASSERT_EQ(vector.gains[0], scalar.gains[0]) << "trial " << i;
            ASSERT_EQ(vector.gains[2], scalar.gains[2]) << "trial " << i;
        }
    }
}

// The camera's full frame, with and without white balance, colour and grey,
// every phase: the sizes the driver converts all the time.
TEST(ConvertDifferential, VectorKernelsMatchScalarAtSensorSize) {
    std::mt19937 rng(7);
    Trial t{};
    t.width = 1600;
    t.height = 1200;
    t.gains[0] = t.gains[1] = t.gains[2] = 128;
    const LONG factory[16] = {87, -16, -6, 0, -14, 90, -20, 0, -9, -10, 91, 0, 0, 0, 0, 64};
    for (int i = 0; i < 16; ++i) t.coefficients[i] = factory[i];
    std::vector<uint8_t> raw(1600 * 1200);
    for (auto& v : raw) v = static_cast<uint8_t>(rng());
    for (int phase = 0; phase < 4; ++phase) {
        t.phase = phase;
        t.colour = phase != 3;
        t.whiteBalance = phase != 2;
        Result scalar = ConvertTrial(t, raw, ConversionKernelScalar);
        for (ConversionKernel kernel : VectorKernels()) {
            Result vector = ConvertTrial(t, raw, kernel);
            ASSERT_TRUE(vector.output == scalar.output) << Name(kernel) << " phase " << phase;
            EXPECT_EQ(vector.gains[0], scalar.gains[0]);
            EXPECT_EQ(vector.gains[2], scalar.gains[2]);
        }
    }
}

// White balance on frames with almost no red (or blue) measures gains of
// 16384 and more, up to the cap of 65535: the conversion then applies them
// to the channels the measuring pass kept, through the general gain route.
TEST(ConvertDifferential, WhiteBalanceWithLargeMeasuredGainsMatchesScalar) {
    std::mt19937 rng(16384);
    int large = 0, capped = 0;
    for (int i = 0; i < 24; ++i) {
        Trial t{};
        t.width = i % 3 == 0 ? 96 : 33 + 7 * i;
        t.height = 6 + i % 5;
        t.phase = 0;  // GRBG: red at (even row, odd column), blue at (odd row, even column)
        t.colour = i % 4 != 3;
        t.whiteBalance = true;
        t.gains[0] = t.gains[1] = t.gains[2] = 128;
        const LONG factory[16] = {87, -16, -6, 0, -14, 90, -20, 0, -9, -10, 91, 0, 0, 0, 0, 64};
        for (int k = 0; k < 16; ++k) t.coefficients[k] = factory[k];
        const bool dimRed = i % 2 == 0;
        std::vector<uint8_t> raw(static_cast<size_t>(t.width) * t.height);
        for (int r = 0; r < t.height; ++r) {
            for (int c = 0; c < t.width; ++c) {
                const bool green = (r + c) % 2 == 0;
                const bool red = r % 2 == 0 && !green;
                const bool dim = red == dimRed;
                // Green and the bright channel even, so the gradient terms
                // add nothing to the dim channel's interpolated samples; a
                // few of its own samples are 1, the rest 0: its sum stays
                // small but not 0.
                raw[static_cast<size_t>(r) * t.width + c] =
                    green ? 200 : dim ? static_cast<uint8_t>(rng() % (i % 3 == 1 ? 4 : 40) == 0) : 120;
            }
        }
        Result scalar = ConvertTrial(t, raw, ConversionKernelScalar);
        const LONG measured = scalar.gains[dimRed ? 0 : 2];
        if (measured >= 16384) ++large;
        if (measured == 65535) ++capped;
        for (ConversionKernel kernel : VectorKernels()) {
            Result vector = ConvertTrial(t, raw, kernel);
            ASSERT_EQ(vector.output, scalar.output) << Name(kernel) << " trial " << i << " gain " << measured;
            ASSERT_EQ(vector.gains[0], scalar.gains[0]) << Name(kernel) << " trial " << i;
            ASSERT_EQ(vector.gains[2], scalar.gains[2]) << Name(kernel) << " trial " << i;
        }
    }
    EXPECT_GE(large, 12);
    EXPECT_GE(capped, 1);
}

// A client's frame rows as the capture pin hands them over: bottom row
// first, rows `pitch` bytes apart (padding after each row), a guard before
// and after. Holds the bytes it was filled with where nothing was written.
struct BottomUpRows {
    BottomUpRows(int width, int height, size_t padding)
        : width(width), height(height), pitch(static_cast<size_t>(width) * 4 + padding),
          bytes(PipelineFrame::kGuard * 2 + pitch * height, PipelineFrame::kUnwritten) {}
    // Image row 0 is the frame's last row.
    uint8_t* FirstRow() { return bytes.data() + PipelineFrame::kGuard + pitch * (height - 1); }
    LONG_PTR RowPitch() const { return -static_cast<LONG_PTR>(pitch); }
    // The rows read back top row first, width * 4 bytes each; the bytes
    // between rows and the guards must be as filled.
    std::vector<uint8_t> TopDown(bool* untouchedElsewhere) const {
        const size_t row = static_cast<size_t>(width) * 4;
        std::vector<uint8_t> image(row * height);
        *untouchedElsewhere = true;
        for (size_t i = 0; i < bytes.size(); ++i) {
            const bool inFrame = i >= PipelineFrame::kGuard && i < PipelineFrame::kGuard + pitch * height;
            const bool inRow = inFrame && (i - PipelineFrame::kGuard) % pitch < row;
            if (!inRow && bytes[i] != PipelineFrame::kUnwritten) *untouchedElsewhere = false;
        }
        for (int r = 0; r < height; ++r)
            std::copy_n(&bytes[PipelineFrame::kGuard + pitch * (height - 1 - r)], row, &image[row * r]);
        return image;
    }
    int width;
    int height;
    size_t pitch;
    std::vector<uint8_t> bytes;
};

// Conversions straight into bottom-up rows (white balance's scratch there
// too), and the repeat of a frame from the working buffer after every
// setting has changed, give the reference's top-down bytes row for row and
// write nothing between the rows, with every kernel.
TEST(ConvertDifferential, RowsBottomUpAndTheRepeatMatchScalar) {
    std::mt19937 rng(1208);
    std::vector<ConversionKernel> kernels = VectorKernels();
    kernels.push_back(ConversionKernelScalar);
    int whiteBalanced = 0;
    for (int i = 0; i < 200; ++i) {
        Trial t = RandomTrial(rng, i);
        if (i % 4 == 0) t.whiteBalance = true;
        std::vector<uint8_t> raw(static_cast<size_t>(t.width) * t.height);
        for (auto& v : raw) v = static_cast<uint8_t>(rng());
        const Result reference = ConvertTrial(t, raw, ConversionKernelScalar);
        const std::vector<uint8_t> expected(reference.output.begin(),
                                            reference.output.end() - PipelineFrame::kGuard);
        const size_t padding = 4 * static_cast<size_t>(i % 3);
        for (ConversionKernel kernel : kernels) {
            PipelineFrame f(t.width, t.height);
            ImagePipeline* p = f.pipeline();
            SetColorPhase(p, t.phase);
            SetColorEnable(p, t.colour ? 1 : 0);
            SetWhiteBalance(p, t.whiteBalance ? 1 : 0);
            SetRedGain(p, t.gains[0]);
            SetGreenGain(p, t.gains[1]);
            SetBlueGain(p, t.gains[2]);
            for (int k = 0; k < 16; ++k) p->coefficients[k] = t.coefficients[k];
            BottomUpRows rows(t.width, t.height, padding);
            ConvertFrameToRows(p, raw.data(), 0, static_cast<ULONG>(t.width), rows.FirstRow(), rows.RowPitch(),
                               kernel);
            bool clean = false;
            ASSERT_EQ(rows.TopDown(&clean), expected) << Name(kernel) << " trial " << i;
            EXPECT_TRUE(clean) << Name(kernel) << " trial " << i;
            const LONG gains[3] = {GetRedGain(p), GetGreenGain(p), GetBlueGain(p)};
            for (int c = 0; c < 3; ++c) EXPECT_EQ(gains[c], reference.gains[c]) << Name(kernel) << " trial " << i;

            SetColorPhase(p, (t.phase + 1) % 4);
            SetColorEnable(p, t.colour ? 0 : 1);
            SetWhiteBalance(p, t.whiteBalance ? 0 : 1);
            SetRedGain(p, t.gains[0] + 17);
            SetBlueGain(p, 3);
            for (int k = 0; k < 16; ++k) p->coefficients[k] = -t.coefficients[k];
            BottomUpRows again(t.width, t.height, padding + 8);
            ConvertFrameAgain(p, again.FirstRow(), again.RowPitch(), kernel);
            ASSERT_EQ(again.TopDown(&clean), expected) << Name(kernel) << " repeat, trial " << i;
            EXPECT_TRUE(clean) << Name(kernel) << " repeat, trial " << i;
        }
        if (t.whiteBalance) ++whiteBalanced;
    }
    EXPECT_GT(whiteBalanced, 50);
}

// ConvertFrame runs the AVX2 kernel only between a save and a restore of the
// extended processor state, also when Process converts at DISPATCH_LEVEL.
TEST(ConvertDifferential, Avx2RunsInsideSavedExtendedState) {
    if (!ProcessorHasAvx2()) GTEST_SKIP() << "no AVX2 on this processor";
    PipelineFrame f(64, 8);
    for (auto& v : f.raw()) v = 77;
    const size_t saves = hostk::ExtendedStateSaves();
    const size_t restores = hostk::ExtendedStateRestores();
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    ConvertFrame(f.pipeline(), f.raw().data(), 0, 64);
    KeLowerIrql(old);
    EXPECT_EQ(hostk::ExtendedStateSaves(), saves + 1);
    EXPECT_EQ(hostk::ExtendedStateRestores(), restores + 1);
    f.Convert(ConversionKernelSse2);
    EXPECT_EQ(hostk::ExtendedStateSaves(), saves + 1) << "the SSE2 kernel needs no save";
    EXPECT_EQ(hostk::ViolationCount(), 0u) << hostk::ViolationText();
}

}  // namespace
