// The math routines the Windows driver image carries in place of a C runtime
// (driver/windows/kernel_math.cpp), compiled here under other names and
// compared with double-precision results rounded once to float.
#include <gtest/gtest.h>

#include <emmintrin.h>
#include <math.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>

// The C library's declarations are in; rename the image's definitions so that
// they do not replace the library's in this program.
#define sinf KernelSinf
#define cosf KernelCosf
#define sqrtf KernelSqrtf
#define sqrt KernelSqrt
#include "driver/windows/kernel_math.cpp"
#undef sinf
#undef cosf
#undef sqrtf
#undef sqrt

namespace {

uint32_t Bits(float x)
{
    uint32_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

float RoundedSin(float x) { return static_cast<float>(std::sin(static_cast<double>(x))); }
float RoundedCos(float x) { return static_cast<float>(std::cos(static_cast<double>(x))); }

TEST(KernelMath, SineAndCosineOfWholeDegreesAreCorrectlyRounded)
{
    constexpr float kPi = 3.14159265358979323846f;
    for (int degrees = -3600; degrees <= 3600; ++degrees) {
        const float angle = static_cast<float>(degrees) * kPi / 180.0f;
        EXPECT_EQ(Bits(KernelSinf(angle)), Bits(RoundedSin(angle))) << degrees;
        EXPECT_EQ(Bits(KernelCosf(angle)), Bits(RoundedCos(angle))) << degrees;
    }
}

TEST(KernelMath, SineAndCosineOfRandomArgumentsAreCorrectlyRounded)
{
    std::mt19937 random(20240601);
    std::uniform_real_distribution<float> near(-8.0f, 8.0f);
    std::uniform_real_distribution<float> far(-1.0e5f, 1.0e5f);
    int mismatches = 0;
    for (int i = 0; i < 200000; ++i) {
        for (float x : {near(random), far(random)}) {
            mismatches += Bits(KernelSinf(x)) != Bits(RoundedSin(x));
            mismatches += Bits(KernelCosf(x)) != Bits(RoundedCos(x));
        }
    }
    EXPECT_EQ(mismatches, 0);
}

TEST(KernelMath, SpecialValues)
{
    EXPECT_EQ(Bits(KernelSinf(0.0f)), Bits(0.0f));
    EXPECT_EQ(Bits(KernelSinf(-0.0f)), Bits(-0.0f));
    EXPECT_EQ(KernelCosf(0.0f), 1.0f);
    EXPECT_EQ(KernelSinf(1.0e-30f), 1.0e-30f);
    EXPECT_TRUE(std::isnan(KernelSinf(INFINITY)));
    EXPECT_TRUE(std::isnan(KernelCosf(-INFINITY)));
    EXPECT_TRUE(std::isnan(KernelSinf(NAN)));
}

TEST(KernelMath, SquareRootsAreExact)
{
    EXPECT_EQ(KernelSqrtf(4.0f), 2.0f);
    EXPECT_EQ(KernelSqrtf(2.0f), std::sqrt(2.0f));
    EXPECT_EQ(KernelSqrtf(3.0f), std::sqrt(3.0f));
    EXPECT_EQ(KernelSqrt(2.0), std::sqrt(2.0));
    EXPECT_TRUE(std::isnan(KernelSqrtf(-1.0f)));
}

}  // namespace
