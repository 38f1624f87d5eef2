// Frame conversion cases, each run with the SSE2 and the scalar kernel.
#include <algorithm>
#include <cstdio>

#include "tests/pipeline/pipeline_test_support.h"

namespace {

using pipeline_test::Pixel;
using pipeline_test::PipelineFrame;
using pipeline_test::SiteColour;

class ConvertFrameTest : public ::testing::TestWithParam<ConversionKernel> {
protected:
    void SetUp() override {
        hostk::ClearViolations();
        hostk::PoolResetFaults();
        liveBefore_ = hostk::PoolTotals().liveBlocks;
    }
    void TearDown() override {
        EXPECT_EQ(hostk::PoolTotals().liveBlocks, liveBefore_) << hostk::PoolLeakReport();
        EXPECT_EQ(hostk::ViolationCount(), 0u) << hostk::ViolationText();
    }
    ConversionKernel kernel() const { return GetParam(); }

    // Every pixel of the frame equals `expected`; stops at the first that
    // does not.
    static void ExpectUniform(PipelineFrame& f, Pixel expected) {
        for (int r = 0; r < f.height(); ++r)
            for (int c = 0; c < f.width(); ++c)
                if (!(f.At(r, c) == expected)) {
                    ADD_FAILURE() << "pixel (" << r << ", " << c << ") is " << f.At(r, c) << ", expected " << expected;
                    return;
                }
        EXPECT_TRUE(f.GuardIntact());
    }

    size_t liveBefore_ = 0;
};

TEST_P(ConvertFrameTest, UniformHundredWithAndWithoutCorrection) {
    PipelineFrame f(48, 20);
    std::fill(f.raw().begin(), f.raw().end(), 100);
    f.Convert(kernel());
    // The corrected weights, rounded to 1/64, lift blue by 2.
    ExpectUniform(f, Pixel{102, 100, 100, 255});
    f.Neutral();
    f.Convert(kernel());
    ExpectUniform(f, Pixel{100, 100, 100, 255});
}

TEST_P(ConvertFrameTest, UniformWhiteInGreyModeIs253) {
    PipelineFrame f(32, 8);
    std::fill(f.raw().begin(), f.raw().end(), 255);
    SetColorEnable(f.pipeline(), 0);
    UpdateBrightness(f.pipeline(), 0);  // grey output ignores every adjustment
    f.Convert(kernel());
    ExpectUniform(f, Pixel{253, 253, 253, 255});
}

TEST_P(ConvertFrameTest, GreyUsesTheGains) {
    PipelineFrame f(16, 8);
    std::fill(f.raw().begin(), f.raw().end(), 100);
    SetColorEnable(f.pipeline(), 0);
    SetGreenGain(f.pipeline(), 64);
    f.Convert(kernel());
    const int y = (77 * 100 >> 8) + (150 * 50 >> 8) + (29 * 100 >> 8);
    ExpectUniform(f, Pixel{y, y, y, 255});
}

TEST_P(ConvertFrameTest, WhiteBalanceOfTheChannelExampleInEveryPhase) {
    for (int phase = 0; phase < 4; ++phase) {
        SCOPED_TRACE(phase);
        PipelineFrame f(64, 16);
        f.Neutral();
        f.FillChannels(phase, 50, 100, 200);
        SetColorPhase(f.pipeline(), phase);
        SetWhiteBalance(f.pipeline(), 1);
        f.Convert(kernel());
        EXPECT_EQ(GetRedGain(f.pipeline()), 256);
        EXPECT_EQ(GetGreenGain(f.pipeline()), 128);
        EXPECT_EQ(GetBlueGain(f.pipeline()), 64);
        ExpectUniform(f, Pixel{100, 100, 100, 255});
    }
}

TEST_P(ConvertFrameTest, WhiteBalanceSumsOnlyImagePixelsOfANarrowFrame) {
    // Widths that leave part of the last 16-pixel block outside the image:
    // lanes past the width would see the zeroed buffer and skew the sums.
    for (int width : {40, 37, 9}) {
        SCOPED_TRACE(width);
        PipelineFrame f(width, 6);
        f.Neutral();
        f.FillChannels(0, 50, 100, 200);
        LONG red = -1, green = -1, blue = -1;
        FillWorkingBuffer(f.pipeline(), f.raw().data(), 0, width);
        MeasureWhiteBalance(f.pipeline(), kernel(), &red, &green, &blue);
        EXPECT_EQ(red, 256);
        EXPECT_EQ(green, 128);
        EXPECT_EQ(blue, 64);
    }
}

TEST_P(ConvertFrameTest, ZeroChannelSumKeepsThePreviousGains) {
    PipelineFrame f(32, 8);
    f.FillChannels(0, 0, 100, 200);  // no red at all
    SetWhiteBalance(f.pipeline(), 1);
    SetRedGain(f.pipeline(), 140);
    SetGreenGain(f.pipeline(), 120);
    SetBlueGain(f.pipeline(), 110);
    f.Neutral();
    f.Convert(kernel());
    EXPECT_EQ(GetRedGain(f.pipeline()), 140);
    EXPECT_EQ(GetGreenGain(f.pipeline()), 120);
    EXPECT_EQ(GetBlueGain(f.pipeline()), 110);
    // ... and the frame is converted with them.
    ExpectUniform(f, Pixel{(200 * 110) >> 7, (100 * 120) >> 7, 0, 255});

    std::fill(f.raw().begin(), f.raw().end(), 0);  // a black frame
    f.Convert(kernel());
    EXPECT_EQ(GetRedGain(f.pipeline()), 140);
    ExpectUniform(f, Pixel{0, 0, 0, 255});
}

TEST_P(ConvertFrameTest, MeasuredGainsStayWithinSixteenBits) {
    PipelineFrame f(16, 8);
    f.FillChannels(0, 255, 255, 0);
    f.sample(1, 0) = 1;  // one faint blue sample
    LONG red = 0, green = 0, blue = 0;
    FillWorkingBuffer(f.pipeline(), f.raw().data(), 0, 16);
    MeasureWhiteBalance(f.pipeline(), kernel(), &red, &green, &blue);
    EXPECT_EQ(red, 128);
    EXPECT_EQ(green, 128);
    EXPECT_EQ(blue, 65535);
}

TEST_P(ConvertFrameTest, GainsSaturateInsteadOfWrapping) {
    PipelineFrame f(24, 8);
    f.Neutral();
    std::fill(f.raw().begin(), f.raw().end(), 255);
    SetRedGain(f.pipeline(), 300);
    SetGreenGain(f.pipeline(), 64);
    SetBlueGain(f.pipeline(), 129);
    f.Convert(kernel());
    ExpectUniform(f, Pixel{255, 127, 255, 255});

    // A gain past 16 bits is taken by its low 16 bits: 65536 + 64 acts as 64.
    SetRedGain(f.pipeline(), 65536 + 64);
    f.Convert(kernel());
    ExpectUniform(f, Pixel{255, 127, 127, 255});
}

TEST_P(ConvertFrameTest, OddWidthRowsArePackedWithoutGaps) {
    PipelineFrame f(40, 5);
    f.Neutral();
    for (int r = 0; r < 5; ++r)
        for (int c = 0; c < 40; ++c) f.sample(r, c) = static_cast<uint8_t>(r * 40 + c);
    f.Convert(kernel());
    // Every pixel of the packed buffer is written (alpha 255) and nothing after.
    for (int i = 0; i < 40 * 5; ++i) ASSERT_EQ(f.output()[i * 4 + 3], 255) << i;
    EXPECT_TRUE(f.GuardIntact());
    // Green sites pass their own sample through: row 3 starts at 3 * 40 * 4.
    EXPECT_EQ(f.At(3, 1).green, 3 * 40 + 1);  // phase 0, odd row, odd column
    EXPECT_EQ(f.At(4, 38).green, 4 * 40 + 38);
}

// The kernels as 5x5 weight tables, row dy + 2, column dx + 2.
struct Kernel {
    int weight[5][5];
    int divisor;
};
const Kernel kGreen = {{{0, 0, -1, 0, 0}, {0, 0, 2, 0, 0}, {-1, 2, 4, 2, -1}, {0, 0, 2, 0, 0}, {0, 0, -1, 0, 0}}, 8};
const Kernel kRow = {{{0, 0, 1, 0, 0}, {0, -2, 0, -2, 0}, {-2, 8, 10, 8, -2}, {0, -2, 0, -2, 0}, {0, 0, 1, 0, 0}}, 16};
const Kernel kColumn = {{{0, 0, -2, 0, 0}, {0, -2, 8, -2, 0}, {1, 0, 10, 0, 1}, {0, -2, 8, -2, 0}, {0, 0, -2, 0, 0}},
                        16};
const Kernel kDiagonal = {{{0, 0, -3, 0, 0}, {0, 4, 0, 4, 0}, {-3, 0, 12, 0, -3}, {0, 4, 0, 4, 0}, {0, 0, -3, 0, 0}},
                          16};

// Which kernel gives channel `channel` ('R', 'G', 'B') at a pixel; null for
// the pixel's own colour.
const Kernel* KernelFor(int phase, int r, int c, char channel) {
    char site = SiteColour(phase, r, c);
    if (site == channel) return nullptr;
    if (site == 'G') {
        char besideInRow = SiteColour(phase, r, c + 1);
        return channel == besideInRow ? &kRow : &kColumn;
    }
    return channel == 'G' ? &kGreen : &kDiagonal;
}

TEST_P(ConvertFrameTest, SingleSampleShowsEachKernelFootprintInEveryPhase) {
    const int kField = 64, kBright = 160;
    for (int phase = 0; phase < 4; ++phase) {
        for (int parity = 0; parity < 4; ++parity) {
            const int br = 8 + (parity >> 1), bc = 8 + (parity & 1);
            SCOPED_TRACE(::testing::Message() << "phase " << phase << " bright " << SiteColour(phase, br, bc) << " at "
                                              << br << "," << bc);
            PipelineFrame f(20, 18);
            f.Neutral();
            SetColorPhase(f.pipeline(), phase);
            std::fill(f.raw().begin(), f.raw().end(), kField);
            f.sample(br, bc) = kBright;
            f.Convert(kernel());
            int mismatches = 0;
            for (int r = 0; r < f.height(); ++r) {
                for (int c = 0; c < f.width(); ++c) {
                    int expected[3];
                    const char channels[3] = {'B', 'G', 'R'};
                    for (int i = 0; i < 3; ++i) {
                        const Kernel* k = KernelFor(phase, r, c, channels[i]);
                        int dy = br - r, dx = bc - c;
                        if (k == nullptr) {
                            expected[i] = (dy == 0 && dx == 0) ? kBright : kField;
                        } else {
                            int w = (std::abs(dy) <= 2 && std::abs(dx) <= 2) ? k->weight[dy + 2][dx + 2] : 0;
                            int sum = kField * k->divisor + (kBright - kField) * w;
                            expected[i] = std::min(255, (sum + k->divisor / 2) / k->divisor);
                        }
                    }
                    Pixel want{expected[0], expected[1], expected[2], 255};
                    if (!(f.At(r, c) == want) && ++mismatches <= 3)
                        ADD_FAILURE() << "pixel (" << r << ", " << c << ") is " << f.At(r, c) << ", expected " << want;
                }
            }
        }
    }
}

// Converts `image` (width x height, packed) and returns its output.
std::vector<uint8_t> ConvertImage(const std::vector<uint8_t>& image, int width, int height, ConversionKernel kernel) {
    PipelineFrame f(width, height);
    f.Neutral();
    f.raw() = image;
    f.Convert(kernel);
    f.output().resize(static_cast<size_t>(width) * height * 4);
    return f.output();
}

TEST_P(ConvertFrameTest, EdgesInterpolateFromRowsAndColumnsMirroredWithoutRepeat) {
    // A frame's border pixels must come out as the same pixels do inside a
    // larger frame that holds the mirrored rows and columns explicitly.
    const int w = 20, h = 12;
    std::vector<uint8_t> image(w * h);
    uint32_t seed = 12345;
    for (auto& v : image) v = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 24);
    auto mirror = [](int i, int n) { return i < 0 ? -i : i >= n ? 2 * (n - 1) - i : i; };
    // Two extra rows and columns on every side; even counts keep the phase.
    const int W = w + 4, H = h + 4;
    std::vector<uint8_t> padded(W * H);
    for (int r = 0; r < H; ++r)
        for (int c = 0; c < W; ++c) padded[r * W + c] = image[mirror(r - 2, h) * w + mirror(c - 2, w)];

    std::vector<uint8_t> small = ConvertImage(image, w, h, kernel());
    std::vector<uint8_t> large = ConvertImage(padded, W, H, kernel());
    for (int r = 0; r < h; ++r)
        for (int c = 0; c < w; ++c)
            for (int b = 0; b < 4; ++b)
                ASSERT_EQ(small[(r * w + c) * 4 + b], large[((r + 2) * W + c + 2) * 4 + b])
                    << "pixel " << r << "," << c << " byte " << b;
}

// The channel value the matrix gives for a uniform grey v, 16-bit wraps and all.
int WrappedChannel(const LONG* m, int c, int v) {
    uint16_t pos = 0, neg = 0;
    for (int k = 0; k < 4; ++k) {
        LONG e = m[4 * k + c];
        uint16_t term = static_cast<uint16_t>((k < 3 ? v : 1) * std::abs(e));
        if (e > 0) pos = static_cast<uint16_t>(pos + term);
        else neg = static_cast<uint16_t>(neg + term);
    }
    int p = pos >> 6, n = neg >> 6;
    return p > n ? std::min(255, p - n) : 0;
}

TEST_P(ConvertFrameTest, AccumulatorsWrapWithExtremeCoefficients) {
    PipelineFrame f(32, 8);
    ImagePipeline* p = f.pipeline();
    UpdateBrightness(p, 510);
    UpdateContrast(p, 20);
    UpdateSaturation(p, 20);
    UpdateHue(p, 359);
    LONG m[16];
    SnapshotCoefficients(p, m);
    for (int v : {30, 120, 200}) {
        SCOPED_TRACE(v);
        std::fill(f.raw().begin(), f.raw().end(), v);
        f.Convert(kernel());
        Pixel want{WrappedChannel(m, 2, v), WrappedChannel(m, 1, v), WrappedChannel(m, 0, v), 255};
        ExpectUniform(f, want);
    }
    // At 200 the red sum passes 65535: without the wrap red would be 255.
    int unwrapped = ((24448 + 200 * 310) >> 6) - ((200 * (131 + 51)) >> 6);
    EXPECT_GT(unwrapped, 255);
    EXPECT_EQ(WrappedChannel(m, 0, 200), 0);
}

TEST_P(ConvertFrameTest, NothingIsConvertedWithoutBuffers) {
    PipelineFrame f(16, 8);
    std::fill(f.raw().begin(), f.raw().end(), 100);
    ImagePipeline* p = f.pipeline();

    ConvertFrameWithKernel(p, nullptr, 0, 16, kernel());  // no raw buffer
    EXPECT_EQ(f.output()[3], PipelineFrame::kUnwritten);

    UCHAR* output = p->outputBuffer;
    p->outputBuffer = nullptr;  // no output buffer
    f.Convert(kernel());
    EXPECT_EQ(f.output()[3], PipelineFrame::kUnwritten);

    ReleaseWorkingBuffer(p);  // streaming ended: no working buffer
    p->outputBuffer = output;
    SetWhiteBalance(p, 1);
    f.Convert(kernel());
    EXPECT_EQ(f.output()[3], PipelineFrame::kUnwritten);
    EXPECT_EQ(GetRedGain(p), 128);

    ConvertFrame(nullptr, f.raw().data(), 0, 16);
}

TEST_P(ConvertFrameTest, CameraLayoutTakesLinesAtTheirOffsetAndPitch) {
    const int w = 32, h = 6;
    PipelineFrame f(w, h);
    f.Neutral();
    std::vector<uint8_t> raw(RawDataOffset + h * RawLinePitch, 7);  // 7 outside the image
    for (int r = 0; r < h; ++r)
        for (int c = 0; c < w; ++c) raw[RawDataOffset + r * RawLinePitch + c] = 90;
    ConvertFrameWithKernel(f.pipeline(), raw.data(), RawDataOffset, RawLinePitch, kernel());
    ExpectUniform(f, Pixel{90, 90, 90, 255});
}

TEST_P(ConvertFrameTest, TinyImagesAreMirroredAndKeepTheirColours) {
    // Fewer than 8 rows or columns: the margins are folded from the image
    // itself, so a mosaic of uniform channels stays uniform (from 2 pixels on
    // the Bayer parity survives the fold).
    for (int w : {2, 3, 5, 7, 17})
        for (int h : {2, 3, 4, 7}) {
            SCOPED_TRACE(::testing::Message() << w << "x" << h);
            for (int phase = 0; phase < 4; ++phase) {
                PipelineFrame f(w, h);
                f.Neutral();
                SetColorPhase(f.pipeline(), phase);
                f.FillChannels(phase, 50, 100, 200);
                f.Convert(kernel());
                ExpectUniform(f, Pixel{200, 100, 50, 255});
            }
        }
    // A single pixel, row or column: everything stands for its one sample.
    for (auto size : {std::make_pair(1, 1), std::make_pair(1, 6), std::make_pair(9, 1)}) {
        PipelineFrame f(size.first, size.second);
        f.Neutral();
        std::fill(f.raw().begin(), f.raw().end(), 77);
        f.Convert(kernel());
        ExpectUniform(f, Pixel{77, 77, 77, 255});
    }
}

INSTANTIATE_TEST_SUITE_P(Kernels, ConvertFrameTest,
                         ::testing::Values(ConversionKernelSse2, ConversionKernelScalar),
                         [](const ::testing::TestParamInfo<ConversionKernel>& info) {
                             return std::string(pipeline_test::KernelName(info.param));
                         });

}  // namespace
