// The AVX2 conversion: the vector kernel of convert_simd.h on 256-bit
// registers, 32 pixels per step, with 16-pixel steps (VEX-encoded SSE2
// operations) at the end of a row. It gives exactly the SSE2 kernel's bytes.
//
// Only the code of this file is compiled for AVX2, through the target pragma
// below rather than a compiler option for the whole file: the baseline
// helpers it includes first (the WDK headers, convert_kernels.h) then keep
// their baseline code, so no out-of-line copy with AVX instructions can be
// picked by the linker for the rest of the driver. ConvertFrame calls these
// routines only on a processor and system with AVX2 enabled
// (ProcessorHasAvx2) and between KeSaveExtendedProcessorState and
// KeRestoreExtendedProcessorState, as kernel code using the YMM registers
// must.
// The kernel's templates take the register types as arguments, which drops
// their may_alias attribute there; the templates only pass registers by
// value and reach memory through the intrinsics, which keep it.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wignored-attributes"
#endif

#include <immintrin.h>

#include "driver/pipeline/convert_kernels.h"

// GCC and clang spell the region differently; MSVC needs neither, since it
// compiles AVX2 intrinsics wherever they stand.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#elif defined(__GNUC__)
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

#include "driver/pipeline/simd_avx2.h"

#include "driver/pipeline/convert_simd.h"

const ConversionRoutines g_avx2Routines[4] = {
    {SumChannels<0, __m256i>, ConvertColor<0, __m256i, __m128i>, ConvertMono<0, __m256i, __m128i>},
    {SumChannels<1, __m256i>, ConvertColor<1, __m256i, __m128i>, ConvertMono<1, __m256i, __m128i>},
    {SumChannels<2, __m256i>, ConvertColor<2, __m256i, __m128i>, ConvertMono<2, __m256i, __m128i>},
    {SumChannels<3, __m256i>, ConvertColor<3, __m256i, __m128i>, ConvertMono<3, __m256i, __m128i>},
};

#if defined(__clang__)
#pragma clang attribute pop
#elif defined(__GNUC__)
#pragma GCC pop_options
#endif
