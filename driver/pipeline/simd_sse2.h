// The vector operations the conversion kernel (convert_simd.h) is written
// in, for 128-bit SSE2 registers: one register holds eight 16-bit lanes, a
// step converts 16 pixels. The AVX2 edition (simd_avx2.h) has the same
// operations on two such halves at once, each half doing exactly what this
// one does, so the kernel is written once for both.
//
// Everything here sits in an unnamed namespace: the AVX2 file compiles these
// same functions with VEX encoding for its narrow tail blocks, and must not
// share out-of-line copies with the SSE2 file that a processor without AVX
// would then run.
#pragma once

#include <emmintrin.h>

#include "driver/wdk.h"

namespace {

// The register type's constants and the loads that need to be told it.
template <class Reg>
struct Vector;

template <>
struct Vector<__m128i> {
    static constexpr LONG kPixels = 16;  // pixels of one row per step
    static FORCEINLINE __m128i Load(const UCHAR* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
    static FORCEINLINE __m128i Splat16(short v) { return _mm_set1_epi16(v); }
    static FORCEINLINE __m128i Zero() { return _mm_setzero_si128(); }
};

FORCEINLINE __m128i And(__m128i a, __m128i b) { return _mm_and_si128(a, b); }
FORCEINLINE __m128i AndNot(__m128i a, __m128i b) { return _mm_andnot_si128(a, b); }
FORCEINLINE __m128i Or(__m128i a, __m128i b) { return _mm_or_si128(a, b); }
FORCEINLINE __m128i Add(__m128i a, __m128i b) { return _mm_add_epi16(a, b); }
FORCEINLINE __m128i Sub(__m128i a, __m128i b) { return _mm_sub_epi16(a, b); }
template <int N>
FORCEINLINE __m128i ShiftLeft(__m128i a) { return _mm_slli_epi16(a, N); }
template <int N>
FORCEINLINE __m128i ShiftRight(__m128i a) { return _mm_srli_epi16(a, N); }
template <int N>
FORCEINLINE __m128i ShiftRightSigned(__m128i a) { return _mm_srai_epi16(a, N); }
FORCEINLINE __m128i MulLow(__m128i a, __m128i b) { return _mm_mullo_epi16(a, b); }
FORCEINLINE __m128i MulHighUnsigned(__m128i a, __m128i b) { return _mm_mulhi_epu16(a, b); }
FORCEINLINE __m128i MinSigned(__m128i a, __m128i b) { return _mm_min_epi16(a, b); }
FORCEINLINE __m128i Equal(__m128i a, __m128i b) { return _mm_cmpeq_epi16(a, b); }
FORCEINLINE __m128i PackUnsigned(__m128i a, __m128i b) { return _mm_packus_epi16(a, b); }
FORCEINLINE __m128i InterleaveLow8(__m128i a, __m128i b) { return _mm_unpacklo_epi8(a, b); }
FORCEINLINE __m128i InterleaveHigh8(__m128i a, __m128i b) { return _mm_unpackhi_epi8(a, b); }
FORCEINLINE __m128i InterleaveLow16(__m128i a, __m128i b) { return _mm_unpacklo_epi16(a, b); }
FORCEINLINE __m128i InterleaveHigh16(__m128i a, __m128i b) { return _mm_unpackhi_epi16(a, b); }
FORCEINLINE __m128i InterleaveLow32(__m128i a, __m128i b) { return _mm_unpacklo_epi32(a, b); }
FORCEINLINE __m128i InterleaveHigh32(__m128i a, __m128i b) { return _mm_unpackhi_epi32(a, b); }
// Adds the bytes of each 8-byte half into the 64-bit lanes of `sum`.
FORCEINLINE __m128i AddByteSums(__m128i sum, __m128i bytes) {
    return _mm_add_epi64(sum, _mm_sad_epu8(bytes, _mm_setzero_si128()));
}
FORCEINLINE __m128i Add32(__m128i a, __m128i b) { return _mm_add_epi32(a, b); }
// The total of the 32-bit lanes, wrapping in 32 bits.
FORCEINLINE ULONG Total32(__m128i v) {
    v = _mm_add_epi32(v, _mm_srli_si128(v, 8));
    v = _mm_add_epi32(v, _mm_srli_si128(v, 4));
    return static_cast<ULONG>(_mm_cvtsi128_si32(v));
}
// The low 32 bits of the total of the 64-bit lanes.
FORCEINLINE ULONG LowSum(__m128i v) {
    return static_cast<ULONG>(_mm_cvtsi128_si32(_mm_add_epi64(v, _mm_srli_si128(v, 8))));
}
FORCEINLINE void StoreUnaligned(UCHAR* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

// The 64 bytes of a step's 16 pixels from its four quarters (pixels 0-3,
// 4-7, 8-11, 12-15).
FORCEINLINE void StoreStep(UCHAR* out, const __m128i quarter[4]) {
    __m128i* dst = reinterpret_cast<__m128i*>(out);
    for (int i = 0; i < 4; ++i) _mm_storeu_si128(dst + i, quarter[i]);
}

// Bytes of a packed block (even columns 0, 2 .. 14, then odd 1, 3 .. 15) kept
// when their column is below `count`.
FORCEINLINE __m128i KeepColumns(LONG count) {
    const __m128i column = _mm_setr_epi8(0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15);
    return _mm_cmplt_epi8(column, _mm_set1_epi8(static_cast<char>(count < 16 ? count : 16)));
}

}  // namespace
