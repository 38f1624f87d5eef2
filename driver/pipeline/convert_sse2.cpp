// The SSE2 conversion, which every x64 processor runs: the vector kernel of
// convert_simd.h on 128-bit registers, 16 pixels per step.
// The kernel's templates take the register types as arguments, which drops
// their may_alias attribute there; the templates only pass registers by
// value and reach memory through the intrinsics, which keep it.
#pragma GCC diagnostic ignored "-Wignored-attributes"

#include "driver/pipeline/simd_sse2.h"

#include "driver/pipeline/convert_simd.h"

const ConversionRoutines g_sse2Routines[4] = {
    {SumChannels<0, __m128i>, ConvertColor<0, __m128i, __m128i>, ConvertMono<0, __m128i, __m128i>},
    {SumChannels<1, __m128i>, ConvertColor<1, __m128i, __m128i>, ConvertMono<1, __m128i, __m128i>},
    {SumChannels<2, __m128i>, ConvertColor<2, __m128i, __m128i>, ConvertMono<2, __m128i, __m128i>},
    {SumChannels<3, __m128i>, ConvertColor<3, __m128i, __m128i>, ConvertMono<3, __m128i, __m128i>},
};
