// The conversion kernel's vector operations for 256-bit AVX2 registers. Every
// operation works on the two 128-bit halves separately (that is how the AVX2
// byte packs, interleaves and sums of absolute differences work), so a
// 32-byte load at column c puts the 16-pixel block at c in the low half and
// the block at c + 16 in the high half, and each half computes exactly what
// the SSE2 kernel computes for its block. Only the stores bring the halves
// back in pixel order.
//
// Only convert_avx2.cpp includes this, inside its AVX2 target region.
#pragma once

#include <immintrin.h>

#include "driver/pipeline/simd_sse2.h"

namespace {

template <>
struct Vector<__m256i> {
    static constexpr LONG kPixels = 32;
    static FORCEINLINE __m256i Load(const UCHAR* p) {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    }
    static FORCEINLINE __m256i Splat16(short v) { return _mm256_set1_epi16(v); }
    static FORCEINLINE __m256i Zero() { return _mm256_setzero_si256(); }
};

FORCEINLINE __m256i And(__m256i a, __m256i b) { return _mm256_and_si256(a, b); }
FORCEINLINE __m256i AndNot(__m256i a, __m256i b) { return _mm256_andnot_si256(a, b); }
FORCEINLINE __m256i Or(__m256i a, __m256i b) { return _mm256_or_si256(a, b); }
FORCEINLINE __m256i Add(__m256i a, __m256i b) { return _mm256_add_epi16(a, b); }
FORCEINLINE __m256i Sub(__m256i a, __m256i b) { return _mm256_sub_epi16(a, b); }
template <int N>
FORCEINLINE __m256i ShiftLeft(__m256i a) { return _mm256_slli_epi16(a, N); }
template <int N>
FORCEINLINE __m256i ShiftRight(__m256i a) { return _mm256_srli_epi16(a, N); }
template <int N>
FORCEINLINE __m256i ShiftRightSigned(__m256i a) { return _mm256_srai_epi16(a, N); }
FORCEINLINE __m256i MulLow(__m256i a, __m256i b) { return _mm256_mullo_epi16(a, b); }
FORCEINLINE __m256i MulHighUnsigned(__m256i a, __m256i b) { return _mm256_mulhi_epu16(a, b); }
FORCEINLINE __m256i MinSigned(__m256i a, __m256i b) { return _mm256_min_epi16(a, b); }
FORCEINLINE __m256i Equal(__m256i a, __m256i b) { return _mm256_cmpeq_epi16(a, b); }
FORCEINLINE __m256i PackUnsigned(__m256i a, __m256i b) { return _mm256_packus_epi16(a, b); }
FORCEINLINE __m256i InterleaveLow8(__m256i a, __m256i b) { return _mm256_unpacklo_epi8(a, b); }
FORCEINLINE __m256i InterleaveHigh8(__m256i a, __m256i b) { return _mm256_unpackhi_epi8(a, b); }
FORCEINLINE __m256i InterleaveLow16(__m256i a, __m256i b) { return _mm256_unpacklo_epi16(a, b); }
FORCEINLINE __m256i InterleaveHigh16(__m256i a, __m256i b) { return _mm256_unpackhi_epi16(a, b); }
FORCEINLINE __m256i InterleaveLow32(__m256i a, __m256i b) { return _mm256_unpacklo_epi32(a, b); }
FORCEINLINE __m256i InterleaveHigh32(__m256i a, __m256i b) { return _mm256_unpackhi_epi32(a, b); }
FORCEINLINE __m256i AddByteSums(__m256i sum, __m256i bytes) {
    return _mm256_add_epi64(sum, _mm256_sad_epu8(bytes, _mm256_setzero_si256()));
}
FORCEINLINE __m256i Add32(__m256i a, __m256i b) { return _mm256_add_epi32(a, b); }
FORCEINLINE ULONG Total32(__m256i v) {
    return Total32(_mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1)));
}
FORCEINLINE ULONG LowSum(__m256i v) {
    return LowSum(_mm_add_epi64(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1)));
}
FORCEINLINE void StoreUnaligned(UCHAR* p, __m256i v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }

// 32 pixels: the low halves of the quarters are the block at `out`, the high
// halves the block 64 bytes further. Storing the halves as they are costs no
// more than permuting them into 32-byte pieces.
FORCEINLINE void StoreStep(UCHAR* out, const __m256i quarter[4]) {
    __m128i* dst = reinterpret_cast<__m128i*>(out);
    for (int i = 0; i < 4; ++i) {
        _mm_storeu_si128(dst + i, _mm256_castsi256_si128(quarter[i]));
        _mm_storeu_si128(dst + 4 + i, _mm256_extracti128_si256(quarter[i], 1));
    }
}

}  // namespace
