// A frame's coefficient snapshot is always one whole publication, however the
// builders and the conversion interleave.
#include <array>
#include <atomic>
#include <thread>

#include "tests/pipeline/pipeline_test_support.h"

namespace {

using Coefficients = std::array<LONG, 16>;
using pipeline_test::PipelineFrame;

TEST(CoefficientPublication, SnapshotsAreNeverTorn) {
    hostk::ClearViolations();
    PipelineFrame f(4, 4);
    ImagePipeline* p = f.pipeline();

    // The sets the writer will alternate between, built beforehand; they
    // differ in most entries, so a mix of two is recognisable.
    const LONG hues[3] = {0, 120, 240};
    Coefficients sets[3];
    for (int i = 0; i < 3; ++i) {
        UpdateHue(p, hues[i]);
        SnapshotCoefficients(p, sets[i].data());
    }
    ASSERT_NE(sets[0], sets[1]);
    ASSERT_NE(sets[1], sets[2]);
    auto known = [&sets](const LONG* c) {
        for (const Coefficients& s : sets)
            if (std::equal(s.begin(), s.end(), c)) return true;
        return false;
    };

    std::atomic<bool> done{false};
    std::thread writer([&] {
        // A property-request thread, at PASSIVE_LEVEL.
        for (int i = 0; i < 100000; ++i) UpdateHue(p, hues[i % 3]);
        done = true;
    });

    // The pin's Process routine, at DISPATCH_LEVEL: snapshots through the
    // conversion itself and directly.
    int frames = 0, torn = 0;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    while (!done.load()) {
        f.Convert(ConversionKernelSse2);
        if (!known(p->frameParameters.coefficientSnapshot)) ++torn;
        for (int k = 0; k < 64; ++k) {
            LONG direct[16];
            SnapshotCoefficients(p, direct);
            if (!known(direct)) ++torn;
        }
        ++frames;
    }
    KeLowerIrql(old);
    writer.join();

    EXPECT_EQ(torn, 0);
    EXPECT_GT(frames, 0);
    // Nothing waited or entered a critical region at DISPATCH_LEVEL.
    EXPECT_EQ(hostk::ViolationCount(), 0u) << hostk::ViolationText();
}

TEST(CoefficientPublication, PositiveFlagsFollowTheSnapshot) {
    PipelineFrame f(4, 4);
    ImagePipeline* p = f.pipeline();
    UpdateHue(p, 120);
    f.Convert(ConversionKernelScalar);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(p->coefficientPositive[i], p->frameParameters.coefficientSnapshot[i] > 0 ? 1 : 0) << i;
    EXPECT_EQ(p->coefficientPositive[0], 0);  // -19
    EXPECT_EQ(p->coefficientPositive[1], 1);  // 45
    EXPECT_EQ(p->coefficientPositive[3], 0);  // 0 is not positive
}

TEST(CoefficientPublication, ConcurrentBuildersLeaveFieldAndCoefficientsAgreeing) {
    PipelineFrame f(4, 4);
    ImagePipeline* p = f.pipeline();
    UpdateColorCorrection(p, 0);
    std::thread a([p] {
        for (int i = 0; i < 3000; ++i) UpdateBrightness(p, 100 + i % 7);
    });
    std::thread b([p] {
        for (int i = 0; i < 3000; ++i) UpdateBrightness(p, 400 - i % 5);
    });
    a.join();
    b.join();
    LONG c[16];
    SnapshotCoefficients(p, c);
    EXPECT_EQ(c[12], (GetBrightness(p) - 255) * 64);
}

}  // namespace
