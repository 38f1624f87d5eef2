#include <array>

#include "driver/pipeline/matrix.h"
#include "tests/pipeline/pipeline_test_support.h"

namespace {

using Coefficients = std::array<LONG, 16>;

Coefficients Published(ImagePipeline* p) {
    Coefficients c;
    SnapshotCoefficients(p, c.data());
    return c;
}

class ImagePipelineTest : public ::testing::Test {
protected:
    void SetUp() override {
        hostk::PoolResetFaults();
        hostk::ClearViolations();
        liveBefore_ = hostk::PoolTotals().liveBlocks;
        p_ = CreatePipeline();
        ASSERT_NE(p_, nullptr);
    }
    void TearDown() override {
        FreePipeline(p_);
        EXPECT_EQ(hostk::PoolTotals().liveBlocks, liveBefore_) << hostk::PoolLeakReport();
        EXPECT_EQ(hostk::ViolationCount(), 0u) << hostk::ViolationText();
        hostk::PoolResetFaults();
    }
    // Colour correction off, everything else neutral.
    void Neutral() { UpdateColorCorrection(p_, 0); }

    ImagePipeline* p_ = nullptr;
    size_t liveBefore_ = 0;
};

const Coefficients kNeutral = {64, 0, 0, 0, 0, 64, 0, 0, 0, 0, 64, 0, 0, 0, 0, 64};

TEST_F(ImagePipelineTest, StartsWithFactoryValuesAndCorrectedCoefficients) {
    EXPECT_EQ(GetColorPhase(p_), 0);
    EXPECT_EQ(GetColorEnable(p_), 1);
    EXPECT_EQ(GetWhiteBalance(p_), 0);
    EXPECT_EQ(GetRedGain(p_), 128);
    EXPECT_EQ(GetGreenGain(p_), 128);
    EXPECT_EQ(GetBlueGain(p_), 128);
    EXPECT_EQ(GetColorCorrection(p_), 1);
    EXPECT_EQ(GetBrightness(p_), 255);
    EXPECT_EQ(GetContrast(p_), 10);
    EXPECT_EQ(GetSaturation(p_), 10);
    EXPECT_EQ(GetHue(p_), 0);
    EXPECT_EQ(p_->outputBuffer, nullptr);
    EXPECT_EQ(p_->workBuffer, nullptr);
    EXPECT_EQ(Published(p_), (Coefficients{87, -16, -6, 0, -14, 90, -20, 0, -9, -10, 91, 0, 0, 0, 0, 64}));
    EXPECT_EQ(hostk::PoolTagStats(PipelinePoolTag).liveBlocks, 1u);
    EXPECT_EQ(hostk::PoolTagStats(PipelinePoolTag).liveBytes, sizeof(ImagePipeline));
}

TEST_F(ImagePipelineTest, FactorySettingsAppliedInAcquireOrderRebuildNothing) {
    // The same order the pin's acquire uses; with factory values every
    // change-only setter sees an equal value.
    p_->coefficients[7] = 12345;  // would be overwritten by any rebuild
    SetWhiteBalance(p_, 0);
    SetColorPhase(p_, 0);
    SetColorEnable(p_, 1);
    SetRedGain(p_, 128);
    SetGreenGain(p_, 128);
    SetBlueGain(p_, 128);
    UpdateColorCorrection(p_, 1);
    UpdateBrightness(p_, 255);
    UpdateContrast(p_, 10);
    UpdateSaturation(p_, 10);
    UpdateHue(p_, 0);
    EXPECT_EQ(p_->coefficients[7], 12345);
}

TEST_F(ImagePipelineTest, NeutralBrightnessAndContrastSets) {
    Neutral();
    EXPECT_EQ(Published(p_), kNeutral);

    UpdateBrightness(p_, 510);
    EXPECT_EQ(Published(p_), (Coefficients{64, 0, 0, 0, 0, 64, 0, 0, 0, 0, 64, 0, 16320, 16320, 16320, 64}));
    UpdateBrightness(p_, 0);
    EXPECT_EQ(Published(p_), (Coefficients{64, 0, 0, 0, 0, 64, 0, 0, 0, 0, 64, 0, -16320, -16320, -16320, 64}));
    UpdateBrightness(p_, 255);
    EXPECT_EQ(Published(p_), kNeutral);

    UpdateContrast(p_, 20);
    EXPECT_EQ(Published(p_), (Coefficients{128, 0, 0, 0, 0, 128, 0, 0, 0, 0, 128, 0, -8192, -8192, -8192, 64}));
    UpdateContrast(p_, 0);
    EXPECT_EQ(Published(p_), (Coefficients{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 8192, 8192, 8192, 64}));
}

TEST_F(ImagePipelineTest, SaturationAndHueSets) {
    Neutral();
    UpdateSaturation(p_, 0);
    EXPECT_EQ(Published(p_), (Coefficients{20, 20, 20, 0, 39, 39, 39, 0, 5, 5, 5, 0, 0, 0, 0, 64}));
    UpdateSaturation(p_, 20);
    EXPECT_EQ(Published(p_), (Coefficients{108, -20, -20, 0, -39, 89, -39, 0, -5, -5, 123, 0, 0, 0, 0, 64}));
    UpdateSaturation(p_, 10);
    EXPECT_EQ(Published(p_), kNeutral);

    UpdateHue(p_, 120);
    EXPECT_EQ(Published(p_), (Coefficients{-19, 45, -19, 0, 34, 34, 98, 0, 49, -15, -15, 0, 0, 0, 0, 64}));
    UpdateHue(p_, 180);
    EXPECT_EQ(Published(p_), (Coefficients{-24, 40, 40, 0, 78, 14, 78, 0, 10, 10, -54, 0, 0, 0, 0, 64}));
    UpdateHue(p_, 0);
    EXPECT_EQ(Published(p_), kNeutral);
}

TEST_F(ImagePipelineTest, CombinedExtremeSetNeedsMoreThanSixteenBits) {
    UpdateBrightness(p_, 510);
    UpdateContrast(p_, 20);
    UpdateSaturation(p_, 20);
    UpdateHue(p_, 359);
    EXPECT_EQ(Published(p_), (Coefficients{310, -106, -59, 0, -131, 280, -164, 0, -51, -45, 352, 0, 24448, 24448,
                                           24448, 64}));
}

TEST_F(ImagePipelineTest, ChangeOnlySettersRebuildOnlyOnAChange) {
    struct Case {
        const char* name;
        void (*update)(ImagePipeline*, LONG);
        LONG current;
        LONG other;
    };
    const Case cases[] = {
        {"ColorCorrection", UpdateColorCorrection, 1, 0}, {"Brightness", UpdateBrightness, 255, 300},
        {"Contrast", UpdateContrast, 10, 12},             {"Saturation", UpdateSaturation, 10, 3},
        {"Hue", UpdateHue, 0, 90},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        p_->coefficients[3] = -777;  // a value no build produces
        c.update(p_, c.current);
        EXPECT_EQ(p_->coefficients[3], -777);
        c.update(p_, c.other);
        EXPECT_EQ(p_->coefficients[3], 0);
        c.update(p_, c.current);  // back to factory for the next case
    }
    EXPECT_EQ(GetBrightness(p_), 255);
    EXPECT_EQ(GetHue(p_), 0);
}

TEST_F(ImagePipelineTest, ChangeOnlySettersStoreTheNewValue) {
    UpdateColorCorrection(p_, 0);
    UpdateBrightness(p_, 100);
    UpdateContrast(p_, 5);
    UpdateSaturation(p_, 15);
    UpdateHue(p_, 200);
    EXPECT_EQ(GetColorCorrection(p_), 0);
    EXPECT_EQ(GetBrightness(p_), 100);
    EXPECT_EQ(GetContrast(p_), 5);
    EXPECT_EQ(GetSaturation(p_), 15);
    EXPECT_EQ(GetHue(p_), 200);
}

TEST_F(ImagePipelineTest, BuildersClampFromAboveOnly) {
    Neutral();
    struct Case {
        const char* name;
        void (*build)(ImagePipeline*, LONG);
        LONG tooLarge;
        LONG limit;
    };
    const Case cases[] = {{"Brightness", BuildBrightnessMatrix, 600, 510},
                          {"Contrast", BuildContrastMatrix, 25, 20},
                          {"Saturation", BuildSaturationMatrix, 25, 20}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.build(p_, c.limit);
        Coefficients atLimit = Published(p_);
        c.build(p_, c.limit - 1);
        ASSERT_NE(Published(p_), atLimit);
        c.build(p_, c.tooLarge);
        EXPECT_EQ(Published(p_), atLimit);
    }
    // Brightness has no lower clamp: -10 gives an offset below -255.
    BuildContrastMatrix(p_, 10);
    BuildSaturationMatrix(p_, 10);
    BuildBrightnessMatrix(p_, -10);
    EXPECT_EQ(Published(p_)[12], -265 * 64);
}

TEST_F(ImagePipelineTest, CorrectionBuilderTakesAnyNonzeroValueAsOn) {
    BuildCorrectionMatrix(p_, 0);
    EXPECT_EQ(Published(p_), kNeutral);
    BuildCorrectionMatrix(p_, -5);
    EXPECT_EQ(Published(p_)[0], 87);
}

TEST_F(ImagePipelineTest, PlainSettersStoreWithoutRebuilding) {
    p_->coefficients[3] = -777;
    SetColorPhase(p_, 2);
    SetColorEnable(p_, 0);
    SetWhiteBalance(p_, 1);
    SetRedGain(p_, 300);
    SetGreenGain(p_, 0);
    SetBlueGain(p_, 77);
    EXPECT_EQ(GetColorPhase(p_), 2);
    EXPECT_EQ(GetColorEnable(p_), 0);
    EXPECT_EQ(GetWhiteBalance(p_), 1);
    EXPECT_EQ(GetRedGain(p_), 300);
    EXPECT_EQ(GetGreenGain(p_), 0);
    EXPECT_EQ(GetBlueGain(p_), 77);
    EXPECT_EQ(p_->coefficients[3], -777);
}

TEST_F(ImagePipelineTest, GeometryGivesPitchAndSize) {
    SetPipelineGeometry(p_, 1600, 1200);
    EXPECT_EQ(p_->workPitch, 1627);
    EXPECT_EQ(p_->workBufferSize, 1204 * 1627);
    SetPipelineGeometry(p_, 40, 7);  // odd height: one spare row
    EXPECT_EQ(p_->workPitch, 59);
    EXPECT_EQ(p_->workBufferSize, 12 * 59);
    SetPipelineGeometry(p_, 15, 2);
    EXPECT_EQ(p_->workPitch, 27);
    EXPECT_EQ(p_->workBufferSize, 6 * 27);
    // Sizes that cannot be represented leave nothing to allocate.
    SetPipelineGeometry(p_, 0x7FFFFFF0, 1000);
    EXPECT_EQ(p_->workBufferSize, 0);
    SetPipelineGeometry(p_, -4, 10);
    EXPECT_EQ(p_->workBufferSize, 0);
    AllocateWorkingBuffer(p_);
    EXPECT_EQ(p_->workBuffer, nullptr);
}

TEST_F(ImagePipelineTest, WorkingBufferIsAllocatedUnderItsTagAndReplacedOnRestart) {
    SetPipelineGeometry(p_, 64, 48);
    AllocateWorkingBuffer(p_);
    ASSERT_NE(p_->workBuffer, nullptr);
    EXPECT_EQ(hostk::PoolTagStats(FramePoolTag).liveBlocks, 1u);
    EXPECT_EQ(hostk::PoolTagStats(FramePoolTag).liveBytes, static_cast<size_t>(52 * 91));
    EXPECT_EQ(p_->frameParameters.source, p_->workBuffer + 2 * 91 + 5);
    EXPECT_EQ(p_->frameParameters.workPitch, 91);
    EXPECT_EQ(p_->frameParameters.width, 64);
    EXPECT_EQ(p_->frameParameters.height, 48);

    SetPipelineGeometry(p_, 32, 16);  // a second stream start at another size
    AllocateWorkingBuffer(p_);
    EXPECT_EQ(hostk::PoolTagStats(FramePoolTag).liveBlocks, 1u);
    EXPECT_EQ(hostk::PoolTagStats(FramePoolTag).liveBytes, static_cast<size_t>(20 * 59));

    uint8_t rgb[4];
    p_->outputBuffer = rgb;
    ReleaseWorkingBuffer(p_);
    EXPECT_EQ(p_->workBuffer, nullptr);
    EXPECT_EQ(p_->outputBuffer, nullptr);
    EXPECT_EQ(hostk::PoolTagStats(FramePoolTag).liveBlocks, 0u);
    ReleaseWorkingBuffer(p_);  // twice is harmless
}

TEST_F(ImagePipelineTest, FailedWorkingBufferLeavesItNull) {
    SetPipelineGeometry(p_, 64, 48);
    hostk::PoolFailNthAllocation(1, FramePoolTag);
    AllocateWorkingBuffer(p_);
    EXPECT_EQ(p_->workBuffer, nullptr);
    EXPECT_EQ(p_->frameParameters.source, nullptr);
}

TEST(ImagePipelineCreation, FailsCleanlyWhenThePoolIsEmpty) {
    hostk::PoolFailNthAllocation(1, PipelinePoolTag);
    EXPECT_EQ(CreatePipeline(), nullptr);
    hostk::PoolResetFaults();
    FreePipeline(nullptr);
}

// Matrices that do not commute, to tell b x a from a x b.
void Fill(double m[16], double base) {
    for (int i = 0; i < 16; ++i) m[i] = base + i * (i % 3 == 0 ? 1.0 : -0.5);
}

TEST(PipelineMatrix, MultiplyGivesBTimesAAndMayWriteIntoEitherInput) {
    double a[16], b[16], out[16];
    Fill(a, 1.0);
    Fill(b, -2.0);
    MatrixMultiply(a, b, out);
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 4; ++x) {
            double expected = 0;
            for (int k = 0; k < 4; ++k) expected += b[4 * y + k] * a[4 * k + x];
            EXPECT_DOUBLE_EQ(out[4 * y + x], expected) << y << "," << x;
        }
    }
    double product[16];
    MatrixMultiply(a, b, product);
    MatrixMultiply(a, b, a);  // out aliases a
    for (int i = 0; i < 16; ++i) EXPECT_DOUBLE_EQ(a[i], product[i]);
    Fill(a, 1.0);
    MatrixMultiply(a, b, b);  // out aliases b
    for (int i = 0; i < 16; ++i) EXPECT_DOUBLE_EQ(b[i], product[i]);
}

TEST(PipelineMatrix, RotationsAndShearMultiplyFromTheRight) {
    double m[16];
    MatrixIdentity(m);
    RotateX(m, 0.25, 0.75);
    EXPECT_EQ(m[5], 0.75);
    EXPECT_EQ(m[6], 0.25);
    EXPECT_EQ(m[9], -0.25);
    EXPECT_EQ(m[10], 0.75);
    EXPECT_EQ(m[0], 1.0);

    MatrixIdentity(m);
    RotateY(m, 0.25, 0.75);
    EXPECT_EQ(m[0], 0.75);
    EXPECT_EQ(m[2], -0.25);
    EXPECT_EQ(m[8], 0.25);
    EXPECT_EQ(m[10], 0.75);

    MatrixIdentity(m);
    ShearZ(m, 3.0, -2.0);
    EXPECT_EQ(m[2], 3.0);
    EXPECT_EQ(m[6], -2.0);
    EXPECT_EQ(m[10], 1.0);

    // m x R, not R x m: a row of m picks up R's column.
    double s[16];
    Fill(s, 0.5);
    double before[16];
    MatrixCopy(before, s);
    ShearZ(s, 2.0, 0.0);
    for (int row = 0; row < 4; ++row) {
        EXPECT_DOUBLE_EQ(s[4 * row + 2], before[4 * row + 2] + 2.0 * before[4 * row + 0]);
        EXPECT_DOUBLE_EQ(s[4 * row + 0], before[4 * row + 0]);
    }
}

}  // namespace
